#include "trial/protocol.h"
#include "trial/signals.h"

namespace trial {

std::string Describe(const Stage& stage) {
  switch (stage.kind) {
    case StageKind::Starting:
      return "its start, before any package's code";
    case StageKind::StaticConstructors:
      return "the static constructors of package " + stage.package;
    case StageKind::UnitInitialization:
      return "the initialisation of unit " + stage.name + " of package " + stage.package;
    case StageKind::UnitFinalization:
      return "the finalisation of unit " + stage.name + " of package " + stage.package;
    case StageKind::StaticDestructors:
      return "the static destructors of package " + stage.package;
    case StageKind::Procedure:
      return "procedure " + stage.name;
    case StageKind::Events:
      return "the event loop after " + stage.name;
    case StageKind::Component:
      // Only the trial child knows which part of the class ran, and says it whole.
      return stage.name;
  }
  return "an unknown stage";
}

std::string SecondsText(std::chrono::milliseconds ms) {
  // A limit read from a damaged message may be anything, a negative one included.
  const bool negative = ms.count() < 0;
  const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(ms.count())
                                           : static_cast<std::uint64_t>(ms.count());
  std::string text = (negative ? "-" : "") + std::to_string(magnitude / 1000);
  if (const std::uint64_t fraction = magnitude % 1000; fraction != 0) {
    std::string digits = std::to_string(1000 + fraction).substr(1);
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

namespace {

// "1 thread running", "an alarm pending" -> "1 thread running and an alarm pending".
std::string JoinLeftovers(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " and " : ", ";
    text += items[i];
  }
  return text;
}

}  // namespace

std::string Outcome::How() const {
  switch (end) {
    case End::Passed:
      return "passed";
    case End::Signal:
      return "died of signal " + SignalText(signal);
    case End::Exit:
      return "exited with status " + std::to_string(exitStatus);
    case End::TimeLimit:
      return "overran its time limit of " + SecondsText(limit) + " s";
    case End::MemoryLimit:
      return "ran out of its memory limit of " + std::to_string(memoryLimitMiB) + " MiB";
    case End::Leftovers:
      return "left " + JoinLeftovers(leftovers);
    case End::Changed:
      return "found " + detail;
    case End::Stopped:
      return "was stopped";
    case End::Violation:
      return "broke its channel to the trial host (" + detail + ")";
    case End::HostError:
      return "could not be made: " + detail;
  }
  return "ended in an unknown way";
}

std::string Outcome::Failure(const std::string& file) const {
  std::string text = file + ": the trial run " + How();
  if (end == End::HostError) return text;
  text += (end == End::Leftovers ? " after " : " in ") + Describe(stage);
  if (stage.replay) text += ", while the trial host rebuilt the workbench's package state";
  return text;
}

std::string Outcome::FaultPlace() const {
  std::string text;
  if (end == End::Signal) {
    for (const std::string& line : crash.Lines()) text += "\n" + line;
  }
  return text;
}

bool Allows(const Outcome& outcome, std::size_t action) {
  return action < (outcome.Passed() ? outcome.actionsDone : outcome.failedAction);
}

namespace {

bool Unloads(const Action& action) {
  return action.type == Action::Type::Unload || action.type == Action::Type::Close;
}

}  // namespace

std::vector<Action> Taken(const std::vector<Action>& tried, const Outcome& outcome) {
  std::vector<Action> taken;
  for (std::size_t i = 0; i < tried.size() && Allows(outcome, i); ++i) {
    // A preview's instance is gone when the action ends: there is no state to keep,
    // and doing it again in the shadow would only run its code once more.
    if (tried[i].type != Action::Type::Preview) taken.push_back(tried[i]);
  }
  if (!outcome.Passed() && outcome.failedAction < tried.size() &&
      Unloads(tried[outcome.failedAction])) {
    taken.push_back(Action{Action::Type::Condemn, {}, {}, {}, {}, {}});
  }
  return taken;
}

std::uint32_t FailedActionAfterAll(const std::vector<Action>& tried) {
  for (std::size_t i = tried.size(); i-- > 0;) {
    // A preview changes no state, but its code may have queued what fails later.
    if (tried[i].type == Action::Type::Load || tried[i].type == Action::Type::Run ||
        tried[i].type == Action::Type::Preview) {
      return static_cast<std::uint32_t>(i);
    }
  }
  return static_cast<std::uint32_t>(tried.size());
}

}  // namespace trial
