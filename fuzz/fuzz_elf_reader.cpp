// The ELF reader over arbitrary bytes: it must answer with package information or
// an rtl::Exception, and never read outside what it was given.

#include <cstddef>
#include <cstdint>

#include "elf_reader.h"
#include "rtl/sysutils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const rtl::detail::MemoryByteSource source(std::span<const std::uint8_t>(data, size));
  for (const auto check : {rtl::detail::ElfCheck::Loading, rtl::detail::ElfCheck::Complete}) {
    try {
      const auto record = rtl::detail::ReadElfPackage(source, check);
      // A record is never without its name.
      if (record && record->name.empty()) __builtin_trap();
    } catch (const rtl::Exception&) {
    }
  }
  return 0;
}
