#include <gtest/gtest.h>

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
  r.description = "Стандартные компоненты: \"quoted\", tab\tand newline\n";
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

struct RoundTripCase {
  const char* label;
  PackageRecord record;
};

class RecordRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RecordRoundTrip, DecodeGivesBackWhatWasEncoded) {
  const PackageRecord& want = GetParam().record;
  const Bytes encoded = EncodeRecord(want);
  ExpectSameRecord(want, DecodeRecord(encoded));
}

std::vector<RoundTripCase> RoundTripCases() {
  std::vector<RoundTripCase> cases;
  PackageRecord minimal;
  minimal.name = "p";
  cases.push_back({"NameOnly", minimal});
  cases.push_back({"Full", FullRecord()});
  PackageRecord longest = FullRecord();
  longest.description.assign(65535, 'd');  // the largest an entry can hold
  cases.push_back({"LongestDescription", longest});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Records, RecordRoundTrip, testing::ValuesIn(RoundTripCases()),
                         [](const auto& info) { return std::string(info.param.label); });

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

TEST(RecordEncode, RefusesWhatTheFormatCannotHold) {
  PackageRecord tooLong;
  tooLong.name = "p";
  tooLong.description.assign(65536, 'd');
  EXPECT_NE(std::string::npos, MessageOf([&] { EncodeRecord(tooLong); }).find("65536 bytes long"))
      << "an entry past 65535 bytes should be refused, not cut";

  PackageRecord tooMany;
  tooMany.name = "p";
  tooMany.units.assign(65534, "U");  // with name, description and artifact: 65537
  EXPECT_NE(std::string::npos, MessageOf([&] { EncodeRecord(tooMany); }).find("65537 entries"))
      << "more than 65535 entries should be refused";
}

struct DamagedRecordCase {
  const char* label;
  Bytes bytes;
  const char* expected;
};

class DamagedRecord : public testing::TestWithParam<DamagedRecordCase> {};

