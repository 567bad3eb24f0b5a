#include "preflight.h"

#include <map>
#include <set>

#include "rtl/package_file.h"
#include "rtl/sysutils.h"

namespace pkginfo {

namespace {

class Checker {
 public:
  Checker(const CheckSettings& settings, CheckReport& report)
      : settings_(settings), report_(report) {}

  // The loader's plan, then the linker's verdict on what the plan opens.
  void Run(const std::string& file) {
    FindFramework();
    const rtl::TLoadedPackages loaded = [this](const std::string& name) {
      const auto framework = framework_.find(name);
      if (framework == framework_.end()) return std::optional<rtl::TLoadedPackage>();
      return std::optional(rtl::TLoadedPackage{framework->second, kLoadedWithTheProgram});
    };
    const rtl::TLoadPlan plan = rtl::PlanLoad(file, loaded, settings_.runtimeDirectory);
    const rtl::TLoadStep& own = plan.steps.back();
    report_.problem = own.problem;
    if (!own.readable) return;  // LoadPackage would not go further either
    if (own.record) {
      report_.package = own.record->name;
      report_.packages.emplace(plan.steps.begin(), plan.steps.end() - 1);
      for (auto step = plan.steps.begin(); step + 1 != plan.steps.end(); ++step) {
        if (step->opens) loadOrder_.push_back(step->path);
      }
    }
    AskTheLinker(rtl::AbsolutePath(file));
  }

 private:
  // The framework's packages, found and read as the loader would find them: the
  // program holds them loaded.
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
    for (rtl::TResolution& library : verdict.libraries) {
      if (!library.path.empty()) library.path = rtl::AbsolutePath(library.path);
    }

    // What the program and the framework bring along is no news about the file,
    // unless it fails.
    std::set<std::string> program{settings_.program};
    program.insert(frameworkFiles_.begin(), frameworkFiles_.end());
    const std::set<std::string> frameworkFiles(frameworkFiles_.begin(), frameworkFiles_.end());
    const std::set<std::string> required(loadOrder_.begin(), loadOrder_.end());
    report_.libraries.emplace();
    for (rtl::TResolution& r : verdict.libraries) {
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
  std::vector<std::string> loadOrder_;            // required packages, as the loader opens them
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
    for (const rtl::TResolution& r : **list) {
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

}  // namespace pkginfo
