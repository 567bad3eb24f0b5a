// LoadPackage and UnloadPackage.
//
// Every module of the process allocates from the C library's one heap, so memory
// passes freely between the program, the framework and the packages: there is no
// separate memory manager to share.

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "elf_reader.h"
#include "module_internal.h"
#include "required_package.h"
#include "rtl/object.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"

namespace rtl {

TPackageStageProc PackageStageProc = nullptr;

namespace {

void EnterStage(TPackageStage stage, const std::string& package, const std::string& unit = {}) {
  if (PackageStageProc != nullptr) PackageStageProc(stage, package, unit);
}

struct LoadedPackage {
  HMODULE module = 0;
  void* handle = nullptr;
  std::string path;  // absolute, as opened
  detail::PackageRecord record;
  int references = 1;
  // Mapped and registered before LoadPackage saw it (the framework's own
  // libraries): its units were never run by us, so they are not finalised either.
  bool foreign = false;
  std::vector<HMODULE> required;      // references this load took, in order
  std::unique_ptr<TLibModule> entry;  // null when the module registers itself
};

// Never destroyed: packages still loaded at exit may be unloaded by the dynamic
// linker after this library's static destructors have run.
std::vector<std::unique_ptr<LoadedPackage>>& Packages() {
  static auto* packages = new std::vector<std::unique_ptr<LoadedPackage>>();
  return *packages;
}

// Names of the packages whose loads are in progress, outermost first: a package
// that requires itself, directly or not, would otherwise recurse forever.
std::vector<std::string>& LoadingNames() {
  static auto* names = new std::vector<std::string>();
  return *names;
}

LoadedPackage* FindByModule(HMODULE module) {
  for (auto& package : Packages()) {
    if (package->module == module) return package.get();
  }
  return nullptr;
}

struct RegisteredPackage {
  HMODULE module = 0;
  const LoadedPackage* loaded = nullptr;  // null for a module that registered itself
};

// Canonical, so that two names of one file compare equal.
std::string CanonicalPathOf(const RegisteredPackage& registered) {
  const auto object = detail::FindMappedObject(registered.module);
  return object ? detail::MappedObjectPath(*object) : std::string();
}

// The module in the module list whose package record carries this name.
std::optional<RegisteredPackage> FindRegisteredPackage(const std::string& name) {
  for (TLibModule* m = LibModuleList(); m != nullptr; m = m->Next) {
    if (const LoadedPackage* package = FindByModule(m->Instance)) {
      if (package->record.name == name) return RegisteredPackage{m->Instance, package};
      continue;
    }
    if (detail::RegisteredPackageName(m) == name) return RegisteredPackage{m->Instance, nullptr};
  }
  return std::nullopt;
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// A required package that is not loaded yet, as the one rule pkginfo shares says.
std::string LocateRequired(const std::string& fileName, const std::string& required,
                           const std::string& packageDirectory) {
  const detail::RequiredPackageFile found =
      detail::FindRequiredPackage(required, packageDirectory, detail::RuntimeLibraryDirectory());
  if (found.path.empty()) {
    throw Exception("%s: %s", {fileName, detail::RequiredPackageNotFound(required, found)});
  }
  return found.path;
}

// Called only for a file the reader has just read, so it exists.
std::string CanonicalPath(const std::string& fileName) {
  char resolved[PATH_MAX];
  return realpath(fileName.c_str(), resolved) != nullptr ? std::string(resolved) : fileName;
}

// What dlopen is given: an absolute path, so the module's name does not depend on
// the working directory. Not resolved further: that costs a system call per path
// component, and the dynamic linker itself looks for a package's dependencies
// beside the name it was given, not beside the link's target.
std::string AbsolutePath(const std::string& fileName) {
  if (fileName.front() == '/') return fileName;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof(cwd)) == nullptr) return fileName;
  return std::string(cwd) + "/" + fileName;
}

using UnitProc = void (*)();

UnitProc FindUnitProc(void* handle, HMODULE module, const char* prefix, const std::string& unit) {
  const std::string symbol = prefix + unit;
  return reinterpret_cast<UnitProc>(detail::FindOwnFunction(handle, module, symbol.c_str()));
}

// Runs one unit procedure; the exception's text when it throws, nothing otherwise.
// Nothing of the package's exception outlives this call, so the package may be
// closed right after.
std::optional<std::string> RunUnitProc(UnitProc proc) {
  if (proc == nullptr) return std::nullopt;
  try {
    proc();
    return std::nullopt;
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return std::string(e.what());
  } catch (...) {
    return std::string("an exception that is not an Exception");
  }
}

// A unit the record names twice is still one unit: it runs at its first mention.
bool IsRepeatedUnit(const std::vector<std::string>& units, std::size_t index) {
  return std::find(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(index),
                   units[index]) != units.begin() + static_cast<std::ptrdiff_t>(index);
}

// Finalises units [0, count) in reverse order, all of them even when one fails.
// Returns the first failure: the unit and its message.
std::optional<std::pair<std::string, std::string>> FinaliseUnits(const LoadedPackage& package,
                                                                 std::size_t count) {
  std::optional<std::pair<std::string, std::string>> failure;
  for (std::size_t i = count; i-- > 0;) {
    const std::string& unit = package.record.units[i];
    if (IsRepeatedUnit(package.record.units, i)) continue;
    const UnitProc proc = FindUnitProc(package.handle, package.module, "rtl_unit_fini_", unit);
    if (proc != nullptr) EnterStage(TPackageStage::UnitFinalization, package.record.name, unit);
    if (auto message = RunUnitProc(proc)) {
      if (!failure) failure.emplace(unit, *message);
    }
  }
  return failure;
}

// Gives back references taken on required packages, last taken first. Used on
// paths that are already failing or finishing: a second failure is not allowed to
// hide the first, nor to stop the rest being released.
std::optional<std::string> Release(const std::vector<HMODULE>& modules) {
  std::optional<std::string> failure;
  for (auto it = modules.rbegin(); it != modules.rend(); ++it) {
    try {
      UnloadPackage(*it);
    } catch (const Exception& e) {
      if (!failure) failure = e.Message();
    }
  }
  return failure;
}

HMODULE LoadFile(const std::string& fileName, const std::string& wanted);

// Takes a reference on every package the record requires, loading those not
// loaded yet. On failure, releases what it took and raises.
std::vector<HMODULE> AcquireRequired(const std::string& fileName, const std::string& absolute,
                                     const detail::PackageRecord& record) {
  std::vector<HMODULE> taken;
  try {
    for (const std::string& required : record.requiredPackages) {
      if (required == record.name) {
        throw Exception("%s: package %s requires itself", {fileName, record.name});
      }
      if (const auto registered = FindRegisteredPackage(required)) {
        // Loaded by us: count a reference. Otherwise a framework library that the
        // dynamic linker keeps mapped for as long as anything links it.
        if (registered->loaded != nullptr) {
          LoadedPackage* package = FindByModule(registered->module);
          ++package->references;
          taken.push_back(package->module);
        }
        continue;
      }
      const std::string path = LocateRequired(fileName, required, DirectoryOf(absolute));
      try {
        taken.push_back(LoadFile(path, required));
      } catch (const Exception& e) {
        throw Exception("%s: cannot load required package %s: %s",
                        {fileName, required, e.Message()});
      }
    }
  } catch (...) {
    Release(taken);
    throw;
  }
  return taken;
}

// A module that was registered before LoadPackage met it, asked for by its own
// path: hand out counted references to it, but never run or finalise its units.
HMODULE AdoptForeign(const std::string& fileName, const std::string& canonical,
                     const detail::PackageRecord& record, HMODULE module) {
  void* handle = dlopen(canonical.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) {
    const char* error = dlerror();
    throw Exception("%s: %s", {fileName, error ? error : "dlopen failed"});
  }
  auto package = std::make_unique<LoadedPackage>();
  package->module = module;
  package->handle = handle;
  package->path = canonical;
  package->record = record;
  package->foreign = true;
  Packages().push_back(std::move(package));
  return module;
}

// LoadPackage; a file found for a required package must hold the package wanted.
HMODULE LoadFile(const std::string& fileName, const std::string& wanted) {
  if (fileName.empty()) throw Exception("LoadPackage: no file name given");

  // Never hand dlopen a file the reader refused: a truncated file is mapped all the
  // same and the process dies of SIGBUS when the linker touches the missing pages.
  detail::ElfPackageInfo info = detail::ReadPackageFile(fileName);
  if (!info.hasRecord) {
    throw Exception("%s: not a package (the file carries no package information)", {fileName});
  }
  const detail::PackageRecord& record = info.record;
  if (!wanted.empty() && record.name != wanted) {
    throw Exception("%s holds package %s, not %s", {fileName, record.name, wanted});
  }

  auto& loading = LoadingNames();
  if (std::find(loading.begin(), loading.end(), record.name) != loading.end()) {
    std::string chain;
    for (const std::string& name : loading) chain += name + " -> ";
    throw Exception("%s: package %s requires itself (%s%s)",
                    {fileName, record.name, chain, record.name});
  }
  // One package of a name: the same file again counts a reference, another file
  // of that name is refused.
  if (const auto registered = FindRegisteredPackage(record.name)) {
    const std::string loadedFrom = CanonicalPathOf(*registered);
    const std::string canonical = CanonicalPath(fileName);
    if (loadedFrom != canonical) {
      throw Exception("package %s is already loaded from %s; refusing %s",
                      {record.name, loadedFrom, fileName});
    }
    if (LoadedPackage* package = FindByModule(registered->module)) {
      ++package->references;
      return package->module;
    }
    return AdoptForeign(fileName, canonical, record, registered->module);
  }
  const std::string absolute = AbsolutePath(fileName);

  loading.push_back(record.name);
  struct PopOnExit {
    std::vector<std::string>& names;
    ~PopOnExit() { names.pop_back(); }
  } popOnExit{loading};

  std::vector<HMODULE> required = AcquireRequired(fileName, absolute, record);

  // RTLD_NOW: a symbol that cannot be bound fails the load here, instead of ending
  // the process at its first call.
  EnterStage(TPackageStage::StaticConstructors, record.name);
  void* handle = dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    const std::string reason = error ? error : "dlopen failed";
    Release(required);
    throw Exception("%s: %s", {fileName, reason});
  }

