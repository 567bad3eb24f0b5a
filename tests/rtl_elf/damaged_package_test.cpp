// A real package, copied and damaged one way per row; each row names the reason
// the reader must give. The loader reads the file the same way before it goes near
// dlopen, which would crash or mislead on several of these; only the sections,
// which dlopen never reads, it does not look into. The first rows change the file
// without damaging it: both read it.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <filesystem>

#include <functional>
#include <string>

#include "checked_files.h"
#include "elf_test_support.h"
#include "package_record.h"
#include "rtl/package.h"
#include "rtl/package_file.h"
#include "rtl/sysutils.h"

using namespace elftest;
using testsupport::MessageOf;

namespace {

enum class Setup { DamagedCopy, MissingFile, Directory, Fifo };

struct DamageCase {
  const char* label;
  std::function<void(Bytes&)> damage;
  std::string expected;  // empty: no damage, the file is read
  Setup setup = Setup::DamagedCopy;
  bool loads = false;  // damage only in the sections, which the loader does not read
};

void PatchSegment(Bytes& file, std::size_t index, const std::function<void(Elf64_Phdr&)>& edit) {
  auto ph = Get<Elf64_Phdr>(file, SegmentOffset(file, index));
  edit(ph);
  Put(file, SegmentOffset(file, index), ph);
}

void PatchSection(Bytes& file, std::size_t index, const std::function<void(Elf64_Shdr&)>& edit) {
  auto sh = Get<Elf64_Shdr>(file, SectionOffset(file, index));
  edit(sh);
  Put(file, SectionOffset(file, index), sh);
}

std::string NoteName(const NoteAt& note) {
  return "note " + std::to_string(note.number) + " in segment " + std::to_string(note.segment);
}

// Where the victim has what a row damages; computed from the undamaged file.
struct Victim {
  Bytes file;
  std::size_t load, lastLoad, dynamic, notes;
  NoteAt record, exported;
  Elf64_Ehdr header;
};

const Victim& TheVictim() {
  static const Victim victim = [] {
    Victim v;
    v.file = ReadBytes(ELF_VICTIM_FILE);
    v.header = Header(v.file);
    v.load = FindSegment(v.file, PT_LOAD);
    v.lastLoad = v.load;
    for (std::size_t i = 0; i < v.header.e_phnum; ++i) {
      if (Get<Elf64_Phdr>(v.file, SegmentOffset(v.file, i)).p_type == PT_LOAD) v.lastLoad = i;
    }
    v.dynamic = FindSegment(v.file, PT_DYNAMIC);
    v.record = FindPackageNote(v.file, 1);
    v.exported = FindPackageNote(v.file, 2);
    v.notes = v.record.segment;
    return v;
  }();
  return victim;
}

const char* const kVictimDescription =
    "Пакет-жертва: read, copied and damaged by the ELF reader tests";

std::string Seg(std::size_t index) {
  return "segment " + std::to_string(index);
}

// The victim's record as add_package wrote it, to be written again changed.
rtl::TPackageRecord VictimRecord() {
  rtl::TPackageRecord r;
  r.name = "elfvictim";
  r.description = "Пакет-жертва";
  r.units = {"A", "B"};
  r.requiredPackages = {"rtl"};
  r.buildArtifact = "libelfvictim.so";
  return r;
}

// Its exports and that record as one note segment of that alignment.
Bytes VictimNotes(std::size_t alignment, const rtl::TPackageRecord& record) {
  return Concat(
      {MakeNote("RTLPKG", 2, MakeExportDesc("@A@Register$qqrv", "rtl_unit_register_A"), alignment),
       MakeNote("RTLPKG", 2, MakeExportDesc("VictimVersion", "elfvictim_version"), alignment),
       MakeNote("RTLPKG", 1, rtl::detail::EncodeRecord(record), alignment)});
}

// The victim's note segment replaced by these notes, put at the end of the file:
// only the program header says where notes are.
void MoveNotes(Bytes& f, const Bytes& notes, std::uint64_t alignment) {
  f.resize((f.size() + 7) & ~std::size_t{7});
  const std::uint64_t offset = f.size();
  PatchSegment(f, TheVictim().notes, [&](auto& p) {
    p.p_offset = offset;
    p.p_filesz = p.p_memsz = notes.size();
    p.p_align = alignment;
  });
  f.insert(f.end(), notes.begin(), notes.end());
}

std::vector<DamageCase> DamageCases() {
  const Victim& v = TheVictim();
  const std::uint64_t size = v.file.size();
  const std::string shnum = std::to_string(v.header.e_shnum);
  const Elf64_Phdr notes = Get<Elf64_Phdr>(v.file, SegmentOffset(v.file, v.notes));
  const Bytes original(
      v.file.begin() + static_cast<std::ptrdiff_t>(notes.p_offset),
      v.file.begin() + static_cast<std::ptrdiff_t>(notes.p_offset + notes.p_filesz));
  // The record comes last; its padding is left out.
  Bytes unpadded = VictimNotes(4, VictimRecord());
  unpadded.resize(unpadded.size() - (4 - rtl::detail::EncodeRecord(VictimRecord()).size() % 4) % 4);
  std::vector<DamageCase> rows = {
      {"Undamaged", [](Bytes&) {}, ""},
      {"SectionTableStripped",
       [](Bytes& f) {
         PatchHeader<Elf64_Off>(f, &Elf64_Ehdr::e_shoff, 0);
         PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shnum, 0);
         PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shstrndx, 0);
       },
       ""},
      {"SectionCountsInSectionZero",  // as in a file with very many sections
       [&v](Bytes& f) {
         PatchSection(f, 0, [&](auto& s) {
           s.sh_size = v.header.e_shnum;
           s.sh_link = v.header.e_shstrndx;
         });
         PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shnum, 0);
         PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shstrndx, SHN_XINDEX);
       },
       ""},
      {"SectionCountAloneInSectionZero",
       [&v](Bytes& f) {
         PatchSection(f, 0, [&](auto& s) { s.sh_size = v.header.e_shnum; });
         PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shnum, 0);
       },
       ""},
      {"NameIndexAloneInSectionZero",
       [&v](Bytes& f) {
         PatchSection(f, 0, [&](auto& s) { s.sh_link = v.header.e_shstrndx; });
         PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shstrndx, SHN_XINDEX);
       },
       ""},
      {"NoSectionNames", [](Bytes& f) { PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shstrndx, 0); },
       ""},
      {"SectionWithoutBytesLargerThanTheFile",  // what a large zeroed variable gets
       [&v, size](Bytes& f) {
         for (std::size_t i = 0; i < v.header.e_shnum; ++i) {
           if (Get<Elf64_Shdr>(f, SectionOffset(f, i)).sh_type != SHT_NOBITS) continue;
           PatchSection(f, i, [&](auto& s) { s.sh_size = 2 * size; });
         }
       },
       ""},
      {"EmptySectionPastTheEnd",
       [size](Bytes& f) {
         PatchSection(f, 1, [&](auto& s) { s.sh_size = 0, s.sh_offset = 2 * size; });
       },
       ""},
      {"NotesMovedToTheEnd", [original](Bytes& f) { MoveNotes(f, original, 4); }, ""},
      {"EightAlignedNotes", [](Bytes& f) { MoveNotes(f, VictimNotes(8, VictimRecord()), 8); }, ""},
      {"ForeignNoteAndUnknownTypeFirst",
       [original](Bytes& f) {
         MoveNotes(f,
                   Concat({MakeNote("GNU", 3, Bytes(20, 7)), MakeNote("RTLPKG", 9, Bytes(5, 1)),
                           original}),
                   4);
       },
       ""},
      {"NoPaddingAfterTheLastNote", [unpadded](Bytes& f) { MoveNotes(f, unpadded, 4); }, ""},
      {"BadMagic", [](Bytes& f) { f[1] = 'X'; }, "not an ELF file (bad magic)"},
      {"ThirtyTwoBit", [](Bytes& f) { f[EI_CLASS] = ELFCLASS32; },
       "32-bit ELF file; expected 64-bit"},
      {"BigEndian", [](Bytes& f) { f[EI_DATA] = ELFDATA2MSB; },
       "big-endian ELF file; expected little-endian"},
      {"IdentVersion", [](Bytes& f) { f[EI_VERSION] = 2; }, "unknown ELF version 2 (expected 1)"},
      {"OtherMachine", [](Bytes& f) { PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_machine, 40); },
       "ELF file for another machine (machine 40, expected 62)"},
      {"Executable", [](Bytes& f) { PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_type, ET_EXEC); },
       "not a shared object (ELF type 2)"},
      {"HeaderVersion", [](Bytes& f) { PatchHeader<Elf64_Word>(f, &Elf64_Ehdr::e_version, 0); },
       "unknown ELF version 0 in the ELF header"},
      {"ProgramHeadersStartPastEnd",
       [size](Bytes& f) { PatchHeader<Elf64_Off>(f, &Elf64_Ehdr::e_phoff, size + 100); },
       "program header table starts past the end of the file"},
      {"HugeProgramHeaderCount",
       [](Bytes& f) { PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_phnum, 60000); },
       "program header table extends past the end of the file"},
      {"NoProgramHeaders", [](Bytes& f) { PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_phnum, 0); },
       "no program headers"},
      {"LoadSegmentStartsPastEnd",
       [&v, size](Bytes& f) {
         PatchSegment(f, v.load, [&](auto& p) { p.p_offset = size + 4096; });
       },
       Seg(v.load) + " starts past the end of the file"},
      {"DynamicSegmentSizeOverflows",
       [&v](Bytes& f) { PatchSegment(f, v.dynamic, [](auto& p) { p.p_filesz = ~0ull - 8; }); },
       Seg(v.dynamic) + ": offset plus size overflows"},
      {"NoteSegmentExtendsPastEnd",
       [&v, size](Bytes& f) { PatchSegment(f, v.notes, [&](auto& p) { p.p_filesz = size; }); },
       Seg(v.notes) + " extends past the end of the file"},
      {"SectionTableExtendsPastEnd",
       [size](Bytes& f) { PatchHeader<Elf64_Off>(f, &Elf64_Ehdr::e_shoff, size - 64); },
       "section table extends past the end of the file"},
      {"SectionZeroPastEnd",
       [size](Bytes& f) {
         PatchHeader<Elf64_Off>(f, &Elf64_Ehdr::e_shoff, size - 32);
         PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shnum, 0);
       },
       "section table extends past the end of the file"},
      {"SectionHeaderEntrySize",
       [](Bytes& f) { PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shentsize, 32); },
       "section header entry size 32; expected 64"},
      {"SectionNameTableIndexPastTable",
       [&v](Bytes& f) {
         PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shstrndx, v.header.e_shnum + 3);
       },
       "section name table index " + std::to_string(v.header.e_shnum + 3) +
           " is past the section table (" + shnum + " sections)",
       Setup::DamagedCopy, true},
      {"SectionNameTableNotStrings",
       [](Bytes& f) { PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shstrndx, 1); },
       "section name table (section 1) is not a string table", Setup::DamagedCopy, true},
      {"SectionNamePastStringTable",
       [](Bytes& f) { PatchSection(f, 2, [](auto& s) { s.sh_name = 0x7fffffff; }); },
       "name of section 2 starts past the end of the section name table", Setup::DamagedCopy, true},
      {"SectionExtendsPastEnd",
       [&v, size](Bytes& f) {
         PatchSection(f, v.header.e_shstrndx, [&](auto& s) { s.sh_size = size; });
       },
       "section " + std::to_string(v.header.e_shstrndx) + " extends past the end of the file",
       Setup::DamagedCopy, true},
      {"RecordEntryPastEnd", [&v](Bytes& f) { Put<std::uint16_t>(f, v.record.desc + 5, 60000); },
       NoteName(v.record) +
           ": record entry 1 at offset 4: length 60000 runs past the end of the "
           "record (" +
           std::to_string(v.record.descSize) + " bytes)"},
      {"ExportWithoutSeparator",
       [&v](Bytes& f) {
         for (std::uint64_t i = 0; i < v.exported.descSize; ++i) {
           if (f[v.exported.desc + i] == 0) f[v.exported.desc + i] = '_';
         }
       },
       NoteName(v.exported) + ": export entry of " + std::to_string(v.exported.descSize) +
           " bytes has no NUL between export name and symbol"},
      // Export notes whose record is damaged out of recognition, and notes misread.
      {"RecordNoteTypeChanged", [&v](Bytes& f) { Put<std::uint32_t>(f, v.record.header + 8, 3); },
       NoteName(v.record) + " holds a package record, but its type is 3, not 1"},
      {"RecordOwnerChanged", [&v](Bytes& f) { f[v.record.header + 17] = 'X'; },
       NoteName(v.record) + " holds a package record, but its owner is 'RTLPKX', not RTLPKG"},
      {"EightAlignedNotesInAFourAlignedSegment",
       [](Bytes& f) { MoveNotes(f, VictimNotes(8, VictimRecord()), 4); },
       "notes in " + Seg(v.notes) + " are laid out for 8-byte alignment, but its p_align is 4"},
      {"EmptyFile", [](Bytes& f) { f.clear(); }, "empty file"},
      {"CutInsideElfHeader", [](Bytes& f) { f.resize(40); },
       "file ends inside the ELF header (40 bytes)"},
      {"CutInsideLastLoadSegment",
       [&v](Bytes& f) { f.resize(Get<Elf64_Phdr>(f, SegmentOffset(f, v.lastLoad)).p_offset + 16); },
       Seg(v.lastLoad) + " extends past the end of the file"},
      // Refused before it is read into memory: a damaged size must not cost gigabytes.
      {"NoteSegmentTooLarge",
       [&v](Bytes& f) {
         f.resize(17u << 20);
         PatchSegment(f, v.notes, [&](auto& p) { p.p_filesz = f.size() - p.p_offset; });
       },
       "note " + Seg(v.notes) + " is too large"},
      {"MissingFile", nullptr, "cannot open: No such file or directory", Setup::MissingFile},
      {"Directory", nullptr, "is a directory", Setup::Directory},
      // Refused at once, not waited on for a writer.
      {"Fifo", nullptr, "not a regular file", Setup::Fifo},
  };
  return rows;
}

