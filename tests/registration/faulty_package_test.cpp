// Package code that takes its process down, tried before it runs: the workbench
// shows what happened and where, runs none of it itself, and goes on.

#include <gtest/gtest.h>

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
    ASSERT_EQ(dialogs->Exceptions().size(), 1u) << "the fault should be shown once";
    const std::string& shown = dialogs->Exceptions().front();
    EXPECT_EQ(shown.substr(0, shown.find('\n')), message)
        << "the fault should say what happened and where";
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

// The stages of a unit, named as the messages name them.
std::string Init(const std::string& unit, const std::string& package) {
  return "the initialisation of unit " + unit + " of package " + package;
}
std::string Fini(const std::string& unit, const std::string& package) {
  return "the finalisation of unit " + unit + " of package " + package;
}

const std::string kSegv = "died of signal SIGSEGV (Segmentation fault) ";
const std::string kAbort = "died of signal SIGABRT (Aborted) ";
const std::string kBroke = "broke its channel to the trial host ";

INSTANTIATE_TEST_SUITE_P(
    Trials, FaultyPackage,
    testing::Values(
        FaultCase{"faultinit", Action::LoadPack, "",
                  kSegv + "in " + Init("FaultInit", "faultinit")},
        FaultCase{"faultfini", Action::LoadPack, "",
                  kSegv + "in " + Fini("FaultFini", "faultfini")},
        FaultCase{"faultctor", Action::LoadPack, "",
                  kAbort + "in the static constructors of package faultctor",
                  ":\nterminate called after throwing an instance of 'std::runtime_error'\n"
                  "  what():  faulty: thrown where nothing can catch it"},
        FaultCase{"faultexit", Action::LoadPack, "",
                  "exited with status 3 in " + Init("FaultExit", "faultexit")},
        FaultCase{"brokenpipe", Action::LoadPack, "",
                  "died of signal SIGPIPE (Broken pipe) in " + Init("BrokenPipe", "brokenpipe")},
        // The endless loop is cut short; every other trial ends on its own long before.
        FaultCase{"faultloop", Action::LoadPack, "",
                  "overran its time limit of 0.5 s in " + Init("FaultLoop", "faultloop"), "",
                  std::chrono::milliseconds(500)},
        FaultCase{"strayloop", Action::LoadPack, "",
                  "overran its time limit of 0.5 s in " + Init("StrayLoop", "strayloop"), "",
                  std::chrono::milliseconds(500)},
        FaultCase{"faultreg", Action::NamedRun, "@FaultReg@Register$qqrv",
                  kSegv + "in procedure @FaultReg@Register$qqrv"},
        FaultCase{"faultabort", Action::NamedRun, "@FaultAbort@Register$qqrv",
                  kAbort + "in procedure @FaultAbort@Register$qqrv",
                  ", last:\nfaulty: line 3 of 7\nfaulty: line 4 of 7\nfaulty: line 5 of 7\n"
                  "faulty: line 6 of 7\nfaulty: line 7 of 7"},
        FaultCase{"faultreg", Action::WholeProcessRun, "",
                  kSegv + "in procedure @FaultReg@Register$qqrv"},
        // What would fault only later, once the package is gone, is seen at its unload.
        FaultCase{"delaythread", Action::LoadPack, "",
                  "left 1 thread running after " + Fini("DelayThread", "delaythread")},
        FaultCase{"worker", Action::LoadPack, "",
                  "left 1 thread running after " + Fini("Worker", "worker")},
        FaultCase{"alarmer", Action::LoadPack, "",
                  "left an alarm pending after " + Fini("Alarmer", "alarmer")},
        FaultCase{"qttimer", Action::LoadPack, "",
                  "left 1 Qt timer pending after " + Fini("QtTimer", "qttimer")},
        FaultCase{"exithandler", Action::LoadPack, "",
                  "left an exit handler after " + Fini("ExitHandler", "exithandler")},
        FaultCase{"sighandler", Action::LoadPack, "",
                  "left a handler for signal SIGTERM after " + Fini("SigHandler", "sighandler")},
        FaultCase{"faultstray", Action::LoadPack, "",
                  "left 1 process running after " + Fini("FaultStray", "faultstray")},
        FaultCase{"daemon", Action::LoadPack, "",
                  "left 1 process running after " + Fini("Daemon", "daemon")},
        FaultCase{"forged", Action::LoadPack, "",
                  kBroke + "(a report of another trial) in " + Init("Forged", "forged")},
        FaultCase{"closefds", Action::LoadPack, "",
                  kBroke + "(package code closed it, or put something else in its place) in " +
                      Init("CloseFds", "closefds")},
        FaultCase{"memhog", Action::LoadPack, "",
                  "ran out of its memory limit of 128 MiB in " + Init("MemHog", "memhog"), "",
                  std::chrono::milliseconds(0), 128}),
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
