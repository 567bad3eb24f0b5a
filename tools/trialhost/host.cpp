// trialhost: runs package code on trial for the workbench and pkginfo, which start it
// with a socket as its standard input (platform/trial/include/trial/client.h).
//
// It keeps a shadow of its client's package state: a child process that has taken
// every action the client has taken. Each action the client asks about is tried in a
// trial child forked from the shadow (or, when the shadow cannot be forked
// faithfully, forked here and made to replay the log of actions first), and the
// host answers with how the trial went. A trial that passes is then taken by the
// shadow. The host itself never runs package code and is not dumpable, so its
// children can neither crash it nor read or write it; in its own namespaces (see
// spawn.cpp) they cannot even signal it. It ends when its client closes the socket.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "leftovers.h"
#include "process.h"
#include "session.h"
#include "shadow.h"
#include "trial/protocol.h"
#include "trial/wire.h"

#ifdef WB_TRIAL_HOST_TOOLKIT
#include "qt_answers.h"
#endif

namespace trialhost {

namespace {

using Clock = std::chrono::steady_clock;
using trial::Kind;
using trial::Outcome;

// One report of a child, and all of a trial's reports together: far above what a
// trial says (a few names a stage, the classes of a registration), far below what
// would strain the host.
constexpr std::size_t kMaxReport = 1u << 20;
constexpr std::size_t kMaxReports = 8u << 20;
// A trial's reports are read once it has ended, or once it has run this long: a read
// as each one comes costs the child a wake-up of the host at every stage. The pipes
// hold what a trial writes meanwhile.
constexpr std::chrono::milliseconds kReportsUnread{250};
constexpr int kPipeSize = 1 << 20;

std::uint64_t NewNonce() {
  static std::mt19937_64 generator{std::random_device{}()};
  return generator() | 1;  // never 0, which frames of no child carry
}

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Reads what is there now; false at the end (or an error) of the stream.
bool ReadAvailable(int fd, std::string& into, std::size_t limit) {
  char chunk[16384];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return true;
    if (got <= 0) return false;
    into.append(chunk, static_cast<std::size_t>(std::min<std::size_t>(got, limit)));
    if (static_cast<std::size_t>(got) < sizeof chunk) return true;
  }
}

void Close(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

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
bool DiedReplaying(const Child& child) {
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
  void Send(const std::string& frame);
  void OnClient();
  void OnClientFrame(const wire::Frame& frame);
  void OnShadow();
  void OnShadowFrame(const wire::Frame& frame);
  void OnChildrenEnded();
  void OnChildEnded(pid_t pid, int status);
  void SpareEnded(int status);
  // The child is that process, as it or the shadow says.
  void Identified(Child& child, pid_t pid);
  void OnReports(Child& child, bool inTrial);
  void OnTrialReport(const wire::Frame& frame);
  void OnOutput(Child& child, bool inTrial);
  void OnTime();
  void Advance();

  void StartShadow();
  void StopShadow();
  void ShadowLost();
  void MakeSpare();
  void DropSpare();
  void HandOver();
  void Forget(std::vector<trial::Action> log);

  void Fail(Outcome::End end, const std::string& detail = {});
  void FinishIfEnded();
  void Finish();
  [[noreturn]] void Exit();

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

void Host::Send(const std::string& frame) {
  if (!wire::WriteAll(client_, frame)) Exit();
}

void Host::Exit() {
  // The first process of its namespaces takes every other one there along as it
  // ends; elsewhere it ends them itself.
  if (!isolated) {
    if (shadow_.pid > 0) kill(-shadow_.pid, SIGKILL);
    if (spare_) spare_->Kill();
    if (trial_ && trial_->child) trial_->child->Kill();
    KillChildren({});
  }
  _exit(0);
}

// --- the client ----------------------------------------------------------------

void Host::OnClient() {
  std::string bytes;
  const bool open = ReadAvailable(client_, bytes, bytes.max_size());
  try {
    clientIn_.Feed(bytes);
    while (std::optional<wire::Frame> frame = clientIn_.Next()) OnClientFrame(*frame);
  } catch (const wire::DecodeError& e) {
    std::fprintf(stderr, "trialhost: %s\n", e.what());
    Exit();
  }
  if (!open) Exit();
}

void Host::OnClientFrame(const wire::Frame& frame) {
  switch (static_cast<Kind>(frame.kind)) {
    case Kind::Try: {
      if (trial_) {
        Outcome busy;
        busy.end = Outcome::End::HostError;
        busy.detail = "a trial is already running";
        Send(trial::Encode(Kind::Answer, frame.id, busy));
        return;
      }
      Trial& trial = trial_.emplace();
      trial.id = frame.id;
      trial.request = trial::Decode<trial::TryRequest>(frame);
      trial.started = Clock::now();
      trial.deadline = trial.started + trial.request.timeLimit;
      lastLimit_ = trial.request.timeLimit;
      // A spare that died of package code replaying is this trial's answer: it would
      // die again.
      if (deadSpare_ && deadSpare_->logSize == log_.size() && DiedReplaying(*deadSpare_)) {
        trial.child = std::move(*deadSpare_);
        deadSpare_.reset();
        FinishIfEnded();
        return;
      }
      deadSpare_.reset();
      break;
    }
    case Kind::Stop:
      if (trial_ && trial_->id == frame.id && !trial_->ended) Fail(Outcome::End::Stopped);
      break;
    case Kind::Reset:
      Forget({});
      Send(trial::EncodeEmpty(Kind::ResetDone, frame.id));
      break;
    case Kind::Restore:
      Forget(trial::Decode<trial::CommitRequest>(frame).actions);
      break;
    default:
      break;
  }
  Advance();
}

// The client starts anew, or a new host takes over: the state is this log.
void Host::Forget(std::vector<trial::Action> log) {
  log_ = std::move(log);
  StopShadow();
  DropSpare();
  deadSpare_.reset();
  shadow_.unrebuildable = false;
}

// --- the shadow ----------------------------------------------------------------

void Host::StartShadow() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
  const pid_t self = getpid();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) RunShadow(ends[1], log_, self);
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    shadow_.unrebuildable = true;
    return;
  }
  shadow_.pid = pid;
  shadow_.fd = ends[0];
  shadow_.reader = wire::FrameReader(64u << 20, 64u << 20);
  shadow_.ready = false;
  shadow_.replaying = true;
  shadow_.has = log_.size();
  shadow_.threads = 1;
  shadow_.spawning = false;
  shadow_.busySince = Clock::now();
}

