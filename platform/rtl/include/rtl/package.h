#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "rtl/export.h"
#include "rtl/package_file.h"
#include "rtl/types.h"

namespace rtl {

// One record of the module list. Next links to the next record (null ends it).
struct TLibModule {
  TLibModule* Next = nullptr;
  HMODULE Instance = 0;
};

// Head of the list of modules registered with the framework: the executable, the
// framework's own packages and every package loaded since. New records go first.
RTL_API TLibModule* LibModuleList();
RTL_API void RegisterModule(TLibModule* module);
RTL_API void UnregisterModule(TLibModule* module);

// The module that contains this address (its load address), 0 when none does.
RTL_API HMODULE ModuleFromAddress(const void* address);
// The executable's own module.
RTL_API HMODULE MainInstance();

// Kinds of names in package information. Any value other than 0 and 1 is the
// package's build-artifact ("DCP/BPI") name.
enum TNameType : std::uint8_t { ntContainsUnit = 0, ntRequiresPackage = 1, ntDcpBpiName = 2 };

using TPackageInfoProc = void (*)(const std::string& name, TNameType nameType, std::uint8_t flags,
                                  void* param);

// The stages of LoadPackage and UnloadPackage in which a package's own code runs.
enum class TPackageStage : std::uint8_t {
  StaticConstructors,  // the dynamic linker maps it and runs its static constructors
  UnitInitialization,
  UnitFinalization,
  StaticDestructors,  // the dynamic linker runs its static destructors and unmaps it
};
// An observer told as each stage begins, before any of the package's code in it runs:
// the stage, the package's name and, for the two unit stages, the unit's name (empty
// otherwise). Required packages loaded or released along the way are told of too. It
// is there for a process that must say where a package's code was when that code
// killed it (the trial host reports each stage to the workbench); it must not raise.
// Null, the default: nobody is told.
using TPackageStageProc = void (*)(TPackageStage stage, const std::string& package,
                                   const std::string& unit);
extern RTL_API TPackageStageProc PackageStageProc;

// Loads a package with the packages it requires, runs its unit initialisations in
// order and adds it to the module list. Loading the same file again counts a
// reference. A failed load leaves the process as before and raises Exception
// naming the file and the reason.
RTL_API HMODULE LoadPackage(const std::string& fileName);
// The same, for a file whose code was tried while it had the identity `tried`
// (rtl/package_file.h): a file that is no longer that file is refused before any of
// its code runs, and one that changes while it is being mapped is let go again before
// its units are initialised. Only this file is held to it, not the packages it
// requires.
RTL_API HMODULE LoadPackage(const std::string& fileName, const TFileIdentity& tried);
// Finalises the units in reverse order, unregisters the module's classes, removes
// it from the module list, closes it and releases the packages it required.
RTL_API void UnloadPackage(HMODULE module);

// Calls proc once per name in the loaded module's package information: contained
// units, required packages, then the build-artifact name. Raises for a module that
// carries none (such as the executable) or that is not loaded.
RTL_API void GetPackageInfo(HMODULE module, void* param, std::uint8_t& flags,
                            TPackageInfoProc proc);
// Reads the description from a package file without running any of its code. A
// file without package information has an empty description; a file that cannot
// be read as an ELF file raises.
RTL_API std::string GetPackageDescription(const char* fileName);

// The module's own export of exactly that name: first the package's export table,
// then the module's own function symbols. Never another module's symbol, never data.
RTL_API void* GetProcAddress(HMODULE module, const char* name);
// The name under which a package exports the registration procedure of a unit:
// "@" + unit + "@Register$qqrv". RTL_UNIT_REGISTER (rtl/package_sdk.h) makes such an
// export.
RTL_API std::string RegistrationProcName(std::string_view unit);
// Whether the name has that form for some unit: one neither empty nor holding '@'.
RTL_API bool IsRegistrationProcName(std::string_view name);

// Writes the module's absolute path, zero-terminated and cut to fit in size bytes.
// Returns the number of bytes written without the zero; 0 for an unknown module.
RTL_API std::uint32_t GetModuleFileNameA(HMODULE module, char* buffer, std::uint32_t size);

}  // namespace rtl
