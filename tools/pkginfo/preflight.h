#pragma once

// The pre-flight check behind `pkginfo --check`: would LoadPackage succeed on this
// file, and if not, why? The package level is the loader's own load plan: the
// record, and each required package found by the rule the loader uses. Whether the libraries
// and symbols resolve is the system's dynamic linker's verdict, asked in trace mode
// with the framework and the required packages already in place, as they are when
// the workbench loads the file. None of the file's code runs.

#include <optional>
#include <string>
#include <vector>

#include "linker_run.h"

namespace pkginfo {

struct CheckSettings {
  // Where the framework's libraries are: the workbench holds them loaded before
  // any package, and the loader looks there for required packages second.
  std::string runtimeDirectory;
  std::string interpreter;  // the system's dynamic linker
  std::string program;      // the program the file is loaded into: this one

  static CheckSettings FromProcess();
};

struct CheckReport {
  std::string file;
  std::string package;  // the package's name; empty when the file is none
  std::string problem;  // the file itself cannot be loaded
  // Unset when not checked: nothing is known, which is not the same as nothing
  // needed. A file that cannot be read is not handed to the linker; a plain
  // library has no required packages to look for.
  std::optional<std::vector<rtl::TResolution>> packages;  // in the order the loader takes them
  std::optional<std::vector<rtl::TResolution>> libraries;
  std::optional<std::vector<UnresolvedSymbol>> symbols;
  std::vector<std::string> linkerErrors;  // what the linker refused besides those

  // One line per reason the load would fail; empty when nothing is missing.
  std::vector<std::string> Problems() const;
};

// How `libraries` marks the framework's libraries, held by the program already.
inline constexpr const char* kLoadedWithTheProgram = "loaded with the program";

CheckReport CheckPackage(const std::string& file, const CheckSettings& settings);

}  // namespace pkginfo
