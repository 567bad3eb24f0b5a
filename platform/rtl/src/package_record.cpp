#include "package_record.h"

#include <cstring>
#include <limits>

#include "rtl/sysutils.h"

namespace rtl::detail {

namespace {

constexpr std::size_t kRecordHeaderSize = 4;  // version, flags, u16 entry count
constexpr std::size_t kEntryHeaderSize = 3;   // tag, u16 length
constexpr std::size_t kNoteHeaderSize = 12;   // namesz, descsz, type
constexpr std::size_t kMaxEntryLength = std::numeric_limits<std::uint16_t>::max();

std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutU16(std::vector<std::uint8_t>& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xff));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

const char* TagName(RecordTag tag) {
  switch (tag) {
    case RecordTag::PackageName:
      return "package name";
    case RecordTag::Description:
      return "description";
    case RecordTag::ContainsUnit:
      return "contained unit";
    case RecordTag::RequiresPackage:
      return "required package";
    case RecordTag::BuildArtifact:
      return "build-artifact name";
  }
  return "entry";
}

// Padding to the note alignment, in 64 bits so that a 32-bit size near its
// maximum cannot wrap.
std::uint64_t Padded(std::uint64_t size, std::uint64_t alignment) {
  return (size + alignment - 1) & ~(alignment - 1);
}

void AddEntry(std::vector<std::uint8_t>& out, RecordTag tag, const std::string& text,
              std::size_t& count) {
  if (text.size() > kMaxEntryLength) {
    throw Exception("package record: %s is %d bytes long; at most 65535 fit",
                    {TagName(tag), text.size()});
  }
  out.push_back(static_cast<std::uint8_t>(tag));
  PutU16(out, text.size());
  out.insert(out.end(), text.begin(), text.end());
  ++count;
}

}  // namespace

PackageRecord DecodeRecord(std::span<const std::uint8_t> desc) {
  if (desc.size() < kRecordHeaderSize) {
    throw Exception("package record is %d bytes long, shorter than its 4-byte header",
                    {desc.size()});
  }
  PackageRecord record;
  record.version = desc[0];
  if (record.version != kRecordVersion) {
    throw Exception("unknown package record version %d (expected %d)",
                    {static_cast<int>(record.version), static_cast<int>(kRecordVersion)});
  }
  record.flags = desc[1];
  const std::size_t count = ReadU16(&desc[2]);
  bool haveName = false, haveDescription = false, haveArtifact = false;
  std::size_t offset = kRecordHeaderSize;
  for (std::size_t entry = 1; entry <= count; ++entry) {
    const std::size_t entryOffset = offset;
    if (desc.size() - offset < kEntryHeaderSize) {
      throw Exception(
          "record entry %d at offset %d: entry header runs past the end of the record "
          "(%d bytes)",
          {entry, entryOffset, desc.size()});
    }
    const std::uint8_t tag = desc[offset];
    const std::size_t length = ReadU16(&desc[offset + 1]);
    offset += kEntryHeaderSize;
    if (desc.size() - offset < length) {
      throw Exception(
          "record entry %d at offset %d: length %d runs past the end of the record "
          "(%d bytes)",
          {entry, entryOffset, length, desc.size()});
    }
    std::string text(reinterpret_cast<const char*>(desc.data() + offset), length);
    offset += length;
    // Names are handed on as C strings (to dlopen, to callbacks); an embedded NUL
    // would silently cut them.
    if (text.find('\0') != std::string::npos) {
      throw Exception("record entry %d at offset %d: text holds a NUL byte", {entry, entryOffset});
    }
    auto once = [&](bool& seen) {
      if (seen) {
        throw Exception("record entry %d at offset %d: second %s",
                        {entry, entryOffset, TagName(static_cast<RecordTag>(tag))});
      }
      seen = true;
    };
    switch (static_cast<RecordTag>(tag)) {
      case RecordTag::PackageName:
        once(haveName);
        record.name = std::move(text);
        break;
      case RecordTag::Description:
        once(haveDescription);
        record.description = std::move(text);
        break;
      case RecordTag::ContainsUnit:
        record.units.push_back(std::move(text));
        break;
      case RecordTag::RequiresPackage:
        record.requiredPackages.push_back(std::move(text));
        break;
      case RecordTag::BuildArtifact:
        once(haveArtifact);
        record.buildArtifact = std::move(text);
        break;
      default:
        throw Exception("record entry %d at offset %d: unknown tag %d",
                        {entry, entryOffset, static_cast<int>(tag)});
    }
  }
  if (offset != desc.size()) {
    throw Exception("package record goes on past its last entry (offset %d of %d bytes)",
                    {offset, desc.size()});
  }
  if (!haveName || record.name.empty()) {
    throw Exception("package record has no package name");
  }
  return record;
}

