// Trials over more than one action: each is tried in the state the workbench's own
// actions left, a fault no trial could have seen is still kept out of the workbench,
// code that only prints or shows a box passes, and a long trial can be stopped.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Trial.h"
#include "workbench_test_support.h"

namespace {

using namespace wbtest;
using testing::HasSubstr;
using testsupport::RegisteredModuleNamed;
using testsupport::TempDir;
using Lines = std::vector<std::string>;

std::string Procedure(const std::string& unit) {
  return "@" + unit + "@Register$qqrv";
}

// stdreg loads and registers as on a fresh start: nothing of the package before it
// stands in the way. The boxes shown so far are given.
void ExpectStdregStillLoads(ScopedDialogs& dialogs, std::size_t messages, std::size_t exceptions) {
  LoadPack(dialogs, PackageFile("stdreg"));
  NamedRun(Procedure("Stdreg"));
  EXPECT_EQ(dialogs->Messages().size(), messages + 1) << "stdreg should register";
  EXPECT_EQ(dialogs->Exceptions().size(), exceptions) << "stdreg should load and register";
  EXPECT_THAT(PageCaptions(), testing::IsSupersetOf({"Samples", "Indicators"}));
}

// What may happen to the trial host between two actions: the shadow, or the host
// itself, killed from outside. Either way what the workbench did is done again.
enum class Lost { Nothing, Shadow, Host };

void Kill(Lost lost) {
  if (lost == Lost::Nothing) return;
  for (const auto& host : testsupport::ProcessesNamed("trialhost")) {
    if (host.parent != getpid()) continue;
    if (lost == Lost::Host) kill(host.pid, SIGKILL);
    // The shadow and the trial child waiting for the next trial.
    for (const auto& child : testsupport::ProcessesNamed("trialhost")) {
      if (lost == Lost::Shadow && child.parent == host.pid) kill(child.pid, SIGKILL);
    }
  }
}

// The shadow runs what passed, so a later trial meets what it left: a procedure that
// faults on its second call in a process, a finalisation that faults once the
// package has registered. A shadow or host lost on the way is rebuilt with it, and a
// shadow that runs a thread of the package's, which a fork of it would lack, has each
// trial start from a process that does it all again.
TEST(TrialsFollowTheWorkbench, EachTrialStartsFromWhatRanBefore) {
  const std::string secondCall =
      "the trial run died of signal SIGSEGV (Segmentation fault) in procedure "
      "@SecondCall@Register$qqrv; the procedure was not run";
  const struct {
    const char* package;
    const char* unit;
    int runs;  // named runs of the unit's procedure, one after another
    Lines messages;
    std::string refusal;        // how the one refusal goes on after the file's name
    Lines faultyPage;           // what the palette's page "Faulty" then lists
    Lost lost = Lost::Nothing;  // before the last run
  } cases[] = {
      {"secondcall", "SecondCall", 2, {"BRRRRR"}, secondCall, {"TFaulty"}},
      {"secondcall", "SecondCall", 2, {"BRRRRR"}, secondCall, {"TFaulty"}, Lost::Shadow},
      {"secondcall", "SecondCall", 2, {"BRRRRR"}, secondCall, {"TFaulty"}, Lost::Host},
      {"threadsecond",
       "ThreadSecond",
       2,
       {"BRRRRR"},
       "the trial run died of signal SIGSEGV (Segmentation fault) in procedure "
       "@ThreadSecond@Register$qqrv; the procedure was not run",
       {"TFaulty"}},
      // Its load passes: nothing has registered yet when its trial unloads it.
      {"finiafterreg",
       "FiniAfterReg",
       1,
       {},
       "the trial run died of signal SIGSEGV (Segmentation fault) in the finalisation of unit "
       "FiniAfterReg of package finiafterreg; the procedure was not run",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.package);
    const std::string file = PackageFile(c.package);
    ScopedDialogs dialogs;
    InWorkbench([&] {
      LoadPack(dialogs, file);
      ASSERT_TRUE(dialogs->Exceptions().empty()) << dialogs->Exceptions().front();
      ASSERT_NE(LoadedPackage, 0u);
      for (int i = 0; i < c.runs; ++i) {
        if (i + 1 == c.runs) Kill(c.lost);
        NamedRun(Procedure(c.unit));
      }
      EXPECT_EQ(dialogs->Messages(), c.messages);
      EXPECT_EQ(Headlines(dialogs->Exceptions()), Lines{file + ": " + c.refusal});
      if (c.faultyPage.empty()) {
        EXPECT_THAT(PageCaptions(), testing::Not(testing::Contains("Faulty")));
      } else {
        EXPECT_EQ(PageLines("Faulty"), c.faultyPage);
      }
      // What the workbench ran passed its trials, and the shadow ran the same: the
      // unload is tried in that state and passes.
      Press(Form1->UnLoadPack);
      EXPECT_EQ(Headlines(dialogs->Exceptions()), Lines{file + ": " + c.refusal}) << "no more";
      EXPECT_EQ(RegisteredModuleNamed(c.package), 0u) << "the package should be unloaded";
      ExpectStdregStillLoads(dialogs, c.messages.size(), 1);
    });
    EXPECT_FALSE(AnyPackageCondemned());
  }
}

// A finalisation that faults, or leaves an alarm behind, only when a file beside the
// package says so: its load passed, and the marker comes after. Its unload, by the
// button, by loading another or by closing, fails its trial: the package stays
// mapped, out of the slot, never finalised, and the workbench still ends.
TEST(TrialsFollowTheWorkbench, AnUnloadThatWouldFaultLeavesThePackageLoadedUntilTheEnd) {
  const struct {
    const char* package;
    std::string how;
  } packages[] = {
      {"finimarked",
       "died of signal SIGSEGV (Segmentation fault) in the finalisation of unit "
       "FiniMarked of package finimarked"},
      {"alarmmarked",
       "left an alarm pending after the finalisation of unit AlarmMarked of "
       "package alarmmarked"},
  };
  for (const auto& [package, how] : packages) {
    for (const std::string way : {"UnLoadPack", "LoadPack of another", "closing"}) {
      SCOPED_TRACE(std::string(package) + " " + way);
      TempDir dir;
      const std::string name = "lib" + std::string(package) + ".so";
      const std::string file = dir.CopyIn(PackageFile(package), name);
      const std::string condemned =
          file + ": the trial run " + how +
          "; the package was not unloaded: it stays loaded, out of the slot and without its "
          "finalisation, until the workbench ends" +
          (way == "LoadPack of another" ? "; " + PackageFile("mark") + " was not loaded" : "");
      ScopedDialogs dialogs;
      rtl::HMODULE module = 0;
      InWorkbench([&] {
        LoadPack(dialogs, file);
        module = LoadedPackage;
        ASSERT_NE(module, 0u) << (dialogs->Exceptions().empty() ? "" : dialogs->Exceptions()[0]);
        dir.Write(name + ".crash", "");
        if (way != "closing") {
          way == "UnLoadPack" ? Press(Form1->UnLoadPack) : LoadPack(dialogs, PackageFile("mark"));
          EXPECT_EQ(Headlines(dialogs->Exceptions()), Lines{condemned});
          EXPECT_EQ(LoadedPackage, 0u) << "the slot should be empty";
          EXPECT_TRUE(AnyPackageCondemned());
          ExpectStdregStillLoads(dialogs, 0, 1);
        }
        // Closing comes next, and ends the run.
      });
      EXPECT_EQ(Headlines(dialogs->Exceptions()), Lines{condemned});
      EXPECT_TRUE(AnyPackageCondemned());
      EXPECT_EQ(CountInModuleList(module), 1) << "the package should stay loaded";
      // This process goes on to other tests: with the marker gone the package can go.
      std::remove(dir.File(name + ".crash").c_str());
      if (CountInModuleList(module) == 1) rtl::UnloadPackage(module);
    }
  }
}

// Trials fork from the shadow, which keeps what ran: a package starts once in each
// process that runs it, not once in each trial.
TEST(TrialsFollowTheWorkbench, APackageStartsOnceInEachProcessNotInEachTrial) {
  TraceFile trace;
  unsetenv("RTL_TEST_TRACE_PID");  // the trial host's processes leave their lines too
  ScopedDialogs dialogs;
  InWorkbench([&] {
    LoadPack(dialogs, PackageFile("twounits"));
    for (int run = 0; run < 3; ++run) NamedRun(Procedure("TwoSecond"));
    EXPECT_EQ(Headlines(dialogs->Exceptions()), Lines{});
    const Lines lines = trace.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "twounits.TwoFirst init"), 3)
        << "in the load's trial, the workbench and the shadow";
  });
}

