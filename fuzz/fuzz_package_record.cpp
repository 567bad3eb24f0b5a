// The package record codec over arbitrary bytes, as a record descriptor and as a
// note segment. A record that decodes must come back unchanged from encoding and
// decoding again, or pkginfo and the tests that build records would disagree with
// the reader.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "package_record.h"
#include "rtl/sysutils.h"

namespace {

bool SameRecord(const rtl::detail::PackageRecord& a, const rtl::detail::PackageRecord& b) {
  return a.version == b.version && a.flags == b.flags && a.name == b.name &&
         a.description == b.description && a.units == b.units &&
         a.requiredPackages == b.requiredPackages && a.buildArtifact == b.buildArtifact;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    const rtl::detail::PackageRecord record = rtl::detail::DecodeRecord(bytes);
    const std::vector<std::uint8_t> again = rtl::detail::EncodeRecord(record);
    if (!SameRecord(record, rtl::detail::DecodeRecord(again))) __builtin_trap();
  } catch (const rtl::Exception&) {
  }
  try {
    rtl::detail::DecodeExport(bytes);
  } catch (const rtl::Exception&) {
  }
  for (std::size_t alignment : {4u, 8u}) {
    try {
      rtl::detail::PackageRecord out;
      rtl::detail::DecodeNotes(bytes, alignment, "in segment 1", out);
    } catch (const rtl::Exception&) {
    }
  }
  return 0;
}
