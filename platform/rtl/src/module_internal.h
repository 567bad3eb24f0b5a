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
// The canonical path of such a module's file, remembered the same way; empty when it
// is not mapped.
const std::string& RegisteredModuleFile(const TLibModule* module);

// True when the module is in the module list.
bool IsRegisteredModule(HMODULE module);

// Drops what GetPropList and FindProp remember of classes: called whenever a module
// joins or leaves the module list. Leaving it is the last that rtl hears of a module
// before it may be unmapped; joining it makes its classes worth remembering.
void ForgetPropertyTables();

// Where the dynamic linker mapped an object's first segment: the address dladdr
// reports as its base, and the module handle. 0 when it has no PT_LOAD segment.
HMODULE MappedBase(ElfW(Addr) bias, const ElfW(Phdr) * phdr, std::size_t phnum);

// The dynamic symbols a dlopen handle's module defines itself, looked up through the
// hash table its linker wrote: never a symbol of a module it links, as dlsym on the
// handle would find one. Read once, then asked for as many names as needed.
class OwnSymbols {
 public:
  explicit OwnSymbols(void* handle);

  // The module handle: where the module's first segment is mapped.
  HMODULE Module() const noexcept { return module_; }
  // The module's own function of exactly that name; null when it defines none, or
  // defines the name as anything but code.
  void* Function(const char* name) const;

 private:
  const ElfW(Sym) * Find(const char* name) const;
  void* Searched(const char* name) const;

  void* handle_ = nullptr;
  HMODULE module_ = 0;
  ElfW(Addr) bias_ = 0;
  const std::uint32_t* gnuHash_ = nullptr;
  const ElfW(Sym) * symbols_ = nullptr;
  const char* strings_ = nullptr;
  const ElfW(Half) * versions_ = nullptr;
};

}  // namespace rtl::detail