class DamagedPackage : public testing::TestWithParam<DamageCase> {
 protected:
  // Writes the row's file into the temporary folder and returns its path.
  std::string Prepare() {
    const DamageCase& row = GetParam();
    const std::string path = dir_.File(std::string("lib") + row.label + ".so");
    if (row.setup == Setup::MissingFile) return path;
    if (row.setup == Setup::Directory && ::mkdir(path.c_str(), 0700) != 0) {
      ADD_FAILURE() << "cannot make " << path;
    }
    if (row.setup == Setup::Fifo && ::mkfifo(path.c_str(), 0600) != 0) {
      ADD_FAILURE() << "cannot make " << path;
    }
    if (row.setup != Setup::DamagedCopy) return path;
    Bytes file = TheVictim().file;
    row.damage(file);
    WriteBytes(path, file);
    return path;
  }

  TempDir dir_;
};

TEST_P(DamagedPackage, DescriptionNamesTheFileAndTheDamage) {
  const std::string path = Prepare();
  if (GetParam().expected.empty()) {
    std::optional<rtl::TPackageRecord> record;
    ASSERT_NO_THROW(record = rtl::ReadPackageFile(path)) << "nothing is damaged";
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ("elfvictim", record->name);
    EXPECT_EQ(2u, record->exports.size()) << "the record and both exports are read";
    return;
  }
  const std::string message = MessageOf([&] { rtl::GetPackageDescription(path.c_str()); });
  EXPECT_THAT(message, testing::StartsWith(path + ": ")) << "the file's name first";
  EXPECT_THAT(message, testing::HasSubstr(GetParam().expected));
}

