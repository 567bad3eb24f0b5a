#pragma once

// The trial host's side of its children: the shadow, the spare forked ahead of the
// next request, and the trial in hand, and the one loop that hears all of them and
// the client (host.cpp). What runs inside those children is child.cpp and shadow.cpp.

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "trial/protocol.h"
#include "trial/wire.h"

namespace trialhost {

namespace wire = trial::wire;
using Clock = std::chrono::steady_clock;
using trial::Kind;
using trial::Outcome;

// One report of a child: far above what a trial says (a few names a stage, the
// classes of a registration), far below what would strain the host.
constexpr std::size_t kMaxReport = 1u << 20;

void SetNonBlocking(int fd);
// Appends what is there now, at most `limit` bytes of it; false at the end (or an
// error) of the stream.
bool ReadAvailable(int fd, std::string& into, std::size_t limit);
void Close(int& fd);

// A trial child: first a spare, forked ahead of the request it waits for, then the
// child of a trial.
struct Child {
  pid_t pid = 0;  // 0 until known (a child of the shadow: when it says)
  std::uint64_t nonce = 0;
  int request = -1;  // the host's ends of its pipes
  int reports = -1;
  int output = -1;
  std::size_t logSize = 0;  // how much of the log it stands for
  bool fromShadow = false;
  bool ready = false;
  bool killWanted = false;  // killed as soon as its process id is known
  std::optional<int> status;
  wire::FrameReader reader{kMaxReport, kMaxReport + 16384};
  std::size_t reportBytes = 0;
  trial::Stage stage;  // the last it reported
  // What its crash handler wrote as it got a fatal signal: made readable only if the
  // signal ends the trial.
  std::optional<trial::CrashRecord> crash;

  void CloseAll() {
    Close(request);
    Close(reports);
    Close(output);
  }
  void Kill() {
    if (pid <= 0) {
      killWanted = true;
      return;
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
  }
};

// Whether a spare ended in package code as it replayed what the workbench had done.
inline bool DiedReplaying(const Child& child) {
  return !child.ready && child.stage.kind != trial::StageKind::Starting;
}

struct Trial {
  std::uint64_t id = 0;
  trial::TryRequest request;
  Clock::time_point started;
  Clock::time_point deadline;
  std::optional<Child> child;  // once it has the request
  Outcome outcome;
  std::optional<Outcome::End> ended;  // decided before the child ended
  std::uint32_t action = 0;           // the action the child is in
  bool begun = false;                 // the child began the first action
  int attempts = 1;                   // children it has been given
  bool done = false;
  bool outOfMemory = false;
  trial::Stage outOfMemoryIn;  // where it ran out
  std::uint32_t outOfMemoryAction = 0;
};

struct Shadow {
  pid_t pid = -1;
  int fd = -1;
  wire::FrameReader reader{64u << 20, 64u << 20};
  bool ready = false;          // replayed and not taking anything now
  std::size_t has = 0;         // how much of the log it has taken, or is taking
  std::uint32_t threads = 1;   // forked with more, a child would lack them
  bool spawning = false;       // a spare asked for and not yet said
  bool unrebuildable = false;  // it died replaying the log: not again until it changes
  bool replaying = false;
  Clock::time_point busySince;  // a shadow that does not answer in time is let go
};

class Host {
 public:
  explicit Host(int client) : client_(client) {}
  [[noreturn]] void Run();

 private:
  // The loop and the client (host.cpp).
  void Send(const std::string& frame);
  void OnClient();
  void OnClientFrame(const wire::Frame& frame);
  void Forget(std::vector<trial::Action> log);
  void OnTime();
  void Advance();
  [[noreturn]] void Exit();

  // The shadow, the spare, and the ends of children (host_children.cpp).
  void StartShadow();
  void StopShadow();
  void ShadowLost();
  void OnShadow();
  void OnShadowFrame(const wire::Frame& frame);
  void MakeSpare();
  void DropSpare();
  void HandOver();
  void OnChildrenEnded();
  void OnChildEnded(pid_t pid, int status);
  void SpareEnded(int status);
  // The child is that process, as it or the shadow says.
  void Identified(Child& child, pid_t pid);

  // The trial in hand (host_trial.cpp).
  void OnReports(Child& child, bool inTrial);
  void OnTrialReport(const wire::Frame& frame);
  void OnOutput(Child& child, bool inTrial);
  void Fail(Outcome::End end, const std::string& detail = {});
  void FinishIfEnded();
  void Finish();

  int client_;
  int signals_ = -1;
  wire::FrameReader clientIn_{64u << 20, 64u << 20};
  std::vector<trial::Action> log_;
  std::chrono::milliseconds lastLimit_{10000};
  Shadow shadow_;
  std::optional<Child> spare_;
  std::optional<Trial> trial_;
  // The last spare that died before it was asked anything, and what it reported.
  std::optional<Child> deadSpare_;
  // Children that ended before the shadow said they were its spare's.
  std::map<pid_t, int> unclaimed_;
};

}  // namespace trialhost
