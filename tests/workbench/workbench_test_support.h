#pragma once

#include <QAbstractButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Unit1.h"
#include "Unit3.h"
#include "rtl/package.h"
#include "scripted_dialogs.h"
#include "test_support.h"
#include "toolkit/toolkit.h"

namespace wbtest {

using testsupport::ModuleList;
using testsupport::PackageFile;
using testsupport::TraceFile;

// How many records of the module list hold this handle.
int CountInModuleList(rtl::HMODULE module);

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

}  // namespace wbtest
