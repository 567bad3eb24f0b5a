// The module list, and the handles of mapped modules.

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "module_internal.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"

namespace rtl {

namespace {

// Constant-initialised, so it is valid before any static constructor runs: the
// libraries register themselves from their ELF constructors.
TLibModule* moduleListHead = nullptr;

struct KnownName {
  const TLibModule* record;
  HMODULE instance;
  std::string name;
  std::string file;
};

// Never destroyed: libraries unregister themselves from their destructors, which
// may run after this library's static destructors.
std::vector<KnownName>& KnownNames() {
  static auto* names = new std::vector<KnownName>();
  return *names;
}

void ForgetName(const TLibModule* module) {
  auto& names = KnownNames();
  for (auto it = names.begin(); it != names.end(); ++it) {
    if (it->record == module) {
      names.erase(it);
      return;
    }
  }
}

struct FindContext {
  HMODULE wanted = 0;  // 0: the first object, which is the executable
  bool first = true;
  std::optional<detail::MappedObject> result;
};

int FindCallback(dl_phdr_info* info, size_t, void* data) {
  auto& context = *static_cast<FindContext*>(data);
  const bool isMain = context.first;
  context.first = false;
  const HMODULE base = detail::MappedBase(info->dlpi_addr, info->dlpi_phdr, info->dlpi_phnum);
  if (context.wanted != 0 && base != context.wanted) return 0;
  detail::MappedObject object;
  object.base = base;
  object.bias = info->dlpi_addr;
  object.phdr = info->dlpi_phdr;
  object.phnum = info->dlpi_phnum;
  object.name = info->dlpi_name ? info->dlpi_name : "";
  object.isMainProgram = isMain;
  context.result = std::move(object);
  return 1;
}

}  // namespace

namespace detail {

HMODULE MappedBase(ElfW(Addr) bias, const ElfW(Phdr) * phdr, std::size_t phnum) {
  static const auto pageMask = ~static_cast<ElfW(Addr)>(sysconf(_SC_PAGESIZE) - 1);
  ElfW(Addr) lowest = 0;
  bool found = false;
  for (std::size_t i = 0; i < phnum; ++i) {
    if (phdr[i].p_type != PT_LOAD) continue;
    const ElfW(Addr) start = bias + (phdr[i].p_vaddr & pageMask);
    if (!found || start < lowest) lowest = start;
    found = true;
  }
  return found ? static_cast<HMODULE>(lowest) : 0;
}

std::optional<MappedObject> FindMappedObject(HMODULE module) {
  if (module == 0) return std::nullopt;
  FindContext context;
  context.wanted = module;
  dl_iterate_phdr(&FindCallback, &context);
  return context.result;
}

}  // namespace detail

namespace {

// What the module list knows of a module that registered itself, read from the
// mapped module once and remembered while its record stays in the list.
const KnownName& Known(const TLibModule* module) {
  auto& names = KnownNames();
  for (const KnownName& known : names) {
    if (known.record == module && known.instance == module->Instance) return known;
  }
  ForgetName(module);
  KnownName known{module, module->Instance, {}, {}};
  if (const auto object = detail::FindMappedObject(module->Instance)) {
    known.file = detail::MappedObjectPath(*object);
    try {
      if (const auto record = detail::ReadMappedRecord(*object)) known.name = record->name;
    } catch (const Exception&) {
      // A record that cannot be read names no package.
    }
  }
  names.push_back(std::move(known));
  return names.back();
}

}  // namespace

namespace detail {

const std::string& RegisteredPackageName(const TLibModule* module) {
  return Known(module).name;
}

const std::string& RegisteredModuleFile(const TLibModule* module) {
  return Known(module).file;
}

bool IsRegisteredModule(HMODULE module) {
  for (TLibModule* m = moduleListHead; m != nullptr; m = m->Next) {
    if (m->Instance == module) return true;
  }
  return false;
}

}  // namespace detail

TLibModule* LibModuleList() {
  return moduleListHead;
}

void RegisterModule(TLibModule* module) {
  if (module == nullptr) throw Exception("RegisterModule: no module record given");
  for (TLibModule* m = moduleListHead; m != nullptr; m = m->Next) {
    // Linking a record in twice would make the list circular.
    if (m == module) return;
  }
  module->Next = moduleListHead;
  moduleListHead = module;
  detail::ForgetPropertyTables();
}

void UnregisterModule(TLibModule* module) {
  for (TLibModule** link = &moduleListHead; *link != nullptr; link = &(*link)->Next) {
    if (*link == module) {
      ForgetName(module);
      detail::ForgetPropertyTables();
      *link = module->Next;
      module->Next = nullptr;
      return;
    }
  }
}

HMODULE ModuleFromAddress(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0) return 0;
  return reinterpret_cast<HMODULE>(info.dli_fbase);
}

HMODULE MainInstance() {
  static const HMODULE main = [] {
    FindContext context;
    dl_iterate_phdr(&FindCallback, &context);
    return context.result ? context.result->base : HMODULE{0};
  }();
  return main;
}

namespace {

// The run-time library is a package like the ones it loads: it is in the module
// list for as long as it is mapped.
TLibModule rtlModule;

__attribute__((constructor)) void RegisterRuntimeLibrary() {
  rtlModule.Instance = ModuleFromAddress(reinterpret_cast<const void*>(&RegisterRuntimeLibrary));
  RegisterModule(&rtlModule);
}

__attribute__((destructor)) void UnregisterRuntimeLibrary() {
  UnregisterModule(&rtlModule);
}

}  // namespace

}  // namespace rtl