TEST_P(DamagedPackage, LoaderRefusesItNamingTheFileAndTheDamage) {
  const std::string path = Prepare();
  // pkginfo --check reads at the loader's level: it must agree on every row.
  const auto readForLoading = [&] { rtl::ReadPackageFile(path, rtl::TFileCheck::Loading); };
  if (GetParam().loads || GetParam().expected.empty()) {
    EXPECT_NO_THROW(rtl::UnloadPackage(rtl::LoadPackage(path)))
        << "the dynamic linker never reads the sections: damage there stops no load";
    EXPECT_NO_THROW(readForLoading());
  } else {
    const std::string message = MessageOf([&] { rtl::UnloadPackage(rtl::LoadPackage(path)); });
    EXPECT_THAT(message, testing::HasSubstr(path)) << "the message names the file";
    EXPECT_THAT(message, testing::HasSubstr(GetParam().expected));
    EXPECT_EQ(MessageOf(readForLoading), message);
  }
}

INSTANTIATE_TEST_SUITE_P(Victim, DamagedPackage, testing::ValuesIn(DamageCases()),
                         [](const auto& info) { return std::string(info.param.label); });

// The loader's clock five seconds on: every file written before has settled.
std::int64_t FiveSecondsOn() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec + 5'000'000'000;
}

