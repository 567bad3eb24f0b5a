#pragma once

// What the tests of the program's windows share: its boxes answered from a script,
// buttons pressed as a user presses them, the program run with its message loop, and
// the palette read back as the user sees it.

#include <QObject>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "Unit1.h"
#include "Unit3.h"
#include "scripted_dialogs.h"
#include "test_support.h"
#include "trial/settings.h"

namespace wbtest {

using testsupport::CountInModuleList;
using testsupport::ModuleList;
using testsupport::PackageFile;
using testsupport::TraceFile;

// Answers every box of the program while the test lives.
class ScopedDialogs {
 public:
  ScopedDialogs();
  ~ScopedDialogs();
  ScopedDialogs(const ScopedDialogs&) = delete;
  ScopedDialogs& operator=(const ScopedDialogs&) = delete;
  toolkit::ScriptedDialogService* operator->() { return &service_; }

 private:
  toolkit::ScriptedDialogService service_;
  toolkit::DialogService* previous_ = nullptr;
};

// Trial settings changed for the length of a scope, as if the program had read them
// so at start-up; the ones before come back after.
class ScopedTrialSettings {
 public:
  explicit ScopedTrialSettings(const std::function<void(trial::Settings&)>& change);
  ~ScopedTrialSettings();
  ScopedTrialSettings(const ScopedTrialSettings&) = delete;
  ScopedTrialSettings& operator=(const ScopedTrialSettings&) = delete;

 private:
  trial::Settings previous_;
};

// Closes every modal dialog shown while it lives, as a user would with Escape: for
// boxes that package code opens itself, past the toolkit's dialog service. Keeps the
// text of each (a message box's text, another dialog's title), in order.
class ScopedModalCloser : public QObject {
 public:
  ScopedModalCloser();
  ~ScopedModalCloser() override;
  ScopedModalCloser(const ScopedModalCloser&) = delete;
  ScopedModalCloser& operator=(const ScopedModalCloser&) = delete;
  const std::vector<std::string>& Closed() const noexcept { return closed_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::vector<std::string> closed_;
};

// Presses a button the way a user does: through its widget, so the toolkit's
// exception display catches what the handler raises.
void Press(toolkit::TButton* button);

// Steps that run one after another from inside the event loop, each posted when the
// previous one has returned. A watchdog ends the loop if a step never closes the main
// window, so a faulty program cannot hang the test.
class LoopScript {
 public:
  explicit LoopScript(std::vector<std::function<void()>> steps, int watchdogMs = 10000);
  ~LoopScript();
  LoopScript(const LoopScript&) = delete;
  LoopScript& operator=(const LoopScript&) = delete;
  int StepsRun() const noexcept { return stepsRun_; }
  bool WatchdogFired() const noexcept { return watchdogFired_; }

 private:
  void RunNext();
  std::vector<std::function<void()>> steps_;
  int stepsRun_ = 0;
  bool watchdogFired_ = false;
  QTimer stepTimer_;
  QTimer watchdog_;
};

// Runs body inside the real program's message loop, with both windows up, then
// closes the main window; the run must go on after the body and then end by itself.
void InWorkbench(const std::function<void()>& body);

// In the running program: LoadPack with the open dialog answered by that file; the
// named run with that text in Edit3; the whole-process run, whose button stays
// disabled, through a button of the test's own bound as the window binds its own.
void LoadPack(ScopedDialogs& dialogs, const std::string& file);
void NamedRun(const std::string& name);
void WholeProcessRun();

// The first line of each box: where a trial died of a signal, the place of the fault
// follows on lines of its own.
std::vector<std::string> Headlines(const std::vector<std::string>& boxes);

// What the palette shows: the captions of its pages, and a page's memo lines; every
// page's caption in brackets followed by its lines, for comparing whole palettes.
std::vector<std::string> PageCaptions();
// The memo on the page of that caption; null (and a failure) when there is none.
toolkit::TMemo* PageMemo(const std::string& caption);
std::vector<std::string> PageLines(const std::string& caption);
std::vector<std::string> PaletteText();

}  // namespace wbtest
