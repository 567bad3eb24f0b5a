#include "workbench_test_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace wbtest {

std::string PackagePath(const std::string& name) {
  return std::string(WB_PACKAGE_DIR) + "/lib" + name + ".so";
}

std::vector<rtl::HMODULE> ModuleInstances() {
  std::vector<rtl::HMODULE> modules;
  for (rtl::TLibModule* m = rtl::LibModuleList(); m != nullptr; m = m->Next) {
    modules.push_back(m->Instance);
  }
  return modules;
}

int CountInModuleList(rtl::HMODULE module) {
  int count = 0;
  for (rtl::HMODULE m : ModuleInstances()) count += m == module ? 1 : 0;
  return count;
}

ScopedDialogs::ScopedDialogs() : previous_(toolkit::SetDialogService(&service_)) {}
ScopedDialogs::~ScopedDialogs() {
  toolkit::SetDialogService(previous_);
}

ScopedTrace::ScopedTrace() {
  char pattern[] = "/tmp/workbench_trace_XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd >= 0) close(fd);
  path_ = pattern;
  setenv("RTL_TEST_TRACE", path_.c_str(), 1);
}

ScopedTrace::~ScopedTrace() {
  unsetenv("RTL_TEST_TRACE");
  std::remove(path_.c_str());
}

std::vector<std::string> ScopedTrace::Lines() const {
  std::vector<std::string> lines;
  std::ifstream in(path_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
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
