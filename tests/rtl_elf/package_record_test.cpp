#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "elf_test_support.h"
#include "package_record.h"
#include "rtl/sysutils.h"

using elftest::Bytes;
using elftest::Concat;
using elftest::MakeExportDesc;
using elftest::MakeNote;
using rtl::detail::DecodeExport;
using rtl::detail::DecodeNotes;
using rtl::detail::DecodeRecord;
using rtl::detail::EncodeRecord;
using rtl::detail::PackageRecord;

namespace {

using testsupport::MessageOf;

PackageRecord FullRecord() {
  PackageRecord r;
  r.flags = 0x81;
  r.name = "stdreg";
  r.description = "Стандартные компоненты: \"quoted\", ✓ 😀";
  r.units = {"Stdreg", "Buttons", "Ext_Ctrls"};
  r.requiredPackages = {"rtl", "toolkit"};
  r.buildArtifact = "libstdreg.so";
  return r;
}

void ExpectSameRecord(const PackageRecord& want, const PackageRecord& got) {
  EXPECT_EQ(want.version, got.version) << "version should survive the round trip";
  EXPECT_EQ(want.flags, got.flags) << "flags should survive the round trip";
  EXPECT_EQ(want.name, got.name) << "name should survive the round trip";
  EXPECT_EQ(want.description, got.description) << "description should survive byte for byte";
  EXPECT_EQ(want.units, got.units) << "units should keep their order";
  EXPECT_EQ(want.requiredPackages, got.requiredPackages) << "required packages should keep order";
  EXPECT_EQ(want.buildArtifact, got.buildArtifact) << "build-artifact name should survive";
}

TEST(Record, DecodeGivesBackWhatWasEncoded) {
  PackageRecord minimal;
  minimal.name = "p";
  PackageRecord longest = FullRecord();
  longest.description.assign(65535, 'd');  // the largest an entry can hold
  longest.name.assign(255, 'n');           // the longest name there is
  for (const PackageRecord& want : {minimal, FullRecord(), longest}) {
    SCOPED_TRACE("record " + want.name + ", description of " +
                 std::to_string(want.description.size()) + " bytes");
    ExpectSameRecord(want, DecodeRecord(EncodeRecord(want)));
  }
}

TEST(RecordEncode, EntryLengthsAndCountAreLittleEndian) {
  PackageRecord r;
  r.name = std::string(0x0102, 'n');
  const Bytes encoded = EncodeRecord(r);
  ASSERT_GE(encoded.size(), 7u);
  EXPECT_EQ(1, encoded[0]) << "the first byte should be the version";
  EXPECT_EQ(3, encoded[2] | (encoded[3] << 8)) << "name, description, artifact: 3 entries";
  EXPECT_EQ(1, encoded[4]) << "the first entry should be the package name";
  EXPECT_EQ(0x02, encoded[5]) << "the low byte of the length should come first";
  EXPECT_EQ(0x01, encoded[6]) << "the high byte of the length should come second";
}

TEST(DamagedRecord, EveryCutShortEncodingIsRefused) {
  const Bytes full = EncodeRecord(FullRecord());
  for (std::size_t length = 0; length < full.size(); ++length) {
    const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_THROW(DecodeRecord(cut), rtl::Exception)
        << "a record cut to " << length << " of " << full.size() << " bytes should be refused";
  }
}

Bytes RecordNote(const PackageRecord& r, std::size_t alignment = 4) {
  return MakeNote("RTLPKG", 1, EncodeRecord(r), alignment);
}
Bytes ExportNote(const std::string& name, const std::string& symbol, std::size_t alignment = 4) {
  return MakeNote("RTLPKG", 2, MakeExportDesc(name, symbol), alignment);
}
Bytes GnuNote(std::size_t alignment = 4) {
  return MakeNote("GNU", 3, Bytes(20, 0xab), alignment);
}

TEST(NoteWalk, FindsTheRecordAndEveryExportWhereverTheyStand) {
  const Bytes segment = Concat({ExportNote("@A@Register$qqrv", "reg_a"), GnuNote(),
                                RecordNote(FullRecord()), ExportNote("Other", "other_sym")});
  PackageRecord got;
  ASSERT_TRUE(DecodeNotes(segment, got)) << "a segment with a record note should report it";
  ExpectSameRecord(FullRecord(), got);
  ASSERT_EQ(2u, got.exports.size()) << "both exports should be collected";
  EXPECT_EQ("@A@Register$qqrv", got.exports[0].name) << "exports should keep note order";
  EXPECT_EQ("reg_a", got.exports[0].symbol);
  EXPECT_EQ("Other", got.exports[1].name) << "an export after the record should be kept too";
}

TEST(NoteWalk, WithoutARecordReportsNoneAndLeavesTheOutputAlone) {
  const std::vector<Bytes> segments = {
      {},
      GnuNote(),
      ExportNote("Lonely", "sym"),
      MakeNote("RTLPKGX", 1, EncodeRecord(FullRecord())),
      MakeNote("rtlpkg", 1, EncodeRecord(FullRecord())),
  };
  for (std::size_t i = 0; i < segments.size(); ++i) {
    PackageRecord out;
    out.name = "untouched";
    EXPECT_FALSE(DecodeNotes(segments[i], out)) << "segment " << i << " holds no package record";
    EXPECT_EQ("untouched", out.name) << "segment " << i << ": output should be left as it was";
    EXPECT_TRUE(out.exports.empty()) << "segment " << i << ": no exports without a record";
  }
}

TEST(NoteWalk, LastNoteMayEndWithoutPadding) {
  Bytes segment = Concat({GnuNote(), ExportNote("Odd", "s")});  // desc is 5 bytes: 3 pad bytes
  segment = Concat({RecordNote(FullRecord()), segment});
  segment.resize(segment.size() - 3);
  PackageRecord out;
  ASSERT_TRUE(DecodeNotes(segment, out)) << "a segment cut right after the last descriptor is fine";
  ASSERT_EQ(1u, out.exports.size());
  EXPECT_EQ("s", out.exports[0].symbol) << "the unpadded last descriptor should be read whole";
}

TEST(NoteWalk, EightByteAlignedSegmentsAreWalkedWithTheirOwnPadding) {
  // A GNU property note (4-byte name) is the usual company in an 8-aligned segment:
  // read with 4-byte padding, the record note after it would be missed or misread.
  const Bytes segment = Concat({GnuNote(8), RecordNote(FullRecord(), 8), ExportNote("E", "e", 8)});
  PackageRecord out;
  ASSERT_TRUE(DecodeNotes(segment, 8, "in segment 5", out)) << "the record should be found";
  ExpectSameRecord(FullRecord(), out);
  ASSERT_EQ(1u, out.exports.size()) << "the export after the record should be found";
  EXPECT_EQ("e", out.exports[0].symbol);
}

TEST(NoteWalk, SegmentsAddUpButASecondRecordIsRefused) {
  PackageRecord out;
  ASSERT_FALSE(DecodeNotes(ExportNote("First", "f"), 4, "in segment 1", out));
  ASSERT_TRUE(DecodeNotes(RecordNote(FullRecord()), 4, "in segment 2", out));
  EXPECT_EQ("stdreg", out.name) << "the record of the second segment should be taken";
  ASSERT_EQ(1u, out.exports.size()) << "an export of an earlier segment should be kept";
  EXPECT_EQ("First", out.exports[0].name);

  const std::string second =
      MessageOf([&] { DecodeNotes(RecordNote(FullRecord()), 4, "in segment 3", out); });
  EXPECT_EQ("note 1 in segment 3: second package record", second)
      << "a record in a later segment should be refused as a second one";
  const std::string duplicate =
      MessageOf([&] { DecodeNotes(ExportNote("First", "g"), 4, "in segment 4", out); });
  EXPECT_EQ("export 'First' appears twice in the notes in segment 4", duplicate)
      << "an export name seen in an earlier segment should be refused";
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes WithU32(Bytes bytes, std::size_t offset, std::uint32_t value) {
  elftest::Put(bytes, offset, value);
  return bytes;
}

// Every refusal of the codec, each with the reason and place it must give.
struct RefusalCase {
  const char* label;
  std::function<void()> run;
  std::string expected;
};

class Refusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, SaysWhyAndWhere) {
  const std::string message = MessageOf(GetParam().run);
  EXPECT_NE(std::string::npos, message.find(GetParam().expected))
      << "message \"" << message << "\" should contain \"" << GetParam().expected << "\"";
}

RefusalCase Record(const char* label, Bytes bytes, const char* expected) {
  return {label, [bytes] { DecodeRecord(bytes); }, expected};
}
RefusalCase Export(const char* label, Bytes bytes, const char* expected) {
  return {label, [bytes] { DecodeExport(bytes); }, expected};
}
RefusalCase Notes(const char* label, Bytes segment, const char* expected) {
  return {label,
          [segment] {
            PackageRecord out;
            DecodeNotes(segment, out);
          },
          expected};
}

std::vector<RefusalCase> RefusalCases() {
  PackageRecord tooLong;
  tooLong.name = "p";
  tooLong.description.assign(65536, 'd');
  PackageRecord tooMany;
  tooMany.name = "p";
  tooMany.units.assign(65534, "U");  // with name, description and artifact: 65537
  const Bytes good = RecordNote(FullRecord());
  const Bytes gnu = GnuNote();
  const auto with = [](const std::function<void(PackageRecord&)>& edit) {
    PackageRecord r = FullRecord();
    edit(r);
    return EncodeRecord(r);
  };
  const auto described = [&](const std::string& text) {
    return with([&](PackageRecord& r) { r.description = text; });
  };
  return {
      {"EntryTooLong", [tooLong] { EncodeRecord(tooLong); }, "65536 bytes long"},
      {"TooManyEntries", [tooMany] { EncodeRecord(tooMany); }, "65537 entries"},
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
      Record("NameStartsWithADigit", with([](PackageRecord& r) { r.name = "9lives"; }),
             "record entry 1 at offset 4: package name '9lives' is not an identifier"),
      Record("NameOf256Bytes", with([](PackageRecord& r) { r.name.assign(256, 'n'); }),
             "package name is 256 bytes long; at most 255"),
      Record("DescriptionOverlong", described("a\xc0\xaf"),
             "description is not valid UTF-8 (byte 0xc0 at 1)"),
      Record("DescriptionSurrogate", described("\xed\xa0\x80"),
             "description is not valid UTF-8 (byte 0xed at 0)"),
      Record("DescriptionPastUnicode", described("\xf4\x90\x80\x80"),
             "description is not valid UTF-8 (byte 0xf4 at 0)"),
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
      Notes("HeaderCutAfterGoodNote", Concat({good, Bytes(11, 0)}),
            "header of note 2 runs past the end of its segment"),
      Notes("NameSizeHuge", WithU32(good, 0, 0xffffffff),
            "name of note 1 runs past the end of its segment"),
      Notes("DescSizeHuge", Concat({gnu, WithU32(good, 4, 0xfffffffd)}),
            "descriptor of note 2 runs past the end of its segment"),
      Notes("TwoRecords", Concat({good, gnu, good}), "note 3: second package record"),
      Notes("OwnerWithoutItsZero",
            Concat({gnu, MakeNote("RTLPKG", 1, EncodeRecord(FullRecord()), 4, false)}),
            "note 2: name size 6 does not fit its owner name RTLPKG (expected 7)"),
      Notes(
          "SameExportTwice",
          Concat({good, ExportNote("@A@Register$qqrv", "a"), ExportNote("@A@Register$qqrv", "b")}),
          "export '@A@Register$qqrv' appears twice"),
      {"NoteAlignment",
       [good] {
         PackageRecord out;
         DecodeNotes(good, 16, "in segment 2", out);
       },
       "notes in segment 2: alignment 16; expected 4 or 8"},
  };
}

INSTANTIATE_TEST_SUITE_P(Codec, Refusal, testing::ValuesIn(RefusalCases()),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
