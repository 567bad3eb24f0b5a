#pragma once

// The package record: what the SDK puts into a package's PT_NOTE segment, and what
// GetPackageInfo, GetPackageDescription, the loader and pkginfo read back.
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
// what the SDK writes: package, unit and required-package names are identifiers
// of at most 255 bytes (they become file and symbol names), the description and
// the build-artifact name valid UTF-8 without control characters. These readers
// are exported for pkginfo, the tests and the fuzz targets; they are not API.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rtl/export.h"

namespace rtl::detail {

inline constexpr std::string_view kNoteOwner = "RTLPKG";
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

struct PackageExport {
  std::string name;    // as GetProcAddress is asked for it
  std::string symbol;  // the ELF symbol that implements it
};

struct PackageRecord {
  std::uint8_t version = kRecordVersion;
  std::uint8_t flags = 0;
  std::string name;
  std::string description;
  std::vector<std::string> units;
  std::vector<std::string> requiredPackages;  // ("requires" is a keyword in C++20)
  std::string buildArtifact;
  std::vector<PackageExport> exports;
};

// A name as add_package accepts it: a letter or '_', then letters, digits or '_';
// at most kMaxNameLength bytes.
RTL_API bool IsPackageSdkName(std::string_view name);

// Decodes the descriptor of a type-1 note. Throws rtl::Exception with a reason
// that says what was wrong and at which byte offset ("record entry 3 at offset 17:
// length 300 runs past the end of the record (40 bytes)", "record entry 4 at
// offset 30: required package name 'a/../b' is not an identifier ...").
RTL_API PackageRecord DecodeRecord(std::span<const std::uint8_t> desc);
// Decodes the descriptor of a type-2 note.
RTL_API PackageExport DecodeExport(std::span<const std::uint8_t> desc);
// Encodes a record (without exports) as the descriptor of a type-1 note: for tests,
// fuzz seeds and tools.
RTL_API std::vector<std::uint8_t> EncodeRecord(const PackageRecord& record);

// Walks a PT_NOTE segment's bytes and collects the package's notes. Returns false
// when there is no type-1 RTLPKG note; throws rtl::Exception on a malformed note.
RTL_API bool DecodeNotes(std::span<const std::uint8_t> segment, PackageRecord& out);
// The same walk over one of several note segments of a file, whose notes are padded
// to `alignment` (4 or 8, the segment's p_align). `where` goes into messages after
// the note ("in segment 2"). Exports are appended to out.exports; a record found
// fills the other fields and the result is true. A second record or a second export
// of one name (counting what out already holds) is malformed, and so is a note
// that spells the owner RTLPKG with a name size that does not fit it.
RTL_API bool DecodeNotes(std::span<const std::uint8_t> segment, std::size_t alignment,
                         std::string_view where, PackageRecord& out);

// For a file whose exports came without a record: the first note that holds a
// valid package record under another owner or type, described ("note 2 in
// segment 3 holds a package record, but its type is 3, not 1"); empty when none
// does. Never throws.
RTL_API std::string FindStrayRecord(std::span<const std::uint8_t> segment, std::size_t alignment,
                                    std::string_view where);

}  // namespace rtl::detail
