#include "package_record.h"

#include <cstdio>
#include <limits>
#include <string>

#include "rtl/sysutils.h"
#include "rtl/utf8.h"

namespace rtl::detail {

namespace {

constexpr std::size_t kRecordHeaderSize = 4;  // version, flags, u16 entry count
constexpr std::size_t kEntryHeaderSize = 3;   // tag, u16 length
constexpr std::size_t kMaxEntryLength = std::numeric_limits<std::uint16_t>::max();

std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
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
  if (!IsPackageName(name)) {
    return Shown(name) + " is not an identifier (a letter or '_', then letters, digits or '_')";
  }
  return {};
}

// Why a text is not UTF-8 without control characters (C0, DEL, C1); empty when
// it is.
std::string TextFault(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::optional<TUtf8Char> character = DecodeUtf8(text, i);
    if (!character) {
      return Format(" is not valid UTF-8 (byte %s at %d)",
                    {Hex("0x%02x", static_cast<unsigned char>(text[i])), i});
    }
    const char32_t point = character->codePoint;
    if (point < 0x20 || (point >= 0x7f && point <= 0x9f)) {
      return Format(" holds the control character %s at byte %d", {Hex("U+%04X", point), i});
    }
    i += character->length;
  }
  return {};
}

// What the SDK could have written for this entry; throws naming the entry and the
// rule it breaks.
void CheckEntry(RecordTag tag, std::string_view text, std::size_t entry, std::size_t offset) {
  const char* label = TagName(tag);
  std::string fault;
  switch (tag) {
    case RecordTag::PackageName:
      fault = NameFault(text);
      break;
    case RecordTag::ContainsUnit:
      label = "unit name", fault = NameFault(text);
      break;
    case RecordTag::RequiresPackage:
      label = "required package name", fault = NameFault(text);
      break;
    case RecordTag::Description:
    case RecordTag::BuildArtifact:
      fault = TextFault(text);
      break;
  }
  if (!fault.empty()) {
    throw Exception("record entry %d at offset %d: %s%s", {entry, offset, label, fault});
  }
}

// One entry of a record as it stands in the bytes.
struct Entry {
  std::size_t number;  // 1-based
  std::size_t offset;  // of its header
  std::size_t end;     // just past its text
  std::uint8_t tag;
  std::string_view text;
};

// Reads a record's entries one after the other into the record, refusing what the
// SDK could not have written.
class RecordDecoder {
 public:
  explicit RecordDecoder(std::span<const std::uint8_t> desc) : desc_(desc) {}

  TPackageRecord Decode() {
    if (desc_.size() < kRecordHeaderSize) {
      throw Exception("package record is %d bytes long, shorter than its 4-byte header",
                      {desc_.size()});
    }
    record_.version = desc_[0];
    if (record_.version != kRecordVersion) {
      throw Exception("unknown package record version %d (expected %d)",
                      {static_cast<int>(record_.version), static_cast<int>(kRecordVersion)});
    }
    record_.flags = desc_[1];
    const std::size_t count = ReadU16(&desc_[2]);
    std::size_t offset = kRecordHeaderSize;
    for (std::size_t number = 1; number <= count; ++number) {
      const Entry entry = Read(number, offset);
      Take(entry);
      offset = entry.end;
    }
    if (offset != desc_.size()) {
      throw Exception("package record goes on past its last entry (offset %d of %d bytes)",
                      {offset, desc_.size()});
    }
    if (!haveName_) throw Exception("package record has no package name");
    return std::move(record_);
  }

 private:
  Entry Read(std::size_t number, std::size_t offset) const {
    if (desc_.size() - offset < kEntryHeaderSize) {
      throw Exception(
          "record entry %d at offset %d: entry header runs past the end of the record "
          "(%d bytes)",
          {number, offset, desc_.size()});
    }
    const std::size_t length = ReadU16(&desc_[offset + 1]);
    const std::size_t start = offset + kEntryHeaderSize;
    if (desc_.size() - start < length) {
      throw Exception(
          "record entry %d at offset %d: length %d runs past the end of the record "
          "(%d bytes)",
          {number, offset, length, desc_.size()});
    }
    const std::string_view text(reinterpret_cast<const char*>(desc_.data() + start), length);
    // Names are handed on as C strings (to dlopen, to callbacks); an embedded NUL
    // would silently cut them.
    if (text.find('\0') != std::string_view::npos) {
      throw Exception("record entry %d at offset %d: text holds a NUL byte", {number, offset});
    }
    return Entry{number, offset, start + length, desc_[offset], text};
  }

