// pkginfo's output for people: what each mode prints about a file, and pkginfo's
// own errors on standard error.

#include "text_output.h"

#include <algorithm>
#include <cstdio>

#include "rtl/package.h"

namespace pkginfo {

namespace {

std::string Join(const std::vector<std::string>& items) {
  if (items.empty()) return "(none)";
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ", ";
    out += item;
  }
  return out;
}

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

// "<path> (<how>)", or what is wrong with it, with the places searched when its
// problem does not name them: the loader's message about a required package names
// the files it looked for, the linker's about a library does not.
std::string Where(const rtl::TResolution& r, bool withPlaces) {
  if (!r.problem.empty()) {
    std::string text = (r.path.empty() ? "MISSING: " : "REFUSED: ") + r.problem;
    if (withPlaces && !r.looked.empty()) text += " (searched " + Join(r.looked) + ")";
    return text;
  }
  return r.path + " (" + r.how + ")";
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
std::string DefaultShown(const PublishedProperty& property) {
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
void PrintPublished(const RegisteredPage& call) {
  for (const PublishedClass& cls : call.published) {
    if (cls.properties.empty() && cls.methods.empty()) {
      std::printf("    %s: publishes nothing\n", cls.name.c_str());
      continue;
    }
    std::printf("    %s:\n", cls.name.c_str());
    for (const PublishedProperty& property : cls.properties) {
      std::printf("      %s: %s = %s\n", property.name.c_str(), property.type.c_str(),
                  DefaultShown(property).c_str());
    }
    if (!cls.methods.empty()) std::printf("      methods: %s\n", Join(cls.methods).c_str());
  }
}

}  // namespace

// Keeps the order of stdout and stderr as the files were named.
void PrintError(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "pkginfo: %s\n", message.c_str());
}

void PrintInfo(const std::string& file, const std::optional<rtl::TPackageRecord>& record,
               const DynamicExports& exports) {
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
  PrintExports("other exports", r, false, PlainExports(r, exports));
  std::printf("exported classes: %s\n",
              exports.classes.empty() ? "(none)" : Join(exports.classes).c_str());
}

void PrintCheck(const CheckReport& report) {
  std::printf("file: %s\n", report.file.c_str());
  if (!report.package.empty()) std::printf("package: %s\n", report.package.c_str());
  if (report.packages) {
    std::printf("required packages:%s\n", report.packages->empty() ? " (none)" : "");
    const std::string& own =
        report.packages->empty() ? report.file : report.packages->front().neededBy;
    for (const rtl::TResolution& r : *report.packages) {
      const std::string by = r.neededBy == own ? "" : " (required by " + r.neededBy + ")";
      std::printf("  %s%s: %s\n", r.name.c_str(), by.c_str(), Where(r, false).c_str());
    }
  }
  if (report.libraries) {
    // Required packages are listed above; the rest in the order the linker took
    // them up, under the object that needs them.
    std::vector<std::string> program;
    for (const rtl::TResolution& r : *report.libraries) {
      if (r.how == kLoadedWithTheProgram) program.push_back(r.path);
    }
    std::printf("libraries, as the system's dynamic linker finds them:\n");
    if (!program.empty()) std::printf("  %s: %s\n", kLoadedWithTheProgram, Join(program).c_str());
    std::string lastObject;
    bool any = false;
    for (const rtl::TResolution& r : *report.libraries) {
      if (r.neededBy.empty()) continue;
      if (r.neededBy != lastObject) {
        std::printf("  needed by %s:\n", r.neededBy.c_str());
        lastObject = r.neededBy;
      }
      std::printf("    %s: %s\n", r.name.c_str(), Where(r, true).c_str());
      any = true;
    }
    if (!any) std::printf("  nothing else: what it needs is loaded with the program\n");
  }
  if (report.symbols) {
    std::printf("undefined symbols:%s\n", report.symbols->empty() ? " (none)" : "");
    for (const UnresolvedSymbol& s : *report.symbols) {
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

// The run's error, then the place of the fault it died of, a line a frame.
void PrintFailure(const RegistrationRun& run) {
  PrintError(run.error);
  if (!run.ended) return;
  for (const std::string& line : run.ended->place) std::fprintf(stderr, "  %s\n", line.c_str());
}

void PrintRegistration(const RegistrationRun& run) {
  std::printf("file: %s\n", run.file.c_str());
  std::printf("package: %s\n", run.package.c_str());
  for (const ProcedureRun& procedure : run.procedures) {
    std::printf("%s:%s\n", procedure.name.c_str(),
                procedure.calls.empty() && procedure.error.empty() ? " registered nothing" : "");
    for (const RegisteredPage& call : procedure.calls) {
      std::printf("  page \"%s\": %s\n", call.page.c_str(), Join(call.classes).c_str());
      PrintPublished(call);
    }
  }
  if (run.procedures.empty() && run.error.empty()) {
    std::printf("no registration procedures\n");
  }
  for (const ProcedureRun& procedure : run.procedures) {
    if (!procedure.error.empty()) {
      PrintError(run.file + ": " + procedure.name + " raised: " + procedure.error);
    }
  }
  if (!run.error.empty()) PrintFailure(run);
}

// What the package's code printed, on stderr and marked as the package's: stdout stays
// pkginfo's own.
void PrintOutput(const RegistrationRun& run) {
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

}  // namespace pkginfo
