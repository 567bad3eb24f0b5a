// Package code that takes its process down, tried before it runs: the workbench
// shows what happened and where, runs none of it itself, and goes on.

#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "workbench_test_support.h"

namespace {

using namespace wbtest;

enum class Action { LoadPack, NamedRun, WholeProcessRun };

struct FaultCase {
  const char* package;
  Action action;
  const char* procedure;     // for the named run
  std::string how;           // what became of the trial run, and in or after what
  std::string printed = {};  // ":" or ", last:", and what its code printed: the message's end
  // The trial's limits for the row; 0 keeps the program's.
  std::chrono::milliseconds timeLimit{0};
  std::uint64_t memoryLimitMiB = 0;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.package;
}

class FaultyPackage : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultyPackage, IsReportedAndTheWorkbenchGoesOn) {
  const FaultCase& c = GetParam();
  const std::string file = PackageFile(c.package);
  ScopedDialogs dialogs;
  InWorkbench([&] {
    {
      ScopedTrialSettings limits([&c](trial::Settings& settings) {
        if (c.timeLimit.count() > 0) settings.timeLimit = c.timeLimit;
        if (c.memoryLimitMiB > 0) settings.memoryLimitMiB = c.memoryLimitMiB;
      });
      LoadPack(dialogs, file);
      if (c.action == Action::NamedRun) NamedRun(c.procedure);
      if (c.action == Action::WholeProcessRun) WholeProcessRun();
    }
    // What the workbench then left undone, by Action.
    const char* const notRun[] = {"the package was not loaded", "the procedure was not run",
                                  "no procedure of the run was run"};
    // What the code printed is checked where the row says; elsewhere it may be a
    // sanitizer's report, in a sanitizer build.
    const std::string message =
        file + ": the trial run " + c.how + "; " + notRun[static_cast<int>(c.action)];
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor goes with the trial";
    ASSERT_EQ(dialogs->Exceptions().size(), 1u) << "the fault should be shown once";
    const std::string& shown = dialogs->Exceptions().front();
    EXPECT_EQ(shown.substr(0, shown.find('\n')), message) << "what happened, and where";
    if (!c.printed.empty()) {
      EXPECT_THAT(shown, testing::EndsWith("\n\nIts code printed" + c.printed));
    }
    // A fault names its function and line, the package's own code first.
    if (c.how.find("SIGSEGV") != std::string::npos) {
      EXPECT_THAT(shown, testing::HasSubstr("\nin (anonymous namespace)::Crash() at "));
      EXPECT_THAT(shown,
                  testing::HasSubstr("/faulty.cpp:" + std::to_string(testsupport::FaultLine()) +
                                     " (lib" + c.package + ".so)\n"));
    }
    EXPECT_TRUE(dialogs->Messages().empty()) << "nothing of the package should have run";
    EXPECT_TRUE(PageCaptions().empty()) << "nothing should have been registered";
    EXPECT_EQ(LoadedPackage != 0, c.action != Action::LoadPack)
        << "a load that failed its trial leaves the slot empty; a failed run keeps it";
    EXPECT_EQ(testsupport::RegisteredModuleNamed(c.package) != 0, c.action != Action::LoadPack)
        << "nor is a package that failed the trial of its load in the module list";

    LoadPack(dialogs, PackageFile("stdreg"));
    NamedRun("@Stdreg@Register$qqrv");
    EXPECT_EQ(dialogs->Exceptions().size(), 1u) << "stdreg should load and register";
    EXPECT_EQ(dialogs->Messages(), std::vector<std::string>{"BRRRRR"});
    EXPECT_EQ(PageCaptions(), (std::vector<std::string>{"Samples", "Indicators"}));
  });
  // Processes the package started end with its trial, whatever became of them.
  for (const char* name : {"faulty-daemon", "faulty-stray"}) {
    EXPECT_EQ(testsupport::RunningProcessesNamed(name, std::chrono::seconds(5)), 0) << name;
  }
}

// A load whose trial ended so in the unit's initialisation, under these limits.
FaultCase InInit(const char* package, const std::string& unit, const std::string& how,
                 std::chrono::milliseconds timeLimit = {}, std::uint64_t memoryLimitMiB = 0) {
  return {package,
          Action::LoadPack,
          "",
          how + " in the initialisation of unit " + unit + " of package " + package,
          "",
          timeLimit,
          memoryLimitMiB};
}
// A load whose trial left something behind after the unit's finalisation.
FaultCase Left(const char* package, const std::string& unit, const std::string& what) {
  return {package, Action::LoadPack, "",
          "left " + what + " after the finalisation of unit " + unit + " of package " + package};
}

