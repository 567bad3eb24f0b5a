#pragma once

// The settings that govern trials, read from the environment once, when the program
// starts: package code that changes the environment later (WB_TRIAL=0 set by a unit's
// initialisation) changes nothing.
//
//   WB_TRIAL=0          no trials: package code runs untried (also off, no, false)
//   WB_TRIAL_TIMEOUT=s  the time limit of a trial, in seconds (10)
//   WB_TRIAL_SETTLE=s   how long a trial runs the event loop before its final unload,
//                       in seconds (0)
//   WB_TRIAL_MEMORY=m   what a trial may allocate beyond the host's own, in MiB (1024)
//   WB_TRIAL_ISOLATE=0  trial children share the process namespace of the workbench

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "trial/protocol.h"

namespace trial {

struct Settings {
  bool enabled = true;
  std::chrono::milliseconds timeLimit{10000};
  std::chrono::milliseconds settle{0};
  std::uint64_t memoryLimitMiB = 1024;
  bool isolate = true;
  // A variable that does not hold what it should, as a sentence naming it and its
  // value: no trial runs, and so no untried package code either, while it is set.
  std::string error;

  static Settings FromEnvironment();
};

// This process's settings: read from the environment at the first call (the
// programs call it first thing), or what Configure set.
const Settings& CurrentSettings();
// The program's own settings instead (a test's, for one).
void Configure(const Settings& settings);

// A trial of these actions under this process's settings; `commit`: as TryRequest says.
TryRequest RequestFor(std::vector<Action> actions, bool commit = true);

}  // namespace trial
