// The ELF reader over arbitrary bytes: it must answer with package information or
// an rtl::Exception, and never read outside what it was given.

#include <cstddef>
#include <cstdint>

#include "elf_reader.h"
#include "rtl/sysutils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const rtl::detail::MemoryByteSource source(std::span<const std::uint8_t>(data, size));
  try {
    const rtl::detail::ElfPackageInfo info = rtl::detail::ReadElfPackage(source);
    // A file without a record carries nothing else either.
    if (!info.hasRecord && (!info.record.name.empty() || !info.record.exports.empty())) {
      __builtin_trap();
    }
  } catch (const rtl::Exception&) {
  }
  return 0;
}
