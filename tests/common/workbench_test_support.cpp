#include "workbench_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QMessageBox>

#include "Startup.h"
#include "toolkit/comctrls.h"

namespace wbtest {

ScopedDialogs::ScopedDialogs() : previous_(toolkit::SetDialogService(&service_)) {}
ScopedDialogs::~ScopedDialogs() {
  toolkit::SetDialogService(previous_);
}

ScopedTrialSettings::ScopedTrialSettings(const std::function<void(trial::Settings&)>& change)
    : previous_(trial::CurrentSettings()) {
  trial::Settings settings = previous_;
  change(settings);
  trial::Configure(settings);
}
ScopedTrialSettings::~ScopedTrialSettings() {
  trial::Configure(previous_);
}

ScopedModalCloser::ScopedModalCloser() {
  qApp->installEventFilter(this);
}
ScopedModalCloser::~ScopedModalCloser() {
  qApp->removeEventFilter(this);
}

bool ScopedModalCloser::eventFilter(QObject* watched, QEvent* event) {
  auto* dialog = qobject_cast<QDialog*>(watched);
  if (event->type() == QEvent::Show && dialog != nullptr && dialog->isModal()) {
    const auto* box = qobject_cast<QMessageBox*>(dialog);
    closed_.push_back((box != nullptr ? box->text() : dialog->windowTitle()).toStdString());
    // Queued: the dialog shows before its own loop runs, and the loop takes the answer.
    QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
  }
  return false;
}

void Press(toolkit::TButton* button) {
  auto* widget = qobject_cast<QAbstractButton*>(button->Widget());
  if (widget == nullptr) throw rtl::Exception("Press: " + button->Name() + " has no push button");
  widget->click();
}

LoopScript::LoopScript(std::vector<std::function<void()>> steps, int watchdogMs)
    : steps_(std::move(steps)) {
  stepTimer_.setSingleShot(true);
  stepTimer_.setInterval(0);
  QObject::connect(&stepTimer_, &QTimer::timeout, [this] { RunNext(); });
  watchdog_.setSingleShot(true);
  watchdog_.setInterval(watchdogMs);
  QObject::connect(&watchdog_, &QTimer::timeout, [this] {
    watchdogFired_ = true;
    toolkit::Application->Terminate();
  });
  if (!steps_.empty()) stepTimer_.start();
  watchdog_.start();
}

LoopScript::~LoopScript() {
  stepTimer_.stop();
  watchdog_.stop();
}

void LoopScript::RunNext() {
  if (stepsRun_ >= static_cast<int>(steps_.size())) return;
  const std::size_t index = static_cast<std::size_t>(stepsRun_++);
  steps_[index]();
  if (stepsRun_ < static_cast<int>(steps_.size())) stepTimer_.start();
}

void InWorkbench(const std::function<void()>& body) {
  bool ran = false;
  LoopScript script({[&] {
                       ran = true;
                       body();
                     },
                     [] {
                       if (Form1 != nullptr) Form1->Widget()->close();
                     }});
  EXPECT_EQ(RunWorkbench(), 0);
  EXPECT_TRUE(ran) << "the test body should have run inside the message loop";
  EXPECT_EQ(script.StepsRun(), 2) << "the run should have gone on after the body";
  EXPECT_FALSE(script.WatchdogFired()) << "closing the main window should have ended the run";
}

std::vector<std::string> Headlines(const std::vector<std::string>& boxes) {
  std::vector<std::string> lines;
  for (const std::string& box : boxes) lines.push_back(box.substr(0, box.find('\n')));
  return lines;
}

void LoadPack(ScopedDialogs& dialogs, const std::string& file) {
  dialogs->AnswerOpen(file);
  Press(Form1->LoadPack);
}

void NamedRun(const std::string& name) {
  Form1->Edit3->SetText(name);
  Press(Form1->Button8);
}

void WholeProcessRun() {
  EXPECT_FALSE(Form1->Button7->Enabled()) << "Button7 is disabled in the window";
  toolkit::TButton runner(nullptr);
  runner.OnClick = GetMethod(Form1, "Button7Click");
  Press(&runner);
}

std::vector<std::string> PageCaptions() {
  std::vector<std::string> captions;
  for (int i = 0; i < Form3->pcPallete->PageCount(); ++i) {
    captions.push_back(Form3->pcPallete->GetPage(i)->Caption());
  }
  return captions;
}

toolkit::TMemo* PageMemo(const std::string& caption) {
  const toolkit::TPageControl* pages = Form3->pcPallete;
  for (int i = 0; i < pages->PageCount(); ++i) {
    toolkit::TTabSheet* sheet = pages->GetPage(i);
    if (sheet->Caption() != caption) continue;
    // The memo is whatever memo sits on the sheet: found through the sheet, not
    // through the hook's table, so a wrong slot shows up as a mismatch.
    for (int c = 0; c < sheet->ControlCount(); ++c) {
      if (auto* memo = dynamic_cast<toolkit::TMemo*>(sheet->Controls(c))) return memo;
    }
    ADD_FAILURE() << "page \"" << caption << "\" has no memo";
    return nullptr;
  }
  ADD_FAILURE() << "no page \"" << caption << "\" on the palette";
  return nullptr;
}

std::vector<std::string> PageLines(const std::string& caption) {
  toolkit::TMemo* memo = PageMemo(caption);
  return memo != nullptr ? memo->Lines().ToVector() : std::vector<std::string>();
}

std::vector<std::string> PaletteText() {
  std::vector<std::string> text;
  for (const std::string& caption : PageCaptions()) {
    text.push_back("[" + caption + "]");
    for (std::string& line : PageLines(caption)) text.push_back(std::move(line));
  }
  return text;
}

}  // namespace wbtest