  auto package = std::make_unique<LoadedPackage>();
  package->module = detail::ModuleOfHandle(handle);
  package->handle = handle;
  package->path = absolute;
  package->record = std::move(info.record);
  package->required = std::move(required);
  const std::vector<std::string>& units = package->record.units;

  std::size_t initialised = 0;
  std::optional<std::string> failure;
  for (; initialised < units.size(); ++initialised) {
    if (IsRepeatedUnit(units, initialised)) continue;
    const UnitProc proc =
        FindUnitProc(handle, package->module, "rtl_unit_init_", units[initialised]);
    if (proc != nullptr) {
      EnterStage(TPackageStage::UnitInitialization, package->record.name, units[initialised]);
    }
    failure = RunUnitProc(proc);
    if (failure) break;
  }
  if (failure) {
    FinaliseUnits(*package, initialised);
    UnRegisterModuleClasses(package->module);
    EnterStage(TPackageStage::StaticDestructors, package->record.name);
    dlclose(handle);
    Release(package->required);
    throw Exception("%s: initialisation of unit %s in package %s failed: %s",
                    {fileName, units[initialised], package->record.name, *failure});
  }

  // A framework library brought in by a package registers itself from its
  // constructor; a second record for it would list it twice.
  if (!detail::IsRegisteredModule(package->module)) {
    package->entry = std::make_unique<TLibModule>();
    package->entry->Instance = package->module;
    RegisterModule(package->entry.get());
  } else if (void* pin = dlopen(absolute.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) {
    // Such a library stays mapped once mapped, as in the workbench, which links it.
    // Unmapped with its last user it would take Qt's libraries along, and every
    // load after would map them anew and leak: some of them keep memory from their
    // initialisation that their finalisation never gives back.
    dlclose(pin);
  }
  const HMODULE module = package->module;
  Packages().push_back(std::move(package));
  return module;
}

}  // namespace

