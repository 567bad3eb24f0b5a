// The trial host spoken to frame by frame, as a client that breaks the protocol
// would: a second trial while one runs, a stop, a kind it does not know, and bytes
// that are no frame at all.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "test_support.h"
#include "trial/client.h"
#include "trial/settings.h"

namespace {

using testing::HasSubstr;
using trial::Kind;
using trial::Outcome;

// The host on one end of a socket, its standard error kept; killed at the end of the
// scope if it still runs.
class RawHost {
 public:
  RawHost() {
    int ends[2], errors[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    if (pipe2(errors, O_CLOEXEC) != 0) return;
    const std::string host = trial::FindHost();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(ends[1], 0);
      dup2(errors[1], 2);
      execl(host.c_str(), host.c_str(), nullptr);
      _exit(127);
    }
    close(ends[1]);
    close(errors[1]);
    fd_ = ends[0];
    errors_ = errors[0];
  }
  ~RawHost() {
    if (pid_ > 0 && status_ < 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    close(fd_);
    close(errors_);
  }

  void Send(const std::string& bytes) { ASSERT_TRUE(trial::wire::WriteAll(fd_, bytes)); }

  // The next frame of this kind for this id, frames of other kinds passed over; none
  // when the host ends or says nothing in time.
  std::optional<trial::wire::Frame> Next(Kind kind, std::uint64_t id) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      while (auto frame = reader_.Next()) {
        if (frame->kind == static_cast<std::uint8_t>(kind) && frame->id == id) return frame;
      }
      pollfd ready{fd_, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return {};
      char bytes[4096];
      const ssize_t got = read(fd_, bytes, sizeof bytes);
      if (got <= 0) return {};
      reader_.Feed(std::string_view(bytes, static_cast<std::size_t>(got)));
    }
  }

  Outcome Answer(std::uint64_t id) {
    const auto frame = Next(Kind::Answer, id);
    if (!frame) ADD_FAILURE() << "no answer to " << id;
    return frame ? trial::Decode<Outcome>(*frame) : Outcome{};
  }

  // Its exit status once it has ended of itself, and what it wrote on standard error;
  // -1 when its standard error is still open after 20 s.
  int Ended(std::string& said) {
    char bytes[4096];
    for (;;) {
      pollfd ready{errors_, POLLIN, 0};
      if (poll(&ready, 1, 20000) <= 0) return -1;
      const ssize_t got = read(errors_, bytes, sizeof bytes);
      if (got <= 0) break;
      said.append(bytes, static_cast<std::size_t>(got));
    }
    waitpid(pid_, &status_, 0);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  int errors_ = -1;
  int status_ = -1;
  trial::wire::FrameReader reader_{64u << 20, 64u << 20};
};

trial::TryRequest LoadOf(const std::string& package) {
  const std::string file = testsupport::PackageFile(package);
  return trial::RequestFor(
      {trial::Action{trial::Action::Type::Load, file, rtl::IdentityOfFile(file), {}, {}, {}}},
      false);
}

TEST(TrialHostProtocol, ASecondTrialIsRefusedAStopEndsTheFirstAndDamageEndsTheHost) {
  RawHost host;
  ASSERT_TRUE(host.Next(Kind::Hello, 0)) << "the host greets first";
  host.Send(trial::Encode(Kind::Try, 1, LoadOf("faultloop")));
  ASSERT_TRUE(host.Next(Kind::Progress, 1)) << "the looping trial has begun";

  host.Send(trial::Encode(Kind::Try, 2, LoadOf("twounits")));
  const Outcome refused = host.Answer(2);
  EXPECT_EQ(Outcome::End::HostError, refused.end);
  EXPECT_EQ("a trial is already running", refused.detail);

  host.Send(trial::EncodeEmpty(Kind::Stop, 1));
  EXPECT_EQ(Outcome::End::Stopped, host.Answer(1).end);

  // A kind it does not know is passed over; it answers the next request as ever.
  host.Send(trial::EncodeEmpty(static_cast<Kind>(99), 3));
  host.Send(trial::Encode(Kind::Try, 4, LoadOf("twounits")));
  EXPECT_EQ(Outcome::End::Passed, host.Answer(4).end);

  // Four bytes that announce a message too short to be one.
  host.Send(std::string("\x03\x00\x00\x00", 4) + "abc");
  std::string said;
  const int status = host.Ended(said);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_THAT(said, HasSubstr("trialhost: a message of 3 bytes"));
}

}  // namespace
