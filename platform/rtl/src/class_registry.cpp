#include <dlfcn.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/object.h"

namespace rtl {

namespace {

// The registry: open addressing with linear probing over one flat array. A slot holds
// all a look-up needs (part of the hash, the name's length and bytes' address, the
// class), so a look-up in a large registry touches one slot run and the name bytes it
// compares; a node-based map chases two or three more pointers, which made 10000
// classes over twice as slow to search as 10. The name is not copied: it is the
// descriptor's own, which outlives the registration like the descriptor itself.
class ClassTable {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  std::size_t Size() const noexcept { return count_; }

  std::size_t Find(std::string_view name) const noexcept {
    if (count_ == 0) return npos;
    const std::uint32_t hash = Hash(name);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.cls == nullptr) return npos;
      if (slot.hash == hash && slot.length == name.size() &&
          std::memcmp(slot.name, name.data(), name.size()) == 0) {
        return i;
      }
    }
  }

  TClass ClassAt(std::size_t index) const noexcept { return slots_[index].cls; }

  // The name must not be registered yet.
  void Insert(std::string_view name, TClass cls, HMODULE module) {
    if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
    Place(Slot{Hash(name), static_cast<std::uint32_t>(name.size()), name.data(), cls}, module);
    ++count_;
  }

  // Closes the gap by moving later entries of the run back, so no deleted markers pile
  // up and a miss still stops at the first empty slot.
  void EraseAt(std::size_t hole) noexcept {
    for (std::size_t next = (hole + 1) & mask_; slots_[next].cls != nullptr;
         next = (next + 1) & mask_) {
      const std::size_t home = slots_[next].hash & mask_;
      // The entry may fill the hole unless its home lies cyclically in (hole, next].
      const bool homeBetween =
          hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
      if (!homeBetween) {
        slots_[hole] = slots_[next];
        modules_[hole] = modules_[next];
        hole = next;
      }
    }
    slots_[hole] = Slot{};
    modules_[hole] = 0;
    --count_;
  }

  void EraseModule(HMODULE module) {
    if (count_ == 0) return;
    std::vector<Slot> slots(slots_.size());
    std::vector<HMODULE> modules(slots_.size());
    slots.swap(slots_);
    modules.swap(modules_);
    count_ = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (slots[i].cls != nullptr && modules[i] != module) {
        Place(slots[i], modules[i]);
        ++count_;
      }
    }
  }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t length = 0;
    const char* name = nullptr;
    TClass cls = nullptr;  // null: the slot is empty
  };

  static std::uint32_t Hash(std::string_view name) noexcept {
    const std::size_t full = std::hash<std::string_view>{}(name);
    return static_cast<std::uint32_t>(full ^ (full >> 32));
  }

  void Place(const Slot& slot, HMODULE module) noexcept {
    std::size_t i = slot.hash & mask_;
    while (slots_[i].cls != nullptr) i = (i + 1) & mask_;
    slots_[i] = slot;
    modules_[i] = module;
  }

  void Grow() {
    const std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
    std::vector<Slot> slots(capacity);
    std::vector<HMODULE> modules(capacity);
    slots.swap(slots_);
    modules.swap(modules_);
    mask_ = capacity - 1;
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (slots[i].cls != nullptr) Place(slots[i], modules[i]);
    }
  }

  std::vector<Slot> slots_;
  // Beside the slots, not in them: only unloading a module reads it.
  std::vector<HMODULE> modules_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

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

// The main program's own path: dladdr names it by argv[0], which may be relative to a
// directory the process has since left.
std::string ProgramFile() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
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
    const TClass registered = classes.ClassAt(found);
    if (registered == cls) return;
    throw Exception("Class %s is already registered from %s; cannot register the one from %s",
                    {name, ModuleFileOf(registered), ModuleFileOf(cls)});
  }
  // The cut length keeps the key within the descriptor's own name bytes.
  classes.Insert(std::string_view(cls->Name, name.size()), cls, ModuleOf(cls));
}

void UnRegisterClass(TClass cls) {
  CheckClass(cls, "UnRegisterClass");
  ClassTable& classes = Classes();
  const std::size_t found = classes.Find(ClassName(cls).View());
  // Another class under the same name stays: only this one is taken out.
  if (found != ClassTable::npos && classes.ClassAt(found) == cls) classes.EraseAt(found);
}

TClass GetClass(std::string_view name) {
  const ClassTable& classes = Classes();
  const std::size_t found = classes.Find(name);
  return found != ClassTable::npos ? classes.ClassAt(found) : nullptr;
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
  Classes().EraseModule(module);
}

}  // namespace rtl