namespace detail {

void* LoadedPackageHandle(HMODULE module) {
  const LoadedPackage* package = FindByModule(module);
  return package ? package->handle : nullptr;
}

}  // namespace detail

HMODULE LoadPackage(const std::string& fileName) {
  return LoadFile(fileName, {});
}

void UnloadPackage(HMODULE module) {
  auto& packages = Packages();
  const auto it = std::find_if(packages.begin(), packages.end(),
                               [module](const auto& package) { return package->module == module; });
  if (it == packages.end()) {
    throw Exception("UnloadPackage: module %s is not a package loaded by LoadPackage",
                    {detail::HandleText(module)});
  }
  if (--(*it)->references > 0) return;

  // Out of the table before any of its code runs again, so a finalisation that
  // looks the package up sees it as gone.
  std::unique_ptr<LoadedPackage> package = std::move(*it);
  packages.erase(it);

  std::optional<std::pair<std::string, std::string>> failure;
  if (!package->foreign) {
    failure = FinaliseUnits(*package, package->record.units.size());
    // A class reference into unmapped memory would be a crash waiting to happen.
    UnRegisterModuleClasses(package->module);
  }
  if (package->entry) UnregisterModule(package->entry.get());
  if (!package->foreign) EnterStage(TPackageStage::StaticDestructors, package->record.name);
  dlclose(package->handle);
  const auto releaseFailure = Release(package->required);

  if (failure) {
    throw Exception("%s: finalisation of unit %s in package %s failed: %s",
                    {package->path, failure->first, package->record.name, failure->second});
  }
  if (releaseFailure) throw Exception(*releaseFailure);
}

}  // namespace rtl
