#pragma once

// ELF offsets, header edits and hand-made notes for the tests of package files. The
// offsets are found with <elf.h> directly, not with the reader under test, so a fault
// in the reader cannot hide itself by misplacing the damage.

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

#include "rtl/sysutils.h"
#include "test_support.h"

namespace elftest {

using testsupport::Bytes;
using testsupport::Get;
using testsupport::Put;
using testsupport::ReadBytes;
using testsupport::TempDir;
using testsupport::WriteBytes;

inline Elf64_Ehdr Header(const Bytes& file) {
  return Get<Elf64_Ehdr>(file, 0);
}
template <typename T>
void PatchHeader(Bytes& file, T Elf64_Ehdr::*field, T value) {
  Elf64_Ehdr h = Header(file);
  h.*field = value;
  Put(file, 0, h);
}
inline std::uint64_t SegmentOffset(const Bytes& file, std::size_t index) {
  return Header(file).e_phoff + index * sizeof(Elf64_Phdr);
}
inline std::uint64_t SectionOffset(const Bytes& file, std::size_t index) {
  return Header(file).e_shoff + index * sizeof(Elf64_Shdr);
}

// Index of the first program header of that type with file bytes; throws if none.
inline std::size_t FindSegment(const Bytes& file, std::uint32_t type) {
  for (std::size_t i = 0; i < Header(file).e_phnum; ++i) {
    const auto ph = Get<Elf64_Phdr>(file, SegmentOffset(file, i));
    if (ph.p_type == type && ph.p_filesz > 0) return i;
  }
  throw rtl::Exception("test: no segment of type %d", {type});
}

struct NoteAt {
  std::size_t segment;   // program header index
  std::size_t number;    // 1-based position in its segment
  std::uint64_t header;  // file offset of namesz
  std::uint64_t desc;    // file offset of the descriptor
  std::uint32_t descSize;
};

// The first "RTLPKG" note of that type in the file's 4-aligned PT_NOTE segments.
inline NoteAt FindPackageNote(const Bytes& file, std::uint32_t type) {
  for (std::size_t i = 0; i < Header(file).e_phnum; ++i) {
    const auto ph = Get<Elf64_Phdr>(file, SegmentOffset(file, i));
    if (ph.p_type != PT_NOTE || ph.p_align > 4) continue;
    std::uint64_t at = ph.p_offset;
    for (std::size_t number = 1; at < ph.p_offset + ph.p_filesz; ++number) {
      const auto nh = Get<Elf64_Nhdr>(file, at);
      const std::uint64_t name = at + sizeof nh;
      const std::uint64_t desc = name + ((nh.n_namesz + 3) & ~3u);
      if (nh.n_namesz == 7 && std::memcmp(file.data() + name, "RTLPKG", 7) == 0 &&
          nh.n_type == type) {
        return {i, number, at, desc, nh.n_descsz};
      }
      at = desc + ((nh.n_descsz + 3) & ~3u);
    }
  }
  throw rtl::Exception("test: no package note of type %d", {type});
}

// One note, padded as in a segment of that alignment.
inline Bytes MakeNote(const std::string& owner, std::uint32_t type, const Bytes& desc,
                      std::size_t alignment = 4, bool terminateOwner = true) {
  Bytes out(12);
  Put(out, 0, static_cast<std::uint32_t>(owner.size() + (terminateOwner ? 1 : 0)));
  Put(out, 4, static_cast<std::uint32_t>(desc.size()));
  Put(out, 8, type);
  out.insert(out.end(), owner.begin(), owner.end());
  if (terminateOwner) out.push_back(0);
  out.resize((out.size() + alignment - 1) / alignment * alignment);
  out.insert(out.end(), desc.begin(), desc.end());
  out.resize((out.size() + alignment - 1) / alignment * alignment);
  return out;
}

inline Bytes MakeExportDesc(const std::string& name, const std::string& symbol) {
  Bytes out(name.begin(), name.end());
  out.push_back(0);
  out.insert(out.end(), symbol.begin(), symbol.end());
  return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

}  // namespace elftest
