// Reading the process's map in a fatal signal's handler: only system calls and copies
// into memory set aside, as in the rest of the handler (crash_handler.cpp).

#include "crash_maps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "crash_fields.h"
#include "trial/crash.h"

namespace trial::crash_maps {

namespace {

using crash_fields::kMaxMaps;

// How far below its stack a thread may be when it overruns it: a function makes room
// for its locals at once, and faults touching it.
constexpr std::uint64_t kOverrunSlack = 64 * 1024;

char gLines[8192];  // the map as it is read, a line or more at a time

// Reads a number in hex up to the first character that is none; 0 for none at all.
std::uint64_t ParseHex(const char*& at, const char* end) {
  std::uint64_t value = 0;
  for (; at < end; ++at) {
    const char c = *at;
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) break;
    value = value << 4 | static_cast<std::uint64_t>(digit);
  }
  return value;
}

void TakeLine(const char* line, std::size_t size, MapsCopy& copy, char* to) {
  if (!copy.cut && copy.size + size <= kMaxMaps - kMapsCut.size()) {
    std::memcpy(to + copy.size, line, size);
    copy.size += size;
  } else {
    copy.cut = true;
  }
  // "start-end perms ...": the stack's mapping may come after the cut.
  const char* at = line;
  const char* end = line + size;
  const std::uint64_t start = ParseHex(at, end);
  if (at == end || *at++ != '-') return;
  const std::uint64_t stop = ParseHex(at, end);
  if (end - at < 2 || at[0] != ' ' || at[1] != 'r') return;
  const bool holdsSp = start <= copy.sp && copy.sp < stop;
  const bool justAbove = !copy.holdsSp && start > copy.sp && start - copy.sp <= kOverrunSlack &&
                         (copy.stackEnd == 0 || start < copy.stackStart);
  if (holdsSp || justAbove) {
    copy.stackStart = start;
    copy.stackEnd = stop;
    copy.holdsSp = holdsSp;
  }
}

}  // namespace

void ReadMaps(MapsCopy& copy, char* to) {
  const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::size_t held = 0;
  for (;;) {
    const ssize_t got = read(fd, gLines + held, sizeof gLines - held);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    held += static_cast<std::size_t>(got);
    std::size_t start = 0;
    for (std::size_t i = 0; i < held; ++i) {
      if (gLines[i] != '\n') continue;
      TakeLine(gLines + start, i + 1 - start, copy, to);
      start = i + 1;
    }
    if (start == 0 && held == sizeof gLines) start = held;  // no line is that long: drop it
    std::memmove(gLines, gLines + start, held - start);
    held -= start;
  }
  close(fd);
  if (copy.cut) {
    std::memcpy(to + copy.size, kMapsCut.data(), kMapsCut.size());
    copy.size += kMapsCut.size();
  }
}

}  // namespace trial::crash_maps
