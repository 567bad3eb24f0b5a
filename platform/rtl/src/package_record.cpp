#include "package_record.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "rtl/sysutils.h"

namespace rtl::detail {

namespace {

constexpr std::size_t kRecordHeaderSize = 4;  // version, flags, u16 entry count
constexpr std::size_t kEntryHeaderSize = 3;   // tag, u16 length
constexpr std::size_t kNoteHeaderSize = 12;   // namesz, descsz, type
constexpr std::size_t kMaxEntryLength = std::numeric_limits<std::uint16_t>::max();
// The owner as a note's name holds it, with its terminating zero.
constexpr std::string_view kOwnerName{"RTLPKG\0", 7};

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

// " 'text'" when the text is short printable ASCII, else nothing: a file's bytes
// put into a message as they are could break its line or the terminal.
std::string Shown(std::string_view text) {
  if (text.empty() || text.size() > 64) return {};
  for (const char c : text) {
    if (c < 0x20 || c > 0x7e) return {};
  }
  return " '" + std::string(text) + "'";
}

std::string Hex(const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Why a package, unit or required-package name is not one add_package accepts;
// empty when it is one.
std::string NameFault(std::string_view name) {
  if (name.empty()) return " is empty";
  if (name.size() > kMaxNameLength) {
    return Format(" is %d bytes long; at most %d", {name.size(), kMaxNameLength});
  }
  if (!IsPackageSdkName(name)) {
    return Shown(name) + " is not an identifier (a letter or '_', then letters, digits or '_')";
  }
  return {};
}

// Why a text is not UTF-8 without control characters (C0, DEL, C1); empty when
// it is.
std::string TextFault(std::string_view text) {
  // The smallest code point each sequence length may carry: below it, overlong.
  constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t point = 0;
    if (lead < 0x80) {
      length = 1, point = lead;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2, point = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3, point = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4, point = lead & 0x07u;
    }
    bool valid = length > 0 && text.size() - i >= length;
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xc0) == 0x80;
      point = (point << 6) | (next & 0x3fu);
    }
    if (!valid || point < kSmallest[length] || (point >= 0xd800 && point <= 0xdfff) ||
        point > 0x10ffff) {
      return Format(" is not valid UTF-8 (byte %s at %d)", {Hex("0x%02x", lead), i});
    }
    if (point < 0x20 || (point >= 0x7f && point <= 0x9f)) {
      return Format(" holds the control character %s at byte %d", {Hex("U+%04X", point), i});
    }
    i += length;
  }
  return {};
}

// What the SDK could have written for this entry; throws naming the entry and the
// rule it breaks.
void CheckEntry(RecordTag tag, std::string_view text, std::size_t entry, std::size_t offset) {
  std::string label, fault;
  switch (tag) {
    case RecordTag::PackageName:
      label = "package name", fault = NameFault(text);
      break;
    case RecordTag::ContainsUnit:
      label = "unit name", fault = NameFault(text);
      break;
    case RecordTag::RequiresPackage:
      label = "required package name", fault = NameFault(text);
      break;
    case RecordTag::Description:
    case RecordTag::BuildArtifact:
      label = TagName(tag), fault = TextFault(text);
      break;
  }
  if (!fault.empty()) {
    throw Exception("record entry %d at offset %d: %s%s", {entry, offset, label, fault});
  }
}

struct Note {
  std::size_t index;  // 1-based, in its segment
  std::string_view name;
  std::uint32_t type;
  std::span<const std::uint8_t> desc;

  bool IsOurs() const { return name == kOwnerName; }
};

