#pragma once

// Trials of package code: before the main window runs a package's code in the
// workbench's own process, the trial host tries the same action in a process of its
// own, forked from a shadow of the workbench's package state (platform/trial). Code
// that would kill the workbench kills only that process, and the workbench reports
// it instead of running the code. The settings (WB_TRIAL, WB_TRIAL_TIMEOUT, ...) are
// read once, at start-up (trial/settings.h).

#include <string>
#include <vector>

#include "rtl/package.h"
#include "rtl/sysutils.h"
#include "trial/protocol.h"

// A trial that did not pass: its message names the file, what happened and where,
// and what the workbench then left undone.
class TrialFailure : public rtl::Exception {
 public:
  using rtl::Exception::Exception;
};

// Starts the trial host beside the workbench, without waiting for it to be ready.
void StartTrialHost() noexcept;
// The program starts anew in this process: the trial host forgets what was done.
void ResetTrials();

// LoadPack once a file is chosen: the slot's package (0: none) unloaded and the file
// loaded, both tried first, in one trial. The unload is done as the trial allows
// (UnloadTried); then the file is loaded, held to what was tried, and returned.
// Raises TrialFailure when the trial did not pass; an unload or load that raises
// raises as it always has.
rtl::HMODULE LoadTried(rtl::HMODULE previous, const std::string& fileName);

enum class UnloadCause { UnLoadPack, Closing };
// Unloads a package that has left the slot, once a trial of the unload has passed.
// When the unload died on trial the package is condemned instead: it stays mapped
// until the workbench ends, and its finalisation never runs; TrialFailure says so.
void UnloadTried(rtl::HMODULE module, UnloadCause cause);

// Whether a package was condemned in this run: the workbench then ends without
// running the static destructors of what is still mapped.
bool AnyPackageCondemned();

// A registration procedure: an export of a loaded module.
struct TrialProcedure {
  rtl::HMODULE module = 0;
  std::string name;
};

// Tries calling the procedures in order, in the state the workbench is in. Raises
// TrialFailure ending with notRun (what the caller will not do) when the trial did
// not pass; returns at once when trials are off.
void TryProcedures(const std::vector<TrialProcedure>& procedures, const std::string& notRun);

// Calls a registration procedure of a module that its trial has passed; a fatal
// signal meanwhile is recorded as the run of that procedure.
void CallProcedure(rtl::HMODULE module, const std::string& name, void (*procedure)());

// Tries making an instance of the registered class, taking the steps on it in order
// and freeing it, in the state the workbench is in; `file` is the module the class
// lives in. Raises TrialFailure ending with notDone when the trial did not pass, and
// returns at once when trials are off. A step that raised passes: the workbench takes
// it and shows what it raises.
void TryPreview(const std::string& className, const std::vector<trial::PreviewStep>& steps,
                const std::string& file, const std::string& notDone);

// The file of the module that holds this address (a class's descriptor, say).
std::string ModuleFileOf(const void* address);
