// Building a window from its description against building the same widgets by hand
// in plain Qt. The description costs a parse, a name-to-class look-up and a
// property-table look-up per property; the aim is to stay within 1.5x of the hand
// -built window.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QByteArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <string>

#include "toolkit/toolkit.h"

namespace {

constexpr int Rows = 10;

// Ten rows of a label, an edit box and a button: thirty controls.
std::string Description() {
  std::string text = "TBenchForm BenchForm {\n  Caption = \"Bench\"  Width = 600  Height = 400\n";
  for (int i = 0; i < Rows; ++i) {
    const std::string n = std::to_string(i);
    const std::string top = std::to_string(8 + 30 * i);
    text += "  TLabel Label" + n + " { Left = 8  Top = " + top +
            "  Width = 80  Height = 13  Caption = \"Label " + n + "\" }\n";
    text += "  TEdit Edit" + n + " { Left = 96  Top = " + top +
            "  Width = 200  Height = 21  Text = \"Edit " + n + "\" }\n";
    text += "  TButton Button" + n + " { Left = 304  Top = " + top +
            "  Width = 75  Height = 25  Caption = \"Button " + n + "\"  OnClick = Click }\n";
  }
  text += "}\n";
  return text;
}

class TBenchForm : public toolkit::TForm {
  RTL_CLASS(TBenchForm, toolkit::TForm)
 public:
  explicit TBenchForm(rtl::TComponent* owner) : TForm(owner, StaticClass()) {}
  void Click(rtl::TObject*) {}
};
RTL_DEFINE_CLASS(TBenchForm, RTL_PUBLISH(TBenchForm, Click))

void Prepare() {
  if (QApplication::instance() == nullptr) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    toolkit::Application->Initialize();
  }
  static const std::string text = Description();
  toolkit::RegisterFormResource("TBENCHFORM", "Bench.form", text);
}

void BM_FormFromDescription(benchmark::State& state) {
  Prepare();
  for (auto _ : state) {
    auto* form = new TBenchForm(nullptr);
    benchmark::DoNotOptimize(form);
    delete form;
  }
}
BENCHMARK(BM_FormFromDescription);

// The baseline: the same thirty widgets with the same texts and bounds.
void BM_QtBaselineSameWidgets(benchmark::State& state) {
  Prepare();
  for (auto _ : state) {
    auto* window = new QWidget;
    window->setWindowTitle(QStringLiteral("Bench"));
    window->resize(600, 400);
    for (int i = 0; i < Rows; ++i) {
      const int top = 8 + 30 * i;
      auto* label = new QLabel(QStringLiteral("Label %1").arg(i), window);
      label->setGeometry(8, top, 80, 13);
      auto* edit = new QLineEdit(QStringLiteral("Edit %1").arg(i), window);
      edit->setGeometry(96, top, 200, 21);
      auto* button = new QPushButton(QStringLiteral("Button %1").arg(i), window);
      button->setGeometry(304, top, 75, 25);
      QObject::connect(button, &QPushButton::clicked, window, [] {});
    }
    benchmark::DoNotOptimize(window);
    delete window;
  }
}
BENCHMARK(BM_QtBaselineSameWidgets);

}  // namespace