// Calls visit(note) for each note of the segment in order. Throws on a note that
// does not fit in the segment, or that spells our owner with a name size that
// does not cover it: read on, such a note would shift every note after it, and
// the message would blame one of those.
template <typename Visit>
void WalkNotes(std::span<const std::uint8_t> segment, std::size_t alignment,
               const std::string& suffix, Visit&& visit) {
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
    if (nameSize != kOwnerName.size() && size - nameOffset >= kOwnerName.size() &&
        std::memcmp(segment.data() + nameOffset, kOwnerName.data(), kOwnerName.size()) == 0) {
      throw Exception("note %d%s: name size %d does not fit its owner name RTLPKG (expected %d)",
                      {index, suffix, nameSize, kOwnerName.size()});
    }
    const std::uint64_t descOffset = Padded(nameEnd, alignment);
    if (descOffset > size || descSize > size - descOffset) {
      throw Exception("descriptor of note %d%s runs past the end of its segment", {index, suffix});
    }
    const std::uint64_t next = Padded(descOffset + descSize, alignment);
    // The last note's padding may be left out when the segment ends right there.
    offset = next < size ? next : size;
    visit(
        Note{index,
             std::string_view(reinterpret_cast<const char*>(segment.data() + nameOffset), nameSize),
             type, segment.subspan(descOffset, descSize)});
  }
}

std::string Suffix(std::string_view where) {
  return where.empty() ? std::string() : " " + std::string(where);
}

}  // namespace

bool IsPackageSdkName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  const auto letter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  if (!letter(name.front())) return false;
  for (const char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

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
    if (tag >= static_cast<std::uint8_t>(RecordTag::PackageName) &&
        tag <= static_cast<std::uint8_t>(RecordTag::BuildArtifact)) {
      CheckEntry(static_cast<RecordTag>(tag), text, entry, entryOffset);
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
  const std::string suffix = Suffix(where);
  bool found = false;
  std::vector<PackageExport> exports;
  WalkNotes(segment, alignment, suffix, [&](const Note& note) {
    if (!note.IsOurs()) return;
    try {
      if (note.type == kRecordNoteType) {
        if (found || !out.name.empty()) throw Exception("second package record");
        PackageRecord record = DecodeRecord(note.desc);
        found = true;
        std::vector<PackageExport> kept = std::move(out.exports);
        out = std::move(record);
        out.exports = std::move(kept);
      } else if (note.type == kExportNoteType) {
        exports.push_back(DecodeExport(note.desc));
      }
      // Other types are left for later versions of the SDK.
    } catch (const Exception& e) {
      throw Exception("note %d%s: %s", {note.index, suffix, e.Message()});
    }
  });
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

std::string FindStrayRecord(std::span<const std::uint8_t> segment, std::size_t alignment,
                            std::string_view where) {
  if (alignment != 4 && alignment != 8) return {};
  const std::string suffix = Suffix(where);
  std::string stray;
  try {
    WalkNotes(segment, alignment, suffix, [&](const Note& note) {
      if (!stray.empty() || (note.IsOurs() && note.type == kRecordNoteType)) return;
      // The version byte rules out nearly every other note before decoding.
      if (note.desc.empty() || note.desc[0] != kRecordVersion) return;
      try {
        DecodeRecord(note.desc);
      } catch (const Exception&) {
        return;
      }
      const std::string owner(note.name.substr(0, note.name.find('\0')));
      std::string cause;
      if (note.IsOurs()) {
        cause = Format("its type is %d, not %d", {note.type, kRecordNoteType});
      } else if (owner == kOwnerName.substr(0, kOwnerName.size() - 1)) {
        cause = Format("its owner name RTLPKG has no terminating zero (name size %d)",
                       {note.name.size()});
      } else {
        const std::string shown = Shown(owner);
        cause = shown.empty() ? "its owner is not RTLPKG" : "its owner is" + shown + ", not RTLPKG";
      }
      stray = Format("note %d%s holds a package record, but %s", {note.index, suffix, cause});
    });
  } catch (const Exception&) {
    // A damaged segment holds no record to point at.
  }
  return stray;
}

bool DecodeNotes(std::span<const std::uint8_t> segment, PackageRecord& out) {
  PackageRecord collected;
  if (!DecodeNotes(segment, 4, {}, collected)) return false;
  out = std::move(collected);
  return true;
}

}  // namespace rtl::detail