// Trials turned off, package code runs in the workbench untried: a package loaded over
// another unloads that one first, and the button unloads the last.
TEST(TrialsFollowTheWorkbench, TurnedOffPackagesAreLoadedAndUnloadedUntried) {
  ScopedTrialSettings off([](trial::Settings& s) { s.enabled = false; });
  TraceFile trace;
  ScopedDialogs dialogs;
  InWorkbench([&] {
    LoadPack(dialogs, PackageFile("mark"));
    EXPECT_NE(RegisteredModuleNamed("mark"), 0u);
    LoadPack(dialogs, PackageFile("twounits"));
    EXPECT_EQ(RegisteredModuleNamed("mark"), 0u) << "the first package makes way";
    EXPECT_NE(LoadedPackage, 0u);
    Press(Form1->UnLoadPack);
    EXPECT_EQ(LoadedPackage, 0u);
    EXPECT_EQ(RegisteredModuleNamed("twounits"), 0u);
    EXPECT_EQ(Headlines(dialogs->Exceptions()), Lines{});
  });
  EXPECT_EQ(trace.Lines(),
            (Lines{"mark constructor", "mark.MarkUnit init", "twounits.TwoFirst init",
                   "twounits.TwoSecond init", "twounits.TwoSecond fini", "twounits.TwoFirst fini"}))
      << "each package's code ran here, once";
}

