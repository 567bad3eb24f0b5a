#pragma once

// A small bounds-checked reader of ELF files: it checks that a file is an ELF
// shared object this process could map (class, byte order, machine, type, every
// header and segment inside the file) and reads the package notes, by pread of the
// headers and the notes only. It runs none of the file's code.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "package_record.h"

namespace rtl::detail {

// Where the bytes come from: a file (pread) or memory (tests, fuzzing).
class RTL_API ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Reads exactly n bytes at offset; false when they are not all there.
  virtual bool Read(std::uint64_t offset, void* buffer, std::size_t n) const = 0;
};

// Bytes held by the caller, who keeps them alive while the source is used.
class RTL_API MemoryByteSource : public ByteSource {
 public:
  explicit MemoryByteSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool Read(std::uint64_t offset, void* buffer, std::size_t n) const override;

 private:
  std::span<const std::uint8_t> bytes_;
};

struct ElfPackageInfo {
  bool hasRecord = false;  // false: a valid shared object without package information
  PackageRecord record;
};

// Checks the image and reads its package notes. Throws rtl::Exception with the
// reason alone ("not an ELF file (bad magic)", "ELF file for another machine
// (machine 183, expected 62)", "program header table extends past the end of the
// file", ...); callers prefix the file name.
RTL_API ElfPackageInfo ReadElfPackage(const ByteSource& source);

// Opens the file and calls ReadElfPackage on it. Throws rtl::Exception whose
// message is "<fileName>: <reason>" (missing file, empty file, not ELF, ...).
RTL_API ElfPackageInfo ReadPackageFile(const std::string& fileName);

}  // namespace rtl::detail
