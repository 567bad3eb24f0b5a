#pragma once

// What the loader's tests share: where the test packages are, a trace file the
// test packages write to, a registration hook, and snapshots of process state.

#include <string>
#include <utility>
#include <vector>

#include "rtl/classes.h"
#include "rtl/package.h"

namespace loadertest {

// The file of a test package built beside the tests: lib<name>.so.
std::string PackageFile(const std::string& name);

// Sets RTL_TEST_TRACE to a fresh file for as long as it lives.
class TraceFile {
 public:
  TraceFile();
  ~TraceFile();
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  std::vector<std::string> Lines() const;
  void Clear() const;

 private:
  std::string path_;
};

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const noexcept { return path_; }
  // Copies a file into the directory under that name; returns the new path.
  std::string CopyIn(const std::string& from, const std::string& name) const;
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

// A package loaded for the length of a scope, so that a failed check does not
// leave it loaded for the tests after.
class ScopedPackage {
 public:
  explicit ScopedPackage(const std::string& fileName) : module_(rtl::LoadPackage(fileName)) {}
  ~ScopedPackage();
  ScopedPackage(const ScopedPackage&) = delete;
  ScopedPackage& operator=(const ScopedPackage&) = delete;

  rtl::HMODULE Module() const noexcept { return module_; }
  void Unload();

 private:
  rtl::HMODULE module_;
};

// Registers every class it is handed, as the workbench's hook does, and keeps the
// (page, class name) pairs. The previous handler comes back when it goes.
class RegistrationHook {
 public:
  RegistrationHook();
  ~RegistrationHook();
  RegistrationHook(const RegistrationHook&) = delete;
  RegistrationHook& operator=(const RegistrationHook&) = delete;

  static std::vector<std::pair<std::string, std::string>>& Calls();

 private:
  rtl::TRegisterComponentsProc previous_;
};

std::vector<rtl::HMODULE> ModuleList();
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
