#pragma once

// Reads what the system's dynamic linker says in trace mode, binding every symbol at
// once as `ldd -r` runs it: what it looked for, where it found it and what it could
// not bind. This file only reads what the linker says; it decides nothing on the side
// and runs nothing (linker_run.h runs the linker).

#include <string>
#include <string_view>
#include <vector>

#include "rtl/package_file.h"

namespace pkginfo {

struct UnresolvedSymbol {
  std::string symbol;
  std::string version;  // empty for a reference without a version
  std::string neededBy;
};

struct LinkerVerdict {
  // Each object the linker looked up, in the order it took them up; a preloaded
  // object is needed by the program under its path. An object found under one
  // name is not looked up again under that name or its soname. Where one was found
  // reads as "RUNPATH of <file>", "ld.so.cache", ...; the places searched for one
  // not found are places ("system directories"), not files.
  std::vector<rtl::TResolution> libraries;
  std::vector<UnresolvedSymbol> symbols;
  // Everything else it refused, in its words: a missing symbol version, an object
  // it would not preload, its own death by a signal.
  std::vector<std::string> errors;
};

// Reads the linker's output (standard output and error as one stream) into a
// verdict. `program` is the name the linker's messages give the program.
LinkerVerdict ParseLinkerOutput(std::string_view output, std::string_view program);

}  // namespace pkginfo
