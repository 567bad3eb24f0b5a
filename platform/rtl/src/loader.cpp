// LoadPackage and UnloadPackage.
//
// Every module of the process allocates from the C library's one heap, so memory
// passes freely between the program, the framework and the packages: there is no
// separate memory manager to share.

#include <dlfcn.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "checked_files.h"
#include "load_plan.h"
#include "module_internal.h"
#include "paths.h"
#include "rtl/object.h"
#include "rtl/package.h"
#include "rtl/package_file.h"
#include "rtl/sysutils.h"

namespace rtl {

TPackageStageProc PackageStageProc = nullptr;

namespace {

void EnterStage(TPackageStage stage, const std::string& package, const std::string& unit = {}) {
  if (PackageStageProc != nullptr) PackageStageProc(stage, package, unit);
}

using UnitProc = void (*)();

// A unit's initialisation and finalisation, each null when the unit has none.
struct Unit {
  std::string name;
  UnitProc init = nullptr;
  UnitProc fini = nullptr;
};

// Shared with the loader's checked files, which outlive the load.
using detail::Record;

// How a load plan tells a package the process holds.
constexpr const char* kHeld = "already loaded";

struct LoadedPackage {
  HMODULE module = 0;
  void* handle = nullptr;
  std::string path;  // absolute, as opened
  Record record;
  int references = 1;
  // Mapped and registered before LoadPackage saw it (the framework's own
  // libraries): its units were never run by us, so they are not finalised either.
  bool foreign = false;
  std::vector<Unit> units;            // each unit once, in order, found at load
  std::vector<HMODULE> required;      // references this load took, in order
  std::unique_ptr<TLibModule> entry;  // null when the module registers itself
};

// Never destroyed: packages still loaded at exit may be unloaded by the dynamic
// linker after this library's static destructors have run.
std::vector<std::unique_ptr<LoadedPackage>>& Packages() {
  static auto* packages = new std::vector<std::unique_ptr<LoadedPackage>>();
  return *packages;
}

// Names of the packages whose loads are in progress, outermost first: their code
// loading one of them again would recurse forever, so the plan refuses that.
std::vector<std::string>& LoadingNames() {
  static auto* names = new std::vector<std::string>();
  return *names;
}

// Names a package among those being loaded while its load lasts.
class LoadingName {
 public:
  explicit LoadingName(const std::string& name) { LoadingNames().push_back(name); }
  ~LoadingName() { LoadingNames().pop_back(); }
  LoadingName(const LoadingName&) = delete;
  LoadingName& operator=(const LoadingName&) = delete;
};

LoadedPackage* FindByModule(HMODULE module) {
  for (auto& package : Packages()) {
    if (package->module == module) return package.get();
  }
  return nullptr;
}

struct RegisteredPackage {
  const TLibModule* entry = nullptr;
  HMODULE module = 0;
  LoadedPackage* loaded = nullptr;  // null for a module that registered itself
};

// The module in the module list whose package record carries this name.
std::optional<RegisteredPackage> FindRegisteredPackage(const std::string& name) {
  for (TLibModule* m = LibModuleList(); m != nullptr; m = m->Next) {
    if (LoadedPackage* package = FindByModule(m->Instance)) {
      if (package->record->name == name) return RegisteredPackage{m, m->Instance, package};
      continue;
    }
    if (detail::RegisteredPackageName(m) == name) return RegisteredPackage{m, m->Instance, nullptr};
  }
  return std::nullopt;
}

// The unit's procedure of that kind ("init" or "fini"), null when it has none.
UnitProc FindUnitProc(const detail::OwnSymbols& symbols, std::string_view kind,
                      const std::string& unit) {
  constexpr std::string_view kPrefix = "rtl_unit_";
  // Unit names are at most 255 bytes (the reader takes no other): no allocation.
  char symbol[64 + 256];
  if (unit.size() > 255) return nullptr;
  char* end = std::copy(kPrefix.begin(), kPrefix.end(), symbol);
  end = std::copy(kind.begin(), kind.end(), end);
  *end++ = '_';
  end = std::copy(unit.begin(), unit.end(), end);
  *end = '\0';
  return reinterpret_cast<UnitProc>(symbols.Function(symbol));
}

// Runs one unit procedure; the exception's text when it throws, nothing otherwise.
// Nothing of the package's exception outlives this call, so the package may be
// closed right after.
std::optional<std::string> RunUnitProc(UnitProc proc) {
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

// Finalises units [0, count) in reverse order, all of them even when one fails.
// Returns the first failure: the unit and its message.
std::optional<std::pair<std::string, std::string>> FinaliseUnits(const LoadedPackage& package,
                                                                 std::size_t count) {
  std::optional<std::pair<std::string, std::string>> failure;
  for (std::size_t i = count; i-- > 0;) {
    const Unit& unit = package.units[i];
    if (unit.fini == nullptr) continue;
    EnterStage(TPackageStage::UnitFinalization, package.record->name, unit.name);
    if (auto message = RunUnitProc(unit.fini)) {
      if (!failure) failure.emplace(unit.name, *message);
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

// What the process holds, as the plan asks it: the package of that name in the
// module list, and the file it came from.
std::optional<TLoadedPackage> Held(const std::string& name) {
  const auto registered = FindRegisteredPackage(name);
  if (!registered) return std::nullopt;
  if (registered->loaded != nullptr) return TLoadedPackage{registered->loaded->path, kHeld};
  return TLoadedPackage{detail::RegisteredModuleFile(registered->entry), kHeld};
}

// The file asked for is a package held already, by that file: one reference more. A
// module that was registered before LoadPackage met it gets counted references from
// now on, but its units are never run or finalised by us.
HMODULE Reuse(const std::string& fileName, Record record) {
  const auto registered = FindRegisteredPackage(record->name);
  if (registered->loaded != nullptr) {
    ++registered->loaded->references;
    return registered->module;
  }
  const std::string canonical = detail::CanonicalPath(fileName);
  void* handle = dlopen(canonical.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) {
    const char* error = dlerror();
    throw Exception("%s: %s", {fileName, error ? error : "dlopen failed"});
  }
  auto package = std::make_unique<LoadedPackage>();
  package->module = registered->module;
  package->handle = handle;
  package->path = canonical;
  package->record = std::move(record);
  package->foreign = true;
  Packages().push_back(std::move(package));
  return registered->module;
}

// A load in progress, step by step. Whatever fails on the way raises, and the load
// is undone as far as it got: the process is left as it was before.
class PendingLoad {
 public:
  PendingLoad(const std::string& fileName, Record record)
      : fileName_(fileName), package_(std::make_unique<LoadedPackage>()) {
    package_->path = AbsolutePath(fileName);
    package_->record = std::move(record);
  }
  ~PendingLoad() {
    if (package_) Undo();
  }
  PendingLoad(const PendingLoad&) = delete;
  PendingLoad& operator=(const PendingLoad&) = delete;

  // Takes a reference on every package the record requires: the plan has them
  // loaded by now.
  void AcquireRequired() {
    for (const std::string& name : package_->record->requiredPackages) {
      const auto registered = FindRegisteredPackage(name);
      if (!registered) {
        throw Exception("%s: required package %s was unloaded during the load", {fileName_, name});
      }
      // Loaded by us: count a reference. Otherwise a framework library that the
      // dynamic linker keeps mapped for as long as anything links it.
      if (registered->loaded != nullptr) {
        ++registered->loaded->references;
        package_->required.push_back(registered->module);
      }
    }
  }

  // Maps the file, which runs its static constructors. RTLD_NOW: a symbol that cannot
  // be bound fails the load here, instead of ending the process at its first call.
  // A file held to the identity its code was tried with must still have it after the
  // mapping: unchanged before and after, it is the file that was mapped.
  void Open(const TFileIdentity* tried) {
    EnterStage(TPackageStage::StaticConstructors, package_->record->name);
    package_->handle = dlopen(package_->path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (package_->handle == nullptr) {
      const char* error = dlerror();
      throw Exception("%s: %s", {fileName_, error ? error : "dlopen failed"});
    }
    if (tried == nullptr) return;
    if (const std::string change = FileChange(*tried, IdentityOfFile(package_->path));
        !change.empty()) {
      throw Exception("%s: the file changed while it was being loaded (%s); load it again",
                      {fileName_, change});
    }
  }

  // The module handle, and each unit once, however often the record names it, with
  // its procedures: they are looked up here only, and kept for the unload.
  void FindModuleAndUnits() {
    const detail::OwnSymbols symbols(package_->handle);
    package_->module = symbols.Module();
    for (const std::string& name : package_->record->units) {
      const auto same = [&](const Unit& unit) { return unit.name == name; };
      if (std::any_of(package_->units.begin(), package_->units.end(), same)) continue;
      package_->units.push_back(
          Unit{name, FindUnitProc(symbols, "init", name), FindUnitProc(symbols, "fini", name)});
    }
  }

  void InitialiseUnits() {
    for (; initialised_ < package_->units.size(); ++initialised_) {
      const Unit& unit = package_->units[initialised_];
      if (unit.init == nullptr) continue;
      EnterStage(TPackageStage::UnitInitialization, package_->record->name, unit.name);
      if (const auto failure = RunUnitProc(unit.init)) {
        throw Exception("%s: initialisation of unit %s in package %s failed: %s",
                        {fileName_, unit.name, package_->record->name, *failure});
      }
    }
  }

  // Puts the package into the module list and the table of loaded packages.
  HMODULE Commit() {
    // A framework library brought in by a package registers itself from its
    // constructor; a second record for it would list it twice.
    if (!detail::IsRegisteredModule(package_->module)) {
      package_->entry = std::make_unique<TLibModule>();
      package_->entry->Instance = package_->module;
      RegisterModule(package_->entry.get());
    } else if (void* pin = dlopen(package_->path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) {
      // Such a library stays mapped once mapped, as in the workbench, which links it.
      // Unmapped with its last user it would take Qt's libraries along, and every
      // load after would map them anew and leak: some of them keep memory from their
      // initialisation that their finalisation never gives back.
      dlclose(pin);
    }
    const HMODULE module = package_->module;
    Packages().push_back(std::move(package_));
    return module;
  }

 private:
  // Everything done so far, backwards. Failures here cannot hide the one that
  // brought the load down.
  void Undo() noexcept {
    try {
      if (package_->handle != nullptr) {
        FinaliseUnits(*package_, initialised_);
        UnRegisterModuleClasses(package_->module);
        EnterStage(TPackageStage::StaticDestructors, package_->record->name);
        dlclose(package_->handle);
      }
      Release(package_->required);
    } catch (...) {
    }
  }

  // A copy: the name the caller passed may live no longer than the call that began
  // the load, and a failure is told with it after that.
  const std::string fileName_;
  std::unique_ptr<LoadedPackage> package_;  // null once committed
  std::size_t initialised_ = 0;             // units whose initialisation has returned
};

HMODULE LoadNew(const std::string& fileName, Record record, const TFileIdentity* tried) {
  const LoadingName loading(record->name);
  PendingLoad load(fileName, std::move(record));
  load.AcquireRequired();
  load.Open(tried);
  load.FindModuleAndUnits();
  load.InitialiseUnits();
  return load.Commit();
}

// Takes the plan's steps in order. Each package opened holds one reference for the
// load until it is done: the file's own goes to the caller, the others' are given
// back once their requirers hold theirs. A failure gives back all of them, the last
// opened first, which unloads whatever the load opened.
HMODULE Follow(const std::string& fileName, TLoadPlan& plan, const TFileIdentity* tried) {
  TLoadStep& own = plan.steps.back();
  if (!own.opens) return Reuse(fileName, std::move(own.record));
  std::vector<HMODULE> opened;
  try {
    for (TLoadStep& step : plan.steps) {
      if (!step.opens) continue;
      const bool isOwn = &step == &own;
      // Code run by an earlier step may have brought it in: a framework library
      // registers itself when a package that links it is mapped.
      if (!isOwn && FindRegisteredPackage(step.name)) continue;
      opened.push_back(
          LoadNew(isOwn ? fileName : step.path, std::move(step.record), isOwn ? tried : nullptr));
    }
  } catch (...) {
    Release(opened);
    throw;
  }
  const HMODULE module = opened.back();
  opened.pop_back();
  Release(opened);  // only counts down: their requirers hold them too
  return module;
}

HMODULE LoadFile(const std::string& fileName, const TFileIdentity* tried) {
  if (fileName.empty()) throw Exception("LoadPackage: no file name given");
  if (tried != nullptr) {
    if (const std::string change = FileChange(*tried, IdentityOfFile(fileName)); !change.empty()) {
      throw Exception("%s: the file has changed since its code was tried (%s); load it again",
                      {fileName, change});
    }
  }
  TLoadPlan plan = detail::PlanLoad(fileName, Held, RuntimeLibraryDirectory(), LoadingNames());
  if (!plan.error.empty()) throw Exception(plan.error);
  return Follow(fileName, plan, tried);
}

}  // namespace

namespace detail {

void* LoadedPackageHandle(HMODULE module) {
  const LoadedPackage* package = FindByModule(module);
  return package ? package->handle : nullptr;
}

}  // namespace detail

HMODULE LoadPackage(const std::string& fileName) {
  return LoadFile(fileName, nullptr);
}

HMODULE LoadPackage(const std::string& fileName, const TFileIdentity& tried) {
  return LoadFile(fileName, &tried);
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
    failure = FinaliseUnits(*package, package->units.size());
    // A class reference into unmapped memory would be a crash waiting to happen.
    UnRegisterModuleClasses(package->module);
  }
  if (package->entry) UnregisterModule(package->entry.get());
  if (!package->foreign) EnterStage(TPackageStage::StaticDestructors, package->record->name);
  dlclose(package->handle);
  const auto releaseFailure = Release(package->required);

  if (failure) {
    throw Exception("%s: finalisation of unit %s in package %s failed: %s",
                    {package->path, failure->first, package->record->name, failure->second});
  }
  if (releaseFailure) throw Exception(*releaseFailure);
}

}  // namespace rtl
