// A real package, copied and damaged one way per row; each row names the reason
// the reader must give. The loader reads the file the same way before it goes near
// dlopen, which would crash or mislead on several of these.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <random>
#include <string>

#include "elf_reader.h"
#include "elf_test_support.h"
#include "package_record.h"
#include "rtl/classes.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"

using namespace elftest;
using testsupport::MessageOf;

namespace {

enum class Setup { DamagedCopy, MissingFile, Directory };

struct DamageCase {
  const char* label;
  std::function<void(Bytes&)> damage;
  std::string expected;
  Setup setup = Setup::DamagedCopy;
};

template <typename T>
void PatchHeader(Bytes& file, T Elf64_Ehdr::*field, T value) {
  Elf64_Ehdr h = Header(file);
  h.*field = value;
  Put(file, 0, h);
}

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

std::string Seg(std::size_t index) {
  return "segment " + std::to_string(index);
}

// The victim's record as add_package wrote it, to be written again changed.
rtl::detail::PackageRecord VictimRecord() {
  rtl::detail::PackageRecord r;
  r.name = "elfvictim";
  r.description = "Пакет-жертва";
  r.units = {"A", "B"};
  r.requiredPackages = {"rtl"};
  r.buildArtifact = "libelfvictim.so";
  return r;
}

// Its exports and that record as one note segment of that alignment.
Bytes VictimNotes(std::size_t alignment, const rtl::detail::PackageRecord& record) {
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

std::function<void(Bytes&)> WithRecord(
    const std::function<void(rtl::detail::PackageRecord&)>& edit) {
  return [edit](Bytes& f) {
    rtl::detail::PackageRecord r = VictimRecord();
    edit(r);
    MoveNotes(f, VictimNotes(4, r), 4);
  };
}

std::vector<DamageCase> DamageCases() {
  const Victim& v = TheVictim();
  const std::uint64_t size = v.file.size();
  const std::string shnum = std::to_string(v.header.e_shnum);
  std::vector<DamageCase> rows = {
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
      {"SectionNameTableIndexPastTable",
       [&v](Bytes& f) {
         PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shstrndx, v.header.e_shnum + 3);
       },
       "section name table index " + std::to_string(v.header.e_shnum + 3) +
           " is past the section table (" + shnum + " sections)"},
      {"SectionNameTableNotStrings",
       [](Bytes& f) { PatchHeader<Elf64_Half>(f, &Elf64_Ehdr::e_shstrndx, 1); },
       "section name table (section 1) is not a string table"},
      {"SectionNamePastStringTable",
       [](Bytes& f) { PatchSection(f, 2, [](auto& s) { s.sh_name = 0x7fffffff; }); },
       "name of section 2 starts past the end of the section name table"},
      {"SectionExtendsPastEnd",
       [&v, size](Bytes& f) {
         PatchSection(f, v.header.e_shstrndx, [&](auto& s) { s.sh_size = size; });
       },
       "section " + std::to_string(v.header.e_shstrndx) + " extends past the end of the file"},
      {"NoteNamePastSegment", [&v](Bytes& f) { Put<std::uint32_t>(f, v.record.header, 0x10000); },
       "name of " + NoteName(v.record) + " runs past the end of its segment"},
      {"NoteDescriptorSizeOverflows",
       [&v](Bytes& f) { Put<std::uint32_t>(f, v.record.header + 4, 0xffffffff); },
       "descriptor of " + NoteName(v.record) + " runs past the end of its segment"},
      {"RecordEntryPastEnd", [&v](Bytes& f) { Put<std::uint16_t>(f, v.record.desc + 5, 60000); },
       NoteName(v.record) +
           ": record entry 1 at offset 4: length 60000 runs past the end of the "
           "record (" +
           std::to_string(v.record.descSize) + " bytes)"},
      {"RecordVersion", [&v](Bytes& f) { f[v.record.desc] = 7; },
       NoteName(v.record) + ": unknown package record version 7 (expected 1)"},
      {"TwoRecords",
       [&v](Bytes& f) {
         // The export note becomes a second record of exactly its size.
         rtl::detail::PackageRecord fake;
         fake.name = "x";
         const std::size_t base = rtl::detail::EncodeRecord(fake).size();
         fake.name.assign(v.exported.descSize - base + 1, 'x');
         const Bytes desc = rtl::detail::EncodeRecord(fake);
         Put<std::uint32_t>(f, v.exported.header + 8, 1);
         std::copy(desc.begin(), desc.end(),
                   f.begin() + static_cast<std::ptrdiff_t>(v.exported.desc));
       },
       "second package record"},
      {"ExportWithoutSeparator",
       [&v](Bytes& f) {
         for (std::uint64_t i = 0; i < v.exported.descSize; ++i) {
           if (f[v.exported.desc + i] == 0) f[v.exported.desc + i] = '_';
         }
       },
       NoteName(v.exported) + ": export entry of " + std::to_string(v.exported.descSize) +
           " bytes has no NUL between export name and symbol"},
      // Records the SDK could never write: each refusal names the entry and the rule.
      {"PackageNameTooLong", WithRecord([](auto& r) { r.name.assign(300, 'p'); }),
       "record entry 1 at offset 4: package name is 300 bytes long; at most 255"},
      {"UnitNameTooLong", WithRecord([](auto& r) { r.units[1].assign(300, 'u'); }),
       "unit name is 300 bytes long; at most 255"},
      {"RequiredPackageNameIsAPath",
       WithRecord([](auto& r) { r.requiredPackages[0] = "std reg/../x"; }),
       "required package name 'std reg/../x' is not an identifier"},
      {"RequiredPackageNameEmpty", WithRecord([](auto& r) { r.requiredPackages[0].clear(); }),
       "required package name is empty"},
      {"UnitNameNotUtf8", WithRecord([](auto& r) { r.units[0] = "\xff\xfeUnit"; }),
       "unit name is not an identifier"},
      {"DescriptionWithALineBreak", WithRecord([](auto& r) { r.description += "\nsecond line"; }),
       "description holds the control character U+000A at byte 23"},
      {"BuildArtifactNotUtf8", WithRecord([](auto& r) { r.buildArtifact = "lib\xc0\xaf.so"; }),
       "build-artifact name is not valid UTF-8 (byte 0xc0 at 3)"},
      // Export notes whose record is damaged out of recognition, and notes misread.
      {"RecordNoteTypeChanged", [&v](Bytes& f) { Put<std::uint32_t>(f, v.record.header + 8, 3); },
       NoteName(v.record) + " holds a package record, but its type is 3, not 1"},
      {"RecordOwnerChanged", [&v](Bytes& f) { f[v.record.header + 17] = 'X'; },
       NoteName(v.record) + " holds a package record, but its owner is 'RTLPKX', not RTLPKG"},
      {"RecordNameSizeWithoutZero", [&v](Bytes& f) { Put<std::uint32_t>(f, v.record.header, 6); },
       NoteName(v.record) + ": name size 6 does not fit its owner name RTLPKG (expected 7)"},
      {"ExportNameSizeZero", [&v](Bytes& f) { Put<std::uint32_t>(f, v.exported.header, 0); },
       NoteName(v.exported) + ": name size 0 does not fit its owner name RTLPKG (expected 7)"},
      {"EightAlignedNotesInAFourAlignedSegment",
       [](Bytes& f) { MoveNotes(f, VictimNotes(8, VictimRecord()), 4); },
       "notes in " + Seg(v.notes) + " are laid out for 8-byte alignment, but its p_align is 4"},
      {"EmptyFile", [](Bytes& f) { f.clear(); }, "empty file"},
      {"TextFile",
       [](Bytes& f) {
         const std::string text = "This is a text file.\nIt only pretends to be a package.\n";
         f.assign(text.begin(), text.end());
       },
       "not an ELF file (bad magic)"},
      {"RandomBytes",
       [](Bytes& f) {
         std::mt19937 random(7);
         for (auto& b : f) b = static_cast<std::uint8_t>(random());
         f[0] = 0;
       },
       "not an ELF file (bad magic)"},
      {"CutInsideElfHeader", [](Bytes& f) { f.resize(40); },
       "file ends inside the ELF header (40 bytes)"},
      {"CutInsideProgramHeaders", [](Bytes& f) { f.resize(Header(f).e_phoff + 60); },
       "program header table extends past the end of the file"},
      {"CutInsideLastLoadSegment",
       [&v](Bytes& f) { f.resize(Get<Elf64_Phdr>(f, SegmentOffset(f, v.lastLoad)).p_offset + 16); },
       Seg(v.lastLoad) + " extends past the end of the file"},
      {"MissingFile", nullptr, "cannot open: No such file or directory", Setup::MissingFile},
      {"Directory", nullptr, "is a directory", Setup::Directory},
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
    if (row.setup == Setup::Directory) {
      if (::mkdir(path.c_str(), 0700) != 0) ADD_FAILURE() << "cannot make " << path;
      return path;
    }
    Bytes file = TheVictim().file;
    row.damage(file);
    WriteBytes(path, file);
    return path;
  }

  TempDir dir_;
};

TEST_P(DamagedPackage, DescriptionNamesTheFileAndTheDamage) {
  const std::string path = Prepare();
  const std::string message = MessageOf([&] { rtl::GetPackageDescription(path.c_str()); });
  EXPECT_EQ(0u, message.rfind(path + ": ", 0))
      << "message \"" << message << "\" should start with the file name";
  EXPECT_NE(std::string::npos, message.find(GetParam().expected))
      << "message \"" << message << "\" should contain \"" << GetParam().expected << "\"";
}

TEST_P(DamagedPackage, LoaderRefusesItNamingTheFileAndTheDamageChangingNothing) {
  const std::string path = Prepare();
  const std::vector<rtl::HMODULE> modules = testsupport::ModuleList();
  const std::size_t classes = rtl::RegisteredClassCount();
  const std::string message = MessageOf([&] { rtl::UnloadPackage(rtl::LoadPackage(path)); });
  EXPECT_NE(std::string::npos, message.find(path))
      << "message \"" << message << "\" should name the file";
  EXPECT_NE(std::string::npos, message.find(GetParam().expected))
      << "message \"" << message << "\" should contain \"" << GetParam().expected << "\"";
  EXPECT_EQ(testsupport::ModuleList(), modules) << "a refused load should leave the module list";
  EXPECT_EQ(rtl::RegisteredClassCount(), classes) << "a refused load should leave the registry";
}

INSTANTIATE_TEST_SUITE_P(Victim, DamagedPackage, testing::ValuesIn(DamageCases()),
                         [](const auto& info) { return std::string(info.param.label); });

// What a reader must not mistake for damage: the record and both exports are read.
TEST(DamagedPackage, ControlsAreRead) {
  const Victim& v = TheVictim();
  const Elf64_Phdr notes = Get<Elf64_Phdr>(v.file, SegmentOffset(v.file, v.notes));
  const Bytes original(
      v.file.begin() + static_cast<std::ptrdiff_t>(notes.p_offset),
      v.file.begin() + static_cast<std::ptrdiff_t>(notes.p_offset + notes.p_filesz));
  // The record comes last; its padding is left out.
  Bytes unpadded = VictimNotes(4, VictimRecord());
  unpadded.resize(unpadded.size() - (4 - rtl::detail::EncodeRecord(VictimRecord()).size() % 4) % 4);
  const struct {
    const char* label;
    std::function<void(Bytes&)> change;
  } controls[] = {
      {"undamaged", [](Bytes&) {}},
      {"notes moved to the end of the file", [&](Bytes& f) { MoveNotes(f, original, 4); }},
      {"8-aligned notes with p_align 8",
       [](Bytes& f) { MoveNotes(f, VictimNotes(8, VictimRecord()), 8); }},
      {"a foreign note first and a package note of an unknown type",
       [&](Bytes& f) {
         MoveNotes(f,
                   Concat({MakeNote("GNU", 3, Bytes(20, 7)), MakeNote("RTLPKG", 9, Bytes(5, 1)),
                           original}),
                   4);
       }},
      {"no padding after the last note", [&](Bytes& f) { MoveNotes(f, unpadded, 4); }},
  };
  TempDir dir;
  const std::string path = dir.File("libcopy.so");
  for (const auto& control : controls) {
    Bytes file = v.file;
    control.change(file);
    WriteBytes(path, file);
    rtl::detail::ElfPackageInfo info;
    ASSERT_NO_THROW(info = rtl::detail::ReadPackageFile(path)) << control.label;
    EXPECT_EQ("elfvictim", info.record.name) << control.label;
    EXPECT_EQ(2u, info.record.exports.size()) << control.label;
  }
}

}  // namespace