TEST_P(DamagedRecord, IsRefusedWithTheReasonAndOffset) {
  const std::string message = MessageOf([&] { DecodeRecord(GetParam().bytes); });
  EXPECT_NE(std::string::npos, message.find(GetParam().expected))
      << "message \"" << message << "\" should contain \"" << GetParam().expected << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Records, DamagedRecord,
    testing::Values(
        DamagedRecordCase{"Empty", {}, "package record is 0 bytes long, shorter than its 4-byte"},
        DamagedRecordCase{
            "UnknownVersion", {7, 0, 0, 0}, "unknown package record version 7 (expected 1)"},
        DamagedRecordCase{"CountWithoutEntries",
                          {1, 0, 1, 0},
                          "record entry 1 at offset 4: entry header runs past the end of the "
                          "record (4 bytes)"},
        DamagedRecordCase{"LengthPastEnd",
                          {1, 0, 1, 0, 1, 1, 1, 'a'},
                          "record entry 1 at offset 4: length 257 runs past the end of the "
                          "record (8 bytes)"},
        DamagedRecordCase{"UnknownTagInSecondEntry",
                          {1, 0, 2, 0, 1, 2, 0, 'a', 'b', 9, 0, 0},
                          "record entry 2 at offset 9: unknown tag 9"},
        DamagedRecordCase{"BytesAfterLastEntry",
                          {1, 0, 1, 0, 1, 1, 0, 'a', 0xff},
                          "package record goes on past its last entry (offset 8 of 9 bytes)"},
        DamagedRecordCase{"SecondName",
                          {1, 0, 2, 0, 1, 1, 0, 'a', 1, 1, 0, 'b'},
                          "record entry 2 at offset 8: second package name"},
        DamagedRecordCase{"SecondDescription",
                          {1, 0, 3, 0, 1, 1, 0, 'a', 2, 0, 0, 2, 0, 0},
                          "record entry 3 at offset 11: second description"},
        DamagedRecordCase{
            "NoName", {1, 0, 1, 0, 2, 1, 0, 'd'}, "package record has no package name"},
        DamagedRecordCase{"NulInsideText",
                          {1, 0, 1, 0, 1, 3, 0, 'a', 0, 'b'},
                          "record entry 1 at offset 4: text holds a NUL byte"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DamagedRecord, EveryCutShortEncodingIsRefused) {
  const Bytes full = EncodeRecord(FullRecord());
  for (std::size_t length = 0; length < full.size(); ++length) {
    const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_THROW(DecodeRecord(cut), rtl::Exception)
        << "a record cut to " << length << " of " << full.size() << " bytes should be refused";
  }
}

struct ExportCase {
  const char* label;
  Bytes bytes;
  const char* expected;
};

class DamagedExport : public testing::TestWithParam<ExportCase> {};

TEST_P(DamagedExport, IsRefusedSayingWhy) {
  const ExportCase& c = GetParam();
  const std::string message = MessageOf([&] { DecodeExport(c.bytes); });
  EXPECT_NE(std::string::npos, message.find(c.expected))
      << "message \"" << message << "\" should contain \"" << c.expected << "\"";
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

INSTANTIATE_TEST_SUITE_P(
    Exports, DamagedExport,
    testing::Values(
        ExportCase{"NoSeparator", Text("@Stdreg@Register$qqrv"),
                   "export entry of 21 bytes has no NUL between export name and symbol"},
        ExportCase{"EmptyName", MakeExportDesc("", "sym"), "export entry has an empty export name"},
        ExportCase{"EmptySymbol", MakeExportDesc("Name", ""),
                   "export entry 'Name' has an empty symbol name"},
        ExportCase{"NulInSymbol", MakeExportDesc("Name", std::string("s\0t", 3)),
                   "export entry 'Name': symbol name holds a NUL byte"}),
    [](const auto& info) { return std::string(info.param.label); });

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
      MakeNote("RTLPKG", 1, EncodeRecord(FullRecord()), 4, /*terminateOwner=*/false),
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

struct DamagedNotesCase {
  const char* label;
  Bytes segment;
  const char* expected;
};

class DamagedNotes : public testing::TestWithParam<DamagedNotesCase> {};

TEST_P(DamagedNotes, AreRefusedNamingTheNote) {
  PackageRecord out;
  const std::string message = MessageOf([&] { DecodeNotes(GetParam().segment, out); });
  EXPECT_NE(std::string::npos, message.find(GetParam().expected))
      << "message \"" << message << "\" should contain \"" << GetParam().expected << "\"";
}

Bytes WithU32(Bytes bytes, std::size_t offset, std::uint32_t value) {
  elftest::Put(bytes, offset, value);
  return bytes;
}

std::vector<DamagedNotesCase> DamagedNotesCases() {
  const Bytes good = RecordNote(FullRecord());
  const Bytes gnu = GnuNote();
  return {
      {"HeaderCutAfterGoodNote", Concat({good, Bytes(11, 0)}),
       "header of note 2 runs past the end of its segment"},
      {"NameSizeHuge", WithU32(good, 0, 0xffffffff),
       "name of note 1 runs past the end of its segment"},
      {"DescSizeHuge", Concat({gnu, WithU32(good, 4, 0xfffffffd)}),
       "descriptor of note 2 runs past the end of its segment"},
      {"TwoRecords", Concat({good, gnu, good}), "note 3: second package record"},
      {"SameExportTwice",
       Concat({good, ExportNote("@A@Register$qqrv", "a"), ExportNote("@A@Register$qqrv", "b")}),
       "export '@A@Register$qqrv' appears twice"},
  };
}

INSTANTIATE_TEST_SUITE_P(Notes, DamagedNotes, testing::ValuesIn(DamagedNotesCases()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(NoteWalk, RefusesAlignmentsNotesDoNotUse) {
  PackageRecord out;
  const std::string message =
      MessageOf([&] { DecodeNotes(RecordNote(FullRecord()), 16, "in segment 2", out); });
  EXPECT_EQ("notes in segment 2: alignment 16; expected 4 or 8", message)
      << "only 4- and 8-byte note padding exists";
}

}  // namespace
