// pkginfo's reading of what the dynamic linker says, over arbitrary text: the
// names in it come from files, so anything may stand there. It must answer with
// what it read, never read outside the text, and report each library once per
// line that named it. Seeds: the linker's words on a package it found, and on
// one it stopped at.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "linker_output.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const pkginfo::LinkerVerdict verdict = pkginfo::ParseLinkerOutput(text, "/usr/bin/pkginfo");
  // Each library comes from a line of its own, "\t => not found" at the shortest.
  if (verdict.libraries.size() > size / 14 + 1) __builtin_trap();
  for (const rtl::TResolution& library : verdict.libraries) {
    if (library.path.empty() && library.problem.empty()) __builtin_trap();
  }
  return 0;
}
