// A refresh of the module inspector with 200 packages loaded, beside the same walk
// of the module list (each file name and description read with the same functions)
// filling a plain Qt list widget with the handle attached to each item. What the
// inspector adds is the list box and the window around the widget; the aim is to
// stay within 1.3 times the baseline.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QListWidget>
#include <memory>
#include <string>
#include <vector>

#include "Unit2.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"
#include "toolkit/forms.h"

namespace {

void EnsureQt() {
  if (QApplication::instance() == nullptr) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    toolkit::Application->Initialize();
  }
}

// The benchmark packages, loaded for one benchmark run only: left loaded, they
// would slow every later benchmark that walks the loaded libraries.
class BenchPackages {
 public:
  explicit BenchPackages(int count) {
    for (int i = 0; i < count; ++i) {
      loaded_.push_back(rtl::LoadPackage(std::string(WB_PACKAGE_DIR) + "/bench/libbenchmod_" +
                                         std::to_string(i) + ".so"));
    }
  }
  ~BenchPackages() {
    for (auto it = loaded_.rbegin(); it != loaded_.rend(); ++it) rtl::UnloadPackage(*it);
  }
  BenchPackages(const BenchPackages&) = delete;
  BenchPackages& operator=(const BenchPackages&) = delete;

 private:
  std::vector<rtl::HMODULE> loaded_;
};

int ModuleCount() {
  int count = 0;
  for (rtl::TLibModule* m = rtl::LibModuleList(); m != nullptr; m = m->Next) ++count;
  return count;
}

void BM_InspectorRefresh(benchmark::State& state) {
  EnsureQt();
  BenchPackages packages(static_cast<int>(state.range(0)));
  std::unique_ptr<TForm2> form(new TForm2(nullptr));
  form->Show();
  toolkit::Application->ProcessMessages();
  for (auto _ : state) {
    form->Button1Click(form->Button1);
    // Drawn as the user would see it after pressing the button.
    toolkit::Application->ProcessMessages();
  }
  state.counters["modules"] = ModuleCount();
  benchmark::DoNotOptimize(form->ListBox1->Items().Count());
}
BENCHMARK(BM_InspectorRefresh)->Arg(200)->Unit(benchmark::kMicrosecond);

void BM_QtListBaseline(benchmark::State& state) {
  EnsureQt();
  BenchPackages packages(static_cast<int>(state.range(0)));
  QListWidget list;
  list.resize(658, 192);
  // Items of one height, as the description's ItemHeight makes them in the inspector:
  // without it the plain list measures every item and would be the slower one.
  list.setUniformItemSizes(true);
  list.show();
  toolkit::Application->ProcessMessages();
  for (auto _ : state) {
    list.clear();
    for (rtl::TLibModule* m = rtl::LibModuleList(); m != nullptr; m = m->Next) {
      char fileName[254];
      rtl::GetModuleFileNameA(m->Instance, fileName, sizeof(fileName));
      const std::string text =
          rtl::Trim(fileName) + " [" + rtl::GetPackageDescription(fileName) + "]";
      auto* item = new QListWidgetItem(QString::fromStdString(text));
      item->setData(Qt::UserRole, QVariant::fromValue<qulonglong>(m->Instance));
      list.addItem(item);
    }
    toolkit::Application->ProcessMessages();
  }
  state.counters["modules"] = ModuleCount();
  benchmark::DoNotOptimize(list.count());
}
BENCHMARK(BM_QtListBaseline)->Arg(200)->Unit(benchmark::kMicrosecond);

}  // namespace
