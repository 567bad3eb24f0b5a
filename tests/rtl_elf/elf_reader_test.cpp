#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "elf_reader.h"
#include "elf_test_support.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"

using rtl::detail::ElfPackageInfo;
using rtl::detail::MemoryByteSource;
using rtl::detail::ReadElfPackage;
using rtl::detail::ReadPackageFile;
using namespace elftest;

namespace {

const char* const kVictimDescription =
    "Пакет-жертва: read, copied and damaged by the ELF reader tests";

using testsupport::MessageOf;

bool HasExport(const rtl::detail::PackageRecord& r, const std::string& name,
               const std::string& symbol) {
  return std::any_of(r.exports.begin(), r.exports.end(),
                     [&](const auto& e) { return e.name == name && e.symbol == symbol; });
}

TEST(PackageFile, VictimRecordIsReadAsTheSdkWroteIt) {
  const ElfPackageInfo info = ReadPackageFile(ELF_VICTIM_FILE);
  ASSERT_TRUE(info.hasRecord) << "a package built with add_package carries a record";
  const rtl::detail::PackageRecord& r = info.record;
  EXPECT_EQ("elfvictim", r.name) << "package name";
  EXPECT_EQ(kVictimDescription, r.description) << "description, UTF-8 byte for byte";
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), r.units) << "contained units in order";
  EXPECT_EQ(std::vector<std::string>{"rtl"}, r.requiredPackages) << "rtl is always required";
  EXPECT_EQ("libelfvictim.so", r.buildArtifact) << "build-artifact name is the file name";
  EXPECT_EQ(0, r.flags) << "no FLAGS given";
  EXPECT_EQ(2u, r.exports.size()) << "one registration procedure and one other export";
  EXPECT_TRUE(HasExport(r, "@A@Register$qqrv", "rtl_unit_register_A"))
      << "unit A's registration procedure should be in the export table";
  EXPECT_TRUE(HasExport(r, "VictimVersion", "elfvictim_version"))
      << "the RTL_PACKAGE_EXPORT entry should be in the export table";
}

TEST(PackageFile, OrdinarySharedLibraryHasAnEmptyDescription) {
  const ElfPackageInfo info = ReadPackageFile(ELF_PLAIN_FILE);
  EXPECT_FALSE(info.hasRecord) << "a library built without the SDK carries no record";
  EXPECT_TRUE(info.record.exports.empty()) << "and no export table";
  EXPECT_EQ("", rtl::GetPackageDescription(ELF_PLAIN_FILE))
      << "a valid library without package information has an empty description";
}

TEST(PackageFile, RunTimeLibraryDescribesItself) {
  EXPECT_EQ("Run-time library: packages, modules, classes, components",
            rtl::GetPackageDescription(RTL_LIBRARY_FILE))
      << "librtl.so is a package; its description is the one its build gives it";
}

TEST(PackageFile, RecordSurvivesAStrippedSectionTable) {
  Bytes file = ReadBytes(ELF_VICTIM_FILE);
  auto h = Header(file);
  h.e_shoff = 0;
  h.e_shnum = 0;
  h.e_shstrndx = 0;
  Put(file, 0, h);
  const ElfPackageInfo info = ReadElfPackage(MemoryByteSource(file));
  ASSERT_TRUE(info.hasRecord) << "the record lives in a PT_NOTE segment, not in a section";
  EXPECT_EQ(kVictimDescription, info.record.description);
}

TEST(PackageFile, NullFileNameIsRefused) {
  EXPECT_EQ("GetPackageDescription: no file name given",
            MessageOf([] { rtl::GetPackageDescription(nullptr); }))
      << "a null file name should be an Exception, not a crash";
}

TEST(PackageFile, SpecialFilesAreRefusedWithoutBlocking) {
  TempDir dir;
  const std::string fifo = dir.File("pipe.so");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  EXPECT_EQ(fifo + ": not a regular file",
            MessageOf([&] { rtl::GetPackageDescription(fifo.c_str()); }))
      << "a FIFO should be refused at once, not waited on for a writer";
}

// The smallest well-formed inputs exercise what the linker never produces: several
// note segments and records in unusual places.
TEST(MinimalObject, NotesAreCollectedAcrossSegments) {
  rtl::detail::PackageRecord r;
  r.name = "tiny";
  r.description = "two segments";
  const Bytes file =
      MinimalSharedObject({{MakeNote("GNU", 5, Bytes(16, 1), 8), 8},
                           {Concat({MakeNote("RTLPKG", 2, MakeExportDesc("First", "f"))}), 4},
                           {MakeNote("RTLPKG", 1, rtl::detail::EncodeRecord(r)), 4}});
  const ElfPackageInfo info = ReadElfPackage(MemoryByteSource(file));
  ASSERT_TRUE(info.hasRecord) << "the record in the third segment should be found";
  EXPECT_EQ("two segments", info.record.description);
  ASSERT_EQ(1u, info.record.exports.size()) << "the export of the second segment should count";
  EXPECT_EQ("f", info.record.exports[0].symbol);
}

TEST(MinimalObject, OversizedNoteSegmentIsRefusedBeforeAllocating) {
  Bytes file = MinimalSharedObject({{MakeNote("GNU", 1, Bytes(4, 0)), 4}});
  file.resize(17u << 20);  // a note segment of 17 MiB, inside the file
  auto load = Get<Elf64_Phdr>(file, SegmentOffset(file, 0));
  load.p_filesz = load.p_memsz = file.size();
  Put(file, SegmentOffset(file, 0), load);
  auto note = Get<Elf64_Phdr>(file, SegmentOffset(file, 1));
  note.p_filesz = file.size() - note.p_offset;
  Put(file, SegmentOffset(file, 1), note);
  const std::string message = MessageOf([&] { ReadElfPackage(MemoryByteSource(file)); });
  EXPECT_NE(std::string::npos, message.find("note segment 1 is too large"))
      << "message \"" << message << "\" should refuse the segment's size";
}

}  // namespace
