#pragma once

// When package code kills the workbench. A fault in code that runs in the process
// ends the process; the workbench must load packages into its own, so it is watched
// by a process that does not: the program splits in two as it starts, before any
// window or package exists. The parent only waits. The child runs the workbench and
// keeps the parent told of its session (windows, texts); when it dies of a fatal
// signal, its crash handler hands the parent a record of the fault first. The parent
// then reports the fault, and starts the workbench again with its session and the
// report, but with no package loaded. It never restarts twice in a row: a workbench
// that dies again soon after a restart ends the program, with the report.
//
//   WB_RESTART=0   no watching process and no crash handler: the workbench runs
//                  alone and dies as any program does (also off, no, false)

#include "Startup.h"

// Read once, first thing: package code that sets WB_RESTART later changes nothing.
bool RestartsWanted();

// Called once the command line has been read, before anything else. Returns in the
// process that is to run the workbench, with what it needs to keep its supervisor
// told (nothing, when restarts are off); the supervising process never returns: it
// ends as the workbench finally ends, with its exit status or its signal.
RunContext Supervise(bool restarts);
