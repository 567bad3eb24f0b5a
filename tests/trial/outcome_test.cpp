// What a trial's outcome means: what the workbench takes from it, and the texts the
// user reads of how it ended.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "trial/protocol.h"

using namespace std::string_literals;
using namespace std::chrono_literals;

namespace {

using namespace trial;
using Type = Action::Type;

// --- what the workbench takes ------------------------------------------------

std::vector<Action> Actions(std::string_view letters) {
  std::vector<Action> actions;
  for (const char letter : letters) {
    const std::string_view types = "LURCXP";
    actions.push_back(
        Action{static_cast<Type>(types.find(letter)), std::string(1, letter), {}, {}, {}, {}});
  }
  return actions;
}

std::string Letters(const std::vector<Action>& actions) {
  std::string letters;
  for (const Action& action : actions) letters += "LURCXP"[static_cast<int>(action.type)];
  return letters;
}

TEST(TrialOutcome, TheWorkbenchTakesWhatTheTrialAllowsAndCondemnsAPackageThatDiedUnloading) {
  constexpr int kAfterAll = -1;  // failed in the settle period or the final unload
  struct Row {
    const char* what;
    const char* tried;  // L load, U unload, R run, C close, P preview
    bool passed;
    std::uint32_t actionsDone;
    int failedAction;
    const char* taken;  // X: condemned
  } rows[] = {
      {"a pass", "ULR", true, 3, 0, "ULR"},
      {"a pass whose run raised", "LRRU", true, 2, 0, "LR"},
      {"a pass whose load raised", "ULR", true, 2, 0, "UL"},
      {"failed in the load after an unload", "UL", false, 1, 1, "U"},
      {"failed in the unload before a load", "UL", false, 0, 0, "X"},
      {"failed in the second unload", "UUL", false, 1, 1, "UX"},
      {"failed in closing", "C", false, 0, 0, "X"},
      {"failed in the first action", "LR", false, 0, 0, ""},
      {"failed after all, the last that ran code a run", "LRU", false, 3, kAfterAll, "L"},
      {"failed after all, the last that ran code a load", "ULU", false, 3, kAfterAll, "U"},
      {"failed after all with no code run", "UU", false, 2, kAfterAll, "UU"},
      {"failed after nothing", "", false, 0, kAfterAll, ""},
      {"a pass with previews, which are never taken", "LPRP", true, 4, 0, "LR"},
      {"failed in a preview", "LRP", false, 2, 2, "LR"},
      {"failed after all, the last that ran code a preview", "LPU", false, 3, kAfterAll, "L"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::vector<Action> tried = Actions(row.tried);
    Outcome outcome;
    outcome.end = row.passed ? Outcome::End::Passed : Outcome::End::Signal;
    outcome.actionsDone = row.actionsDone;
    outcome.failedAction = row.failedAction == kAfterAll
                               ? FailedActionAfterAll(tried)
                               : static_cast<std::uint32_t>(row.failedAction);
    const std::vector<Action> taken = Taken(tried, outcome);
    EXPECT_EQ(Letters(taken), row.taken);
    std::vector<Action> kept;
    for (const Action& action : tried) {
      if (action.type != Type::Preview) kept.push_back(action);
    }
    for (std::size_t i = 0; i < taken.size() && taken[i].type != Type::Condemn; ++i) {
      EXPECT_EQ(taken[i].file, kept[i].file) << "the actions tried, in their order";
    }
    EXPECT_FALSE(Allows(outcome, tried.size())) << "nothing beyond what was tried";
  }
}

// --- what the user reads -----------------------------------------------------

TEST(TrialOutcome, FailureSaysHowTheTrialEndedAndWhere) {
  using End = Outcome::End;
  const Stage procedure{StageKind::Procedure, "", "@Main@Register$qqrv"};
  const Stage init{StageKind::UnitInitialization, "demo", "Main"};
  const Stage fini{StageKind::UnitFinalization, "demo", "Main"};
  struct Row {
    Outcome outcome;
    const char* failure;  // of "demo.so", after "demo.so: the trial run "
  };
  auto make = [](End end, Stage stage, auto&& fill) {
    Outcome o;
    o.end = end;
    o.stage = std::move(stage);
    fill(o);
    return o;
  };
  auto none = [](Outcome&) {};
  const Row rows[] = {
      {make(End::Signal, procedure, [](Outcome& o) { o.signal = SIGSEGV; }),
       "died of signal SIGSEGV (Segmentation fault) in procedure @Main@Register$qqrv"},
      {make(End::Signal, {}, [](Outcome& o) { o.signal = 99; }),
       "died of signal 99 in its start, before any package's code"},
      {make(End::Exit, init, [](Outcome& o) { o.exitStatus = 3; }),
       "exited with status 3 in the initialisation of unit Main of package demo"},
      {make(End::TimeLimit, {StageKind::Events, "", "procedure P"},
            [](Outcome& o) { o.limit = 500ms; }),
       "overran its time limit of 0.5 s in the event loop after procedure P"},
      {make(End::MemoryLimit, {StageKind::StaticConstructors, "demo", "", false},
            [](Outcome& o) { o.memoryLimitMiB = 1024; }),
       "ran out of its memory limit of 1024 MiB in the static constructors of package demo"},
      {make(End::Leftovers, fini, [](Outcome& o) { o.leftovers = {"1 thread running"}; }),
       "left 1 thread running after the finalisation of unit Main of package demo"},
      {make(End::Leftovers, {StageKind::StaticDestructors, "demo", "", false},
            [](Outcome& o) {
              o.leftovers = {"1 thread running", "an alarm pending", "a signal handler"};
            }),
       "left 1 thread running, an alarm pending and a signal handler after the static destructors "
       "of package demo"},
      {make(End::Changed, {},
            [](Outcome& o) { o.detail = "that another file has taken its place"; }),
       "found that another file has taken its place in its start, before any package's code"},
      {make(End::Stopped, {StageKind::UnitInitialization, "demo", "Main", true}, none),
       "was stopped in the initialisation of unit Main of package demo, while the trial host "
       "rebuilt the workbench's package state"},
      {make(End::Violation, procedure, [](Outcome& o) { o.detail = "a forged report"; }),
       "broke its channel to the trial host (a forged report) in procedure @Main@Register$qqrv"},
      {make(End::Signal, {StageKind::Component, "", "the setter of TGauge.Value", false},
            [](Outcome& o) { o.signal = SIGSEGV; }),
       "died of signal SIGSEGV (Segmentation fault) in the setter of TGauge.Value"},
      {make(End::HostError, {StageKind::Procedure, "", "P", true},
            [](Outcome& o) { o.detail = "fork failed"; }),
       "could not be made: fork failed"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.outcome.Failure("demo.so"), std::string("demo.so: the trial run ") + row.failure);
  }
}

// Seconds as the user reads them: no trailing zeros, no point for whole ones. A limit
// decoded from a U64 above INT64_MAX is negative: its text keeps the sign, also under
// one whole second.
TEST(TrialOutcome, SecondsAreWrittenShortAndKeepTheirSign) {
  const std::pair<std::chrono::milliseconds, const char*> cases[] = {
      {10s, "10"}, {1050ms, "1.05"}, {2001ms, "2.001"}, {-1500ms, "-1.5"}, {-500ms, "-0.5"}};
  for (const auto& [duration, text] : cases) EXPECT_EQ(SecondsText(duration), text) << text;
}

}  // namespace
