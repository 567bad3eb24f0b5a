// The package record codec and the walk over note segments, on hand-made bytes:
// what it takes, and every refusal with the reason and place it must give.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "elf_test_support.h"
#include "package_record.h"
#include "rtl/package_file.h"
#include "rtl/sysutils.h"

using elftest::Bytes;
using elftest::Concat;
using elftest::MakeExportDesc;
using elftest::MakeNote;
using rtl::TPackageRecord;
using rtl::detail::DecodeRecord;
using rtl::detail::EncodeRecord;
using rtl::detail::NoteSegment;
using testsupport::MessageOf;

namespace {

TPackageRecord FullRecord() {
  TPackageRecord r;
  r.flags = 0x81;
  r.name = "stdreg";
  r.description = "Стандартные компоненты: \"quoted\", ✓ 😀";
  r.units = {"Stdreg", "Buttons", "Ext_Ctrls"};
  r.requiredPackages = {"rtl", "toolkit"};
  r.buildArtifact = "libstdreg.so";
  return r;
}

TEST(Record, DecodeGivesBackWhatWasEncoded) {
  TPackageRecord minimal;
  minimal.name = "p";
  TPackageRecord longest = FullRecord();
  longest.description.assign(65535, 'd');  // the largest an entry can hold
  longest.name.assign(255, 'n');           // the longest name there is
  for (const TPackageRecord& want : {minimal, FullRecord(), longest}) {
    EXPECT_TRUE(want == DecodeRecord(EncodeRecord(want)))
        << "record " << want.name << " with a description of " << want.description.size()
        << " bytes should survive the round trip";
  }
}

TEST(Record, EveryCutShortEncodingIsRefused) {
  const Bytes full = EncodeRecord(FullRecord());
  for (std::size_t length = 0; length < full.size(); ++length) {
    const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_THROW(DecodeRecord(cut), rtl::Exception)
        << "a record cut to " << length << " of " << full.size() << " bytes should be refused";
  }
}

Bytes RecordNote(const TPackageRecord& r, std::size_t alignment = 4) {
  return MakeNote("RTLPKG", 1, EncodeRecord(r), alignment);
}
Bytes ExportNote(const std::string& name, const std::string& symbol, std::size_t alignment = 4) {
  return MakeNote("RTLPKG", 2, MakeExportDesc(name, symbol), alignment);
}
Bytes GnuNote(std::size_t alignment = 4) {
  return MakeNote("GNU", 3, Bytes(20, 0xab), alignment);
}

// Segments by their bytes and alignment, numbered from 1.
std::optional<TPackageRecord> Decode(const std::vector<std::pair<Bytes, std::size_t>>& segments) {
  std::vector<NoteSegment> spans;
  for (const auto& [bytes, alignment] : segments) {
    spans.push_back(NoteSegment{bytes, alignment, spans.size() + 1});
  }
  return rtl::detail::DecodePackageNotes(spans);
}

// One record and every export across segments (the file-level rows of the damage
// table try single segments of other layouts); no package notes, no record.
TEST(Notes, RecordAndExportsAreCollectedAcrossSegments) {
  auto record = Decode({{GnuNote(8), 8},
                        {Concat({ExportNote("First", "f"), GnuNote()}), 4},
                        {Concat({RecordNote(FullRecord()), ExportNote("Second", "s")}), 4}});
  ASSERT_TRUE(record.has_value()) << "the record in the third segment should be found";
  EXPECT_EQ((std::vector<rtl::TPackageExport>{{"First", "f"}, {"Second", "s"}}), record->exports)
      << "every export, in note order";
  record->exports.clear();
  EXPECT_TRUE(FullRecord() == *record) << "the record as encoded";
  for (const Bytes& none : {Bytes{}, GnuNote(), MakeNote("RTLPKGX", 1, EncodeRecord(FullRecord())),
                            MakeNote("rtlpkg", 1, EncodeRecord(FullRecord()))}) {
    EXPECT_FALSE(Decode({{none, 4}}).has_value()) << "no package notes, no record";
  }
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes WithU32(Bytes bytes, std::size_t offset, std::uint32_t value) {
  elftest::Put(bytes, offset, value);
  return bytes;
}

struct RefusalCase {
  const char* label;
  std::function<void()> run;
  std::string expected;
};

class Refusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, SaysWhyAndWhere) {
  EXPECT_THAT(MessageOf(GetParam().run), testing::HasSubstr(GetParam().expected));
}

RefusalCase Record(const char* label, Bytes bytes, const char* expected) {
  return {label, [bytes] { DecodeRecord(bytes); }, expected};
}
RefusalCase Export(const char* label, Bytes bytes, const char* expected) {
  return {label, [bytes] { rtl::detail::DecodeExport(bytes); }, expected};
}
RefusalCase Notes(const char* label, std::vector<Bytes> segments, const char* expected,
                  std::size_t alignment = 4) {
  return {label,
          [segments, alignment] {
            std::vector<std::pair<Bytes, std::size_t>> all;
            for (const Bytes& bytes : segments) all.emplace_back(bytes, alignment);
            Decode(all);
          },
          expected};
}

std::vector<RefusalCase> RefusalCases() {
  const Bytes good = RecordNote(FullRecord());
  const Bytes gnu = GnuNote();
  const auto with = [](const std::function<void(TPackageRecord&)>& edit) {
    TPackageRecord r = FullRecord();
    edit(r);
    return EncodeRecord(r);
  };
  const auto described = [&](const std::string& text) {
    return with([&](TPackageRecord& r) { r.description = text; });
  };
  return {
      Record("Empty", {}, "package record is 0 bytes long, shorter than its 4-byte"),
      Record("UnknownVersion", {7, 0, 0, 0}, "unknown package record version 7 (expected 1)"),
      Record("CountWithoutEntries", {1, 0, 1, 0},
             "record entry 1 at offset 4: entry header runs past the end of the record (4 bytes)"),
      Record("LengthPastEnd", {1, 0, 1, 0, 1, 1, 1, 'a'},
             "record entry 1 at offset 4: length 257 runs past the end of the record (8 bytes)"),
      Record("UnknownTagInSecondEntry", {1, 0, 2, 0, 1, 2, 0, 'a', 'b', 9, 0, 0},
             "record entry 2 at offset 9: unknown tag 9"),
      Record("BytesAfterLastEntry", {1, 0, 1, 0, 1, 1, 0, 'a', 0xff},
             "package record goes on past its last entry (offset 8 of 9 bytes)"),
      Record("SecondName", {1, 0, 2, 0, 1, 1, 0, 'a', 1, 1, 0, 'b'},
             "record entry 2 at offset 8: second package name"),
      Record("SecondDescription", {1, 0, 3, 0, 1, 1, 0, 'a', 2, 0, 0, 2, 0, 0},
             "record entry 3 at offset 11: second description"),
      Record("NoName", {1, 0, 1, 0, 2, 1, 0, 'd'}, "package record has no package name"),
      Record("NulInsideText", {1, 0, 1, 0, 1, 3, 0, 'a', 0, 'b'},
             "record entry 1 at offset 4: text holds a NUL byte"),
      Record("NameStartsWithADigit", with([](TPackageRecord& r) { r.name = "9lives"; }),
             "record entry 1 at offset 4: package name '9lives' is not an identifier"),
      Record("NameOf256Bytes", with([](TPackageRecord& r) { r.name.assign(256, 'n'); }),
             "package name is 256 bytes long; at most 255"),
      // Every kind of name is held to the rule, and every text.
      Record("UnitNameOf300Bytes", with([](TPackageRecord& r) { r.units[1].assign(300, 'u'); }),
             "record entry 4 at offset 88: unit name is 300 bytes long; at most 255"),
      Record("RequiredPackageNameEmpty",
             with([](TPackageRecord& r) { r.requiredPackages[0].clear(); }),
             "required package name is empty"),
      Record("BuildArtifactNotUtf8", with([](TPackageRecord& r) { r.buildArtifact = "l\xc0\xaf"; }),
             "build-artifact name is not valid UTF-8 (byte 0xc0 at 1)"),
      Record("DescriptionCutSequence", described("ok\xe2\x9c"),
             "description is not valid UTF-8 (byte 0xe2 at 2)"),
      Record("DescriptionC1Control", described("\xc2\x85"),
             "description holds the control character U+0085 at byte 0"),
      Record("DescriptionDelete", described("\x7f"),
             "description holds the control character U+007F at byte 0"),
      Export("ExportWithoutSeparator", Text("@Stdreg@Register$qqrv"),
             "export entry of 21 bytes has no NUL between export name and symbol"),
      Export("EmptyExportName", MakeExportDesc("", "sym"), "export entry has an empty export name"),
      Export("EmptySymbol", MakeExportDesc("Name", ""),
             "export entry 'Name' has an empty symbol name"),
      Export("NulInSymbol", MakeExportDesc("Name", std::string("s\0t", 3)),
             "export entry 'Name': symbol name holds a NUL byte"),
      Export("EscapeInExportName", MakeExportDesc("Na\x1bme", "sym"),
             "export name holds the control character U+001B at byte 2"),
      Notes("HeaderCutAfterGoodNote", {Concat({good, Bytes(11, 0)})},
            "header of note 2 in segment 1 runs past the end of its segment"),
      Notes("NameSizeHuge", {WithU32(good, 0, 0xffffffff)},
            "name of note 1 in segment 1 runs past the end of its segment"),
      Notes("DescSizeHuge", {Concat({gnu, WithU32(good, 4, 0xfffffffd)})},
            "descriptor of note 2 in segment 1 runs past the end of its segment"),
      Notes("TwoRecords", {Concat({good, gnu, good})},
            "note 3 in segment 1: second package record"),
      Notes("RecordsInTwoSegments", {good, good}, "note 1 in segment 2: second package record"),
      Notes("OwnerWithoutItsZero",
            {Concat({gnu, MakeNote("RTLPKG", 1, EncodeRecord(FullRecord()), 4, false)})},
            "note 2 in segment 1: name size 6 does not fit its owner name RTLPKG (expected 7)"),
      Notes("SameExportTwice",
            {Concat({good, ExportNote("@A@Register$qqrv", "a")}),
             ExportNote("@A@Register$qqrv", "b")},
            "export '@A@Register$qqrv' appears twice in the notes in segment 2"),
      Notes("ExportsWithoutRecord", {ExportNote("Lonely", "sym")},
            "the notes hold 1 package exports but no package record"),
      Notes("ExportsBesideAnEmptyNote", {Concat({MakeNote("GNU", 3, {}), ExportNote("L", "s")})},
            "the notes hold 1 package exports but no package record"),
      Notes("NoteAlignment", {good}, "notes in segment 1: alignment 16; expected 4 or 8", 16),
  };
}

INSTANTIATE_TEST_SUITE_P(Codec, Refusal, testing::ValuesIn(RefusalCases()),
                         [](const auto& info) { return std::string(info.param.label); });

// The name rule at each edge of its character ranges, and of its length.
TEST(Record, APackageNameIsAnIdentifierOfAtMost255Bytes) {
  for (const std::string& name : std::vector<std::string>{"a", "z", "A", "Z", "_", "_9", "a0",
                                                          "Stdreg", std::string(255, 'n')}) {
    EXPECT_TRUE(rtl::IsPackageName(name)) << name;
  }
  for (const std::string& name :
       std::vector<std::string>{"", "0a", "9", "@", "[", "`", "{", "a/", "a:", "a-b", "a b", "é",
                                std::string(256, 'n')}) {
    EXPECT_FALSE(rtl::IsPackageName(name)) << '\'' << name << '\'';
  }
}

}  // namespace
