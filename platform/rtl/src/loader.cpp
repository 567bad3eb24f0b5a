// LoadPackage and UnloadPackage.
//
// Every module of the process allocates from the C library's one heap, so memory
// passes freely between the program, the framework and the packages: there is no
// separate memory manager to share.

#include <dlfcn.h>
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "elf_reader.h"
#include "module_internal.h"
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

// Shared with the record of checked files below, which outlives the load.
using Record = std::shared_ptr<const TPackageRecord>;

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
  LoadedPackage* loaded = nullptr;  // null for a module that registered itself
};

// The module in the module list whose package record carries this name.
std::optional<RegisteredPackage> FindRegisteredPackage(const std::string& name) {
  for (TLibModule* m = LibModuleList(); m != nullptr; m = m->Next) {
    if (LoadedPackage* package = FindByModule(m->Instance)) {
      if (package->record->name == name) return RegisteredPackage{m->Instance, package};
      continue;
    }
    if (detail::RegisteredPackageName(m) == name) return RegisteredPackage{m->Instance, nullptr};
  }
  return std::nullopt;
}

// Canonical, so that two names of one file compare equal.
std::string CanonicalPathOf(const RegisteredPackage& registered) {
  const auto object = detail::FindMappedObject(registered.module);
  return object ? detail::MappedObjectPath(*object) : std::string();
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

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
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

HMODULE LoadFile(const std::string& fileName, const std::string& wanted,
                 const TFileIdentity* tried = nullptr);

// The records of the package files read before, by the identity of each file as it
// was read, the latest first. Loading a package again while its file is unchanged
// then costs a stat instead of opening and reading it; any change to the file (a
// write, a cut, another file in its place) has it read and checked anew.
//
// Only a file that has not changed for a while is kept. File times are coarse (a
// clock tick, on some file systems a second or two): a file written in the same
// tick as the one read, in its place, could look the same. Once the times are
// older than that, whatever changes the file later gives it later times.
class CheckedFiles {
 public:
  static constexpr std::size_t kKept = 16;
  static constexpr std::int64_t kSettledNanoseconds = 2'000'000'000;

  static bool Settled(const detail::FileIdentity& identity) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t settled =
        static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec - kSettledNanoseconds;
    return identity.modified < settled && identity.changed < settled;
  }

  Record Find(const detail::FileIdentity& identity) {
    for (auto it = files_.begin(); it != files_.end(); ++it) {
      if (it->first == identity) {
        std::rotate(files_.begin(), it, it + 1);
        return files_.front().second;
      }
    }
    return nullptr;
  }
  void Keep(const detail::FileIdentity& identity, Record record) {
    if (files_.size() == kKept) files_.pop_back();
    files_.emplace(files_.begin(), identity, std::move(record));
  }

 private:
  std::vector<std::pair<detail::FileIdentity, Record>> files_;
};

// Never destroyed, as the table of packages.
CheckedFiles& Checked() {
  static auto* files = new CheckedFiles();
  return *files;
}

// The record of the file, which must be a package, and the one wanted when a
// required package is looked for. Never hand dlopen a file the reader refused: a
// truncated file is mapped all the same and the process dies of SIGBUS when the
// dynamic linker touches the missing pages.
Record ReadRecord(const std::string& fileName, const std::string& wanted,
                  const TFileIdentity* tried = nullptr) {
  if (fileName.empty()) throw Exception("LoadPackage: no file name given");
  Record record;
  const auto identity = IdentityOfFile(fileName);
  if (tried != nullptr) {
    if (const std::string change = FileChange(*tried, identity); !change.empty()) {
      throw Exception("%s: the file has changed since its code was tried (%s); load it again",
                      {fileName, change});
    }
  }
  if (identity) record = Checked().Find(*identity);
  if (!record) {
    detail::PackageFile file = detail::ReadPackageFile(fileName, detail::ElfCheck::Loading);
    if (!file.record) {
      throw Exception("%s: not a package (the file carries no package information)", {fileName});
    }
    record = std::make_shared<const TPackageRecord>(std::move(*file.record));
    if (CheckedFiles::Settled(file.identity)) Checked().Keep(file.identity, record);
  }
  if (!wanted.empty() && record->name != wanted) {
    throw Exception("%s holds package %s, not %s", {fileName, record->name, wanted});
  }
  return record;
}