  void Take(const Entry& entry) {
    if (entry.tag < static_cast<std::uint8_t>(RecordTag::PackageName) ||
        entry.tag > static_cast<std::uint8_t>(RecordTag::BuildArtifact)) {
      throw Exception("record entry %d at offset %d: unknown tag %d",
                      {entry.number, entry.offset, static_cast<int>(entry.tag)});
    }
    const auto tag = static_cast<RecordTag>(entry.tag);
    CheckEntry(tag, entry.text, entry.number, entry.offset);
    switch (tag) {
      case RecordTag::PackageName:
        Once(entry, haveName_).assign(entry.text);
        break;
      case RecordTag::Description:
        Once(entry, haveDescription_).assign(entry.text);
        break;
      case RecordTag::ContainsUnit:
        record_.units.emplace_back(entry.text);
        break;
      case RecordTag::RequiresPackage:
        record_.requiredPackages.emplace_back(entry.text);
        break;
      case RecordTag::BuildArtifact:
        Once(entry, haveArtifact_).assign(entry.text);
        break;
    }
  }

  // The field of an entry that may come once; throws when it came before.
  std::string& Once(const Entry& entry, bool& seen) {
    const auto tag = static_cast<RecordTag>(entry.tag);
    if (seen) {
      throw Exception("record entry %d at offset %d: second %s",
                      {entry.number, entry.offset, TagName(tag)});
    }
    seen = true;
    switch (tag) {
      case RecordTag::PackageName:
        return record_.name;
      case RecordTag::Description:
        return record_.description;
      default:
        return record_.buildArtifact;
    }
  }

  std::span<const std::uint8_t> desc_;
  TPackageRecord record_;
  bool haveName_ = false, haveDescription_ = false, haveArtifact_ = false;
};

}  // namespace

std::string Shown(std::string_view text) {
  if (text.empty() || text.size() > 64) return {};
  for (const char c : text) {
    if (c < 0x20 || c > 0x7e) return {};
  }
  return " '" + std::string(text) + "'";
}

TPackageRecord DecodeRecord(std::span<const std::uint8_t> desc) {
  return RecordDecoder(desc).Decode();
}

TPackageExport DecodeExport(std::span<const std::uint8_t> desc) {
  const char* text = reinterpret_cast<const char*>(desc.data());
  const std::string_view all(text, desc.size());
  const std::size_t nul = all.find('\0');
  if (nul == std::string_view::npos) {
    throw Exception("export entry of %d bytes has no NUL between export name and symbol",
                    {desc.size()});
  }
  const std::string_view name = all.substr(0, nul), symbol = all.substr(nul + 1);
  if (name.empty()) throw Exception("export entry has an empty export name");
  if (symbol.empty()) throw Exception("export entry '%s' has an empty symbol name", {name});
  if (symbol.find('\0') != std::string_view::npos) {
    throw Exception("export entry '%s': symbol name holds a NUL byte", {name});
  }
  // Both end up in messages and in what tools print, as the record's texts do.
  if (const std::string fault = TextFault(name); !fault.empty()) {
    throw Exception("export name%s", {fault});
  }
  if (const std::string fault = TextFault(symbol); !fault.empty()) {
    throw Exception("export entry '%s': symbol name%s", {name, fault});
  }
  return TPackageExport{std::string(name), std::string(symbol)};
}

std::vector<std::uint8_t> EncodeRecord(const TPackageRecord& record) {
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

}  // namespace rtl::detail

namespace rtl {

bool IsPackageName(std::string_view name) {
  if (name.empty() || name.size() > detail::kMaxNameLength) return false;
  const auto letter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  if (!letter(name.front())) return false;
  for (const char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

}  // namespace rtl
