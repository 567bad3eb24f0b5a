#pragma once

// The process's map as a crash record carries it, read by the handler of a fatal
// signal: it allocates nothing and takes no lock.

#include <cstddef>
#include <cstdint>

namespace trial::crash_maps {

struct MapsCopy {
  std::uint64_t sp = 0;  // given: the stack pointer of the thread that faulted
  std::size_t size = 0;  // the bytes copied
  bool cut = false;      // not every line fitted
  // The readable mapping holding sp; else the lowest one just above it, where a
  // thread that overran its stack stopped below its last page. 0, 0 when none.
  std::uint64_t stackStart = 0;
  std::uint64_t stackEnd = 0;
  bool holdsSp = false;
};

// Copies /proc/self/maps into `to` (crash_fields::kMaxMaps bytes) as whole lines, as
// many as fit, the last saying that the rest was cut; and finds the mapping of the
// stack around copy.sp.
void ReadMaps(MapsCopy& copy, char* to);

}  // namespace trial::crash_maps