void Host::StopShadow() {
  if (shadow_.pid > 0) kill(shadow_.pid, SIGKILL);
  Close(shadow_.fd);
  shadow_.pid = -1;
  shadow_.ready = false;
  shadow_.spawning = false;
  if (spare_ && spare_->fromShadow) DropSpare();
}

// It died or hung on its own: rebuilt from the log, unless it did so rebuilding.
void Host::ShadowLost() {
  const bool replaying = shadow_.replaying;
  StopShadow();
  shadow_.unrebuildable = replaying;
}

void Host::OnShadow() {
  std::string bytes;
  const bool open = ReadAvailable(shadow_.fd, bytes, bytes.max_size());
  try {
    shadow_.reader.Feed(bytes);
    while (std::optional<wire::Frame> frame = shadow_.reader.Next()) OnShadowFrame(*frame);
  } catch (const wire::DecodeError&) {
    StopShadow();
  }
  if (!open && shadow_.fd >= 0) {
    ShadowLost();
  }
  Advance();
}

void Host::OnShadowFrame(const wire::Frame& frame) {
  switch (static_cast<Kind>(frame.kind)) {
    case Kind::Committed: {
      const trial::ShadowState state = trial::Decode<trial::ShadowState>(frame);
      shadow_.threads = state.threads;
      shadow_.ready = true;
      shadow_.replaying = false;
      break;
    }
    case Kind::Spawned: {
      shadow_.spawning = false;
      const auto pid = static_cast<pid_t>(trial::DecodeNumber(frame));
      Child* child = spare_ && spare_->nonce == frame.id                           ? &*spare_
                     : trial_ && trial_->child && trial_->child->nonce == frame.id ? &*trial_->child
                                                                                   : nullptr;
      if (child == nullptr) break;
      if (pid <= 0) child->status = 0;  // it never was
      Identified(*child, pid);
      if (spare_ && child == &*spare_ && child->status) SpareEnded(*child->status);
      FinishIfEnded();
      break;
    }
    default:
      break;
  }
}

// --- spares ----------------------------------------------------------------------

