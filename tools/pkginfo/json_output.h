#pragma once

// pkginfo's machine-readable output: one JSON object per file, on a line of its
// own. Texts from package files are arbitrary bytes: valid UTF-8 passes through,
// anything else becomes U+FFFD, so that every line parses.

#include <optional>
#include <string>

#include "rtl/package_file.h"

#include "dynamic_exports.h"
#include "preflight.h"
#include "registration.h"

namespace pkginfo {

// What the file says about itself; "packageInformation" is false for an ordinary
// shared library (no record), and then nothing else but the file name follows.
std::string InfoJson(const std::string& file, const std::optional<rtl::TPackageRecord>& record,
                     const DynamicExports& exports = {});
// A file that could not be read at all.
std::string ErrorJson(const std::string& file, const std::string& message);
// What was not checked is null, what was checked and found empty is [].
std::string CheckJson(const CheckReport& report);
std::string RegistrationJson(const RegistrationRun& run);

}  // namespace pkginfo
