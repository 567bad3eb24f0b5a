#include "child.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <new>
#include <string>
#include <utility>

#include "leftovers.h"
#include "process.h"
#include "trial/crash.h"
#include "trial/protocol.h"
#include "trial/wire.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace trialhost {

namespace {

constexpr int kRequestFd = kChannel;
constexpr int kReportFd = kChannel + 1;

// Every report carries the nonce the host gave this child: bytes that package code
// writes into the pipe cannot pass for a report of this trial unless they guess it.
class PipeReporter final : public Reporter {
 public:
  explicit PipeReporter(std::uint64_t nonce) : nonce_(nonce) {
    struct stat pipe {};
    if (fstat(kReportFd, &pipe) == 0) pipe_ = {pipe.st_dev, pipe.st_ino};
  }
  // Package code may have closed the channel: then nothing more is written, and the
  // child ends saying so.
  void Send(const std::string& frame) {
    if (lost_ || !wire::WriteAll(kReportFd, frame)) lost_ = true;
  }
  // Or it may have opened something else in its place, which the reports since went
  // to: asked once, at the end, rather than before every report.
  bool Lost() {
    struct stat now {};
    if (fstat(kReportFd, &now) != 0 || std::make_pair(now.st_dev, now.st_ino) != pipe_) {
      lost_ = true;
    }
    return lost_;
  }
  void Entered(const trial::Stage& stage) override {
    Send(trial::Encode(trial::Kind::Entered, nonce_, stage));
    if (stage.kind == trial::StageKind::StaticDestructors && beforeUnmap_) beforeUnmap_();
  }
  // Called as a package is about to be unmapped, its finalisations done.
  void BeforeUnmap(std::function<void()> check) { beforeUnmap_ = std::move(check); }
  void Registered(const trial::Registration& registration) override {
    Send(trial::Encode(trial::Kind::Registered, nonce_, registration));
  }
  void Raised(const trial::ActionRaised& raised) override {
    Send(trial::Encode(trial::Kind::Raised, nonce_, raised));
  }
  void Changed(const std::string& detail) override {
    Send(trial::EncodeText(trial::Kind::Changed, nonce_, detail));
  }
  void Begin(std::uint32_t action) {
    Send(trial::EncodeNumber(trial::Kind::Begin, nonce_, action));
  }
  void Left(const std::vector<std::string>& items, const trial::Stage& stage) {
    Send(trial::Encode(trial::Kind::Left, nonce_, trial::Leftovers{items, stage}));
  }
  std::uint64_t Nonce() const noexcept { return nonce_; }

 private:
  std::uint64_t nonce_;
  std::pair<dev_t, ino_t> pipe_{};
  bool lost_ = false;
  std::function<void()> beforeUnmap_;
};

PipeReporter* reporter = nullptr;
std::uint64_t dataLimit = 0;  // RLIMIT_DATA as set, in bytes; 0 while there is none

[[noreturn]] void End() {
  std::fflush(nullptr);
  _exit(reporter != nullptr && reporter->Lost() ? trial::kChannelLost : 0);
}

trial::TryRequest ReadRequest() {
  wire::FrameReader reader(64u << 20, 64u << 20);
  for (;;) {
    if (auto frame = reader.Next()) return trial::Decode<trial::TryRequest>(*frame);
    char chunk[16384];
    const ssize_t got = read(kRequestFd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    // The host has gone, or has let this spare go.
    if (got <= 0) _exit(0);
    reader.Feed(std::string_view(chunk, static_cast<std::size_t>(got)));
  }
}

std::uint64_t DataSize() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmData:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
  }
  return 0;
}

void ReportOutOfMemory() {
  if (reporter != nullptr) {
    reporter->Send(trial::EncodeEmpty(trial::Kind::OutOfMemory, reporter->Nonce()));
  }
}

// An allocation beyond the limit is told before it fails as it would anywhere: the
// package may catch it and go on.
void OutOfMemory() {
  ReportOutOfMemory();
  std::set_new_handler(nullptr);
  throw std::bad_alloc();
}