void Host::MakeSpare() {
  int request[2], reports[2], output[2];
  if (pipe2(request, O_CLOEXEC) != 0) return;
  if (pipe2(reports, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
    close(request[0]);
    close(request[1]);
    return;
  }
  for (const int fd : {reports[0], output[0]}) fcntl(fd, F_SETPIPE_SZ, kPipeSize);
  Child& spare = spare_.emplace();
  spare.nonce = NewNonce();
  spare.request = request[1];
  spare.reports = reports[0];
  spare.output = output[0];
  spare.logSize = log_.size();
  const ChildEnds ends{request[0], reports[1], output[1]};
  SetNonBlocking(spare.reports);
  SetNonBlocking(spare.output);
  const bool fromShadow = shadow_.pid > 0 && shadow_.ready && shadow_.threads <= 1;
  if (fromShadow) {
    spare.fromShadow = true;
    shadow_.spawning = true;
    if (!SendWithDescriptors(shadow_.fd, trial::EncodeEmpty(Kind::Spawn, spare.nonce),
                             {ends.request, ends.reports, ends.output})) {
      StopShadow();
    }
  } else {
    const pid_t self = getpid();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      // The host's own state, which has run no package code: the log is replayed.
      SilentReporter placeholder;  // the child puts its own in place
      Session session(placeholder);
      RunTrialChild(session, spare.nonce, ends, &log_, self);
    }
    spare.pid = pid > 0 ? pid : 0;
    if (pid < 0) spare.status = 0;
  }
  for (const int fd : {ends.request, ends.reports, ends.output}) close(fd);
}

void Host::DropSpare() {
  if (!spare_) return;
  spare_->Kill();
  spare_->CloseAll();
  spare_.reset();
}

void Host::HandOver() {
  Trial& trial = *trial_;
  Child& child = *spare_;
  if (!wire::WriteAll(child.request, trial::Encode(Kind::Try, child.nonce, trial.request))) {
    // It has gone since it said it was ready; its end is on its way.
  }
  Close(child.request);
  trial.child = std::move(child);
  spare_.reset();
}

void Host::Advance() {
  if (shadow_.pid < 0 && !shadow_.unrebuildable) StartShadow();
  if (shadow_.pid > 0 && shadow_.ready && shadow_.has < log_.size()) {
    const std::vector<trial::Action> rest(log_.begin() + static_cast<long>(shadow_.has),
                                          log_.end());
    if (wire::WriteAll(shadow_.fd, trial::Encode(Kind::Commit, 0, trial::CommitRequest{rest}))) {
      shadow_.ready = false;
      shadow_.has = log_.size();
      shadow_.busySince = Clock::now();
    } else {
      StopShadow();
      Advance();
      return;
    }
  }
  if (spare_ && spare_->logSize != log_.size()) DropSpare();
  // A spare is made once the state it forks from is the client's; a trial in hand
  // may still change that state.
  const bool shadowBusy = shadow_.pid > 0 && (!shadow_.ready || shadow_.spawning);
  const bool trialRunning = trial_ && trial_->child;
  if (!spare_ && !trialRunning && !deadSpare_ && !shadowBusy) MakeSpare();
  if (trial_ && !trial_->child && spare_ && spare_->ready) HandOver();
}

// --- children ------------------------------------------------------------------

void Host::OnChildrenEnded() {
  signalfd_siginfo info;
  while (read(signals_, &info, sizeof info) > 0) {
  }
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) OnChildEnded(pid, status);
}

void Host::OnChildEnded(pid_t pid, int status) {
  if (pid == shadow_.pid) {
    ShadowLost();
  } else if (trial_ && trial_->child && trial_->child->pid == pid) {
    trial_->child->status = status;
  } else if (spare_ && spare_->pid == pid) {
    SpareEnded(status);
  } else {
    // A child of the shadow's that has not been said yet, or what a trial left.
    if (unclaimed_.size() == 16) unclaimed_.erase(unclaimed_.begin());
    unclaimed_[pid] = status;
  }
  FinishIfEnded();
}

void Host::Identified(Child& child, pid_t pid) {
  if (child.pid > 0 || pid <= 0) return;
  child.pid = pid;
  if (child.killWanted) child.Kill();
  // It may have ended before it was known.
  if (const auto ended = unclaimed_.find(pid); ended != unclaimed_.end()) {
    child.status = ended->second;
    unclaimed_.erase(ended);
  }
}

void Host::SpareEnded(int status) {
  spare_->status = status;
  // What it said before it died: a replay that dies dies for the trial that waits.
  OnReports(*spare_, false);
  Child dead = std::move(*spare_);
  spare_.reset();
  dead.CloseAll();
  if (trial_ && !trial_->child) {
    trial_->child = std::move(dead);
  } else {
    deadSpare_ = std::move(dead);
  }
}

