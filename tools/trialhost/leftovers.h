#pragma once

// What package code may set up and leave behind when its package is unloaded: a
// thread, a timer, a handler in code that is no longer mapped, a process. Each would
// bring the workbench down later, long after the trial, when it runs. A trial child
// takes a snapshot before the actions it tries and asks, after each unload, what is
// there that was not.

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace trialhost {

class Snapshot {
 public:
  static Snapshot Take();
  // "1 thread running", "an alarm pending", "a handler for signal SIGTERM",
  // "1 process running"; nothing when all is as it was. Processes left are killed.
  std::vector<std::string> LeftSince() const;
  // The threads alone: asked before a package is unmapped too, while a thread left
  // running still has code to run.
  std::vector<std::string> ThreadsLeft() const;

 private:
  std::set<pid_t> threads_;
  std::set<int> qtTimers_;
  std::set<pid_t> children_;
  int exitHandlers_ = 0;
  int posixTimers_ = 0;
  bool intervalTimers_[3] = {};
};

// From now on, the Qt objects made are kept track of, so that a timer left pending is
// told from Qt's own (LeftSince).
void WatchQtObjects();

// The process ids of this process's children, read from /proc.
std::set<pid_t> Children(pid_t parent);
// Kills every child of this process not in `keep`, and their children as they fall to
// it, until none is left; the number killed.
int KillChildren(const std::set<pid_t>& keep);

// Exit handlers (the trial host stands in for the C library's __cxa_atexit and on_exit
// to see them): how many have been registered so far, and how many of those from the
// first-th on have code that is no longer mapped while the C library will still run
// them when the process exits.
int ExitHandlerCount();
int UnmappedExitHandlers(int first);

}  // namespace trialhost
