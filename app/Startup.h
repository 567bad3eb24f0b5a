#pragma once

#include <functional>

#include "CommandLine.h"

// The whole run of the workbench: registers the executable in the module list,
// creates the main window and the palette window, runs the message loop until the
// main window closes, frees the windows and removes the executable again. What the
// command line asks is done from the loop, once the windows are on screen.
// Returns 0 in every case: a failure is shown, never returned.
int RunWorkbench(const CommandLineRequest& request = {});

// Runs the start-up steps inside the one guard of the whole run: a framework
// exception that escapes them is shown as it is; anything else is shown as a
// framework exception with an empty message. Returns 0 in every case.
int RunGuarded(const std::function<void()>& steps);
