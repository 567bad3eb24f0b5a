#pragma once

// A few ELF offsets and hand-made notes for the ELF reader tests. The
// offsets are found with <elf.h> directly, not with the reader under test, so a
// fault in the reader cannot hide itself by misplacing the damage.

#include <elf.h>

#include <cstdint>
#include <string>
#include <vector>

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

inline std::uint64_t SegmentOffset(const Bytes& file, std::size_t index) {
  return Header(file).e_phoff + index * sizeof(Elf64_Phdr);
}
inline std::uint64_t SectionOffset(const Bytes& file, std::size_t index) {
  return Header(file).e_shoff + index * sizeof(Elf64_Shdr);
}

// Index of the first program header of that type (with file bytes); throws if none.
std::size_t FindSegment(const Bytes& file, std::uint32_t type);

struct NoteAt {
  std::size_t segment;   // program header index
  std::size_t number;    // 1-based position in its segment
  std::uint64_t header;  // file offset of namesz
  std::uint64_t desc;    // file offset of the descriptor
  std::uint32_t descSize;
  std::uint32_t type;
};

// The first "RTLPKG" note of that type in the file's 4-aligned PT_NOTE segments.
NoteAt FindPackageNote(const Bytes& file, std::uint32_t type);

// One note, padded as in a segment of that alignment.
Bytes MakeNote(const std::string& owner, std::uint32_t type, const Bytes& desc,
               std::size_t alignment = 4, bool terminateOwner = true);
Bytes MakeExportDesc(const std::string& name, const std::string& symbol);
Bytes Concat(std::initializer_list<Bytes> parts);

// The smallest shared object the reader accepts: ELF header, one PT_LOAD over the
// whole file and one PT_NOTE per given segment (with that alignment), no sections.
struct NoteSegment {
  Bytes notes;
  std::size_t alignment = 4;
};
Bytes MinimalSharedObject(const std::vector<NoteSegment>& segments);

}  // namespace elftest
