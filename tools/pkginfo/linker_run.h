#pragma once

// Asks the system's dynamic linker whether objects would load, without running any
// of their code: the linker runs in a child process in trace mode, and what it says
// is read by ParseLinkerOutput (linker_output.h).

#include <string>
#include <vector>

#include "linker_output.h"

namespace pkginfo {

struct LinkerRun {
  std::string interpreter;  // the dynamic linker to run
  std::string program;      // the program the objects are loaded into
  // Loaded before the program's own libraries, in this order: the objects a
  // running program already holds, then the ones to check.
  std::vector<std::string> preload;
  int timeoutMilliseconds = 10000;
};

LinkerVerdict RunLinker(const LinkerRun& run);

// The dynamic linker this process was started by: the system's own. Never the
// one a checked file names, which could be anything.
std::string SystemInterpreter();

}  // namespace pkginfo
