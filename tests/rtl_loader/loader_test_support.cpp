#include "loader_test_support.h"

#include <dirent.h>
#include <limits.h>
#include <algorithm>
#include <fstream>
#include <set>

#include "rtl/object.h"

namespace loadertest {

namespace {

void RegisterAll(const std::string&, const rtl::TClass* classes, std::int32_t high) {
  for (std::int32_t i = 0; i <= high; ++i) rtl::RegisterClass(classes[i]);
}

}  // namespace

RegistrationHook::RegistrationHook() : previous_(rtl::RegisterComponentsProc) {
  rtl::RegisterComponentsProc = &RegisterAll;
}

RegistrationHook::~RegistrationHook() {
  rtl::RegisterComponentsProc = previous_;
}

bool InModuleList(rtl::HMODULE module) {
  const std::vector<rtl::HMODULE> modules = ModuleList();
  return std::find(modules.begin(), modules.end(), module) != modules.end();
}

std::string ModulePath(rtl::HMODULE module) {
  char buffer[PATH_MAX];
  const std::uint32_t length = rtl::GetModuleFileNameA(module, buffer, sizeof(buffer));
  return std::string(buffer, length);
}

rtl::HMODULE RegisteredModuleNamed(const std::string& name) {
  const std::string suffix = "/lib" + name + ".so";
  for (rtl::HMODULE m : ModuleList()) {
    const std::string path = ModulePath(m);
    if (path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return m;
    }
  }
  return 0;
}

namespace {

std::set<std::string> MappedFiles() {
  std::set<std::string> files;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const auto slash = line.find('/');
    if (slash != std::string::npos) files.insert(line.substr(slash));
  }
  return files;
}

}  // namespace

ProcessState CaptureState() {
  return ProcessState{ModuleList(), rtl::RegisteredClassCount(), MappedFiles().size()};
}

std::size_t OpenDescriptorCount() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
  }
  return count > 0 ? count - 1 : 0;  // less the descriptor of the listing itself
}

std::size_t MapsLineCount(bool fileBackedOnly) {
  std::ifstream maps("/proc/self/maps");
  std::size_t count = 0;
  for (std::string line; std::getline(maps, line);) {
    if (!fileBackedOnly || line.find('/') != std::string::npos) ++count;
  }
  return count;
}

bool IsMapped(const std::string& fileName) {
  for (const std::string& file : MappedFiles()) {
    if (file.find(fileName) != std::string::npos) return true;
  }
  return false;
}

}  // namespace loadertest
