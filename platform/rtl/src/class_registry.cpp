#include <dlfcn.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "rtl/object.h"

namespace rtl {

namespace {

struct Entry {
  TClass cls = nullptr;
  HMODULE module = 0;
};

// Lets GetClass look a std::string_view up without building a std::string.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};

using Registry = std::unordered_map<std::string, Entry, NameHash, std::equal_to<>>;

// Never destroyed: a package may be unloaded by a static destructor that runs after
// this file's statics are gone, and it still unregisters its classes.
Registry& Classes() {
  static Registry* registry = new Registry();
  return *registry;
}

// The module whose image holds this address; descriptors built at run time (on the
// heap) belong to no module.
HMODULE ModuleOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return 0;
  return reinterpret_cast<HMODULE>(info.dli_fbase);
}

// The main program's own path: dladdr names it by argv[0], which may be relative to a
// directory the process has since left.
std::string ProgramFile() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

std::string ModuleFileOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) return "(no module)";
  Dl_info program{};
  const auto* programHeaders = reinterpret_cast<const void*>(getauxval(AT_PHDR));
  if (programHeaders != nullptr && dladdr(programHeaders, &program) != 0 &&
      program.dli_fbase == info.dli_fbase) {
    std::string file = ProgramFile();
    if (!file.empty()) return file;
  }
  if (info.dli_fname == nullptr || *info.dli_fname == '\0') return "(no module)";
  return info.dli_fname;
}

void CheckClass(TClass cls, const char* operation) {
  if (cls == nullptr) throw Exception("%s: no class given (null class reference)", {operation});
  if (cls->Name == nullptr) {
    throw Exception("%s: the class descriptor has no name", {operation});
  }
}

}  // namespace

void RegisterClass(TClass cls) {
  CheckClass(cls, "RegisterClass");
  const ShortString name = ClassName(cls);
  Registry& classes = Classes();
  auto found = classes.find(name.View());
  if (found != classes.end()) {
    if (found->second.cls == cls) return;
    throw Exception("Class %s is already registered from %s; cannot register the one from %s",
                    {name, ModuleFileOf(found->second.cls), ModuleFileOf(cls)});
  }
  classes.emplace(name.ToString(), Entry{cls, ModuleOf(cls)});
}

void UnRegisterClass(TClass cls) {
  CheckClass(cls, "UnRegisterClass");
  Registry& classes = Classes();
  auto found = classes.find(ClassName(cls).View());
  // Another class under the same name stays: only this one is taken out.
  if (found != classes.end() && found->second.cls == cls) classes.erase(found);
}

TClass GetClass(std::string_view name) {
  const Registry& classes = Classes();
  auto found = classes.find(name);
  return found != classes.end() ? found->second.cls : nullptr;
}

TClass FindClass(std::string_view name) {
  TClass cls = GetClass(name);
  if (cls == nullptr) throw Exception("Class %s not found", {name});
  return cls;
}

std::size_t RegisteredClassCount() {
  return Classes().size();
}

void UnRegisterModuleClasses(std::uintptr_t module) {
  std::erase_if(Classes(), [module](const auto& item) { return item.second.module == module; });
}

}  // namespace rtl
