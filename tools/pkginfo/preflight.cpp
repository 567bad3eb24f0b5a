#include "preflight.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "rtl/package_file.h"
#include "rtl/sysutils.h"

namespace pkginfo {

namespace {

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Canonical(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

class Checker {
 public:
  Checker(const CheckSettings& settings, CheckReport& report)
      : settings_(settings), report_(report) {}

  void Run(const std::string& file) {
    std::optional<rtl::TPackageRecord> record;
    try {
      record = rtl::ReadPackageFile(file, rtl::TFileCheck::Loading);
    } catch (const rtl::Exception& e) {
      report_.problem = e.Message();
      return;  // LoadPackage would not go further either
    }
    FindFramework();
    const std::string absolute = AbsolutePath(file);
    if (!record) {
      report_.problem = "not a package (the file carries no package information)";
    } else {
      report_.package = record->name;
      if (const auto framework = framework_.find(record->name);
          framework != framework_.end() && Canonical(framework->second) != Canonical(file)) {
        report_.problem = "package " + record->name + " is already loaded from " +
                          Canonical(framework->second) + "; refusing " + file;
      }
      report_.packages.emplace();
      std::vector<std::string> chain{record->name};
      ResolveRequired(absolute, *record, chain);
    }
    AskTheLinker(absolute);
  }

 private:
  void FindFramework() {
    const std::string& directory = settings_.runtimeDirectory;
    if (directory.empty()) return;
    for (const char* name : rtl::kFrameworkPackages) {
      const auto found = rtl::FindRequiredPackage(name, directory, directory);
      if (found.path.empty()) continue;
      try {
        const auto record = rtl::ReadPackageFile(found.path, rtl::TFileCheck::Loading);
        if (record && record->name == name) {
          framework_.emplace(name, found.path);
          frameworkFiles_.push_back(found.path);
        }
      } catch (const rtl::Exception&) {
        // Not usable: then it is not loaded with the program either.
      }
    }
  }

  // As LoadPackage does: a package already loaded counts; otherwise the loader's
  // rule finds the file, which must hold that package. Each usable one joins the
  // load order after the packages it requires itself.
  void ResolveRequired(const std::string& requirer, const rtl::TPackageRecord& record,
                       std::vector<std::string>& chain) {
    for (const std::string& name : record.requiredPackages) {
      Resolution r;
      r.name = name;
      r.neededBy = requirer;
      const auto framework = framework_.find(name);
      const auto done = resolved_.find(name);
      if (name == record.name) {
        r.problem = "package " + name + " requires itself";
      } else if (framework != framework_.end()) {
        r.path = framework->second;
        r.how = kLoadedWithTheProgram;
      } else if (done != resolved_.end()) {
        r.path = done->second;
        r.how = "loaded before";
      } else if (std::find(chain.begin(), chain.end(), name) != chain.end()) {
        std::string cycle;
        for (const std::string& link : chain) cycle += link + " -> ";
        r.problem = "package " + name + " requires itself (" + cycle + name + ")";
      } else {
        Locate(r, chain);
        continue;
      }
      report_.packages->push_back(std::move(r));
    }
  }

  void Locate(Resolution& r, std::vector<std::string>& chain) {
    const std::string name = r.name;
    const auto found =
        rtl::FindRequiredPackage(name, DirectoryOf(r.neededBy), settings_.runtimeDirectory);
    r.path = found.path;
    r.how = found.how;
    std::optional<rtl::TPackageRecord> record;
    if (found.path.empty()) {
      r.looked = found.looked;
      r.problem = rtl::RequiredPackageNotFound(name, found);
    } else {
      try {
        record = rtl::ReadRequiredPackage(r.path, name);
      } catch (const rtl::Exception& e) {
        r.problem = e.Message();
      }
      if (!r.problem.empty()) r.problem = "cannot load required package " + name + ": " + r.problem;
    }
    const bool usable = r.problem.empty();
    const std::string path = r.path;
    report_.packages->push_back(std::move(r));
    if (!usable) return;
    resolved_.emplace(name, path);
    chain.push_back(name);
    ResolveRequired(path, *record, chain);
    chain.pop_back();
    loadOrder_.push_back(path);
  }

  void AskTheLinker(const std::string& file) {
    LinkerRun run;
    run.interpreter = settings_.interpreter;
    run.program = settings_.program;
    run.preload = frameworkFiles_;
    run.preload.insert(run.preload.end(), loadOrder_.begin(), loadOrder_.end());
    run.preload.push_back(file);
    LinkerVerdict verdict = RunLinker(run);
    // The linker ran in pkginfo's folder: a file it found through an empty entry of a
    // search path (the working folder) or named relatively is that folder's.
    for (Resolution& library : verdict.libraries) {
      if (!library.path.empty()) library.path = AbsolutePath(library.path);
    }

    // What the program and the framework bring along is no news about the file,
    // unless it fails.
    std::set<std::string> program{settings_.program};
    program.insert(frameworkFiles_.begin(), frameworkFiles_.end());
    const std::set<std::string> frameworkFiles(frameworkFiles_.begin(), frameworkFiles_.end());
    const std::set<std::string> required(loadOrder_.begin(), loadOrder_.end());
    report_.libraries.emplace();
    for (Resolution& r : verdict.libraries) {
      const bool preloaded =
          r.neededBy == settings_.program &&
          (r.name == file || frameworkFiles.count(r.name) || required.count(r.name));
      if (preloaded && r.name == file) {
        if (!r.problem.empty()) report_.linkerErrors.push_back(r.problem);
        continue;
      }
      if (preloaded) {
        r.how = frameworkFiles.count(r.name) ? kLoadedWithTheProgram : "required package";
        r.neededBy.clear();
      } else if (program.count(r.neededBy)) {
        if (!r.path.empty()) program.insert(r.path);
        if (r.problem.empty()) continue;
      }
      report_.libraries->push_back(std::move(r));
    }
    report_.symbols = std::move(verdict.symbols);
    report_.linkerErrors.insert(report_.linkerErrors.end(), verdict.errors.begin(),
                                verdict.errors.end());
  }

  const CheckSettings& settings_;
  CheckReport& report_;
  std::map<std::string, std::string> framework_;  // name -> path
  std::vector<std::string> frameworkFiles_;       // in the order the program loads them
  std::map<std::string, std::string> resolved_;   // name -> path
  std::vector<std::string> loadOrder_;            // required packages, as the loader loads them
};

}  // namespace

CheckSettings CheckSettings::FromProcess() {
  CheckSettings settings;
  settings.runtimeDirectory = rtl::RuntimeLibraryDirectory();
  settings.interpreter = SystemInterpreter();
  settings.program = rtl::ProgramFile();
  return settings;
}

std::vector<std::string> CheckReport::Problems() const {
  std::vector<std::string> problems;
  if (!problem.empty()) problems.push_back(problem);
  for (const auto* list : {&packages, &libraries}) {
    if (!*list) continue;
    for (const Resolution& r : **list) {
      if (!r.problem.empty()) problems.push_back(r.problem);
    }
  }
  // A file it refused or a missing version first: undefined symbols often follow
  // from them.
  problems.insert(problems.end(), linkerErrors.begin(), linkerErrors.end());
  if (symbols) {
    for (const UnresolvedSymbol& s : *symbols) {
      problems.push_back(s.neededBy + ": undefined symbol: " + s.symbol +
                         (s.version.empty() ? "" : ", version " + s.version));
    }
  }
  return problems;
}

CheckReport CheckPackage(const std::string& file, const CheckSettings& settings) {
  CheckReport report;
  report.file = file;
  Checker(settings, report).Run(file);
  return report;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

}  // namespace pkginfo
