// The package record codec over arbitrary bytes, as a record descriptor and as a
// note segment. A record that decodes must come back unchanged from encoding and
// decoding again, or pkginfo and the tests that build records would disagree with
// the reader.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "package_record.h"
#include "rtl/sysutils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    const rtl::TPackageRecord record = rtl::detail::DecodeRecord(bytes);
    const std::vector<std::uint8_t> again = rtl::detail::EncodeRecord(record);
    if (record != rtl::detail::DecodeRecord(again)) __builtin_trap();
  } catch (const rtl::Exception&) {
  }
  try {
    rtl::detail::DecodeExport(bytes);
  } catch (const rtl::Exception&) {
  }
  for (std::size_t alignment : {4u, 8u}) {
    try {
      const rtl::detail::NoteSegment segment{bytes, alignment, 1};
      rtl::detail::DecodePackageNotes({&segment, 1});
    } catch (const rtl::Exception&) {
    }
  }
  return 0;
}
