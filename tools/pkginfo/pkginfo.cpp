// pkginfo: shows what a package file says about itself, checks whether it would
// load, and runs its registration procedures without the workbench. Reading and
// checking run none of the file's code; --register does.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "dynamic_exports.h"
#include "json_output.h"
#include "preflight.h"
#include "registration.h"
#include "rtl/package.h"
#include "rtl/package_file.h"
#include "rtl/sysutils.h"
#include "text_output.h"
#include "trial/settings.h"

namespace {

// Laid out the way help2man reads it: the manual page is made from this text.
constexpr const char* kUsage =
    "Usage: pkginfo [--json] [--] FILE...\n"
    "  or:  pkginfo --check [--json] FILE...\n"
    "  or:  pkginfo --register [--json] FILE [PROCEDURE] [FILE [PROCEDURE]]...\n"
    "Without a mode, prints the package information of each package FILE without\n"
    "loading it: package name, description, required packages, contained units,\n"
    "build-artifact name, registration procedures, other exports (the package notes'\n"
    "and add_package's EXPORTS) and the classes it exports (EXPORT_CLASSES).\n"
    "\n"
    "Options:\n"
    "  --check     tells, without running any code of FILE, whether the workbench\n"
    "              could load it: finds each required package the way the package\n"
    "              loader does, then asks the system's dynamic linker, in trace\n"
    "              mode, where it finds each library and which symbols it cannot\n"
    "              bind. A plain library gets the linker's answer too, and the\n"
    "              verdict that it is no package.\n"
    "  --register  LOADS FILE, WHICH RUNS ITS CODE, then runs the registration\n"
    "              procedure PROCEDURE (every \"@<Unit>@Register$qqrv\" it exports when\n"
    "              none is named) and prints the palette pages and classes\n"
    "              registered, in order, with the properties each class publishes\n"
    "              (type and default) and its published methods, then unloads it.\n"
    "              It all runs in a helper process: code that crashes, exits,\n"
    "              overruns WB_TRIAL_TIMEOUT seconds (10 by default) or\n"
    "              WB_TRIAL_MEMORY MiB (1024), or leaves a thread, timer, handler or\n"
    "              process behind when it is unloaded is reported with its stage.\n"
    "              What the package's code prints is shown on stderr (in \"output\"\n"
    "              with --json), apart from pkginfo's own. Several FILEs are loaded\n"
    "              and run in order in one helper process, each staying loaded while\n"
    "              the next runs: a class name that two of them register is refused\n"
    "              at the second, as the workbench refuses it. An argument that names\n"
    "              no file and does not end in \".so\" is the PROCEDURE of the FILE\n"
    "              before it.\n"
    "  --json      prints one JSON object per FILE instead of text, errors included.\n"
    "  --help      prints this text.\n"
    "  --version   prints pkginfo's version.\n"
    "\n"
    "Exit status:\n"
    "  0 when every file could be read (with --check: would load; with --register:\n"
    "  every procedure returned), 1 otherwise, 2 on a usage error.\n";

void PrintLine(const std::string& json) {
  std::printf("%s\n", json.c_str());
}

std::string ErrorOf(const std::string& file, const std::exception& e) {
  if (const auto* rtlError = dynamic_cast<const rtl::Exception*>(&e)) return rtlError->Message();
  return file + ": " + e.what();
}

int ShowInfo(const std::vector<std::string>& files, bool asJson) {
  int status = 0;
  bool first = true;
  for (const std::string& file : files) {
    try {
      const std::optional<rtl::TPackageRecord> record = rtl::ReadPackageFile(file);
      const pkginfo::DynamicExports exports = pkginfo::ReadDynamicExports(file);
      if (asJson) {
        PrintLine(pkginfo::InfoJson(file, record, exports));
        continue;
      }
      if (!first) std::printf("\n");
      first = false;
      pkginfo::PrintInfo(file, record, exports);
    } catch (const std::exception& e) {
      status = 1;
      if (asJson) {
        PrintLine(pkginfo::ErrorJson(file, ErrorOf(file, e)));
      } else {
        pkginfo::PrintError(ErrorOf(file, e));
      }
    }
  }
  return status;
}

// --- --check -------------------------------------------------------------

int Check(const std::vector<std::string>& files, bool asJson) {
  const pkginfo::CheckSettings settings = pkginfo::CheckSettings::FromProcess();
  int status = 0;
  bool first = true;
  for (const std::string& file : files) {
    const pkginfo::CheckReport report = pkginfo::CheckPackage(file, settings);
    if (!report.Problems().empty()) status = 1;
    if (asJson) {
      PrintLine(pkginfo::CheckJson(report));
      continue;
    }
    if (!first) std::printf("\n");
    first = false;
    pkginfo::PrintCheck(report);
  }
  return status;
}

// --- --register ----------------------------------------------------------

int Register(const std::vector<pkginfo::RegistrationRequest>& requests, bool asJson) {
  int status = 0;
  bool first = true;
  for (const pkginfo::RegistrationRun& run : pkginfo::RunRegistrations(requests)) {
    if (!run.Ok()) status = 1;
    if (asJson) {
      PrintLine(pkginfo::RegistrationJson(run));
      continue;
    }
    pkginfo::PrintOutput(run);
    if (run.package.empty()) {
      pkginfo::PrintFailure(run);  // not loaded: one line says why, and where it faulted
      continue;
    }
    if (!first) std::printf("\n");
    first = false;
    pkginfo::PrintRegistration(run);
  }
  return status;
}

// --register's arguments: each names a package file, or (when it names no file and
// does not end in ".so") the procedure to run from the file before it.
std::optional<std::vector<pkginfo::RegistrationRequest>> Requests(
    const std::vector<std::string>& arguments) {
  std::vector<pkginfo::RegistrationRequest> requests;
  for (const std::string& argument : arguments) {
    const bool file =
        requests.empty() || argument.ends_with(".so") || std::filesystem::exists(argument);
    if (file) {
      requests.push_back({rtl::AbsolutePath(argument), {}});
    } else if (requests.back().procedure.empty()) {
      requests.back().procedure = argument;
    } else {
      return std::nullopt;
    }
  }
  return requests;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "pkginfo: %s\n%s", message.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Read once, before any package's code could change the environment.
  trial::CurrentSettings();
  enum class Mode { Info, Check, Register } mode = Mode::Info;
  bool asJson = false;
  std::vector<std::string> files;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && (arg == "--help" || arg == "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (options && arg == "--version") {
      std::printf("pkginfo %s\n", PKGINFO_VERSION);
      return 0;
    } else if (options && arg == "--json") {
      asJson = true;
    } else if (options && (arg == "--check" || arg == "--register")) {
      const Mode wanted = arg == "--check" ? Mode::Check : Mode::Register;
      if (mode != Mode::Info && mode != wanted)
        return UsageError("--check and --register exclude each other");
      mode = wanted;
    } else if (options && arg.size() > 1 && arg.front() == '-') {
      return UsageError("unknown option " + std::string(arg));
    } else {
      files.emplace_back(arg);
    }
  }
  if (files.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // Every file is named by its absolute path, in text and JSON alike; --register's
  // arguments may be procedures, and are sorted out there.
  if (mode != Mode::Register) {
    for (std::string& file : files) file = rtl::AbsolutePath(file);
  }
  try {
    switch (mode) {
      case Mode::Info:
        return ShowInfo(files, asJson);
      case Mode::Check:
        return Check(files, asJson);
      case Mode::Register: {
        const auto requests = Requests(files);
        if (!requests) return UsageError("--register takes at most one PROCEDURE after each FILE");
        return Register(*requests, asJson);
      }
    }
  } catch (const std::exception& e) {
    pkginfo::PrintError(e.what());
  }
  return 1;
}
