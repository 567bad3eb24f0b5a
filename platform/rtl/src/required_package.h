#pragma once

// Where the package loader finds a required package that is not loaded yet. One
// rule, used by LoadPackage and by pkginfo's check, so that the check cannot say
// anything the loader would not do.

#include <string>
#include <vector>

#include "rtl/export.h"

namespace rtl::detail {

struct RequiredPackageFile {
  std::string path;                 // the first candidate that exists; empty when none does
  std::string how;                  // the place it was found in, for reports
  std::vector<std::string> looked;  // every candidate, in order
};

// lib<name>.so beside the package that requires it, else beside the run-time
// library, where a framework library may also be there only as lib<name>.so.<soname
// version>. A name that is not one the SDK writes raises instead of becoming part
// of a path (the record reader lets no other through).
RTL_API RequiredPackageFile FindRequiredPackage(const std::string& name,
                                                const std::string& requirerDirectory,
                                                const std::string& runtimeDirectory);

// "required package <name> not found (looked for <first> or <second>)"
RTL_API std::string RequiredPackageNotFound(const std::string& name,
                                            const RequiredPackageFile& search);

// The directory of the librtl.so this process runs with; empty when unknown.
RTL_API std::string RuntimeLibraryDirectory();

}  // namespace rtl::detail