// What the loader keeps of a file it read is used only while the file is unchanged:
// damaged in place, even at the same size, it is read again and refused, not mapped.
TEST(PackageFile, ChangedSinceItLoadedIsReadAgain) {
  TempDir dir;
  const std::string path = dir.File("libelfvictim.so");
  Bytes file = TheVictim().file;
  WriteBytes(path, file);
  // Modified a minute ago and settled by the loader's clock: it keeps what it reads.
  const timespec aMinuteAgo[2] = {{0, UTIME_OMIT}, {time(nullptr) - 60, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), aMinuteAgo, 0));
  const auto clock = rtl::detail::SetCheckedFilesClock(FiveSecondsOn);
  ASSERT_NO_THROW(rtl::UnloadPackage(rtl::LoadPackage(path)));
  PatchHeader<Elf64_Off>(file, &Elf64_Ehdr::e_phoff, file.size() + 100);
  WriteBytes(path, file);
  const std::string message = MessageOf([&] { rtl::LoadPackage(path); });
  rtl::detail::SetCheckedFilesClock(clock);
  EXPECT_THAT(message, testing::HasSubstr("program header table starts past the end of the file"));
}

// The SDK's record as written (Cyrillic included), and a library without one.
TEST(PackageFile, DescriptionIsTheSdksOrEmpty) {
  EXPECT_EQ(kVictimDescription, rtl::GetPackageDescription(ELF_VICTIM_FILE));
  EXPECT_EQ("", rtl::GetPackageDescription(testsupport::PackageFile("plainlib").c_str()));
  EXPECT_EQ("GetPackageDescription: no file name given",
            MessageOf([] { rtl::GetPackageDescription(nullptr); }));
}

