#pragma once

// Asks the system's dynamic linker whether objects would load, without running
// any of their code: the linker runs in a child process in trace mode, binding
// every symbol at once, as `ldd -r` runs it, and says what it looked for, where it
// found it and what it could not bind. This file only reads what the linker says;
// it decides nothing on the side.

#include <string>
#include <string_view>
#include <vector>

namespace pkginfo {

// One required package or library, found or not.
struct Resolution {
  std::string name;
  std::string neededBy;             // the file that asks for it
  std::string path;                 // empty when not found
  std::string how;                  // where it was found: "RUNPATH of <file>", "ld.so.cache", ...
  std::vector<std::string> looked;  // the places searched, when not found
  std::string problem;              // empty when it is usable
};

struct UnresolvedSymbol {
  std::string symbol;
  std::string version;  // empty for a reference without a version
  std::string neededBy;
};

struct LinkerRun {
  std::string interpreter;  // the dynamic linker to run
  std::string program;      // the program the objects are loaded into
  // Loaded before the program's own libraries, in this order: the objects a
  // running program already holds, then the ones to check.
  std::vector<std::string> preload;
  int timeoutMilliseconds = 10000;
};

struct LinkerVerdict {
  // Each object the linker looked up, in the order it took them up; a preloaded
  // object is needed by the program under its path. An object found under one
  // name is not looked up again under that name or its soname.
  std::vector<Resolution> libraries;
  std::vector<UnresolvedSymbol> symbols;
  // Everything else it refused, in its words: a missing symbol version, an object
  // it would not preload, its own death by a signal.
  std::vector<std::string> errors;
};

LinkerVerdict RunLinker(const LinkerRun& run);

// Reads the linker's output (standard output and error as one stream) into a
// verdict. `program` is the name the linker's messages give the program.
LinkerVerdict ParseLinkerOutput(std::string_view output, std::string_view program);

// The dynamic linker this process was started by: the system's own. Never the
// one a checked file names, which could be anything.
std::string SystemInterpreter();

}  // namespace pkginfo
