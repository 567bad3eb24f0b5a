#include "elf_reader.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

#include "package_record.h"
#include "rtl/sysutils.h"

namespace rtl::detail {

namespace {

#if defined(__x86_64__)
constexpr int kHostMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int kHostMachine = EM_AARCH64;
#else
#error "ELF machine of this host unknown"
#endif
static_assert(std::endian::native == std::endian::little,
              "the reader takes header fields in host byte order and accepts little-endian files");

// A note segment larger than this is not a package's: refusing it keeps a
// damaged size from allocating gigabytes.
constexpr std::uint64_t kMaxNoteSegment = 16u << 20;

// Most packages have their headers and notes in the first few kilobytes: one
// pread of this much serves them all, which matters because the look-up is
// dominated by system calls.
constexpr std::size_t kPrefixSize = 4096;

class FileByteSource : public ByteSource {
 public:
  FileByteSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {
    const std::size_t want = size < kPrefixSize ? static_cast<std::size_t>(size) : kPrefixSize;
    prefixSize_ = ReadFully(0, prefix_.data(), want) ? want : 0;
  }

  std::uint64_t Size() const override { return size_; }

  bool Read(std::uint64_t offset, void* buffer, std::size_t n) const override {
    if (offset > size_ || n > size_ - offset) return false;
    if (offset + n <= prefixSize_) {
      std::memcpy(buffer, prefix_.data() + offset, n);
      return true;
    }
    return ReadFully(offset, buffer, n);
  }

  const std::uint8_t* Held(std::uint64_t offset, std::size_t n) const override {
    if (offset > prefixSize_ || n > prefixSize_ - offset) return nullptr;
    return prefix_.data() + offset;
  }

