// A real package, copied and damaged one way per row; each row names the reason
// the reader must give. The loader reads the file the same way before it goes near
// dlopen, which would crash or mislead on several of these.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <random>
#include <string>

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

TEST(DamagedPackage, UndamagedCopyIsRead) {
  TempDir dir;
  const std::string path = dir.File("libcopy.so");
  WriteBytes(path, TheVictim().file);
  EXPECT_FALSE(rtl::GetPackageDescription(path.c_str()).empty())
      << "the copy itself should be readable, so each row's failure is its damage";
}

}  // namespace
