#include "elf_dynamic.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "rtl/sysutils.h"

namespace pkginfo {

namespace {

// A dynamic section or string table larger than these is damage, not a library:
// refusing it keeps a bad size from allocating gigabytes.
constexpr std::uint64_t kMaxDynamicSection = 1u << 20;
constexpr std::uint64_t kMaxStringTable = 64u << 20;

class Reader {
 public:
  explicit Reader(const rtl::detail::ByteSource& source) : source_(source), size_(source.Size()) {}

  std::uint64_t Size() const { return size_; }

  // [offset, offset + n) must lie in the file.
  void Read(std::uint64_t offset, void* buffer, std::uint64_t n, const char* what) const {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(offset, n, &end) || end > size_) {
      throw rtl::Exception("%s extends past the end of the file", {what});
    }
    if (n > 0 && !source_.Read(offset, buffer, static_cast<std::size_t>(n))) {
      throw rtl::Exception("cannot read %s", {what});
    }
  }

 private:
  const rtl::detail::ByteSource& source_;
  std::uint64_t size_;
};

struct Image {
  Elf64_Ehdr header{};
  std::vector<Elf64_Phdr> segments;
};

Image ReadHeaders(const Reader& reader) {
  Image image;
  if (reader.Size() < sizeof(Elf64_Ehdr)) throw rtl::Exception("too short for an ELF header");
  reader.Read(0, &image.header, sizeof image.header, "the ELF header");
  const Elf64_Ehdr& h = image.header;
  if (std::memcmp(h.e_ident, ELFMAG, SELFMAG) != 0)
    throw rtl::Exception("not an ELF file (bad magic)");
  if (h.e_ident[EI_CLASS] != ELFCLASS64) throw rtl::Exception("not a 64-bit ELF file");
  if (h.e_ident[EI_DATA] != ELFDATA2LSB) throw rtl::Exception("not a little-endian ELF file");
  if (h.e_machine != EM_X86_64 && h.e_machine != EM_AARCH64) {
    throw rtl::Exception("ELF file for another machine (machine %d)",
                         {static_cast<int>(h.e_machine)});
  }
#if defined(__x86_64__)
  if (h.e_machine != EM_X86_64) throw rtl::Exception("ELF file for another machine (AArch64)");
#elif defined(__aarch64__)
  if (h.e_machine != EM_AARCH64) throw rtl::Exception("ELF file for another machine (x86-64)");
#endif
  if (h.e_type != ET_DYN) {
    throw rtl::Exception("not a shared object (ELF type %d)", {static_cast<int>(h.e_type)});
  }
  if (h.e_phentsize != sizeof(Elf64_Phdr)) {
    throw rtl::Exception("program header entry size %d; expected %d",
                         {static_cast<int>(h.e_phentsize), static_cast<int>(sizeof(Elf64_Phdr))});
  }
  image.segments.resize(h.e_phnum);
  reader.Read(h.e_phoff, image.segments.data(), std::uint64_t{h.e_phnum} * sizeof(Elf64_Phdr),
              "the program header table");
  return image;
}

// The file offset of [address, address + n) in memory, which must lie inside the
// file bytes of one loaded segment.
std::uint64_t FileOffset(const Image& image, std::uint64_t address, std::uint64_t n,
                         const char* what) {
  for (const Elf64_Phdr& ph : image.segments) {
    if (ph.p_type != PT_LOAD || address < ph.p_vaddr) continue;
    const std::uint64_t into = address - ph.p_vaddr;
    if (into >= ph.p_filesz) continue;
    if (n > ph.p_filesz - into) {
      throw rtl::Exception("%s runs past the end of its segment", {what});
    }
    std::uint64_t offset = 0;
    if (__builtin_add_overflow(ph.p_offset, into, &offset)) {
      throw rtl::Exception("%s: offset overflows", {what});
    }
    return offset;
  }
  throw rtl::Exception("%s (at address %d) is in no loaded segment", {what, address});
}

struct DynamicTags {
  std::optional<std::uint64_t> strtab, strsz, symtab, syment, hash, gnuHash, soname, rpath, runpath;
  std::vector<std::uint64_t> needed;
};

DynamicTags ReadDynamicSection(const Reader& reader, const Elf64_Phdr& dynamic) {
  if (dynamic.p_filesz > kMaxDynamicSection) {
    throw rtl::Exception("dynamic section is too large (%d bytes)", {dynamic.p_filesz});
  }
  std::vector<Elf64_Dyn> entries(static_cast<std::size_t>(dynamic.p_filesz / sizeof(Elf64_Dyn)));
  reader.Read(dynamic.p_offset, entries.data(), entries.size() * sizeof(Elf64_Dyn),
              "the dynamic section");
  DynamicTags tags;
  bool terminated = false;
  for (const Elf64_Dyn& entry : entries) {
    const std::uint64_t value = entry.d_un.d_val;
    switch (entry.d_tag) {
      case DT_NULL:
        terminated = true;
        break;
      case DT_NEEDED:
        tags.needed.push_back(value);
        break;
      case DT_STRTAB:
        tags.strtab = value;
        break;
      case DT_STRSZ:
        tags.strsz = value;
        break;
      case DT_SYMTAB:
        tags.symtab = value;
        break;
      case DT_SYMENT:
        tags.syment = value;
        break;
      case DT_HASH:
        tags.hash = value;
        break;
      case DT_GNU_HASH:
        tags.gnuHash = value;
        break;
      case DT_SONAME:
        tags.soname = value;
        break;
      case DT_RPATH:
        tags.rpath = value;
        break;
      case DT_RUNPATH:
        tags.runpath = value;
        break;
      default:
        break;
    }
    if (terminated) break;
  }
  if (!terminated) throw rtl::Exception("dynamic section has no DT_NULL entry at its end");
  return tags;
}

class StringTable {
 public:
  StringTable(const Reader& reader, const Image& image, const DynamicTags& tags) {
    if (!tags.strtab || !tags.strsz) {
      throw rtl::Exception("dynamic section names no string table (DT_STRTAB, DT_STRSZ)");
    }
    if (*tags.strsz > kMaxStringTable) {
      throw rtl::Exception("dynamic string table is too large (%d bytes)", {*tags.strsz});
    }
    const std::uint64_t offset =
        FileOffset(image, *tags.strtab, *tags.strsz, "the dynamic string table");
    bytes_.resize(static_cast<std::size_t>(*tags.strsz));
    reader.Read(offset, bytes_.data(), bytes_.size(), "the dynamic string table");
  }

