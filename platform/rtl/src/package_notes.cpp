// The walk over a file's or a module's note segments: finding the package notes
// among the others and taking the record and the exports from them.

#include <cstring>
#include <string>
#include <unordered_set>

#include "package_record.h"
#include "rtl/sysutils.h"

namespace rtl::detail {

namespace {

constexpr std::size_t kNoteHeaderSize = 12;  // namesz, descsz, type
// The owner as a note's name holds it, with its terminating zero.
constexpr std::string_view kOwnerName{"RTLPKG\0", 7};

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Padding to the note alignment, in 64 bits so that a 32-bit size near its
// maximum cannot wrap.
std::uint64_t Padded(std::uint64_t size, std::uint64_t alignment) {
  return (size + alignment - 1) & ~(alignment - 1);
}

struct Note {
  std::size_t index;  // 1-based, in its segment
  std::string_view name;
  std::uint32_t type;
  std::span<const std::uint8_t> desc;

  bool IsOurs() const { return name == kOwnerName; }
};

// " in segment 3", for messages about the segment's notes.
std::string Where(const NoteSegment& segment) {
  return Format(" in segment %d", {segment.index});
}

// Calls visit(note) for each note of the segment in order. Throws on a note that
// does not fit in the segment, or that spells our owner with a name size that
// does not cover it: read on, such a note would shift every note after it, and
// the message would blame one of those.
template <typename Visit>
void WalkNotes(const NoteSegment& segment, Visit&& visit) {
  const std::span<const std::uint8_t> bytes = segment.bytes;
  const std::uint64_t size = bytes.size();
  std::uint64_t offset = 0;
  for (std::size_t index = 1; offset < size; ++index) {
    if (size - offset < kNoteHeaderSize) {
      throw Exception("header of note %d%s runs past the end of its segment",
                      {index, Where(segment)});
    }
    const std::uint8_t* header = bytes.data() + offset;
    const std::uint32_t nameSize = ReadU32(header);
    const std::uint32_t descSize = ReadU32(header + 4);
    const std::uint64_t nameOffset = offset + kNoteHeaderSize;
    if (nameSize > size - nameOffset) {
      throw Exception("name of note %d%s runs past the end of its segment",
                      {index, Where(segment)});
    }
    if (nameSize != kOwnerName.size() && size - nameOffset >= kOwnerName.size() &&
        std::memcmp(bytes.data() + nameOffset, kOwnerName.data(), kOwnerName.size()) == 0) {
      throw Exception("note %d%s: name size %d does not fit its owner name RTLPKG (expected %d)",
                      {index, Where(segment), nameSize, kOwnerName.size()});
    }
    // Name and descriptor each start at a multiple of the segment's alignment
    // (note starts are aligned, so offsets in the segment will do).
    const std::uint64_t descOffset = Padded(nameOffset + nameSize, segment.alignment);
    if (descOffset > size || descSize > size - descOffset) {
      throw Exception("descriptor of note %d%s runs past the end of its segment",
                      {index, Where(segment)});
    }
    const std::uint64_t next = Padded(descOffset + descSize, segment.alignment);
    // The last note's padding may be left out when the segment ends right there.
    offset = next < size ? next : size;
    const auto* name = reinterpret_cast<const char*>(bytes.data() + nameOffset);
    visit(Note{index, std::string_view(name, nameSize), ReadU32(header + 8),
               bytes.subspan(descOffset, descSize)});
  }
}

// The record and the exports of the segments seen so far.
class NoteCollector {
 public:
  void Add(const NoteSegment& segment) {
    if (segment.alignment != 4 && segment.alignment != 8) {
      throw Exception("notes%s: alignment %d; expected 4 or 8",
                      {Where(segment), segment.alignment});
    }
    WalkNotes(segment, [&](const Note& note) {
      if (!note.IsOurs()) return;
      // Other types are left for later versions of the SDK.
      if (note.type == kRecordNoteType) {
        TakeRecord(note, segment);
      } else if (note.type == kExportNoteType) {
        TakeExport(note, segment);
      }
    });
  }

  bool Empty() const { return !record_ && exports_.empty(); }
  std::size_t ExportCount() const { return exports_.size(); }

  std::optional<TPackageRecord> Finish() && {
    if (record_) record_->exports = std::move(exports_);
    return std::move(record_);
  }

 private:
  void TakeRecord(const Note& note, const NoteSegment& segment) {
    try {
      if (record_) throw Exception("second package record");
      record_ = DecodeRecord(note.desc);
    } catch (const Exception& e) {
      throw Exception("note %d%s: %s", {note.index, Where(segment), e.Message()});
    }
  }

  void TakeExport(const Note& note, const NoteSegment& segment) {
    TPackageExport entry;
    try {
      entry = DecodeExport(note.desc);
    } catch (const Exception& e) {
      throw Exception("note %d%s: %s", {note.index, Where(segment), e.Message()});
    }
    // A set, not a walk over those before: a crafted file may hold many thousands.
    if (!exportNames_.insert(entry.name).second) {
      throw Exception("export '%s' appears twice in the notes%s", {entry.name, Where(segment)});
    }
    exports_.push_back(std::move(entry));
  }

  std::optional<TPackageRecord> record_;
  std::vector<TPackageExport> exports_;
  std::unordered_set<std::string> exportNames_;
};

// Notes laid out for one alignment and read with the other go wrong from the
// first descriptor on, so whatever fails then is not the cause: when the notes
// read cleanly with the other alignment, the segment's p_align is blamed.
void BlameAlignment(const NoteSegment& segment) {
  if (segment.alignment != 4 && segment.alignment != 8) return;
  NoteSegment other = segment;
  other.alignment = segment.alignment == 4 ? 8 : 4;
  try {
    NoteCollector().Add(other);
  } catch (const Exception&) {
    return;
  }
  throw Exception("notes%s are laid out for %d-byte alignment, but its p_align is %d",
                  {Where(segment), other.alignment, segment.alignment});
}

// For exports that came without a record: the first note that holds a valid
// package record under another owner or type, described ("note 2 in segment 3
// holds a package record, but its type is 3, not 1"); empty when none does.
std::string FindStrayRecord(const NoteSegment& segment) {
  std::string stray;
  try {
    WalkNotes(segment, [&](const Note& note) {
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
      stray =
          Format("note %d%s holds a package record, but %s", {note.index, Where(segment), cause});
    });
  } catch (const Exception&) {
    // A damaged segment holds no record to point at.
  }
  return stray;
}

// Exports without a record belong to nothing the framework knows: the record was
// there and has been damaged out of recognition.
[[noreturn]] void RefuseExportsWithoutRecord(std::span<const NoteSegment> segments,
                                             std::size_t exports) {
  for (const NoteSegment& segment : segments) {
    const std::string stray = FindStrayRecord(segment);
    if (!stray.empty()) throw Exception("%s, so the package's exports have no record", {stray});
  }
  throw Exception("the notes hold %d package exports but no package record", {exports});
}

}  // namespace

std::optional<TPackageRecord> DecodePackageNotes(std::span<const NoteSegment> segments) {
  NoteCollector notes;
  for (const NoteSegment& segment : segments) {
    try {
      notes.Add(segment);
    } catch (const Exception&) {
      BlameAlignment(segment);
      throw;
    }
  }
  if (notes.Empty()) return std::nullopt;
  const std::size_t exports = notes.ExportCount();
  std::optional<TPackageRecord> record = std::move(notes).Finish();
  if (!record) RefuseExportsWithoutRecord(segments, exports);
  return record;
}

}  // namespace rtl::detail
