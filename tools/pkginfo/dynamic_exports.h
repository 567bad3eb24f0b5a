#pragma once

// What a package exports besides its package notes, from its dynamic symbol table:
// the plain symbols of add_package's EXPORTS, and the classes of EXPORT_CLASSES. Read
// with elfutils' libelf, without loading the file.

#include <string>
#include <vector>

#include "rtl/package_file.h"

namespace pkginfo {

struct DynamicExports {
  // Defined, visible symbols that are neither the SDK's unit procedures nor C++
  // names, sorted.
  std::vector<std::string> symbols;
  // Classes whose type information the file exports, demangled ("gauges::TGauge"),
  // sorted, each once.
  std::vector<std::string> classes;
};

// The plain symbols of `exports` that no package note exports already.
std::vector<std::string> PlainExports(const rtl::TPackageRecord& record,
                                      const DynamicExports& exports);

// Throws std::runtime_error "<file>: <reason>" when the file cannot be read as ELF.
DynamicExports ReadDynamicExports(const std::string& file);

}  // namespace pkginfo