 private:
  bool ReadFully(std::uint64_t offset, void* buffer, std::size_t n) const {
    auto* out = static_cast<char*>(buffer);
    while (n > 0) {
      const ssize_t got = ::pread(fd_, out, n, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      out += got;
      offset += static_cast<std::uint64_t>(got);
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

  int fd_;
  std::uint64_t size_;
  std::array<std::uint8_t, kPrefixSize> prefix_;
  std::size_t prefixSize_ = 0;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The end of [offset, offset + size), or nothing when it wraps around.
std::optional<std::uint64_t> End(std::uint64_t offset, std::uint64_t size) {
  std::uint64_t end = 0;
  if (__builtin_add_overflow(offset, size, &end)) return std::nullopt;
  return end;
}

// Whether [offset, offset + size) lies inside the first `limit` bytes.
bool Inside(std::uint64_t offset, std::uint64_t size, std::uint64_t limit) {
  const auto end = End(offset, size);
  return end && *end <= limit;
}

void ReadExactly(const ByteSource& source, std::uint64_t offset, void* buffer, std::size_t n,
                 const char* what) {
  if (!source.Read(offset, buffer, n)) {
    throw Exception("cannot read %s (%d bytes at offset %d)", {what, n, offset});
  }
}

struct Elf {
  const ByteSource& source;
  std::uint64_t size;
  Elf64_Ehdr header;
  std::vector<Elf64_Phdr> segments;
};

// The identification bytes: an ELF file of the class and byte order this process
// maps.
void CheckIdent(const std::array<std::uint8_t, sizeof(Elf64_Ehdr)>& bytes, std::size_t have) {
  if (have < SELFMAG || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) {
    throw Exception("not an ELF file (bad magic)");
  }
  if (have < EI_NIDENT) throw Exception("file ends inside the ELF header (%d bytes)", {have});
  switch (bytes[EI_CLASS]) {
    case ELFCLASS64:
      break;
    case ELFCLASS32:
      throw Exception("32-bit ELF file; expected 64-bit");
    default:
      throw Exception("unknown ELF class %d", {static_cast<int>(bytes[EI_CLASS])});
  }
  switch (bytes[EI_DATA]) {
    case ELFDATA2LSB:
      break;
    case ELFDATA2MSB:
      throw Exception("big-endian ELF file; expected little-endian");
    default:
      throw Exception("unknown ELF byte order %d", {static_cast<int>(bytes[EI_DATA])});
  }
  if (bytes[EI_VERSION] != EV_CURRENT) {
    throw Exception("unknown ELF version %d (expected 1)", {static_cast<int>(bytes[EI_VERSION])});
  }
}

Elf64_Ehdr ReadHeader(const ByteSource& source, std::uint64_t size) {
  if (size == 0) throw Exception("empty file");
  std::array<std::uint8_t, sizeof(Elf64_Ehdr)> bytes{};
  const std::size_t have = size < bytes.size() ? static_cast<std::size_t>(size) : bytes.size();
  ReadExactly(source, 0, bytes.data(), have, "the ELF header");
  CheckIdent(bytes, have);
  if (have < sizeof(Elf64_Ehdr)) {
    throw Exception("file ends inside the ELF header (%d bytes)", {have});
  }
  Elf64_Ehdr h{};
  std::memcpy(&h, bytes.data(), sizeof h);
  if (h.e_machine != kHostMachine) {
    throw Exception("ELF file for another machine (machine %d, expected %d)",
                    {static_cast<int>(h.e_machine), kHostMachine});
  }
  if (h.e_type != ET_DYN) {
    throw Exception("not a shared object (ELF type %d)", {static_cast<int>(h.e_type)});
  }
  if (h.e_version != EV_CURRENT) {
    throw Exception("unknown ELF version %d in the ELF header (expected 1)",
                    {static_cast<unsigned long>(h.e_version)});
  }
  if (h.e_ehsize != sizeof(Elf64_Ehdr)) {
    throw Exception("ELF header size %d; expected %d",
                    {static_cast<int>(h.e_ehsize), static_cast<int>(sizeof(Elf64_Ehdr))});
  }
  return h;
}

std::vector<Elf64_Phdr> ReadSegments(const ByteSource& source, std::uint64_t size,
                                     const Elf64_Ehdr& h) {
  if (h.e_phnum == 0) throw Exception("no program headers");
  // PN_XNUM would put the real count into section 0; no linker does that for a
  // shared object, and glibc would not load it.
  if (h.e_phnum == PN_XNUM) throw Exception("too many program headers (%d)", {PN_XNUM});
  if (h.e_phentsize != sizeof(Elf64_Phdr)) {
    throw Exception("program header entry size %d; expected %d",
                    {static_cast<int>(h.e_phentsize), static_cast<int>(sizeof(Elf64_Phdr))});
  }
  if (h.e_phoff >= size) {
    throw Exception("program header table starts past the end of the file");
  }
  const std::uint64_t tableSize = std::uint64_t{h.e_phnum} * sizeof(Elf64_Phdr);
  if (!Inside(h.e_phoff, tableSize, size)) {
    throw Exception("program header table extends past the end of the file");
  }
  std::vector<Elf64_Phdr> segments(h.e_phnum);
  ReadExactly(source, h.e_phoff, segments.data(), tableSize, "the program headers");
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const Elf64_Phdr& ph = segments[i];
    // These are the segments the dynamic loader maps or reads: each must be in
    // the file, or mapping it faults (SIGBUS) instead of failing cleanly.
    if (ph.p_type != PT_LOAD && ph.p_type != PT_NOTE && ph.p_type != PT_DYNAMIC) continue;
    if (ph.p_filesz == 0) continue;
    if (ph.p_offset >= size) throw Exception("segment %d starts past the end of the file", {i});
    if (!End(ph.p_offset, ph.p_filesz)) {
      throw Exception("segment %d: offset plus size overflows", {i});
    }
    if (!Inside(ph.p_offset, ph.p_filesz, size)) {
      throw Exception("segment %d extends past the end of the file", {i});
    }
  }
  return segments;
}

struct SectionTable {
  std::uint64_t count = 0;
  std::uint64_t nameIndex = SHN_UNDEF;
};

// Where the section table is and how long, checked to lie inside the file; nothing
// for a file stripped of its table, which still loads.
std::optional<SectionTable> PlaceSections(const Elf& elf) {
  const Elf64_Ehdr& h = elf.header;
  if (h.e_shoff == 0) return std::nullopt;
  if (h.e_shentsize != sizeof(Elf64_Shdr)) {
    throw Exception("section header entry size %d; expected %d",
                    {static_cast<int>(h.e_shentsize), static_cast<int>(sizeof(Elf64_Shdr))});
  }
  if (h.e_shoff >= elf.size) throw Exception("section table starts past the end of the file");
  SectionTable table{h.e_shnum, h.e_shstrndx};
  if (table.count == 0 || table.nameIndex == SHN_XINDEX) {
    // Extended numbering: the real values are in section 0.
    Elf64_Shdr first{};
    if (!Inside(h.e_shoff, sizeof first, elf.size)) {
      throw Exception("section table extends past the end of the file");
    }
    ReadExactly(elf.source, h.e_shoff, &first, sizeof first, "section header 0");
    if (table.count == 0) table.count = first.sh_size;
    if (table.nameIndex == SHN_XINDEX) table.nameIndex = first.sh_link;
  }
  std::uint64_t tableSize = 0;
  if (__builtin_mul_overflow(table.count, sizeof(Elf64_Shdr), &tableSize) ||
      !Inside(h.e_shoff, tableSize, elf.size)) {
    throw Exception("section table extends past the end of the file");
  }
  return table;
}

// Every section inside the file, and the section names inside their table.
void CheckSections(const Elf& elf, const SectionTable& table) {
  std::vector<Elf64_Shdr> sections(static_cast<std::size_t>(table.count));
  ReadExactly(elf.source, elf.header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr),
              "the section headers");
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const Elf64_Shdr& sh = sections[i];
    if (sh.sh_type == SHT_NOBITS || sh.sh_type == SHT_NULL || sh.sh_size == 0) continue;
    if (!Inside(sh.sh_offset, sh.sh_size, elf.size)) {
      throw Exception("section %d extends past the end of the file", {i});
    }
  }
  if (table.nameIndex == SHN_UNDEF) return;
  if (table.nameIndex >= table.count) {
    throw Exception("section name table index %d is past the section table (%d sections)",
                    {table.nameIndex, table.count});
  }
  const Elf64_Shdr& names = sections[static_cast<std::size_t>(table.nameIndex)];
  if (names.sh_type != SHT_STRTAB) {
    throw Exception("section name table (section %d) is not a string table", {table.nameIndex});
  }
  for (std::size_t i = 0; i < sections.size(); ++i) {
    if (sections[i].sh_name >= names.sh_size) {
      throw Exception("name of section %d starts past the end of the section name table", {i});
    }
  }
}

// The package notes of every note segment; those outside what the source holds in
// memory are read into buffers of their own.
std::optional<TPackageRecord> ReadNotes(const Elf& elf) {
  std::vector<NoteSegment> segments;
  std::vector<std::vector<std::uint8_t>> buffers;
  for (std::size_t i = 0; i < elf.segments.size(); ++i) {
    const Elf64_Phdr& ph = elf.segments[i];
    if (ph.p_type != PT_NOTE || ph.p_filesz == 0) continue;
    if (ph.p_filesz > kMaxNoteSegment) {
      throw Exception("note segment %d is too large (%d bytes)", {i, ph.p_filesz});
    }
    const auto size = static_cast<std::size_t>(ph.p_filesz);
    const std::uint8_t* bytes = elf.source.Held(ph.p_offset, size);
    if (bytes == nullptr) {
      std::vector<std::uint8_t>& buffer = buffers.emplace_back(size);
      ReadExactly(elf.source, ph.p_offset, buffer.data(), size, "a note segment");
      bytes = buffer.data();
    }
    const std::size_t alignment = ph.p_align <= 4 ? 4 : static_cast<std::size_t>(ph.p_align);
    segments.push_back(NoteSegment{std::span<const std::uint8_t>(bytes, size), alignment, i});
  }
  return DecodePackageNotes(segments);
}

}  // namespace

std::optional<TPackageRecord> ReadElfPackage(const ByteSource& source, ElfCheck check) {
  const std::uint64_t size = source.Size();
  const Elf64_Ehdr header = ReadHeader(source, size);
  const Elf elf{source, size, header, ReadSegments(source, size, header)};
  const std::optional<SectionTable> sections = PlaceSections(elf);
  if (sections && check == ElfCheck::Complete) CheckSections(elf, *sections);
  return ReadNotes(elf);
}

namespace {

FileIdentity IdentityOf(const struct stat& st) {
  const auto nanoseconds = [](const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
  };
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      static_cast<std::uint64_t>(st.st_size), nanoseconds(st.st_mtim),
                      nanoseconds(st.st_ctim)};
}

}  // namespace

}  // namespace rtl::detail