const std::string kSegv = "died of signal SIGSEGV (Segmentation fault)";
const std::string kAbort = "died of signal SIGABRT (Aborted)";
const std::string kBroke = "broke its channel to the trial host";

INSTANTIATE_TEST_SUITE_P(
    Trials, FaultyPackage,
    testing::Values(
        InInit("faultinit", "FaultInit", kSegv),
        FaultCase{"faultfini", Action::LoadPack, "",
                  kSegv + " in the finalisation of unit FaultFini of package faultfini"},
        FaultCase{"faultctor", Action::LoadPack, "",
                  kAbort + " in the static constructors of package faultctor",
                  ":\nterminate called after throwing an instance of 'std::runtime_error'\n"
                  "  what():  faulty: thrown where nothing can catch it"},
        InInit("faultexit", "FaultExit", "exited with status 3"),
        InInit("brokenpipe", "BrokenPipe", "died of signal SIGPIPE (Broken pipe)"),
        // The endless loop is cut short; every other trial ends on its own long before.
        InInit("faultloop", "FaultLoop", "overran its time limit of 0.5 s",
               std::chrono::milliseconds(500)),
        InInit("strayloop", "StrayLoop", "overran its time limit of 0.5 s",
               std::chrono::milliseconds(500)),
        FaultCase{"faultreg", Action::NamedRun, "@FaultReg@Register$qqrv",
                  kSegv + " in procedure @FaultReg@Register$qqrv"},
        // Posted, it runs once the procedure has returned.
        FaultCase{"postedfault", Action::NamedRun, "@PostedFault@Register$qqrv",
                  kSegv + " in the event loop after procedure @PostedFault@Register$qqrv"},
        FaultCase{"faultabort", Action::NamedRun, "@FaultAbort@Register$qqrv",
                  kAbort + " in procedure @FaultAbort@Register$qqrv",
                  ", last:\nfaulty: line 3 of 7\nfaulty: line 4 of 7\nfaulty: line 5 of 7\n"
                  "faulty: line 6 of 7\nfaulty: line 7 of 7"},
        FaultCase{"faultreg", Action::WholeProcessRun, "",
                  kSegv + " in procedure @FaultReg@Register$qqrv"},
        // What would fault only later, once the package is gone, is seen at its unload.
        Left("delaythread", "DelayThread", "1 thread running"),
        Left("worker", "Worker", "1 thread running"),
        Left("alarmer", "Alarmer", "an alarm pending"),
        Left("cputimer", "CpuTimer", "a processor-time timer pending"),
        Left("qttimer", "QtTimer", "1 Qt timer pending"),
        Left("exithandler", "ExitHandler", "an exit handler"),
        Left("sighandler", "SigHandler", "a handler for signal SIGTERM"),
        Left("faultstray", "FaultStray", "1 process running"),
        Left("daemon", "Daemon", "1 process running"),
        InInit("forged", "Forged", kBroke + " (a report of another trial)"),
        InInit("closefds", "CloseFds",
               kBroke + " (package code closed it, or put something else in its place)"),
        InInit("memhog", "MemHog", "ran out of its memory limit of 128 MiB", {}, 128)),
    [](const testing::TestParamInfo<FaultCase>& info) {
      return std::string(info.param.package) +
             (info.param.action == Action::WholeProcessRun ? "WholeProcessRun" : "");
    });

// A box needs a user, and a trial has none: there it goes on as if answered, so a
// package that shows boxes loads and registers, each box shown once, by the real run.
TEST(TrialRun, APackageThatShowsBoxesPassesItsTrial) {
  ScopedDialogs dialogs;
  InWorkbench([&] {
    LoadPack(dialogs, PackageFile("boxinit"));
    NamedRun("@BoxInit@Register$qqrv");
    EXPECT_TRUE(dialogs->Exceptions().empty()) << dialogs->Exceptions().front();
    EXPECT_EQ(dialogs->Messages(),
              (std::vector<std::string>{"boxinit: starting", "boxinit: registering", "BRRRRR"}));
  });
}

}  // namespace
