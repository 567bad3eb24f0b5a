// The ELF reader over arbitrary bytes: it must answer with package information or
// an rtl::Exception, and never read outside what it was given.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "elf_reader.h"
#include "rtl/sysutils.h"

namespace {

// The fuzzer's bytes, read where they lie.
class MemoryByteSource : public rtl::detail::ByteSource {
 public:
  explicit MemoryByteSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool Read(std::uint64_t offset, void* buffer, std::size_t n) const override {
    const std::uint8_t* bytes = Held(offset, n);
    if (bytes == nullptr) return false;
    if (n > 0) std::memcpy(buffer, bytes, n);
    return true;
  }
  const std::uint8_t* Held(std::uint64_t offset, std::size_t n) const override {
    if (offset > bytes_.size() || n > bytes_.size() - offset) return nullptr;
    return bytes_.data() + offset;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const MemoryByteSource source(std::span<const std::uint8_t>(data, size));
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
