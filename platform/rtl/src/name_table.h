#pragma once

// The class registry's table: names to values, by the exact name (case and blanks
// count), each entry marked with the module it belongs to so that a module's entries
// go together when it is unloaded.
//
// Open addressing with linear probing. A probe reads only a flat array of 32-bit tags
// (a used bit, 23 bits of the hash, the name's length); the name bytes and the value
// are read only when a tag matches. The name is not copied: the caller keeps its bytes
// in place while it is in the table (the registry's names are the descriptors' own,
// which outlive their registration). A node-based map chases two or three pointers per
// look-up and, with 10000 classes, was more than twice as slow as with 10.

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace rtl {

template <typename Value, typename Hash = std::hash<std::string_view>>
class NameTable {
 public:
  using Owner = std::uintptr_t;
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  // The tag holds the length in 8 bits.
  static constexpr std::size_t kMaxName = 255;
  // The tag holds 23 bits of the hash, from which a slot's home is found again.
  static constexpr std::size_t kMaxCapacity = std::size_t{1} << 23;

  std::size_t Size() const noexcept { return count_; }

  // The slot of that name; npos when it is not in the table.
  std::size_t Find(std::string_view name) const noexcept {
    if (count_ == 0 || name.size() > kMaxName) return npos;
    const std::uint32_t tag = TagOf(name);
    for (std::size_t i = Home(tag);; i = (i + 1) & mask_) {
      const std::uint32_t found = tags_[i];
      if (found == 0) return npos;
      if (found == tag && std::memcmp(entries_[i].name, name.data(), name.size()) == 0) return i;
    }
  }

  Value At(std::size_t slot) const noexcept { return entries_[slot].value; }

  // The name must not be in the table yet and is at most kMaxName bytes. False, and
  // nothing changed, when the table cannot grow to take it.
  bool Insert(std::string_view name, Value value, Owner owner) {
    if ((count_ + 1) * 4 > tags_.size() * 3) {
      const std::size_t capacity = tags_.empty() ? 16 : tags_.size() * 2;
      if (capacity > kMaxCapacity) return false;
      Rebuild(capacity, std::nullopt);
    }
    Place(TagOf(name), Entry{name.data(), value}, owner);
    ++count_;
    ++perOwner_[owner];
    return true;
  }

  // Closes the gap by moving later entries of the run back, so no deleted markers pile
  // up and a miss still stops at the first empty slot.
  void EraseAt(std::size_t hole) noexcept {
    if (auto it = perOwner_.find(owners_[hole]); it != perOwner_.end() && --it->second == 0) {
      perOwner_.erase(it);
    }
    for (std::size_t next = (hole + 1) & mask_; tags_[next] != 0; next = (next + 1) & mask_) {
      const std::size_t home = Home(tags_[next]);
      // The entry may fill the hole unless its home lies cyclically in (hole, next].
      const bool homeBetween =
          hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
      if (!homeBetween) {
        tags_[hole] = tags_[next];
        entries_[hole] = entries_[next];
        owners_[hole] = owners_[next];
        hole = next;
      }
    }
    tags_[hole] = 0;
    entries_[hole] = Entry{};
    owners_[hole] = 0;
    --count_;
  }

  // Every unload asks, and most modules registered nothing: those cost a look-up,
  // not a pass over the table. The table is rebuilt to fit what stays, so a registry
  // that once held many classes does not keep every later unload slow.
  void EraseOwner(Owner owner) {
    const auto it = perOwner_.find(owner);
    if (it == perOwner_.end()) return;
    const std::size_t remaining = count_ - it->second;
    perOwner_.erase(it);
    std::size_t capacity = 16;
    while (remaining * 4 > capacity * 3) capacity *= 2;
    Rebuild(capacity, owner);
  }

 private:
  struct Entry {
    const char* name = nullptr;
    Value value{};
  };

  static constexpr std::uint32_t kUsed = 0x80000000u;
  static constexpr std::uint32_t kHashBits = 0x7FFFFFu;

  static std::uint32_t TagOf(std::string_view name) noexcept {
    const std::size_t hash = Hash{}(name);
    const auto mixed = static_cast<std::uint32_t>(hash ^ (hash >> 32));
    return kUsed | ((mixed & kHashBits) << 8) | static_cast<std::uint32_t>(name.size());
  }
  std::size_t Home(std::uint32_t tag) const noexcept { return (tag >> 8) & kHashBits & mask_; }

  void Place(std::uint32_t tag, const Entry& entry, Owner owner) noexcept {
    std::size_t i = Home(tag);
    while (tags_[i] != 0) i = (i + 1) & mask_;
    tags_[i] = tag;
    entries_[i] = entry;
    owners_[i] = owner;
  }

  // Moves every entry into a table of that capacity, leaving out those of the owner
  // being dropped.
  void Rebuild(std::size_t capacity, std::optional<Owner> dropped) {
    std::vector<std::uint32_t> tags(capacity);
    std::vector<Entry> entries(capacity);
    std::vector<Owner> owners(capacity);
    tags.swap(tags_);
    entries.swap(entries_);
    owners.swap(owners_);
    mask_ = capacity - 1;
    count_ = 0;
    for (std::size_t i = 0; i < tags.size(); ++i) {
      if (tags[i] != 0 && owners[i] != dropped) {
        Place(tags[i], entries[i], owners[i]);
        ++count_;
      }
    }
  }

  std::vector<std::uint32_t> tags_;
  std::vector<Entry> entries_;
  // Apart from the entries: only erasing an owner's entries reads it.
  std::vector<Owner> owners_;
  // How many entries each owner has in the table.
  std::unordered_map<Owner, std::size_t> perOwner_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

}  // namespace rtl