void Host::OnReports(Child& child, bool inTrial) {
  std::string bytes;
  if (child.reports >= 0 && !ReadAvailable(child.reports, bytes, kMaxReports)) {
    Close(child.reports);
  }
  child.reportBytes += bytes.size();
  try {
    if (child.reportBytes > kMaxReports) {
      throw wire::DecodeError("more than " + std::to_string(kMaxReports >> 20) + " MiB of reports");
    }
    child.reader.Feed(bytes);
    while (std::optional<wire::Frame> frame = child.reader.Next()) {
      if (frame->id != child.nonce) throw wire::DecodeError("a report of another trial");
      if (frame->kind == static_cast<std::uint8_t>(Kind::Crashed)) {
        // Its last word, in a trial or replaying for one: the first record holds.
        if (!child.crash) child.crash = trial::Decode<trial::CrashRecord>(*frame);
      } else if (inTrial) {
        OnTrialReport(*frame);
      } else if (frame->kind == static_cast<std::uint8_t>(Kind::Ready)) {
        // Its own word for who it is, in case the shadow's has not come yet.
        Identified(child, static_cast<pid_t>(trial::DecodeNumber(*frame)));
        child.ready = true;
      } else if (frame->kind == static_cast<std::uint8_t>(Kind::Entered)) {
        child.stage = trial::Decode<trial::Stage>(*frame);
      } else {
        throw wire::DecodeError("a report before it was asked anything");
      }
    }
  } catch (const wire::DecodeError& e) {
    // What a spare says before it is asked anything is only its readiness.
    if (inTrial) {
      Fail(Outcome::End::Violation, e.what());
    } else {
      child.Kill();
      Close(child.reports);
    }
  }
}

void Host::OnTrialReport(const wire::Frame& frame) {
  Trial& trial = *trial_;
  Outcome& outcome = trial.outcome;
  if (trial.done) throw wire::DecodeError("a report after its last one");
  switch (static_cast<Kind>(frame.kind)) {
    case Kind::Begin:
      trial.action = static_cast<std::uint32_t>(trial::DecodeNumber(frame));
      trial.begun = true;
      break;
    case Kind::Entered: {
      outcome.stage = trial::Decode<trial::Stage>(frame);
      if (outcome.stage.kind == trial::StageKind::Procedure) {
        outcome.procedures.push_back(trial::ProcedureRun{outcome.stage.name, {}, {}, false});
      }
      Send(trial::Encode(Kind::Progress, trial.id, outcome.stage));
      break;
    }
    case Kind::Registered:
      // Registrations made while loading belong to no procedure: not recorded.
      if (!outcome.procedures.empty()) {
        outcome.procedures.back().registrations.push_back(
            trial::Decode<trial::Registration>(frame));
      }
      break;
    case Kind::Raised: {
      const trial::ActionRaised raised = trial::Decode<trial::ActionRaised>(frame);
      outcome.raised = raised.message;
      const bool inRun = trial.action < trial.request.actions.size() &&
                         trial.request.actions[trial.action].type == trial::Action::Type::Run;
      if (inRun && !outcome.procedures.empty()) {
        if (raised.missing) {
          outcome.procedures.back().missing = true;
        } else {
          outcome.procedures.back().error = raised.message;
        }
      }
      break;
    }
    case Kind::Left: {
      const trial::Leftovers left = trial::Decode<trial::Leftovers>(frame);
      outcome.leftovers = left.items;
      outcome.stage = left.stage;
      trial.ended = Outcome::End::Leftovers;
      break;
    }
    case Kind::OutOfMemory:
      trial::DecodeEmpty(frame);
      if (!trial.outOfMemory) {
        trial.outOfMemoryIn = outcome.stage;
        trial.outOfMemoryAction = trial.action;
      }
      trial.outOfMemory = true;
      break;
    case Kind::Changed:
      outcome.detail = trial::DecodeText(frame);
      trial.ended = Outcome::End::Changed;
      break;
    case Kind::Done:
      outcome.actionsDone = trial::Decode<trial::ChildDone>(frame).actionsDone;
      trial.done = true;
      break;
    default:
      throw wire::DecodeError("a report of unknown kind " + std::to_string(frame.kind));
  }
}

