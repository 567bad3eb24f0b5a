#pragma once

// pkginfo's output for people, beside json_output.h's for programs: one block of
// lines per file on standard output, pkginfo's own errors on standard error.

#include <optional>
#include <string>

#include "rtl/package_file.h"

#include "dynamic_exports.h"
#include "preflight.h"
#include "registration.h"

namespace pkginfo {

// "pkginfo: <message>" on standard error, after what standard output holds so far.
void PrintError(const std::string& message);
void PrintInfo(const std::string& file, const std::optional<rtl::TPackageRecord>& record,
               const DynamicExports& exports);
void PrintCheck(const CheckReport& report);
// What --register did with a file it loaded.
void PrintRegistration(const RegistrationRun& run);
// The run's error, then the place of the fault it died of, a line a frame.
void PrintFailure(const RegistrationRun& run);
// What the package's code printed, on standard error and marked as the package's.
void PrintOutput(const RegistrationRun& run);

}  // namespace pkginfo