  std::string At(std::uint64_t offset, const char* what) const {
    if (offset >= bytes_.size()) {
      throw rtl::Exception("%s: string offset %d is past the dynamic string table (%d bytes)",
                           {what, offset, bytes_.size()});
    }
    const void* nul = std::memchr(bytes_.data() + offset, '\0', bytes_.size() - offset);
    if (nul == nullptr) {
      throw rtl::Exception("%s: string at offset %d runs past the end of the dynamic string table",
                           {what, offset});
    }
    return std::string(bytes_.data() + offset, static_cast<const char*>(nul));
  }

 private:
  std::vector<char> bytes_;
};

std::uint32_t ReadWord(const Reader& reader, const Image& image, std::uint64_t address,
                       const char* what) {
  std::uint32_t word = 0;
  reader.Read(FileOffset(image, address, sizeof word, what), &word, sizeof word, what);
  return word;
}

// The table itself has no size: the dynamic linker learns it from a hash table.
// DT_HASH says it outright; with DT_GNU_HASH it is one past the last symbol of the
// longest chain, found by walking from the highest bucket.
std::uint64_t SymbolCount(const Reader& reader, const Image& image, const DynamicTags& tags) {
  if (tags.hash) return ReadWord(reader, image, *tags.hash + 4, "the hash table's chain count");
  if (!tags.gnuHash) return 0;
  const std::uint64_t base = *tags.gnuHash;
  const std::uint32_t buckets = ReadWord(reader, image, base, "the GNU hash table header");
  const std::uint32_t symoffset = ReadWord(reader, image, base + 4, "the GNU hash table header");
  const std::uint32_t bloomWords = ReadWord(reader, image, base + 8, "the GNU hash table header");
  const std::uint64_t bucketsAt = base + 16 + std::uint64_t{bloomWords} * 8;
  const std::uint64_t chainsAt = bucketsAt + std::uint64_t{buckets} * 4;
  if (std::uint64_t{buckets} * 4 > reader.Size() || std::uint64_t{bloomWords} * 8 > reader.Size()) {
    throw rtl::Exception("GNU hash table extends past the end of the file");
  }
  std::vector<std::uint32_t> bucketValues(buckets);
  reader.Read(FileOffset(image, bucketsAt, std::uint64_t{buckets} * 4, "the GNU hash buckets"),
              bucketValues.data(), std::uint64_t{buckets} * 4, "the GNU hash buckets");
  std::uint32_t last = 0;
  for (std::uint32_t value : bucketValues) last = value > last ? value : last;
  if (last < symoffset) return symoffset;
  // Each step reads four more bytes of the file, so the walk ends by the file's end.
  for (std::uint64_t index = last;; ++index) {
    const std::uint32_t hash =
        ReadWord(reader, image, chainsAt + (index - symoffset) * 4, "the GNU hash chains");
    if (hash & 1) return index + 1;
  }
}

}  // namespace

