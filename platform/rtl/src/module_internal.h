#pragma once

// Helpers shared by the module list, the loader and the look-ups that read a loaded
// module's image: finding an object among those the dynamic linker has mapped, and
// reading the package record out of its memory.

#include <link.h>

#include <optional>
#include <string>

#include "package_record.h"
#include "rtl/package.h"
#include "rtl/types.h"

namespace rtl::detail {

// One object the dynamic linker has mapped, as dl_iterate_phdr describes it. The
// pointers stay valid while the object stays loaded.
struct MappedObject {
  HMODULE base = 0;     // where its first segment is mapped: the module handle
  ElfW(Addr) bias = 0;  // added to every p_vaddr to get an address
  const ElfW(Phdr) * phdr = nullptr;
  ElfW(Half) phnum = 0;
  std::string name;  // as the dynamic linker knows it; empty for the executable
  bool isMainProgram = false;
};

// The mapped object whose handle is this, or nothing.
std::optional<MappedObject> FindMappedObject(HMODULE module);

// The package record in the mapped module's PT_NOTE segments. Nothing when the
// module carries none; throws Exception when a note is malformed.
std::optional<TPackageRecord> ReadMappedRecord(const MappedObject& object);
// Same, for a handle; nothing as well when no such module is mapped.
std::optional<TPackageRecord> ReadModuleRecord(HMODULE module);

// The absolute path of a mapped module: /proc/self/exe for the executable.
std::string MappedObjectPath(const MappedObject& object);

// "0x7f..." for messages.
std::string HandleText(HMODULE module);

// The dlopen handle of a package LoadPackage holds, null for any other module.
void* LoadedPackageHandle(HMODULE module);

// The package name in the record of a module that registered itself, read from
// its memory once and remembered while the record stays in the list. Empty when
// it carries no readable record.
const std::string& RegisteredPackageName(const TLibModule* module);

// True when the module is in the module list.
bool IsRegisteredModule(HMODULE module);

// The handle of the module that maps this dlopen handle.
HMODULE ModuleOfHandle(void* handle);

// The module's function symbol of exactly that name, only when the module itself
// defines it (not one of its dependencies) and it is code; null otherwise.
void* FindOwnFunction(void* handle, HMODULE module, const char* name);

}  // namespace rtl::detail
