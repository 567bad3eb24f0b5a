#pragma once

// A small bounds-checked reader of ELF files: it checks that a file is an ELF
// shared object this process could map (class, byte order, machine, type, every
// header and segment inside the file) and reads the package notes, by pread of the
// headers and the notes only. It runs none of the file's code.

#include <cstdint>
#include <optional>
#include <string>

#include "rtl/package_file.h"

namespace rtl::detail {

// Where the bytes come from: a file (pread), or memory for the fuzz target.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Reads exactly n bytes at offset; false when they are not all there.
  virtual bool Read(std::uint64_t offset, void* buffer, std::size_t n) const = 0;
  // The n bytes at offset when the source holds them in memory already, so that
  // they need no copy; null otherwise.
  virtual const std::uint8_t* Held(std::uint64_t, std::size_t) const { return nullptr; }
};

// How much of the file is checked.
enum class ElfCheck {
  // What mapping it takes: the headers, every segment the dynamic linker maps or
  // reads, and the place of the section table; not the sections themselves, which
  // the dynamic linker never reads. The section table comes last in a file, so a
  // file cut short still fails.
  Loading,
  // That and every section: a section outside the file is damage that tools trip over.
  Complete,
};

// Checks the image and reads its package notes: the record, or nothing for a
// shared object without package notes. Throws rtl::Exception with the reason alone
// ("not an ELF file (bad magic)", "ELF file for another machine (machine 183,
// expected 62)", "program header table extends past the end of the file", ...).
std::optional<TPackageRecord> ReadElfPackage(const ByteSource& source, ElfCheck check);

using FileIdentity = TFileIdentity;

struct PackageFile {
  FileIdentity identity;  // of the file as it was read
  std::optional<TPackageRecord> record;
};

// Opens the file and calls ReadElfPackage on it. Throws rtl::Exception whose
// message is "<fileName>: <reason>" (missing file, empty file, not ELF, ...).
PackageFile ReadPackageFile(const std::string& fileName, ElfCheck check);

}  // namespace rtl::detail
