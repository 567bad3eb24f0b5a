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

std::string Join(const std::vector<std::string>& items) {
  if (items.empty()) return "(none)";
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ", ";
    out += item;
  }
  return out;
}

// Keeps the order of stdout and stderr as the files were named.
void PrintError(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "pkginfo: %s\n", message.c_str());
}

void PrintLine(const std::string& json) {
  std::printf("%s\n", json.c_str());
}

std::string ErrorOf(const std::string& file, const std::exception& e) {
  if (const auto* rtlError = dynamic_cast<const rtl::Exception*>(&e)) return rtlError->Message();
  return file + ": " + e.what();
}

// --- the record ----------------------------------------------------------

// The registration procedures among the exports, or the others: those of the package
// notes, then the plain symbols of the dynamic symbol table (add_package's EXPORTS).
void PrintExports(const char* title, const rtl::TPackageRecord& r, bool registration,
                  const std::vector<std::string>& symbols = {}) {
  std::string lines;
  for (const rtl::TPackageExport& e : r.exports) {
    if (rtl::IsRegistrationProcName(e.name) == registration) {
      lines += "  " + e.name + " -> " + e.symbol + "\n";
    }
  }
  for (const std::string& symbol : symbols) lines += "  " + symbol + "\n";
  std::printf("%s:%s\n%s", title, lines.empty() ? " (none)" : "", lines.c_str());
}

void PrintInfo(const std::string& file, const std::optional<rtl::TPackageRecord>& record,
               const pkginfo::DynamicExports& exports) {
  std::printf("file: %s\n", file.c_str());
  if (!record) {
    std::printf("no package information (an ordinary shared library)\n");
    return;
  }
  const rtl::TPackageRecord& r = *record;
  std::printf("package: %s\n", r.name.c_str());
  std::printf("description: %s\n", r.description.c_str());
  std::printf("flags: %d\n", static_cast<int>(r.flags));
  std::printf("requires: %s\n", Join(r.requiredPackages).c_str());
  std::printf("contains: %s\n", Join(r.units).c_str());
  std::printf("build artifact: %s\n", r.buildArtifact.c_str());
  PrintExports("registration procedures", r, true);
  PrintExports("other exports", r, false, pkginfo::PlainExports(r, exports));
  std::printf("exported classes: %s\n",
              exports.classes.empty() ? "(none)" : Join(exports.classes).c_str());
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
      PrintInfo(file, record, exports);
    } catch (const std::exception& e) {
      status = 1;
      if (asJson) {
        PrintLine(pkginfo::ErrorJson(file, ErrorOf(file, e)));
      } else {
        PrintError(ErrorOf(file, e));
      }
    }
  }
  return status;
}

// --- --check -------------------------------------------------------------

// "<path> (<how>)", or what is wrong with it.
std::string Where(const pkginfo::Resolution& r) {
  if (!r.problem.empty()) {
    std::string text = (r.path.empty() ? "MISSING: " : "REFUSED: ") + r.problem;
    // A required package's problem names the files looked for already.
    if (!r.looked.empty() && r.problem.find("(looked for") == std::string::npos) {
      text += " (searched " + Join(r.looked) + ")";
    }
    return text;
  }
  return r.path + " (" + r.how + ")";
}

void PrintCheck(const pkginfo::CheckReport& report) {
  std::printf("file: %s\n", report.file.c_str());
  if (!report.package.empty()) std::printf("package: %s\n", report.package.c_str());
  if (report.packages) {
    std::printf("required packages:%s\n", report.packages->empty() ? " (none)" : "");
    const std::string& own =
        report.packages->empty() ? report.file : report.packages->front().neededBy;
    for (const pkginfo::Resolution& r : *report.packages) {
      const std::string by = r.neededBy == own ? "" : " (required by " + r.neededBy + ")";
      std::printf("  %s%s: %s\n", r.name.c_str(), by.c_str(), Where(r).c_str());
    }
  }
  if (report.libraries) {
    // Required packages are listed above; the rest in the order the linker took
    // them up, under the object that needs them.
    std::vector<std::string> program;
    for (const pkginfo::Resolution& r : *report.libraries) {
      if (r.how == pkginfo::kLoadedWithTheProgram) program.push_back(r.path);
    }
    std::printf("libraries, as the system's dynamic linker finds them:\n");
    if (!program.empty())
      std::printf("  %s: %s\n", pkginfo::kLoadedWithTheProgram, Join(program).c_str());
    std::string lastObject;
    bool any = false;
    for (const pkginfo::Resolution& r : *report.libraries) {
      if (r.neededBy.empty()) continue;
      if (r.neededBy != lastObject) {
        std::printf("  needed by %s:\n", r.neededBy.c_str());
        lastObject = r.neededBy;
      }
      std::printf("    %s: %s\n", r.name.c_str(), Where(r).c_str());
      any = true;
    }
    if (!any) std::printf("  nothing else: what it needs is loaded with the program\n");
  }
  if (report.symbols) {
    std::printf("undefined symbols:%s\n", report.symbols->empty() ? " (none)" : "");
    for (const pkginfo::UnresolvedSymbol& s : *report.symbols) {
      const std::string version = s.version.empty() ? "" : ", version " + s.version;
      std::printf("  %s%s (needed by %s)\n", s.symbol.c_str(), version.c_str(), s.neededBy.c_str());
    }
  }
  const std::vector<std::string> problems = report.Problems();
  if (problems.empty()) {
    std::printf("verdict: nothing missing\n");
  } else {
    std::printf("verdict: would not load\n");
    for (const std::string& problem : problems) std::printf("  %s\n", problem.c_str());
  }
}

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
    PrintCheck(report);
  }
  return status;
}

