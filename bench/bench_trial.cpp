// LoadPack of stdreg in the main window, its file picked through the scripted open
// dialog, with and without the trial that first runs the same code in the trial
// host. The trial's cost is the difference between the two; the goal is at most
// 3 ms. Wall time: most of a trial's work is done in other processes.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>
#include <memory>
#include <string>

#include "Unit1.h"
#include "scripted_dialogs.h"
#include "toolkit/dialogs.h"
#include "toolkit/forms.h"
#include "trial_client.h"

namespace {

void EnsureQt() {
  if (QApplication::instance() == nullptr) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    toolkit::Application->Initialize();
  }
}

// Each iteration unloads the package in the slot and loads it again, as a press of
// LoadPack does with the same file chosen.
void LoadPackOfStdreg(benchmark::State& state, bool withTrial) {
  EnsureQt();
  if (withTrial) {
    unsetenv("WB_TRIAL");
  } else {
    setenv("WB_TRIAL", "0", 1);
  }
  toolkit::ScriptedDialogService dialogs;
  toolkit::DialogService* previous = toolkit::SetDialogService(&dialogs);
  LoadedPackage = 0;
  auto* form = new TForm1(nullptr);
  const std::string file = std::string(WB_PACKAGE_DIR) + "/libstdreg.so";
  try {
    // Outside the timing: the trial host starts with the first trial.
    dialogs.AnswerOpen(file);
    form->LoadPack->Click();
    for (auto _ : state) {
      dialogs.AnswerOpen(file);
      form->LoadPack->Click();
    }
    form->UnLoadPack->Click();
  } catch (const rtl::Exception& e) {
    state.SkipWithError(e.Message().c_str());
  }
  delete form;
  toolkit::SetDialogService(previous);
  unsetenv("WB_TRIAL");
}

void BM_LoadPackWithoutTrial(benchmark::State& state) {
  LoadPackOfStdreg(state, false);
}
BENCHMARK(BM_LoadPackWithoutTrial)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_LoadPackWithTrial(benchmark::State& state) {
  LoadPackOfStdreg(state, true);
}
BENCHMARK(BM_LoadPackWithTrial)->UseRealTime()->Unit(benchmark::kMicrosecond);

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

}  // namespace
