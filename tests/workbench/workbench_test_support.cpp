#include "workbench_test_support.h"

namespace wbtest {

int CountInModuleList(rtl::HMODULE module) {
  int count = 0;
  for (rtl::HMODULE m : ModuleList()) count += m == module ? 1 : 0;
  return count;
}

ScopedDialogs::ScopedDialogs() : previous_(toolkit::SetDialogService(&service_)) {}
ScopedDialogs::~ScopedDialogs() {
  toolkit::SetDialogService(previous_);
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

}  // namespace wbtest