// A package met again among the packages it requires, directly or not, requires
// itself: loading it would recurse forever.
void RefuseCycle(const std::string& fileName, const std::string& name) {
  const std::vector<std::string>& loading = LoadingNames();
  if (std::find(loading.begin(), loading.end(), name) == loading.end()) return;
  std::string chain;
  for (const std::string& outer : loading) chain += outer + " -> ";
  throw Exception("%s: package %s requires itself (%s%s)", {fileName, name, chain, name});
}

// Names a package among those being loaded while its load lasts.
class LoadingName {
 public:
  explicit LoadingName(const std::string& name) { LoadingNames().push_back(name); }
  ~LoadingName() { LoadingNames().pop_back(); }
  LoadingName(const LoadingName&) = delete;
  LoadingName& operator=(const LoadingName&) = delete;
};

// A module that was registered before LoadPackage met it, asked for by its own
// path: hand out counted references to it, but never run or finalise its units.
HMODULE AdoptForeign(const std::string& fileName, const std::string& canonical, Record record,
                     HMODULE module) {
  void* handle = dlopen(canonical.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) {
    const char* error = dlerror();
    throw Exception("%s: %s", {fileName, error ? error : "dlopen failed"});
  }
  auto package = std::make_unique<LoadedPackage>();
  package->module = module;
  package->handle = handle;
  package->path = canonical;
  package->record = std::move(record);
  package->foreign = true;
  Packages().push_back(std::move(package));
  return module;
}

// One package of a name: the same file again counts a reference, another file of
// that name is refused.
HMODULE Reuse(const std::string& fileName, Record record, const RegisteredPackage& registered) {
  const std::string loadedFrom = CanonicalPathOf(registered);
  const std::string canonical = CanonicalPath(fileName);
  if (loadedFrom != canonical) {
    throw Exception("package %s is already loaded from %s; refusing %s",
                    {record->name, loadedFrom, fileName});
  }
  if (registered.loaded != nullptr) {
    ++registered.loaded->references;
    return registered.module;
  }
  return AdoptForeign(fileName, canonical, std::move(record), registered.module);
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

  // Takes a reference on every package the record requires, loading those not
  // loaded yet.
  void AcquireRequired() {
    const TPackageRecord& record = *package_->record;
    for (const std::string& name : record.requiredPackages) {
      if (name == record.name) {
        throw Exception("%s: package %s requires itself", {fileName_, record.name});
      }
      if (const auto registered = FindRegisteredPackage(name)) {
        // Loaded by us: count a reference. Otherwise a framework library that the
        // dynamic linker keeps mapped for as long as anything links it.
        if (registered->loaded != nullptr) {
          ++registered->loaded->references;
          package_->required.push_back(registered->module);
        }
        continue;
      }
      const std::string path = Locate(name);
      try {
        package_->required.push_back(LoadFile(path, name));
      } catch (const Exception& e) {
        throw Exception("%s: cannot load required package %s: %s", {fileName_, name, e.Message()});
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
  // A required package that is not loaded yet, by the rule pkginfo's check shares.
  std::string Locate(const std::string& name) const {
    const TRequiredPackageSearch found =
        FindRequiredPackage(name, DirectoryOf(package_->path), RuntimeLibraryDirectory());
    if (found.path.empty()) {
      throw Exception("%s: %s", {fileName_, RequiredPackageNotFound(name, found)});
    }
    return found.path;
  }

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

// LoadPackage; a file found for a required package must hold the package wanted.
HMODULE LoadFile(const std::string& fileName, const std::string& wanted,
                 const TFileIdentity* tried) {
  Record record = ReadRecord(fileName, wanted, tried);
  RefuseCycle(fileName, record->name);
  if (const auto registered = FindRegisteredPackage(record->name)) {
    return Reuse(fileName, std::move(record), *registered);
  }
  return LoadNew(fileName, std::move(record), tried);
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

HMODULE LoadPackage(const std::string& fileName, const TFileIdentity& tried) {
  return LoadFile(fileName, {}, &tried);
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

TPackageRecord ReadRequiredPackage(const std::string& fileName, const std::string& wanted) {
  return *ReadRecord(fileName, wanted);
}

}  // namespace rtl