void Host::OnOutput(Child& child, bool inTrial) {
  std::string bytes;
  if (child.output >= 0 && !ReadAvailable(child.output, bytes, trial::kMaxOutput)) {
    Close(child.output);
  }
  // A spare's output is what the replay printed: printed before, in the workbench.
  if (!inTrial || bytes.empty()) return;
  Outcome& outcome = trial_->outcome;
  const std::size_t room = trial::kMaxOutput - std::min(trial::kMaxOutput, outcome.output.size());
  if (bytes.size() > room) outcome.outputCut = true;
  outcome.output.append(bytes, 0, std::min(room, bytes.size()));
}

// --- the end of a trial ------------------------------------------------------------

void Host::Fail(Outcome::End end, const std::string& detail) {
  Trial& trial = *trial_;
  if (trial.ended) return;
  trial.ended = end;
  if (!detail.empty()) trial.outcome.detail = detail;
  if (trial.child) {
    trial.child->Kill();
  } else if (spare_) {
    // Still replaying for this trial: it takes the blame, and its stage.
    spare_->Kill();
  } else {
    // Nothing is running for it yet: it ends here.
    trial.child.emplace().status = 0;
    trial.child->ready = true;
  }
}

void Host::FinishIfEnded() {
  if (trial_ && trial_->child && trial_->child->status) Finish();
}

// How the trial ended, from what its child reported and how the child ended.
void Judge(Trial& trial) {
  const Child& child = *trial.child;
  Outcome& outcome = trial.outcome;
  const int status = *child.status;
  if (!child.ready) {
    // It died before it was ready: rebuilding the client's state killed it.
    outcome.stage = child.stage;
    outcome.stage.replay = true;
  }
  if (trial.ended) {
    outcome.end = *trial.ended;
  } else if (trial.outOfMemory) {
    // Whatever the package made of it: the workbench has no limit to stop it there.
    outcome.end = Outcome::End::MemoryLimit;
    outcome.stage = trial.outOfMemoryIn;
    trial.action = trial.outOfMemoryAction;
  } else if (trial.done && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    outcome.end = Outcome::End::Passed;
  } else if (WIFSIGNALED(status)) {
    outcome.end = Outcome::End::Signal;
    outcome.signal = WTERMSIG(status);
    if (child.crash && child.crash->signal == outcome.signal) {
      outcome.crash = trial::Symbolize(*child.crash);
    }
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == trial::kChannelLost) {
    outcome.end = Outcome::End::Violation;
    outcome.detail = "package code closed it, or put something else in its place";
  } else {
    outcome.end = Outcome::End::Exit;
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
  }
}

void Host::Finish() {
  {
    // What it wrote before it ended; something it started may hold the pipes open,
    // so only what is there now.
    Child& child = *trial_->child;
    OnReports(child, child.ready);
    OnOutput(child, true);
  }
  // A child that ended before it began anything, of nothing the package did (killed
  // from outside, say), tells nothing of the trial: another one takes it.
  if (!trial_->ended && !trial_->begun && !DiedReplaying(*trial_->child) && trial_->attempts < 3) {
    trial_->child->CloseAll();
    trial_->child.reset();
    ++trial_->attempts;
    Advance();
    return;
  }
  Trial trial = std::move(*trial_);
  trial_.reset();
  Child& child = *trial.child;
  Outcome& outcome = trial.outcome;
  Judge(trial);
  outcome.limit = trial.request.timeLimit;
  outcome.memoryLimitMiB = trial.request.memoryLimitMiB;
  if (!outcome.Passed()) {
    outcome.failedAction = trial.action < trial.request.actions.size()
                               ? trial.action
                               : trial::FailedActionAfterAll(trial.request.actions);
  }
  Send(trial::Encode(Kind::Answer, trial.id, outcome));

  if (!outcome.Passed()) {
    child.Kill();
    // What its processes left running fell to the host: none of it is the shadow's.
    std::set<pid_t> keep;
    if (shadow_.pid > 0) keep.insert(shadow_.pid);
    if (spare_ && spare_->pid > 0) keep.insert(spare_->pid);
    KillChildren(keep);
  }
  child.CloseAll();
  if (trial.request.commit) {
    for (trial::Action& action : trial::Taken(trial.request.actions, outcome)) {
      log_.push_back(std::move(action));
    }
  }
  Advance();
}