DynamicInfo ReadDynamicInfo(const rtl::detail::ByteSource& source) {
  const Reader reader(source);
  const Image image = ReadHeaders(reader);
  DynamicInfo info;
  const Elf64_Phdr* dynamic = nullptr;
  for (const Elf64_Phdr& ph : image.segments) {
    if (ph.p_type == PT_DYNAMIC) dynamic = &ph;
  }
  if (dynamic == nullptr) return info;  // nothing needed, nothing offered
  const DynamicTags tags = ReadDynamicSection(reader, *dynamic);
  const StringTable strings(reader, image, tags);

  for (std::uint64_t offset : tags.needed) info.needed.push_back(strings.At(offset, "DT_NEEDED"));
  if (tags.soname) info.soname = strings.At(*tags.soname, "DT_SONAME");
  const auto split = [](const std::string& list) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= list.size()) {
      const std::size_t colon = std::min(list.find(':', start), list.size());
      if (colon > start) parts.push_back(list.substr(start, colon - start));
      start = colon + 1;
    }
    return parts;
  };
  if (tags.rpath) info.rpath = split(strings.At(*tags.rpath, "DT_RPATH"));
  if (tags.runpath) info.runpath = split(strings.At(*tags.runpath, "DT_RUNPATH"));

  if (!tags.symtab) return info;
  if (tags.syment && *tags.syment != sizeof(Elf64_Sym)) {
    throw rtl::Exception("dynamic symbol entry size %d; expected %d",
                         {*tags.syment, sizeof(Elf64_Sym)});
  }
  const std::uint64_t count = SymbolCount(reader, image, tags);
  if (count > reader.Size() / sizeof(Elf64_Sym)) {
    throw rtl::Exception("dynamic symbol table of %d entries cannot fit in the file", {count});
  }
  std::vector<Elf64_Sym> symbols(static_cast<std::size_t>(count));
  const std::uint64_t bytes = count * sizeof(Elf64_Sym);
  reader.Read(FileOffset(image, *tags.symtab, bytes, "the dynamic symbol table"), symbols.data(),
              bytes, "the dynamic symbol table");
  for (std::size_t i = 1; i < symbols.size(); ++i) {  // entry 0 is the null symbol
    const Elf64_Sym& sym = symbols[i];
    const unsigned binding = ELF64_ST_BIND(sym.st_info);
    if (binding == STB_LOCAL) continue;
    const unsigned visibility = ELF64_ST_VISIBILITY(sym.st_other);
    if (visibility == STV_HIDDEN || visibility == STV_INTERNAL) continue;
    DynamicSymbol symbol;
    symbol.name = strings.At(sym.st_name, "a dynamic symbol's name");
    if (symbol.name.empty()) continue;
    symbol.defined = sym.st_shndx != SHN_UNDEF;
    symbol.weak = binding == STB_WEAK;
    info.symbols.push_back(std::move(symbol));
  }
  return info;
}

DynamicInfo ReadDynamicFile(const std::string& path) {
  try {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw rtl::Exception("cannot open: %s", {std::strerror(errno)});
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw rtl::Exception("cannot stat: %s", {std::strerror(errno)});
    if (!S_ISREG(st.st_mode)) throw rtl::Exception("not a regular file");
    class FileSource : public rtl::detail::ByteSource {
     public:
      FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
      std::uint64_t Size() const override { return size_; }
      bool Read(std::uint64_t offset, void* buffer, std::size_t n) const override {
        auto* out = static_cast<char*>(buffer);
        while (n > 0) {
          const ssize_t got = ::pread(fd_, out, n, static_cast<off_t>(offset));
          if (got < 0 && errno == EINTR) continue;
          if (got <= 0) return false;
          out += got, offset += static_cast<std::uint64_t>(got), n -= static_cast<std::size_t>(got);
        }
        return true;
      }

     private:
      int fd_;
      std::uint64_t size_;
    } source(fd, static_cast<std::uint64_t>(st.st_size));
    return ReadDynamicInfo(source);
  } catch (const rtl::Exception& e) {
    throw rtl::Exception("%s: %s", {path, e.Message()});
  }
}

}  // namespace pkginfo
