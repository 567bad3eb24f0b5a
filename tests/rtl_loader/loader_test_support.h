#pragma once

// What the loader's tests share besides the common helpers: a registration hook,
// and snapshots of process state.

#include <string>
#include <vector>

#include "rtl/classes.h"
#include "rtl/package.h"
#include "test_support.h"

namespace loadertest {

using testsupport::ExecutablePath;
using testsupport::PackageFile;
using testsupport::ScopedPackage;
using testsupport::TempDir;
using testsupport::TraceFile;

// Registers every class it is handed, as the workbench's hook does. The previous
// handler comes back when it goes.
class RegistrationHook {
 public:
  RegistrationHook();
  ~RegistrationHook();
  RegistrationHook(const RegistrationHook&) = delete;
  RegistrationHook& operator=(const RegistrationHook&) = delete;

 private:
  rtl::TRegisterComponentsProc previous_;
};

using testsupport::ModuleList;
bool InModuleList(rtl::HMODULE module);
std::string ModulePath(rtl::HMODULE module);
// The registered module whose file is lib<name>.so, 0 when none.
rtl::HMODULE RegisteredModuleNamed(const std::string& name);

// What a failed load must leave as it found it.
struct ProcessState {
  std::vector<rtl::HMODULE> modules;
  std::size_t classCount = 0;
  std::size_t mappedFiles = 0;
  bool operator==(const ProcessState&) const = default;
};
ProcessState CaptureState();

std::size_t OpenDescriptorCount();
// Lines of /proc/self/maps: all of them, or only those that map a file.
std::size_t MapsLineCount(bool fileBackedOnly = false);
bool IsMapped(const std::string& fileName);

}  // namespace loadertest