void Host::OnTime() {
  const Clock::time_point now = Clock::now();
  if (trial_ && !trial_->ended && now >= trial_->deadline) Fail(Outcome::End::TimeLimit);
  // A shadow stuck in what it takes is let go, and rebuilt.
  if (shadow_.pid > 0 && !shadow_.ready && now - shadow_.busySince >= lastLimit_) {
    ShadowLost();
    Advance();
  }
}

[[noreturn]] void Host::Run() {
  sigset_t children;
  sigemptyset(&children);
  sigaddset(&children, SIGCHLD);
  sigprocmask(SIG_BLOCK, &children, nullptr);
  signals_ = signalfd(-1, &children, SFD_NONBLOCK | SFD_CLOEXEC);
  SetNonBlocking(client_);
  Send(trial::Encode(Kind::Hello, 0, trial::HostHello{static_cast<std::uint64_t>(getpid())}));
  Advance();
  for (;;) {
    std::vector<pollfd> fds{{client_, POLLIN, 0}, {signals_, POLLIN, 0}, {shadow_.fd, POLLIN, 0}};
    const bool readTrial = trial_ && Clock::now() - trial_->started >= kReportsUnread;
    Child* inTrial = trial_ && trial_->child && readTrial ? &*trial_->child : nullptr;
    Child* spare = spare_ ? &*spare_ : nullptr;
    for (Child* child : {inTrial, spare}) {
      fds.push_back({child != nullptr ? child->reports : -1, POLLIN, 0});
      fds.push_back({child != nullptr ? child->output : -1, POLLIN, 0});
    }
    Clock::time_point wake = Clock::now() + std::chrono::seconds(60);
    if (trial_ && !trial_->ended) wake = std::min(wake, trial_->deadline);
    if (trial_ && !readTrial) wake = std::min(wake, trial_->started + kReportsUnread);
    if (shadow_.pid > 0 && !shadow_.ready) wake = std::min(wake, shadow_.busySince + lastLimit_);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
    if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait.count()))) < 0 &&
        errno != EINTR) {
      Exit();
    }
    const auto ready = [&](std::size_t i) { return (fds[i].revents & (POLLIN | POLLHUP)) != 0; };
    if (ready(1)) OnChildrenEnded();
    if (ready(2) && shadow_.fd >= 0) OnShadow();
    if (ready(3) && trial_ && trial_->child) OnReports(*trial_->child, true);
    if (ready(4) && trial_ && trial_->child) OnOutput(*trial_->child, true);
    if (ready(5) && spare_) OnReports(*spare_, false);
    if (ready(6) && spare_) OnOutput(*spare_, false);
    if (ready(0)) OnClient();
    OnTime();
    FinishIfEnded();
    Advance();
  }
}

}  // namespace

}  // namespace trialhost

// LeakSanitizer asks this before it checks at exit: a trial child that package code
// ends with exit() leaves the host's memory as it is, which is no leak.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
  return getpid() != trialhost::hostPid ? 1 : 0;
}

// In a sanitizer build, an error a sanitizer finds in package code ends the child
// with an abort, told as the crash it is, rather than with an exit status that could
// pass for the package's own. The environment's options still take precedence.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "abort_on_error=1";
}
extern "C" __attribute__((visibility("default"))) const char* __ubsan_default_options() {
  return "abort_on_error=1";
}

int main() {
  struct stat input {};
  if (fstat(0, &input) != 0 || !S_ISSOCK(input.st_mode)) {
    std::fputs(
        "trialhost: runs package code on trial for the workbench and pkginfo, which start it;\n"
        "it is not meant to be started by hand.\n",
        stderr);
    return 2;
  }
  trialhost::hostPid = getpid();
  // Its children run package code: they must not read or write the host.
  prctl(PR_SET_DUMPABLE, 0);
  // The first process of namespaces of its own reaps whatever its children leave;
  // elsewhere it asks to.
  trialhost::isolated = getpid() == 1;
  if (!trialhost::isolated) prctl(PR_SET_CHILD_SUBREAPER, 1);
  // A child that has gone shows as a failed write, not as the end of the host.
  signal(SIGPIPE, SIG_IGN);
  // What the host itself might print is nobody's business but its client's stderr.
  if (const int null = open("/dev/null", O_WRONLY); null >= 0) {
    dup2(null, 1);
    close(null);
  }
#ifdef WB_TRIAL_HOST_TOOLKIT
  trialhost::PrepareQt();
#endif
  trialhost::KeepLibraryDescriptors();
  trialhost::Host(0).Run();
}
