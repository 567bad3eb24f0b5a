// Start-up to shown: both windows of the workbench built from their descriptions,
// shown and drawn, then freed; beside it the same two windows with the same widgets
// built in code with plain Qt. The toolkit's share (reading the descriptions, the
// controls around the widgets, the layout) should stay within 1.5 times the baseline.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QWidget>
#include <cstdlib>

#include "Unit1.h"
#include "Unit3.h"
#include "toolkit/forms.h"

namespace {

// One Qt application for the whole run, made before the toolkit would make its own.
// It is never freed: the process ends with it.
void EnsureQt() {
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "benchmarks";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  (void)app;
  toolkit::Application->Initialize();
}

void BM_StartupToShown(benchmark::State& state) {
  EnsureQt();
  for (auto _ : state) {
    auto* main = new TForm1(nullptr);
    auto* palette = new TForm3(nullptr);
    main->Show();
    toolkit::Application->ProcessMessages();
    benchmark::DoNotOptimize(palette->pcPallete->PageCount());
    delete palette;
    delete main;
  }
}
BENCHMARK(BM_StartupToShown)->Unit(benchmark::kMicrosecond);

struct PlainControl {
  enum Kind { Edit, Button, Memo } kind;
  int left, top, width, height;
  const char* text;
};

// The main window's controls, as its description places them.
const PlainControl kMainControls[] = {
    {PlainControl::Edit, 0, 0, 441, 21, "Edit1"},
    {PlainControl::Button, 0, 24, 75, 25, "LoadPack"},
    {PlainControl::Button, 0, 56, 75, 25, "UnLoadPack"},
    {PlainControl::Button, 288, 24, 283, 25, "Посмотреть подключенные модули"},
    {PlainControl::Button, 104, 24, 83, 25, "Use TClassList"},
    {PlainControl::Button, 280, 176, 139, 17, "Проверить класс"},
    {PlainControl::Button, 0, 168, 75, 25, "GetMetod"},
    {PlainControl::Button, 0, 200, 137, 25, "ShowMessage(\"тратата\");"},
    {PlainControl::Memo, 104, 48, 177, 49, "Memo1"},
    {PlainControl::Button, 176, 96, 75, 25, "Button6"},
    {PlainControl::Edit, 424, 168, 121, 21, "TRxLabel"},
    {PlainControl::Button, 304, 56, 249, 33, "Зарегистрировать юниты подкл. пакетов"},
    {PlainControl::Button, 0, 128, 137, 25, "Найти ф-ю регистрации:"},
    {PlainControl::Edit, 144, 128, 185, 21, "@Stdreg@Register$qqrv"},
};

void BM_QtBaselineToShown(benchmark::State& state) {
  EnsureQt();
  for (auto _ : state) {
    auto* main = new QWidget;
    main->setWindowTitle("Form1");
    main->setGeometry(239, 185, 583, 258);
    for (const PlainControl& c : kMainControls) {
      QWidget* widget = nullptr;
      const QString text = QString::fromUtf8(c.text);
      switch (c.kind) {
        case PlainControl::Edit:
          widget = new QLineEdit(text, main);
          break;
        case PlainControl::Button:
          widget = new QPushButton(text, main);
          break;
        case PlainControl::Memo: {
          auto* memo = new QPlainTextEdit(text, main);
          memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
          widget = memo;
          break;
        }
      }
      widget->setGeometry(c.left, c.top, c.width, c.height);
    }
    auto* palette = new QWidget;
    palette->setWindowTitle("Form3");
    palette->setGeometry(192, 107, 530, 249);
    auto* pages = new QTabWidget(palette);
    pages->setGeometry(0, 0, 530, 249);
    palette->show();
    main->show();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    benchmark::DoNotOptimize(pages->count());
    delete palette;
    delete main;
  }
}
BENCHMARK(BM_QtBaselineToShown)->Unit(benchmark::kMicrosecond);

}  // namespace
