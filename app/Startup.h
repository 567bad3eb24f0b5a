#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "CommandLine.h"
#include "Reload.h"

// What a run brings from the run before it, when a fault ended that one.
struct Resumed {
  std::string session;  // as CaptureSession wrote it
  std::string report;   // what ended it, for the box
};

// What a run is given besides its command line.
struct RunContext {
  std::optional<Resumed> resumed;
  // Told the session each time it changes: the process that would restart the
  // workbench keeps it. Nothing: the session is not kept.
  std::function<void(const std::string&)> keepSession;
  // With --watch: how long the package file must stay as it is before it is reloaded.
  std::chrono::milliseconds settle = PackageReloader::kSettle;
};

// The whole run of the workbench: registers the executable in the module list,
// creates the main window and the palette window, runs the message loop until the
// main window closes, frees the windows and removes the executable again. What the
// command line asks is done from the loop, once the windows are on screen.
// A resumed run puts its windows and texts back as they were and shows the report.
// Returns 0 in every case: a failure is shown, never returned.
int RunWorkbench(const CommandLineRequest& request = {}, const RunContext& context = {});

// Runs the start-up steps inside the one guard of the whole run: a framework
// exception that escapes them is shown as it is; anything else is shown as a
// framework exception with an empty message. Returns 0 in every case.
int RunGuarded(const std::function<void()>& steps);