namespace rtl {

std::optional<TFileIdentity> IdentityOfFile(const std::string& fileName) {
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return detail::IdentityOf(st);
}

std::string FileChange(const TFileIdentity& then, const std::optional<TFileIdentity>& now) {
  if (!now) return "it is gone";
  if (now->device != then.device || now->inode != then.inode) {
    return "another file has taken its place";
  }
  if (*now != then) return "it was written to";
  return {};
}

}  // namespace rtl

namespace rtl::detail {

PackageFile ReadPackageFile(const std::string& fileName, ElfCheck check) {
  try {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    FileDescriptor fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) throw Exception("cannot open: %s", {std::strerror(errno)});
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw Exception("cannot stat: %s", {std::strerror(errno)});
    if (S_ISDIR(st.st_mode)) throw Exception("is a directory");
    if (!S_ISREG(st.st_mode)) throw Exception("not a regular file");
    FileByteSource source(fd.get(), static_cast<std::uint64_t>(st.st_size));
    return PackageFile{IdentityOf(st), ReadElfPackage(source, check)};
  } catch (const Exception& e) {
    throw Exception("%s: %s", {fileName, e.Message()});
  }
}

}  // namespace rtl::detail

namespace rtl {

std::optional<TPackageRecord> ReadPackageFile(const std::string& fileName, TFileCheck check) {
  return detail::ReadPackageFile(fileName, check == TFileCheck::Loading
                                               ? detail::ElfCheck::Loading
                                               : detail::ElfCheck::Complete)
      .record;
}

}  // namespace rtl
