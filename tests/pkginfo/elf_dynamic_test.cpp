// The reader of dynamic sections and dynamic symbol tables, on real libraries and
// on copies damaged one way each. Offsets are found here with <elf.h> directly,
// not with the reader under test.

#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

#include "elf_dynamic.h"
#include "pkginfo_test_support.h"
#include "rtl/sysutils.h"

namespace {

using testsupport::Bytes;
using testsupport::Get;
using testsupport::Put;

// File offset of the program header of the first segment of that type, or of
// the loaded segment holding that address when `address` is given.
std::uint64_t SegmentHeader(const Bytes& file, std::uint32_t type, std::uint64_t address = 0) {
  const auto h = Get<Elf64_Ehdr>(file, 0);
  for (std::size_t i = 0; i < h.e_phnum; ++i) {
    const std::uint64_t at = h.e_phoff + i * sizeof(Elf64_Phdr);
    const auto ph = Get<Elf64_Phdr>(file, at);
    if (ph.p_type == type &&
        (address == 0 || (address >= ph.p_vaddr && address < ph.p_vaddr + ph.p_filesz))) {
      return at;
    }
  }
  throw std::runtime_error("no segment of type " + std::to_string(type));
}

// File offset of the first dynamic entry with that tag.
std::uint64_t DynamicEntry(const Bytes& file, std::int64_t tag) {
  const auto dynamic = Get<Elf64_Phdr>(file, SegmentHeader(file, PT_DYNAMIC));
  for (std::uint64_t at = dynamic.p_offset; at < dynamic.p_offset + dynamic.p_filesz;
       at += sizeof(Elf64_Dyn)) {
    if (Get<Elf64_Dyn>(file, at).d_tag == tag) return at;
  }
  throw std::runtime_error("no dynamic entry with tag " + std::to_string(tag));
}

std::uint64_t DynamicValue(const Bytes& file, std::int64_t tag) {
  return Get<Elf64_Dyn>(file, DynamicEntry(file, tag)).d_un.d_val;
}

void SetDynamicValue(Bytes& file, std::int64_t tag, std::uint64_t value) {
  Put(file, DynamicEntry(file, tag), Elf64_Dyn{tag, {value}});
}

// The file offset of an address, through the loaded segments.
std::uint64_t OffsetOf(const Bytes& file, std::uint64_t address) {
  const auto ph = Get<Elf64_Phdr>(file, SegmentHeader(file, PT_LOAD, address));
  return ph.p_offset + (address - ph.p_vaddr);
}

const pkginfo::DynamicSymbol* FindSymbol(const pkginfo::DynamicInfo& info,
                                         const std::string& name) {
  for (const auto& s : info.symbols) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

TEST(DynamicReader, ReadsWhatTheLinkerWroteIntoAPackage) {
  const pkginfo::DynamicInfo info = pkginfo::ReadDynamicFile(NEEDY_PACKAGE);
  EXPECT_EQ("libpkneedy.so", info.soname) << "the soname is the file name";
  const auto needs = [&](const char* name) {
    return std::find(info.needed.begin(), info.needed.end(), name) != info.needed.end();
  };
  EXPECT_TRUE(needs("libpkprovider.so")) << "the library the package links is needed";
  EXPECT_TRUE(needs("librtl.so.0")) << "every package needs the run-time library, by soname";
  EXPECT_EQ(std::vector<std::string>{"$ORIGIN"}, info.runpath)
      << "the SDK gives packages a RUNPATH of $ORIGIN, unexpanded here";
  EXPECT_TRUE(info.rpath.empty()) << "no old-style RPATH";

  const auto* feature = FindSymbol(info, "pkprovider_feature");
  ASSERT_NE(nullptr, feature) << "the symbol taken from the provider is in the table";
  EXPECT_FALSE(feature->defined) << "the package does not define it";
  EXPECT_FALSE(feature->weak) << "a plain reference is strong";
  const auto* init = FindSymbol(info, "rtl_unit_init_NeedyUnit");
  ASSERT_NE(nullptr, init) << "the unit's initialisation is exported";
  EXPECT_TRUE(init->defined) << "and defined by the package";
}

// The dynamic linker learns the table's size from the hash table; both kinds must
// give the same, full list, including the symbols at the ends of hash chains.
TEST(DynamicReader, SysvAndGnuHashTablesGiveTheSameSymbols) {
  const auto defined = [](const char* path) {
    std::set<std::string> names;
    for (const auto& s : pkginfo::ReadDynamicFile(path).symbols) {
      if (s.defined) names.insert(s.name);
    }
    return names;
  };
  const std::set<std::string> sysv = defined(SYSV_HASH_LIBRARY);
  const std::set<std::string> gnu = defined(GNU_HASH_LIBRARY);
  EXPECT_EQ(sysv, gnu) << "the same library read through DT_HASH and DT_GNU_HASH";
  EXPECT_EQ(0u, gnu.count("pkhash_hidden")) << "a hidden symbol is not offered to others";
  for (int i = 0; i < 40; ++i) {
    const std::string name = "pkhash_" + std::to_string(i);
    EXPECT_EQ(1u, gnu.count(name)) << name << " should be among the defined symbols";
  }
}

struct Damage {
  const char* what;
  std::function<void(Bytes&)> apply;
  const char* expected;  // part of the message
};

class DamagedLibrary : public testing::TestWithParam<Damage> {};

TEST_P(DamagedLibrary, IsRefusedWithTheReason) {
  const Damage& d = GetParam();
  Bytes bytes = testsupport::ReadBytes(NEEDY_PACKAGE);
  d.apply(bytes);
  const std::string message = testsupport::MessageOf(
      [&] { pkginfo::ReadDynamicInfo(rtl::detail::MemoryByteSource(bytes)); });
  EXPECT_NE(std::string::npos, message.find(d.expected))
      << d.what << ": message \"" << message << "\" should contain \"" << d.expected << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    OneFaultEach, DamagedLibrary,
    testing::Values(
        Damage{"cut inside the program headers", [](Bytes& b) { b.resize(100); },
               "program header table extends past the end of the file"},
        Damage{"another machine",
               [](Bytes& b) {
                 auto h = Get<Elf64_Ehdr>(b, 0);
                 h.e_machine = EM_RISCV;
                 Put(b, 0, h);
               },
               "another machine"},
        Damage{"dynamic segment past the end",
               [](Bytes& b) {
                 const auto at = SegmentHeader(b, PT_DYNAMIC);
                 auto ph = Get<Elf64_Phdr>(b, at);
                 ph.p_offset = b.size() - 8;
                 Put(b, at, ph);
               },
               "dynamic section extends past the end of the file"},
        Damage{"no DT_NULL at the end",
               [](Bytes& b) {
                 const auto ph = Get<Elf64_Phdr>(b, SegmentHeader(b, PT_DYNAMIC));
                 for (auto at = ph.p_offset; at < ph.p_offset + ph.p_filesz; at += 16) {
                   auto entry = Get<Elf64_Dyn>(b, at);
                   if (entry.d_tag == DT_NULL) entry.d_tag = DT_DEBUG;
                   Put(b, at, entry);
                 }
               },
               "no DT_NULL"},
        Damage{"string table of a terabyte",
               [](Bytes& b) { SetDynamicValue(b, DT_STRSZ, std::uint64_t{1} << 40); },
               "dynamic string table is too large"},
        Damage{"string table past its segment",
               [](Bytes& b) { SetDynamicValue(b, DT_STRSZ, b.size()); },
               "runs past the end of its segment"},
        Damage{"string table at an address no segment holds",
               [](Bytes& b) { SetDynamicValue(b, DT_STRTAB, std::uint64_t{1} << 44); },
               "in no loaded segment"},
        Damage{"needed name past the string table",
               [](Bytes& b) { SetDynamicValue(b, DT_NEEDED, DynamicValue(b, DT_STRSZ) + 10); },
               "DT_NEEDED: string offset"},
        Damage{"needed name running off the string table",
               [](Bytes& b) {
                 const auto size = DynamicValue(b, DT_STRSZ);
                 const auto table = OffsetOf(b, DynamicValue(b, DT_STRTAB));
                 b[table + size - 1] = 'x';  // the table's last terminator
                 SetDynamicValue(b, DT_NEEDED, size - 1);
               },
               "runs past the end of the dynamic string table"},
        Damage{"symbol entries of another size",
               [](Bytes& b) { SetDynamicValue(b, DT_SYMENT, 16); }, "dynamic symbol entry size 16"},
        Damage{"GNU hash buckets beyond the file",
               [](Bytes& b) {
                 Put<std::uint32_t>(b, OffsetOf(b, DynamicValue(b, DT_GNU_HASH)), 0x40000000);
               },
               "GNU hash table extends past the end of the file"},
        Damage{"GNU hash chain without an end",
               [](Bytes& b) {
                 // Every chain word from the first bucket's start to the end of its
                 // segment without the end bit: the walk must stop at the segment.
                 const auto table = OffsetOf(b, DynamicValue(b, DT_GNU_HASH));
                 const auto buckets = Get<std::uint32_t>(b, table);
                 const auto bloom = Get<std::uint32_t>(b, table + 8);
                 const auto chains = table + 16 + std::uint64_t{bloom} * 8 + buckets * 4u;
                 const auto ph = Get<Elf64_Phdr>(b, SegmentHeader(b, PT_LOAD));
                 for (auto at = chains; at + 4 <= ph.p_offset + ph.p_filesz; at += 4) {
                   Put<std::uint32_t>(b, at, 2);
                 }
               },
               "GNU hash chains"},
        Damage{"a symbol's name past the string table",
               [](Bytes& b) {
                 // The first symbol the reader names: global or weak, not hidden.
                 auto at = OffsetOf(b, DynamicValue(b, DT_SYMTAB)) + sizeof(Elf64_Sym);
                 while (ELF64_ST_BIND(Get<Elf64_Sym>(b, at).st_info) == STB_LOCAL) {
                   at += sizeof(Elf64_Sym);
                 }
                 auto sym = Get<Elf64_Sym>(b, at);
                 sym.st_name = 0x7fffffff;
                 Put(b, at, sym);
               },
               "a dynamic symbol's name: string offset"}));

TEST(DynamicReader, FileErrorsNameTheFile) {
  testsupport::TempDir dir;
  const std::string text = dir.Write("notes.txt", "hi\n");
  const auto message = [](const std::string& path) {
    return testsupport::MessageOf([&] { pkginfo::ReadDynamicFile(path); });
  };
  EXPECT_EQ(text + ": too short for an ELF header", message(text)) << "a short text file";
  EXPECT_EQ(dir.File("gone.so") + ": cannot open: No such file or directory",
            message(dir.File("gone.so")))
      << "a missing file";
  EXPECT_EQ(dir.Path() + ": not a regular file", message(dir.Path())) << "a directory";
}

}  // namespace
