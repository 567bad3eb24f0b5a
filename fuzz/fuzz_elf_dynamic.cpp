// pkginfo's reader of dynamic sections over arbitrary bytes: it must answer with
// what it read or an rtl::Exception, and never read outside what it was given.
// Seeds: small libraries with a GNU and a System V symbol hash table.

#include <cstddef>
#include <cstdint>

#include "elf_dynamic.h"
#include "rtl/sysutils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const rtl::detail::MemoryByteSource source(std::span<const std::uint8_t>(data, size));
  try {
    const pkginfo::DynamicInfo info = pkginfo::ReadDynamicInfo(source);
    // Every symbol takes 24 bytes of the input, so there cannot be more.
    if (info.symbols.size() > size / 24) __builtin_trap();
    for (const pkginfo::DynamicSymbol& symbol : info.symbols) {
      if (symbol.name.empty()) __builtin_trap();  // nameless symbols are skipped
    }
  } catch (const rtl::Exception&) {
  }
  return 0;
}
