#include <dlfcn.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "rtl/object.h"
#include "rtl/sysutils.h"

namespace rtl {

namespace {

// The registry: open addressing with linear probing. A probe reads only a flat array
// of 32-bit tags (a used bit, 23 bits of the hash, the name's length); the name bytes
// and the class are read only when a tag matches. The name is not copied: it is the
// descriptor's own, which outlives the registration like the descriptor itself. A
// node-based map chases two or three pointers per look-up and, with 10000 classes,
// was more than twice as slow as with 10.
class ClassTable {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  std::size_t Size() const noexcept { return count_; }

  std::size_t Find(std::string_view name) const noexcept {
    if (count_ == 0 || name.size() > ShortString::MaxLength) return npos;
    const std::uint32_t tag = TagOf(name);
    for (std::size_t i = Home(tag);; i = (i + 1) & mask_) {
      const std::uint32_t found = tags_[i];
      if (found == 0) return npos;
      if (found == tag && std::memcmp(entries_[i].name, name.data(), name.size()) == 0) return i;
    }
  }

  TClass ClassAt(std::size_t index) const noexcept { return entries_[index].cls; }

  // The name must not be registered yet and is at most 255 bytes.
  void Insert(std::string_view name, TClass cls, HMODULE module) {
    if ((count_ + 1) * 4 > tags_.size() * 3) Grow();
    Place(TagOf(name), Entry{name.data(), cls}, module);
    ++count_;
    ++perModule_[module];
  }

  // Closes the gap by moving later entries of the run back, so no deleted markers pile
  // up and a miss still stops at the first empty slot.
  void EraseAt(std::size_t hole) noexcept {
    if (auto it = perModule_.find(modules_[hole]); it != perModule_.end() && --it->second == 0) {
      perModule_.erase(it);
    }
    for (std::size_t next = (hole + 1) & mask_; tags_[next] != 0; next = (next + 1) & mask_) {
      const std::size_t home = Home(tags_[next]);
      // The entry may fill the hole unless its home lies cyclically in (hole, next].
      const bool homeBetween =
          hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
      if (!homeBetween) {
        tags_[hole] = tags_[next];
        entries_[hole] = entries_[next];
        modules_[hole] = modules_[next];
        hole = next;
      }
    }
    tags_[hole] = 0;
    entries_[hole] = Entry{};
    modules_[hole] = 0;
    --count_;
  }

  // Every unload asks, and most modules registered nothing: those cost a look-up,
  // not a pass over the table. The table is rebuilt to fit what stays, so a registry
  // that once held many classes does not keep every later unload slow.
  void EraseModule(HMODULE module) {
    const auto it = perModule_.find(module);
    if (it == perModule_.end()) return;
    const std::size_t remaining = count_ - it->second;
    perModule_.erase(it);
    std::size_t capacity = 16;
    while (remaining * 4 > capacity * 3) capacity *= 2;
    Rebuild(capacity, module);
  }

 private:
  struct Entry {
    const char* name = nullptr;
    TClass cls = nullptr;
  };

  static constexpr std::uint32_t kUsed = 0x80000000u;
  static constexpr std::uint32_t kHashBits = 0x7FFFFFu;
  static constexpr std::size_t kMaxCapacity = std::size_t{1} << 23;

  static std::uint32_t TagOf(std::string_view name) noexcept {
    const std::size_t hash = std::hash<std::string_view>{}(name);
    const auto mixed = static_cast<std::uint32_t>(hash ^ (hash >> 32));
    return kUsed | ((mixed & kHashBits) << 8) | static_cast<std::uint32_t>(name.size());
  }
  std::size_t Home(std::uint32_t tag) const noexcept { return (tag >> 8) & kHashBits & mask_; }

  void Place(std::uint32_t tag, const Entry& entry, HMODULE module) noexcept {
    std::size_t i = Home(tag);
    while (tags_[i] != 0) i = (i + 1) & mask_;
    tags_[i] = tag;
    entries_[i] = entry;
    modules_[i] = module;
  }

  void Grow() {
    const std::size_t capacity = tags_.empty() ? 16 : tags_.size() * 2;
    // The tags carry 23 bits of the hash to find a slot's home again.
    if (capacity > kMaxCapacity) {
      throw Exception("RegisterClass: the class registry is full (%d classes)", {count_});
    }
    Rebuild(capacity, std::nullopt);
  }

  // Moves every entry into a table of that capacity, leaving out those of the
  // module being dropped.
  void Rebuild(std::size_t capacity, std::optional<HMODULE> dropped) {
    std::vector<std::uint32_t> tags(capacity);
    std::vector<Entry> entries(capacity);
    std::vector<HMODULE> modules(capacity);
    tags.swap(tags_);
    entries.swap(entries_);
    modules.swap(modules_);
    mask_ = capacity - 1;
    count_ = 0;
    for (std::size_t i = 0; i < tags.size(); ++i) {
      if (tags[i] != 0 && modules[i] != dropped) {
        Place(tags[i], entries[i], modules[i]);
        ++count_;
      }
    }
  }

  std::vector<std::uint32_t> tags_;
  std::vector<Entry> entries_;
  // Apart from the entries: only unloading a module reads it.
  std::vector<HMODULE> modules_;
  // How many classes each module has in the table.
  std::unordered_map<HMODULE, std::size_t> perModule_;
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
