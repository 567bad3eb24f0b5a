// The host's loop: it hears the client, the shadow, the children and their ends, and
// keeps the shadow and a spare ready for the next request.

#include "host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "leftovers.h"
#include "process.h"
#include "trial/read_until.h"

namespace trialhost {

namespace {

// A trial's reports are read once it has ended, or once it has run this long: a read
// as each one comes costs the child a wake-up of the host at every stage. The pipes
// hold what a trial writes meanwhile.
constexpr std::chrono::milliseconds kReportsUnread{250};

}  // namespace

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool ReadAvailable(int fd, std::string& into, std::size_t limit) {
  try {
    return trial::ReadUntil(fd, into, Clock::now(), limit) != trial::ReadEnd::Ended;
  } catch (const std::system_error&) {
    return false;
  }
}

void Close(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

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

}  // namespace trialhost
