// One registration run into the real palette window: a package whose procedure
// registers N generated classes over 40 pages, run as the main window's named run
// does it, beside the same names appended line by line to 40 plain Qt text widgets
// on a plain Qt tab widget with the same RegisterClass calls. Aims: the 10,000 run
// within 12 times the 1,000 run (linear growth), and within 1.3 times the baseline.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <memory>
#include <string>
#include <vector>

#include "Registration.h"
#include "Unit1.h"
#include "Unit3.h"
#include "rtl/package.h"
#include "scripted_dialogs.h"
#include "toolkit/forms.h"

namespace {

constexpr int kPages = 40;

void EnsureQt() {
  if (QApplication::instance() == nullptr) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    toolkit::Application->Initialize();
  }
}

std::string ClassNameOf(int i) {
  return "TGenReg" + std::to_string(i);
}

void BM_PaletteRegistration(benchmark::State& state) {
  EnsureQt();
  const int count = static_cast<int>(state.range(0));
  toolkit::ScriptedDialogService dialogs;
  toolkit::DialogService* previousDialogs = toolkit::SetDialogService(&dialogs);
  const rtl::HMODULE package = rtl::LoadPackage(std::string(WB_PACKAGE_DIR) + "/libgenreg.so");
  auto generate =
      reinterpret_cast<void (*)(int, int)>(rtl::GetProcAddress(package, "genreg_generate"));
  if (generate == nullptr) {
    state.SkipWithError("genreg exports no genreg_generate");
    rtl::UnloadPackage(package);
    toolkit::SetDialogService(previousDialogs);
    return;
  }
  generate(count, kPages);
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back(ClassNameOf(i));

  for (auto _ : state) {
    state.PauseTiming();
    Form1 = new TForm1(nullptr);
    Form3 = new TForm3(nullptr);
    LoadedPackage = package;
    Form1->Edit3->SetText("@GenReg@Register$qqrv");
    toolkit::Application->ProcessMessages();
    state.ResumeTiming();

    Form1->Button8Click(Form1->Button8);
    // Drawn as the user would see it once the run is over.
    toolkit::Application->ProcessMessages();

    state.PauseTiming();
    const bool filled = Form3->pcPallete->PageCount() == kPages && dialogs.Messages().size() == 1 &&
                        !PageMemos.empty() &&
                        PageMemos[0]->Lines().Count() == (count + kPages - 1) / kPages;
    dialogs.Reset();
    for (const std::string& name : names) {
      if (rtl::TClass cls = rtl::GetClass(name)) rtl::UnRegisterClass(cls);
    }
    LoadedPackage = 0;
    delete Form3;
    delete Form1;
    Form3 = nullptr;
    Form1 = nullptr;
    if (!filled) {
      state.SkipWithError("the run did not fill the palette");
      break;
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
  generate(0, kPages);
  rtl::UnloadPackage(package);
  toolkit::SetDialogService(previousDialogs);
}
BENCHMARK(BM_PaletteRegistration)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// The plain-Qt palette: a tab widget in a window, a text widget made per page as the
// page first arrives, each name appended as one line and its class registered.
void BM_QtPaletteBaseline(benchmark::State& state) {
  EnsureQt();
  const int count = static_cast<int>(state.range(0));
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back(ClassNameOf(i));
  std::vector<rtl::TClassInfo> classes;
  classes.reserve(names.size());
  for (const std::string& name : names) {
    classes.push_back(
        rtl::TClassInfo{name.c_str(), rtl::TComponent::StaticClass(), nullptr, 0, nullptr});
  }
  // The same calls the generated package makes: page p gets the classes i with i % 40 == p.
  std::vector<std::vector<rtl::TClass>> pages(kPages);
  for (std::size_t i = 0; i < classes.size(); ++i) pages[i % kPages].push_back(&classes[i]);

  for (auto _ : state) {
    state.PauseTiming();
    auto window = std::make_unique<QWidget>();
    window->setGeometry(192, 107, 530, 249);
    auto* tabs = new QTabWidget(window.get());
    tabs->setGeometry(0, 0, 522, 222);
    window->show();
    QApplication::processEvents();
    state.ResumeTiming();

    for (int page = 0; page < kPages; ++page) {
      auto* text = new QPlainTextEdit;
      tabs->addTab(text, QString::fromStdString("GenPage" + std::to_string(page)));
      for (rtl::TClass cls : pages[static_cast<std::size_t>(page)]) {
        text->appendPlainText(QString::fromUtf8(cls->Name));
        rtl::RegisterClass(cls);
      }
    }
    QApplication::processEvents();

    state.PauseTiming();
    for (const rtl::TClassInfo& info : classes) rtl::UnRegisterClass(&info);
    window.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_QtPaletteBaseline)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