#if defined(__SANITIZE_ADDRESS__)
// Under the address sanitizer an allocation that fails ends the process at once,
// without the new handler: told as running out when the limit is near.
void SanitizerDeath() {
  if (dataLimit != 0 && DataSize() + (32u << 20) > dataLimit) ReportOutOfMemory();
}
#endif

// What the package may allocate beyond what the process held when it was ready.
void LimitMemory(std::uint64_t held, std::uint64_t mib) {
  const std::uint64_t limit = held + (mib << 20);
  const rlimit value{limit, limit};
  if (setrlimit(RLIMIT_DATA, &value) == 0) dataLimit = limit;
  std::set_new_handler(&OutOfMemory);
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_set_death_callback(&SanitizerDeath);
#endif
}

bool Unloads(const trial::Action& action) {
  return action.type == trial::Action::Type::Unload || action.type == trial::Action::Type::Close;
}

// After an unload: anything left that was not there before the trial ends it.
void Refuse(const Session& session, const std::vector<std::string>& left) {
  if (left.empty()) return;
  reporter->Left(left, session.LastUnloadStage());
  End();
}

void CheckLeftovers(const Session& session, const Snapshot& before) {
  Refuse(session, before.LeftSince());
}

}  // namespace

void RunTrialChild(Session& session, std::uint64_t nonce, const ChildEnds& ends,
                   const std::vector<trial::Action>* replay, pid_t parent) {
  PrepareChild(parent);
  // Its own process group, a reaper of what it starts: whatever it leaves running
  // is found, and ends with it.
  setpgid(0, 0);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  prctl(PR_SET_DUMPABLE, 1);
  if (isolated) DropCapabilities();
  ArrangeDescriptors(-1, ends.output, ends.output, {ends.request, ends.reports});
  PipeReporter pipe(nonce);
  reporter = &pipe;
  // Where the package's code faults is told before the child dies of it.
  trial::InstallCrashHandler(kReportFd, trial::Kind::Crashed, nonce);
  session.SetReporter(pipe);

  if (replay != nullptr) {
    session.SetReplay(true);
    for (const trial::Action& action : *replay) {
      session.Take(action);
      session.RunEvents();
    }
    session.SetReplay(false);
  }
  // A fork's first write to each page of memory copies it, which takes long for a
  // process with Qt mapped: the pages every trial writes are written now, while the
  // child waits for its request, not once it has it.
  const std::uint64_t held = DataSize();
  session.WarmUp();
  // What is there before the actions: nothing runs between now and the request.
  const Snapshot before = Snapshot::Take();
  WatchQtObjects();
  // A thread still running once the finalisations are done runs code about to be
  // unmapped: told now, before it dies of it.
  pipe.BeforeUnmap([&] { Refuse(session, before.ThreadsLeft()); });
  pipe.Send(trial::EncodeNumber(trial::Kind::Ready, nonce, static_cast<std::uint64_t>(getpid())));

  const trial::TryRequest request = ReadRequest();
  LimitMemory(held, request.memoryLimitMiB);
  std::uint32_t done = 0;
  for (const trial::Action& action : request.actions) {
    pipe.Begin(done);
    const Session::Result result = session.Take(action);
    if (result == Session::Result::Changed) End();
    ++done;
    if (Unloads(action)) CheckLeftovers(session, before);
    session.RunEvents();
    if (result == Session::Result::Raised) break;
  }
  // What the workbench would do next, whatever it was: live on, then close.
  pipe.Begin(static_cast<std::uint32_t>(request.actions.size()));
  if (request.settle.count() > 0) session.RunEvents(request.settle);
  session.Take(trial::Action{trial::Action::Type::Close, {}, {}, {}, {}, {}});
  CheckLeftovers(session, before);
  session.RunEvents();
  std::fflush(nullptr);
  if (pipe.Lost()) End();
  pipe.Send(trial::Encode(trial::Kind::Done, nonce, trial::ChildDone{done}));
  if (pipe.Lost()) End();
  ExitAtOnce();
}

}  // namespace trialhost
