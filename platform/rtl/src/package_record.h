#pragma once

// The package record's encoding: what the SDK puts into a package's PT_NOTE
// segments, and what GetPackageInfo, ReadPackageFile and the loader read back.
//
// Notes with owner "RTLPKG":
//   type 1, exactly one: the record proper
//     u8  version (1)
//     u8  flags
//     u16 entry count (little endian)
//     entries: u8 tag, u16 length (little endian), length bytes
//       tags: 1 package name, 2 description, 3 contained unit, 4 required package,
//             5 build-artifact name; unknown tags are an error
//   type 2, any number: one export, "<export name>\0<symbol name>"
// Readers check every length against the bytes they were given, and take only
// what the SDK writes (rtl/package_file.h). The record codec is package_record.cpp,
// the walk over the note segments package_notes.cpp. Internal to the run-time
// library; its tests and fuzz targets link these objects themselves.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/package_file.h"

namespace rtl::detail {

inline constexpr std::uint32_t kRecordNoteType = 1;
inline constexpr std::uint32_t kExportNoteType = 2;
inline constexpr std::uint8_t kRecordVersion = 1;
inline constexpr std::size_t kMaxNameLength = 255;

enum class RecordTag : std::uint8_t {
  PackageName = 1,
  Description = 2,
  ContainsUnit = 3,
  RequiresPackage = 4,
  BuildArtifact = 5,
};

// Decodes the descriptor of a type-1 note. Throws rtl::Exception with a reason
// that says what was wrong and at which byte offset ("record entry 3 at offset 17:
// length 300 runs past the end of the record (40 bytes)", "record entry 4 at
// offset 30: required package name 'a/../b' is not an identifier ...").
TPackageRecord DecodeRecord(std::span<const std::uint8_t> desc);
// Decodes the descriptor of a type-2 note.
TPackageExport DecodeExport(std::span<const std::uint8_t> desc);
// Encodes a record (without exports) as the descriptor of a type-1 note: for tests
// and fuzz seeds.
std::vector<std::uint8_t> EncodeRecord(const TPackageRecord& record);

// " 'text'" when the text is short printable ASCII, else nothing: a file's bytes
// put into a message as they are could break its line or the terminal.
std::string Shown(std::string_view text);

// The bytes of one PT_NOTE segment, whose notes are padded to `alignment` (4 or 8:
// its p_align), and its program header's index, which messages name ("note 2 in
// segment 3: ...").
struct NoteSegment {
  std::span<const std::uint8_t> bytes;
  std::size_t alignment = 4;
  std::size_t index = 0;
};

// The package notes of a file's or a module's note segments, taken together: the
// record with every segment's exports, or nothing when there are no package notes at
// all. Throws rtl::Exception on a malformed note (naming the note and its segment),
// on a second record, on a second export of one name, on a note that spells the
// owner RTLPKG with a name size that does not fit it, on notes laid out for the
// other alignment, and on exports without a record (saying which note holds a record
// that was damaged out of recognition, when one does).
std::optional<TPackageRecord> DecodePackageNotes(std::span<const NoteSegment> segments);

}  // namespace rtl::detail