// The loader's rule for a required package not loaded yet, which pkginfo's check
// shares.
TEST(RequiredPackage, BesideTheRequiringPackageThenTheRunTimeLibraryThenTheInstalledOnes) {
  TempDir requirer, runtime;
  const auto find = [&](const char* name = "toolkit") {
    return rtl::FindRequiredPackage(name, requirer.Path(), runtime.Path());
  };
  const std::vector<std::string> places{requirer.File("libtoolkit.so"),
                                        runtime.File("libtoolkit.so"),
                                        runtime.File("libtoolkit.so." WB_TOOLKIT_SOVERSION),
                                        runtime.File("package-workbench/packages/libtoolkit.so")};
  EXPECT_EQ(places, find().looked) << "the places, in order";
  EXPECT_EQ("", find().path) << "in none";
  std::filesystem::create_directories(runtime.File("package-workbench/packages"));
  runtime.CopyIn(testsupport::PackageFile("pkgbase"), "package-workbench/packages/libgauges.so");
  EXPECT_EQ(runtime.File("package-workbench/packages/libgauges.so"), find("gauges").path)
      << "where install_package puts a package that others build on";
  EXPECT_EQ("in the installed packages' folder", find("gauges").how);
  runtime.CopyIn(testsupport::PackageFile("pkgbase"), "libtoolkit.so." WB_TOOLKIT_SOVERSION);
  EXPECT_EQ(runtime.File("libtoolkit.so." WB_TOOLKIT_SOVERSION), find().path)
      << "a run-time install has the framework's libraries by their soname alone";
  runtime.CopyIn(testsupport::PackageFile("pkgbase"), "libpkgbase.so." WB_TOOLKIT_SOVERSION);
  EXPECT_EQ("", find("pkgbase").path) << "a library of the system is no package by its soname";
  runtime.CopyIn(testsupport::PackageFile("pkgbase"), "libtoolkit.so");
  EXPECT_EQ(runtime.File("libtoolkit.so"), find().path);
  EXPECT_EQ("beside the run-time library", find().how);
  requirer.CopyIn(testsupport::PackageFile("pkgbase"), "libtoolkit.so");
  EXPECT_EQ(requirer.File("libtoolkit.so"), find().path) << "beside the requiring package wins";
  EXPECT_EQ("beside the requiring package", find().how);
  EXPECT_THROW(rtl::FindRequiredPackage("../x", requirer.Path(), runtime.Path()), rtl::Exception)
      << "a name that is no package name never becomes part of a path";
}

}  // namespace