// The package puts another build in its own file's place as it starts: the trial
// sees the file changed, and the workbench loads neither build.
TEST(TrialsFollowTheWorkbench, AFileReplacedByItsOwnCodeIsNotLoaded) {
  TempDir dir;
  const std::string file = dir.CopyIn(PackageFile("swapfile"), "libswapfile.so");
  // mark traces whatever of its code runs in this process.
  dir.CopyIn(PackageFile("mark"), "libswapfile.next.so");
  TraceFile trace;
  ScopedDialogs dialogs;
  InWorkbench([&] {
    LoadPack(dialogs, file);
    EXPECT_EQ(
        dialogs->Exceptions(),
        Lines{file + ": the trial run found the file changed while its code ran (another file has "
                     "taken its place) in the initialisation of unit SwapFile of package swapfile; "
                     "the package was not loaded"});
    EXPECT_EQ(LoadedPackage, 0u) << "the slot should stay empty";
    EXPECT_EQ(RegisteredModuleNamed("swapfile"), 0u);
    ExpectStdregStillLoads(dialogs, 0, 1);
  });
  EXPECT_EQ(trace.Lines(), Lines{}) << "the other build should never have run here";
}

// Printing is no fault, nor is a box of Qt's own: in the trial nobody answers it, in
// the workbench the user does (here, the closer).
TEST(TrialsFollowTheWorkbench, CodeThatPrintsOrShowsABoxPassesItsTrial) {
  const struct {
    const char* package;
    const char* unit;
    Lines boxes;  // Qt's own boxes the workbench showed
  } cases[] = {
      {"prints", "Prints", {}},
      {"qtbox", "QtBox", {"A plain Qt box"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.package);
    ScopedDialogs dialogs;
    ScopedModalCloser closer;
    InWorkbench([&] {
      LoadPack(dialogs, PackageFile(c.package));
      NamedRun(Procedure(c.unit));
      EXPECT_EQ(Headlines(dialogs->Exceptions()), Lines{});
      EXPECT_EQ(dialogs->Messages(), Lines{"BRRRRR"});
      EXPECT_EQ(PageLines("Faulty"), Lines{"TFaulty"});
      EXPECT_NE(LoadedPackage, 0u);
    });
    EXPECT_EQ(closer.Closed(), c.boxes) << "each box once, by the real run only";
    EXPECT_EQ(Headlines(dialogs->Exceptions()), Lines{}) << "closing should unload it";
  }
}

// A trial that runs long shows what it tries, and its Stop button ends it as failed.
TEST(TrialsFollowTheWorkbench, TheProgressWindowStopsALongTrial) {
  using Clock = std::chrono::steady_clock;
  const std::string file = PackageFile("faultloop");
  ScopedTrialSettings limits([](trial::Settings& s) { s.timeLimit = std::chrono::seconds(20); });
  ScopedDialogs dialogs;
  std::string shown;
  std::atomic<bool> stopped = false;
  // What a user does once the window is up, from the event loop. Not from a QTimer,
  // as it should be: the workbench runs no timer while a trial runs, not even once
  // the window is up (its wait passes X11ExcludeTimers throughout). Posted events do
  // run, so the click is posted from a thread.
  const auto progressWindows = [] {
    std::vector<QWidget*> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (window->objectName() == "TrialProgress" && window->isVisible()) windows.push_back(window);
    }
    return windows;
  };
  const auto clickStop = [&] {
    for (QWidget* window : progressWindows()) {
      for (const QLabel* label : window->findChildren<QLabel*>()) {
        shown += label->text().toStdString();
      }
      if (auto* stop = window->findChild<QPushButton*>("Stop")) {
        stop->click();
        stopped = true;
      }
    }
  };
  Clock::duration took{};
  InWorkbench([&] {
    // Asks again until the window has come and been clicked, however long it takes.
    std::atomic<bool> loaded = false;
    std::thread user([&] {
      while (!stopped && !loaded) {
        QMetaObject::invokeMethod(qApp, clickStop, Qt::QueuedConnection);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    const Clock::time_point start = Clock::now();
    LoadPack(dialogs, file);
    took = Clock::now() - start;
    loaded = true;
    user.join();
    // Delivered now if the trial ended first, while what it touches still lives.
    QCoreApplication::sendPostedEvents(qApp, QEvent::MetaCall);
    EXPECT_THAT(progressWindows(), testing::IsEmpty()) << "the window should go with its trial";
  });
  EXPECT_TRUE(stopped) << "no progress window with a Stop button was up";
  EXPECT_THAT(shown, HasSubstr(file));
  EXPECT_THAT(shown, HasSubstr("the initialisation of unit FaultLoop of package faultloop"));
  EXPECT_EQ(
      dialogs->Exceptions(),
      Lines{file + ": the trial run was stopped in the initialisation of unit FaultLoop of package "
                   "faultloop; the package was not loaded"});
  EXPECT_LT(took, std::chrono::seconds(5)) << "the trial should end at the click, not its limit";
}

}  // namespace
