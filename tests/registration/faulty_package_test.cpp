// Package code that takes its process down, tried before it runs: the workbench
// shows what happened and where, runs none of it itself, and goes on.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "workbench_test_support.h"

namespace {

using namespace wbtest;

enum class Action { LoadPack, NamedRun, WholeProcessRun };

struct FaultCase {
  const char* package;
  Action action;
  const char* procedure;  // for the named run
  const char* how;        // what became of the trial run
  std::string where;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.package;
}

class FaultyPackage : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultyPackage, IsReportedAndTheWorkbenchGoesOn) {
  const FaultCase& c = GetParam();
  const std::string file = PackageFile(c.package);
  ScopedDialogs dialogs;
  // The endless loop is cut short; every other trial ends on its own long before.
  if (std::string(c.package) == "faultloop") setenv("WB_TRIAL_TIMEOUT", "0.5", 1);
  InWorkbench([&] {
    LoadPack(dialogs, file);
    if (c.action == Action::NamedRun) NamedRun(c.procedure);
    if (c.action == Action::WholeProcessRun) WholeProcessRun();
    unsetenv("WB_TRIAL_TIMEOUT");
    // What the workbench then left undone, by Action.
    const char* const notRun[] = {"the package was not loaded", "the procedure was not run",
                                  "no procedure of the run was run"};
    EXPECT_EQ(dialogs->Exceptions(),
              std::vector<std::string>{file + ": the trial run " + c.how + " in " + c.where + "; " +
                                       notRun[static_cast<int>(c.action)]})
        << "the fault should be shown once, saying what happened and where";
    EXPECT_TRUE(dialogs->Messages().empty()) << "nothing of the package should have run";
    EXPECT_TRUE(PageCaptions().empty()) << "nothing should have been registered";
    EXPECT_EQ(LoadedPackage != 0, c.action != Action::LoadPack)
        << "a load that failed its trial leaves the slot empty; a failed run keeps it";

    LoadPack(dialogs, PackageFile("stdreg"));
    NamedRun("@Stdreg@Register$qqrv");
    EXPECT_EQ(dialogs->Exceptions().size(), 1u) << "stdreg should load and register";
    EXPECT_EQ(dialogs->Messages(), std::vector<std::string>{"BRRRRR"});
    EXPECT_EQ(PageCaptions(), (std::vector<std::string>{"Samples", "Indicators"}));
  });
}

const char* const kSegv = "died of signal SIGSEGV (Segmentation fault)";
const char* const kAbort = "died of signal SIGABRT (Aborted)";

INSTANTIATE_TEST_SUITE_P(
    Trials, FaultyPackage,
    testing::Values(FaultCase{"faultinit", Action::LoadPack, "", kSegv,
                              "the initialisation of unit FaultInit of package faultinit"},
                    FaultCase{"faultfini", Action::LoadPack, "", kSegv,
                              "the finalisation of unit FaultFini of package faultfini"},
                    FaultCase{"faultctor", Action::LoadPack, "", kAbort,
                              "the static constructors of package faultctor"},
                    FaultCase{"faultexit", Action::LoadPack, "", "exited with status 3",
                              "the initialisation of unit FaultExit of package faultexit"},
                    FaultCase{"faultloop", Action::LoadPack, "", "overran its time limit of 0.5 s",
                              "the initialisation of unit FaultLoop of package faultloop"},
                    FaultCase{"faultreg", Action::NamedRun, "@FaultReg@Register$qqrv", kSegv,
                              "procedure @FaultReg@Register$qqrv"},
                    FaultCase{"faultabort", Action::NamedRun, "@FaultAbort@Register$qqrv", kAbort,
                              "procedure @FaultAbort@Register$qqrv"},
                    FaultCase{"faultreg", Action::WholeProcessRun, "", kSegv,
                              "procedure @FaultReg@Register$qqrv"}),
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