// --- --register ----------------------------------------------------------

// The run's error, then the place of the fault it died of, a line a frame.
void PrintFailure(const pkginfo::RegistrationRun& run) {
  PrintError(run.error);
  if (!run.ended) return;
  for (const std::string& line : run.ended->place) std::fprintf(stderr, "  %s\n", line.c_str());
}

// A text default as it would be written in a form description, so that an empty one
// shows: quoted, with what would break the line escaped.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A text list's default comes one item a line: shown as its quoted items.
std::string DefaultShown(const pkginfo::PublishedProperty& property) {
  if (property.type == "Text") return Quoted(property.defaultText);
  if (property.type != "Text list") return property.defaultText;
  std::string out;
  for (std::size_t start = 0; start < property.defaultText.size();) {
    const std::size_t end =
        std::min(property.defaultText.find('\n', start), property.defaultText.size());
    out += (out.empty() ? "" : ", ") + Quoted(property.defaultText.substr(start, end - start));
    start = end + 1;
  }
  return "[" + out + "]";
}

// Under its page's line, a block for each class: a property a line, then the methods;
// a class that publishes nothing takes one line.
void PrintPublished(const pkginfo::RegisteredPage& call) {
  for (const pkginfo::PublishedClass& cls : call.published) {
    if (cls.properties.empty() && cls.methods.empty()) {
      std::printf("    %s: publishes nothing\n", cls.name.c_str());
      continue;
    }
    std::printf("    %s:\n", cls.name.c_str());
    for (const pkginfo::PublishedProperty& property : cls.properties) {
      std::printf("      %s: %s = %s\n", property.name.c_str(), property.type.c_str(),
                  DefaultShown(property).c_str());
    }
    if (!cls.methods.empty()) std::printf("      methods: %s\n", Join(cls.methods).c_str());
  }
}

void PrintRegistration(const pkginfo::RegistrationRun& run) {
  std::printf("file: %s\n", run.file.c_str());
  std::printf("package: %s\n", run.package.c_str());
  for (const pkginfo::ProcedureRun& procedure : run.procedures) {
    std::printf("%s:%s\n", procedure.name.c_str(),
                procedure.calls.empty() && procedure.error.empty() ? " registered nothing" : "");
    for (const pkginfo::RegisteredPage& call : procedure.calls) {
      std::printf("  page \"%s\": %s\n", call.page.c_str(), Join(call.classes).c_str());
      PrintPublished(call);
    }
  }
  if (run.procedures.empty() && run.error.empty()) {
    std::printf("no registration procedures\n");
  }
  for (const pkginfo::ProcedureRun& procedure : run.procedures) {
    if (!procedure.error.empty()) {
      PrintError(run.file + ": " + procedure.name + " raised: " + procedure.error);
    }
  }
  if (!run.error.empty()) PrintFailure(run);
}

// What the package's code printed, on stderr and marked as the package's: stdout stays
// pkginfo's own.
void PrintOutput(const pkginfo::RegistrationRun& run) {
  if (run.output.empty()) return;
  std::string text = run.output;
  if (text.back() != '\n') text += '\n';
  std::fflush(stdout);
  std::fprintf(stderr, "pkginfo: %s: its code printed%s:\n", run.file.c_str(),
               run.outputCut ? " (the first 64 KiB)" : "");
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    std::fprintf(stderr, "  | %s\n", text.substr(start, end - start).c_str());
    start = end + 1;
  }
}

int Register(const std::vector<pkginfo::RegistrationRequest>& requests, bool asJson) {
  int status = 0;
  bool first = true;
  for (const pkginfo::RegistrationRun& run : pkginfo::RunRegistrations(requests)) {
    if (!run.Ok()) status = 1;
    if (asJson) {
      PrintLine(pkginfo::RegistrationJson(run));
      continue;
    }
    PrintOutput(run);
    if (run.package.empty()) {
      PrintFailure(run);  // not loaded: one line says why, and where it faulted
      continue;
    }
    if (!first) std::printf("\n");
    first = false;
    PrintRegistration(run);
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
      requests.push_back({pkginfo::AbsolutePath(argument), {}});
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
    for (std::string& file : files) file = pkginfo::AbsolutePath(file);
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
    PrintError(e.what());
  }
  return 1;
}
