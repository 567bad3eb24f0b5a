// The trial in hand: what its child reports and prints, and how the trial ends.

#include <sys/wait.h>

#include <algorithm>
#include <set>

#include "host.h"
#include "leftovers.h"

namespace trialhost {

namespace {

// All of a trial's reports together; see kMaxReport.
constexpr std::size_t kMaxReports = 8u << 20;

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace trialhost
