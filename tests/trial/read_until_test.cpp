#include "trial/read_until.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <system_error>
#include <thread>

namespace {

using namespace std::chrono_literals;
using trial::ReadEnd;

void Ignore(int) {}

const char* Name(ReadEnd end) {
  return end == ReadEnd::Ended ? "Ended" : end == ReadEnd::TimedOut ? "TimedOut" : "Full";
}

struct Case {
  const char* what;
  std::string before;  // in the pipe when the read starts
  std::string later;   // written 30 ms into it
  bool close;          // the writer closes its end then
  std::chrono::milliseconds deadline;
  std::size_t limit;
  bool interrupt;  // a signal without SA_RESTART reaches the reader 10 ms into it
  ReadEnd end;
  std::string read;
};

TEST(ReadUntil, EndsAtTheWritersEndTheDeadlineOrTheLimit) {
  struct sigaction interrupt {};
  interrupt.sa_handler = Ignore;
  sigaction(SIGUSR1, &interrupt, nullptr);
  const Case cases[] = {
      {"what comes before and after the wait, then the end", "abc", "def", true, 5s, 100, false,
       ReadEnd::Ended, "abcdef"},
      {"a writer that stays silent", "", "", false, 100ms, 100, false, ReadEnd::TimedOut, ""},
      {"more than the limit: one byte past it", "0123456789", "", true, 5s, 4, false, ReadEnd::Full,
       "01234"},
      {"a signal does not end the wait early", "", "", false, 100ms, 100, true, ReadEnd::TimedOut,
       ""},
      {"a signal before the data", "", "late", true, 5s, 100, true, ReadEnd::Ended, "late"},
      {"a passed deadline takes what is there now", "xyz", "more", false, 0ms, 100, false,
       ReadEnd::TimedOut, "xyz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], c.before.data(), c.before.size()),
              static_cast<ssize_t>(c.before.size()));
    const pthread_t reader = pthread_self();
    std::thread writer([&] {
      if (c.interrupt) {
        std::this_thread::sleep_for(10ms);
        pthread_kill(reader, SIGUSR1);
      }
      std::this_thread::sleep_for(c.interrupt ? 20ms : 30ms);
      if (!c.later.empty()) {
        EXPECT_GT(write(ends[1], c.later.data(), c.later.size()), 0);
      }
      if (c.close) close(ends[1]);
    });
    const auto start = std::chrono::steady_clock::now();
    std::string read;
    const ReadEnd end = trial::ReadUntil(ends[0], read, start + c.deadline, c.limit);
    const auto took = std::chrono::steady_clock::now() - start;
    writer.join();
    EXPECT_STREQ(Name(end), Name(c.end));
    EXPECT_EQ(read, c.read);
    if (end == ReadEnd::TimedOut) {
      EXPECT_GE(took, c.deadline) << "it should wait until the deadline";
    } else {
      EXPECT_LT(took, c.deadline) << "it should not wait for the deadline";
    }
    close(ends[0]);
    if (!c.close) close(ends[1]);
  }
  std::string read;
  EXPECT_THROW(trial::ReadUntil(-1, read, trial::kNoDeadline, 1), std::system_error)
      << "no descriptor: an error, not a wait without end";
  // Readable by poll, yet no read succeeds: the end, not a spin.
  const int folder = open("/", O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(trial::ReadUntil(folder, read, trial::kNoDeadline, 1), ReadEnd::Ended);
  close(folder);
}

}  // namespace
