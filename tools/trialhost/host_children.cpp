// The host's children other than the trial in hand: the shadow, which holds the
// client's package state, the spare forked ahead of the next request, and whatever
// ends among them.

#include <fcntl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "child.h"
#include "host.h"
#include "shadow.h"

namespace trialhost {

namespace {

constexpr int kPipeSize = 1 << 20;

std::uint64_t NewNonce() {
  static std::mt19937_64 generator{std::random_device{}()};
  return generator() | 1;  // never 0, which frames of no child carry
}

}  // namespace

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

}  // namespace trialhost