PackageExport DecodeExport(std::span<const std::uint8_t> desc) {
  const char* text = reinterpret_cast<const char*>(desc.data());
  const std::string_view all(text, desc.size());
  const std::size_t nul = all.find('\0');
  if (nul == std::string_view::npos) {
    throw Exception("export entry of %d bytes has no NUL between export name and symbol",
                    {desc.size()});
  }
  PackageExport result{std::string(all.substr(0, nul)), std::string(all.substr(nul + 1))};
  if (result.name.empty()) throw Exception("export entry has an empty export name");
  if (result.symbol.empty()) {
    throw Exception("export entry '%s' has an empty symbol name", {result.name});
  }
  if (result.symbol.find('\0') != std::string::npos) {
    throw Exception("export entry '%s': symbol name holds a NUL byte", {result.name});
  }
  return result;
}

std::vector<std::uint8_t> EncodeRecord(const PackageRecord& record) {
  std::vector<std::uint8_t> out{record.version, record.flags, 0, 0};
  std::size_t count = 0;
  AddEntry(out, RecordTag::PackageName, record.name, count);
  AddEntry(out, RecordTag::Description, record.description, count);
  for (const std::string& unit : record.units) AddEntry(out, RecordTag::ContainsUnit, unit, count);
  for (const std::string& required : record.requiredPackages) {
    AddEntry(out, RecordTag::RequiresPackage, required, count);
  }
  AddEntry(out, RecordTag::BuildArtifact, record.buildArtifact, count);
  if (count > std::numeric_limits<std::uint16_t>::max()) {
    throw Exception("package record: %d entries; at most 65535 fit", {count});
  }
  out[2] = static_cast<std::uint8_t>(count & 0xff);
  out[3] = static_cast<std::uint8_t>(count >> 8);
  return out;
}

bool DecodeNotes(std::span<const std::uint8_t> segment, std::size_t alignment,
                 std::string_view where, PackageRecord& out) {
  if (alignment != 4 && alignment != 8) {
    throw Exception("notes %s: alignment %d; expected 4 or 8", {where, alignment});
  }
  const std::string suffix = where.empty() ? std::string() : " " + std::string(where);
  bool found = false;
  std::vector<PackageExport> exports;
  std::uint64_t offset = 0;
  const std::uint64_t size = segment.size();
  for (std::size_t index = 1; offset < size; ++index) {
    if (size - offset < kNoteHeaderSize) {
      throw Exception("header of note %d%s runs past the end of its segment", {index, suffix});
    }
    const std::uint8_t* header = segment.data() + offset;
    const std::uint32_t nameSize = ReadU32(header);
    const std::uint32_t descSize = ReadU32(header + 4);
    const std::uint32_t type = ReadU32(header + 8);
    const std::uint64_t nameOffset = offset + kNoteHeaderSize;
    // Name and descriptor each start at a multiple of the segment's alignment
    // (note starts are aligned, so offsets in the segment will do).
    const std::uint64_t nameEnd = nameOffset + nameSize;
    if (nameSize > size - nameOffset) {
      throw Exception("name of note %d%s runs past the end of its segment", {index, suffix});
    }
    const std::uint64_t descOffset = Padded(nameEnd, alignment);
    if (descOffset > size || descSize > size - descOffset) {
      throw Exception("descriptor of note %d%s runs past the end of its segment", {index, suffix});
    }
    const std::uint64_t next = Padded(descOffset + descSize, alignment);
    // The last note's padding may be left out when the segment ends right there.
    offset = next < size ? next : size;

    const std::string_view name(reinterpret_cast<const char*>(segment.data() + nameOffset),
                                nameSize);
    if (nameSize != kNoteOwner.size() + 1 || name.substr(0, kNoteOwner.size()) != kNoteOwner ||
        name.back() != '\0') {
      continue;
    }
    const std::span<const std::uint8_t> desc = segment.subspan(descOffset, descSize);
    try {
      if (type == kRecordNoteType) {
        if (found || !out.name.empty()) throw Exception("second package record");
        PackageRecord record = DecodeRecord(desc);
        found = true;
        std::vector<PackageExport> kept = std::move(out.exports);
        out = std::move(record);
        out.exports = std::move(kept);
      } else if (type == kExportNoteType) {
        exports.push_back(DecodeExport(desc));
      }
      // Other types are left for later versions of the SDK.
    } catch (const Exception& e) {
      throw Exception("note %d%s: %s", {index, suffix, e.Message()});
    }
  }
  for (PackageExport& e : exports) {
    for (const PackageExport& other : out.exports) {
      if (other.name == e.name) {
        throw Exception("export '%s' appears twice in the notes%s", {e.name, suffix});
      }
    }
    out.exports.push_back(std::move(e));
  }
  return found;
}

bool DecodeNotes(std::span<const std::uint8_t> segment, PackageRecord& out) {
  PackageRecord collected;
  if (!DecodeNotes(segment, 4, {}, collected)) return false;
  out = std::move(collected);
  return true;
}

}  // namespace rtl::detail
