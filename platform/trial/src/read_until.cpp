#include "trial/read_until.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

namespace trial {

namespace {

// poll takes an int of milliseconds; a longer wait is taken in slices.
constexpr std::chrono::milliseconds kLongestSlice{60000};

[[noreturn]] void CannotWait(int fd, int error) {
  throw std::system_error(error, std::generic_category(),
                          "cannot wait on descriptor " + std::to_string(fd));
}

}  // namespace

bool WaitReadable(int fd, Deadline deadline) {
  // poll passes over a negative descriptor, and would wait out the whole deadline.
  if (fd < 0) CannotWait(fd, EBADF);
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const auto slice = std::clamp(left, std::chrono::milliseconds(0), kLongestSlice);
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(slice.count()));
    if (polled < 0 && errno != EINTR) CannotWait(fd, errno);
    if (polled > 0) {
      // Not open: the caller's mistake, which no read would tell from the writer's end.
      if ((ready.revents & POLLNVAL) != 0) CannotWait(fd, EBADF);
      return true;
    }
    if (polled == 0 && left <= kLongestSlice) return false;
  }
}

ReadEnd ReadUntil(int fd, std::string& into, Deadline deadline, std::size_t limit) {
  char chunk[65536];
  for (;;) {
    if (into.size() > limit) return ReadEnd::Full;
    if (!WaitReadable(fd, deadline)) return ReadEnd::TimedOut;
    // Up to one byte past the limit, and no further.
    const std::size_t room = limit - into.size();
    const std::size_t want = room >= sizeof chunk ? sizeof chunk : room + 1;
    const ssize_t got = read(fd, chunk, want);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return ReadEnd::Ended;
    into.append(chunk, static_cast<std::size_t>(got));
  }
}

}  // namespace trial
