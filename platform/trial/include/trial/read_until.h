#pragma once

// Reading from a descriptor another process writes to (a child's output, the trial
// host's socket, a pipe from the process that restarts the workbench) without ever
// waiting longer than the caller can afford, whatever that process does.

#include <chrono>
#include <cstddef>
#include <string>

namespace trial {

using Deadline = std::chrono::steady_clock::time_point;
// No deadline: waits as long as the writer keeps its end open.
inline constexpr Deadline kNoDeadline = Deadline::max();

// Whether fd has something to read (bytes, its end or an error) before the deadline.
// A signal that interrupts the wait does not end it early; a deadline that has passed
// still looks once. Throws std::system_error when fd cannot be waited on at all.
bool WaitReadable(int fd, Deadline deadline);

enum class ReadEnd {
  Ended,     // the writer closed its end (or reading failed): nothing more will come
  TimedOut,  // the deadline came first; with a passed deadline: nothing more is there now
  Full,      // `into` holds more than the limit; the rest is still to be read
};

// Appends what fd gives to `into` until one of the ends above. `into` never grows past
// limit + 1 bytes, so that going over the limit can be told from reaching it. Works on
// blocking and non-blocking descriptors alike. Throws as WaitReadable does.
ReadEnd ReadUntil(int fd, std::string& into, Deadline deadline, std::size_t limit);

}  // namespace trial
