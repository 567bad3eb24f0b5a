#pragma once

// Trial runs of package code: before the main window runs a package's code in the
// workbench's own process, the trial host runs the same code in a process of its
// own (see tools/trialhost/trial_client.h). Code that would kill the workbench kills
// only that process, and the workbench reports it instead of running the code. The
// environment variable WB_TRIAL=0 turns trials off, WB_TRIAL_TIMEOUT sets their time
// limit in seconds (10 by default).

#include <string>
#include <vector>

#include "rtl/package.h"

// Starts the trial host beside the workbench, without waiting for it to be ready.
void StartTrialHost() noexcept;

// Loads the file, with the packages it requires, and unloads it again, in a trial.
// Raises rtl::Exception when that ended the trial (a signal, an exit, the time
// limit), naming the file, the stage it died in and how. Returns when the trial
// ended normally, a load that raised included (the real load will raise the same),
// and at once when trials are off.
void TryLoad(const std::string& fileName);

// A registration procedure: an export of a loaded module.
struct TrialProcedure {
  rtl::HMODULE module = 0;
  std::string name;
};

// Loads the modules' files and calls the procedures in order, in a trial; the same
// contract as TryLoad. The modules stay loaded in the trial, as they do here. The
// message of a trial that died ends with notRun: what the caller will not do.
void TryProcedures(const std::vector<TrialProcedure>& procedures, const std::string& notRun);
