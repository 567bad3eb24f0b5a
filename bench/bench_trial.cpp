// What a trial adds to the main window's actions: LoadPack of stdreg (its file picked
// through the scripted open dialog) and the named run of stdreg's procedure, each
// with and without the trial that first tries the same action in a fork of the trial
// host's shadow. The trial's cost is the difference; the goal is at most 2 ms. Wall
// time: most of a trial's work is done in other processes.
//
// A user presses one button at a time: between presses the trial host gets its next
// trial child ready. Each timed press follows such a pause, untimed; the back-to-back
// pair shows what presses in quick succession cost. A bare fork and exit of this
// process shows what a process costs on the machine the figures come from.
// Opening a class's preview, which tries making the instance first, is set against
// opening an empty window. And reload on rebuild, timed from a new build of stdreg
// renamed into place to the palette filled again, with no settle time: what it
// costs beyond the settle time the watch waits.

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "Reload.h"
#include "Unit1.h"
#include "Unit3.h"
#include "Unit4.h"
#include "scripted_dialogs.h"
#include "toolkit/dialogs.h"
#include "toolkit/forms.h"
#include "trial/client.h"
#include "trial/settings.h"

namespace {

void EnsureQt() {
  if (QApplication::instance() == nullptr) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    toolkit::Application->Initialize();
  }
}

const std::string& Stdreg() {
  static const std::string file = std::string(WB_DEMO_PACKAGE_DIR) + "/libstdreg.so";
  return file;
}

// The main window and the palette, with trials on or off, and stdreg in the slot.
class Workbench {
 public:
  explicit Workbench(bool withTrial) {
    EnsureQt();
    trial::Settings settings;
    settings.enabled = withTrial;
    trial::Configure(settings);
    trial::Host::Shared().Reset();
    previous_ = toolkit::SetDialogService(&dialogs_);
    LoadedPackage = 0;
    Form1 = new TForm1(nullptr);
    Form3 = new TForm3(nullptr);
    Form1->Edit3->SetText("@Stdreg@Register$qqrv");
    LoadPack();
  }
  ~Workbench() {
    ClosePreviews();
    Form1->UnLoadPack->Click();
    delete Form3;
    delete Form1;
    Form3 = nullptr;
    toolkit::SetDialogService(previous_);
    trial::Configure(trial::Settings{});
  }
  Workbench(const Workbench&) = delete;
  Workbench& operator=(const Workbench&) = delete;

  void LoadPack() {
    dialogs_.AnswerOpen(Stdreg());
    Form1->LoadPack->Click();
  }
  void NamedRun() { Form1->Button8->Click(); }
  // What the user saw: every action shown, nothing failed.
  bool Failed() const { return !dialogs_.Exceptions().empty(); }
  std::string Failure() const { return dialogs_.Exceptions().front(); }

 private:
  toolkit::ScriptedDialogService dialogs_;
  toolkit::DialogService* previous_ = nullptr;
};

// Untimed: as long as a user takes between two presses, at the least.
void Pause(benchmark::State& state, bool pause) {
  if (!pause) return;
  state.PauseTiming();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  state.ResumeTiming();
}

void Press(benchmark::State& state, bool withTrial, bool loadPack, bool pause) {
  Workbench workbench(withTrial);
  for (auto _ : state) {
    Pause(state, pause);
    if (loadPack) {
      workbench.LoadPack();
    } else {
      workbench.NamedRun();
    }
  }
  if (workbench.Failed()) state.SkipWithError(workbench.Failure().c_str());
}

void BM_LoadPackWithoutTrial(benchmark::State& state) {
  Press(state, false, true, true);
}
BENCHMARK(BM_LoadPackWithoutTrial)->UseRealTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_LoadPackWithTrial(benchmark::State& state) {
  Press(state, true, true, true);
}
BENCHMARK(BM_LoadPackWithTrial)->UseRealTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_NamedRunWithoutTrial(benchmark::State& state) {
  Press(state, false, false, true);
}
BENCHMARK(BM_NamedRunWithoutTrial)->UseRealTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_NamedRunWithTrial(benchmark::State& state) {
  Press(state, true, false, true);
}
BENCHMARK(BM_NamedRunWithTrial)->UseRealTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_LoadPackWithTrialBackToBack(benchmark::State& state) {
  Press(state, true, true, false);
}
BENCHMARK(BM_LoadPackWithTrialBackToBack)
    ->UseRealTime()
    ->Iterations(100)
    ->Unit(benchmark::kMicrosecond);

// What one process costs here: a fork of this process (Qt mapped, as in the trial
// host) that exits at once, and the wait for it.
void BM_ForkAndExit(benchmark::State& state) {
  EnsureQt();
  for (auto _ : state) {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
  }
}
BENCHMARK(BM_ForkAndExit)->UseRealTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

// What the program spends on the trial host once its windows are shown: starting
// the process, without waiting for it to be ready. Each host is let go untimed; it
// takes a while to end, hence the fixed count.
void BM_TrialHostStart(benchmark::State& state) {
  for (auto _ : state) {
    auto host = std::make_unique<trial::Host>();
    host->Start();
    state.PauseTiming();
    host.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_TrialHostStart)->UseRealTime()->Iterations(40)->Unit(benchmark::kMicrosecond);

// Opening the preview of stdreg's TClickCounter from the palette, its trial included,
// against opening an empty window: both shown, then closed untimed.
void OpenAndClose(benchmark::State& state, bool preview) {
  Workbench workbench(true);
  workbench.NamedRun();
  for (auto _ : state) {
    Pause(state, true);
    toolkit::TForm* window = preview ? OpenPreview("TClickCounter") : new toolkit::TForm(nullptr);
    window->Show();
    QApplication::processEvents();
    state.PauseTiming();
    if (preview) {
      ClosePreviews();
    } else {
      delete window;
    }
    state.ResumeTiming();
  }
  if (workbench.Failed()) state.SkipWithError(workbench.Failure().c_str());
}

void BM_PreviewOpen(benchmark::State& state) {
  OpenAndClose(state, true);
}
BENCHMARK(BM_PreviewOpen)->UseRealTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_EmptyWindowOpen(benchmark::State& state) {
  OpenAndClose(state, false);
}
BENCHMARK(BM_EmptyWindowOpen)->UseRealTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_ReloadOnRebuild(benchmark::State& state) {
  Workbench workbench(true);
  char folder[] = "/tmp/wbbench-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string file = std::string(folder) + "/libstdreg.so";
  std::filesystem::copy_file(Stdreg(), file);
  {
    PackageReloader reloader(file, std::chrono::milliseconds(0));
    Form1->LoadIntoSlot(reloader.Snapshot());
    workbench.NamedRun();
    for (auto _ : state) {
      Pause(state, true);
      state.PauseTiming();
      std::filesystem::copy_file(Stdreg(), file + ".new");
      state.ResumeTiming();
      const int before = reloader.Reloads();
      std::filesystem::rename(file + ".new", file);
      while (reloader.Reloads() == before) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
      }
    }
    if (Form3->pcPallete->PageCount() != 2) state.SkipWithError("the palette was not refilled");
  }
  std::filesystem::remove_all(folder);
  if (workbench.Failed()) state.SkipWithError(workbench.Failure().c_str());
}
BENCHMARK(BM_ReloadOnRebuild)->UseRealTime()->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace
