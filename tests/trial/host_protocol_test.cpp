// The trial host spoken to frame by frame, as a client that breaks the protocol
// would: a second trial while one runs, a stop, a kind it does not know, and bytes
// that are no frame at all; and its processes, as the system and the user treat them.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "test_support.h"
#include "trial/client.h"
#include "trial/read_until.h"
#include "trial/settings.h"

namespace {

using trial::Kind;
using trial::Outcome;

struct Socket {
  int ours = -1, theirs = -1;
  Socket() {
    int ends[2] = {-1, -1};
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
    ours = ends[0], theirs = ends[1];
  }
};

// The host on the other end of a socket.
class RawHost {
 public:
  RawHost() { close(socket_.theirs); }
  ~RawHost() { close(socket_.ours); }

  void Send(const std::string& bytes) { ASSERT_TRUE(trial::wire::WriteAll(socket_.ours, bytes)); }

  // The next frame of this kind for this id, frames of other kinds passed over; none
  // when the host ends or says nothing for 20 s.
  std::optional<trial::wire::Frame> Next(Kind kind, std::uint64_t id) {
    for (;;) {
      while (auto frame = reader_.Next()) {
        if (frame->kind == static_cast<std::uint8_t>(kind) && frame->id == id) return frame;
      }
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      char bytes[4096];
      const ssize_t got =
          trial::WaitReadable(socket_.ours, deadline) ? read(socket_.ours, bytes, sizeof bytes) : 0;
      if (got <= 0) return {};
      reader_.Feed(std::string_view(bytes, static_cast<std::size_t>(got)));
    }
  }

  Outcome Answer(std::uint64_t id) {
    const auto frame = Next(Kind::Answer, id);
    if (!frame) ADD_FAILURE() << "no answer to " << id;
    return frame ? trial::Decode<Outcome>(*frame) : Outcome{};
  }

  testsupport::ToolRun Ended() { return process_.Wait(); }
  int Pid() const { return process_.Pid(); }

 private:
  Socket socket_;
  testsupport::StartedTool process_{trial::FindHost(), {}, {}, {}, socket_.theirs};
  trial::wire::FrameReader reader_{64u << 20, 64u << 20};
};

trial::TryRequest LoadOf(const std::string& package, bool commit = false) {
  const std::string file = testsupport::PackageFile(package);
  return trial::RequestFor(
      {trial::Action{trial::Action::Type::Load, file, rtl::IdentityOfFile(file), {}, {}, {}}},
      commit);
}

// Its processes running now: the host's own children, and with all, theirs too.
std::set<int> ChildrenOf(int host, bool all = false) {
  std::set<int> found{host};
  const auto processes = testsupport::ProcessesNamed("trialhost");
  for (std::size_t added = 1; added != 0 && (all || found.size() == 1);) {
    added = 0;
    for (const auto& process : processes) {
      if (found.count(process.parent) != 0) added += found.insert(process.pid).second ? 1 : 0;
    }
  }
  found.erase(host);
  return found;
}

bool GoFirstWhenMemoryRunsOut(const std::set<int>& processes) {
  return std::all_of(processes.begin(), processes.end(), [](int pid) {
    int score = 0;
    return std::ifstream("/proc/" + std::to_string(pid) + "/oom_score_adj") >> score &&
           score == 1000;
  });
}

TEST(TrialHostProtocol, OneTrialAtATimeStopsOnRequestRemakesKilledProcessesAndEndsOnDamage) {
  RawHost host;
  ASSERT_TRUE(host.Next(Kind::Hello, 0)) << "the host greets first";
  // Its first child holds the state that each trial starts from.
  std::set<int> children;
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !(children = ChildrenOf(host.Pid())).empty(); }));
  const int shadow = *children.begin();
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
  // What the failed trial left running went, and that state stayed.
  EXPECT_THAT(ChildrenOf(host.Pid()), testing::Contains(shadow));

  // Its processes killed from outside, it makes them anew, holding what it was given.
  host.Send(trial::Encode(Kind::Try, 5, LoadOf("twounits", true)));
  EXPECT_EQ(Outcome::End::Passed, host.Answer(5).end);
  // The process made ready for the next trial, once it is there.
  ASSERT_TRUE(testsupport::WaitUntil(
      [&] { return (children = ChildrenOf(host.Pid(), true)).size() >= 2; }));
  for (const int child : children) {
    if (child == shadow) continue;
    kill(child, SIGKILL);
    // Until the host has heard of its end: then the next trial cannot be handed to it.
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] { return access(("/proc/" + std::to_string(child)).c_str(), F_OK); }));
  }
  const trial::Call call{testsupport::PackageFile("twounits"), "@TwoSecond@Register$qqrv"};
  host.Send(trial::Encode(
      Kind::Try, 6,
      trial::RequestFor({{trial::Action::Type::Run, {}, {}, {call}, {}, {}}}, false)));
  const Outcome ran = host.Answer(6);
  EXPECT_TRUE(ran.Passed() && ran.raised.empty()) << ran.raised;

  // Four bytes that announce a message too short to be one.
  host.Send(std::string("\x03\x00\x00\x00", 4) + "abc");
  const testsupport::ToolRun ended = host.Ended();
  EXPECT_EQ(0, ended.status);
  EXPECT_THAT(ended.err, testing::HasSubstr("trialhost: a message of 3 bytes"));
}

// What runs package code goes before the workbench when memory runs out, and does
// not outlive the host, however that ends: not even package code that never returns.
TEST(TrialHostProtocol, ItsChildrenGoFirstWhenMemoryRunsOutAndEndWithIt) {
  RawHost host;
  host.Send(trial::Encode(Kind::Try, 1, LoadOf("faultloop")));
  ASSERT_TRUE(host.Next(Kind::Progress, 1)) << "the looping trial has begun";
  // The shadow and the trial's child, once each has started.
  std::set<int> children;
  EXPECT_TRUE(testsupport::WaitUntil([&] {
    children = ChildrenOf(host.Pid(), true);
    return children.size() >= 2 && GoFirstWhenMemoryRunsOut(children);
  })) << children.size()
      << " children";
  kill(host.Pid(), SIGKILL);
  host.Ended();
  EXPECT_TRUE(testsupport::WaitUntil(
      [&] {
        for (const auto& process : testsupport::ProcessesNamed("trialhost")) {
          if (children.count(process.pid) != 0) return false;
        }
        return true;
      },
      std::chrono::seconds(5)))
      << "its children outlived it";
  // Not left to loop on, when they did.
  for (const int child : children) kill(child, SIGKILL);
}

}  // namespace
