#include <dlfcn.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "name_table.h"
#include "rtl/object.h"
#include "rtl/sysutils.h"

namespace rtl {

namespace {

using ClassTable = NameTable<TClass>;
static_assert(ShortString::MaxLength <= ClassTable::kMaxName,
              "every class name fits the table's key");

// Never destroyed: a package may be unloaded by a static destructor that runs after
// this file's statics are gone, and it still unregisters its classes.
ClassTable& Classes() {
  static ClassTable* registry = new ClassTable();
  return *registry;
}

// The module whose image holds this address; descriptors built at run time (on the
// heap) belong to no module.
HMODULE ModuleOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return 0;
  return reinterpret_cast<HMODULE>(info.dli_fbase);
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
  ClassTable& classes = Classes();
  const std::size_t found = classes.Find(name.View());
  if (found != ClassTable::npos) {
    const TClass registered = classes.At(found);
    if (registered == cls) return;
    throw Exception("Class %s is already registered from %s; cannot register the one from %s",
                    {name, ModuleFileOf(registered), ModuleFileOf(cls)});
  }
  // The cut length keeps the key within the descriptor's own name bytes.
  if (!classes.Insert(std::string_view(cls->Name, name.size()), cls, ModuleOf(cls))) {
    throw Exception("RegisterClass: the class registry is full (%d classes)", {classes.Size()});
  }
}

void UnRegisterClass(TClass cls) {
  CheckClass(cls, "UnRegisterClass");
  ClassTable& classes = Classes();
  const std::size_t found = classes.Find(ClassName(cls).View());
  // Another class under the same name stays: only this one is taken out.
  if (found != ClassTable::npos && classes.At(found) == cls) classes.EraseAt(found);
}

TClass GetClass(std::string_view name) {
  const ClassTable& classes = Classes();
  const std::size_t found = classes.Find(name);
  return found != ClassTable::npos ? classes.At(found) : nullptr;
}

TClass FindClass(std::string_view name) {
  TClass cls = GetClass(name);
  if (cls == nullptr) throw Exception("Class %s not found", {name});
  return cls;
}

std::size_t RegisteredClassCount() {
  return Classes().Size();
}

void UnRegisterModuleClasses(std::uintptr_t module) {
  Classes().EraseOwner(module);
}

}  // namespace rtl
