// The load plan: what LoadPackage would do with a file, found from the records alone.
// The loader follows it and pkginfo's check prints it, so the loader's messages about
// packages and the files they require are written here and nowhere else.

#include "load_plan.h"

#include <algorithm>
#include <map>

#include "checked_files.h"
#include "paths.h"
#include "rtl/sysutils.h"

namespace rtl {

namespace detail {

namespace {

std::string NotFound(const std::string& name, const TRequiredPackageSearch& search) {
  std::string looked;
  for (const std::string& candidate : search.looked) {
    looked += (looked.empty() ? "" : " or ") + candidate;
  }
  return Format("required package %s not found (looked for %s)", {name, looked});
}

// A package met again among the packages it requires, directly or through the chain
// of packages that led back to it: loading it would recurse forever.
std::string RequiresItself(const std::string& name, const std::vector<std::string>& chain) {
  std::string cycle;
  for (const std::string& outer : chain) cycle += outer + " -> ";
  return "package " + name + " requires itself" + (chain.empty() ? "" : " (" + cycle + name + ")");
}

std::string CannotLoad(const std::string& name, const std::string& why) {
  return Format("cannot load required package %s: %s", {name, why});
}

class Planner {
 public:
  Planner(const TLoadedPackages& loaded, const std::string& runtimeDirectory,
          const std::vector<std::string>& loading)
      : loaded_(loaded), runtimeDirectory_(runtimeDirectory) {
    // A few of each, without growing on every load: every package requires rtl.
    chain_.reserve(loading.size() + 4);
    chain_.assign(loading.begin(), loading.end());
    plan_.steps.reserve(4);
  }

  TLoadPlan Plan(const std::string& fileName) {
    TLoadStep step;
    step.path = fileName;
    plan_.error = PlanFile(std::move(step));
    return std::move(plan_);
  }

 private:
  // Adds the steps of the packages the file's package requires, then the file's own.
  // Returns what the loader says about the file when it cannot be loaded: in its
  // requirer's load, after "cannot load required package <name>: ".
  std::string PlanFile(TLoadStep step) {
    const bool required = !step.neededBy.empty();
    try {
      step.record = LoaderCheckedFiles().Read(step.path);
    } catch (const Exception& e) {
      return Refuse(std::move(step), e.Message(), true);
    }
    step.readable = true;
    if (!step.record) {
      return Refuse(std::move(step), "not a package (the file carries no package information)",
                    false);
    }
    const TPackageRecord& record = *step.record;
    if (required && record.name != step.name) {
      return Refuse(std::move(step),
                    Format("%s holds package %s, not %s", {step.path, record.name, step.name}),
                    true);
    }
    step.name = record.name;
    if (std::find(chain_.begin(), chain_.end(), record.name) != chain_.end()) {
      return Refuse(std::move(step), RequiresItself(record.name, chain_), false);
    }
    if (const auto held = loaded_(record.name)) return Reuse(std::move(step), *held);
    chain_.push_back(record.name);
    const std::string problem = PlanRequired(step);
    chain_.pop_back();
    step.opens = true;
    plan_.steps.push_back(std::move(step));
    return problem;
  }

  // A package of the name held already: the same file again is a reference, another
  // file of that name is refused.
  std::string Reuse(TLoadStep step, const TLoadedPackage& held) {
    const std::string loadedFrom = CanonicalPath(held.path);
    if (loadedFrom != CanonicalPath(step.path)) {
      return Refuse(std::move(step),
                    Format("package %s is already loaded from %s; refusing %s",
                           {step.name, loadedFrom, step.path}),
                    true);
    }
    step.how = held.how;
    plan_.steps.push_back(std::move(step));
    return {};
  }

  // The steps of each package the requirer's record names. Returns what the loader
  // says about the requirer when one of them fails: the first that does.
  std::string PlanRequired(const TLoadStep& requirer) {
    const std::string requirerPath = AbsolutePath(requirer.path);
    std::string first;
    for (const std::string& name : requirer.record->requiredPackages) {
      TLoadStep step;
      step.name = name;
      step.neededBy = requirerPath;
      std::string problem;
      if (name == requirer.name) {
        problem = step.problem = RequiresItself(name, {});
        plan_.steps.push_back(std::move(step));
      } else if (auto held = loaded_(name)) {
        step.path = std::move(held->path);
        step.how = std::move(held->how);
        plan_.steps.push_back(std::move(step));
      } else if (const auto earlier = planned_.find(name); earlier != planned_.end()) {
        step.path = earlier->second;
        step.how = "loaded before";
        plan_.steps.push_back(std::move(step));
      } else {
        problem = Locate(std::move(step));
      }
      if (first.empty() && !problem.empty()) first = requirer.path + ": " + problem;
    }
    return first;
  }

  // A package neither held nor planned: found by the loader's rule, then planned.
  std::string Locate(TLoadStep step) {
    const std::string name = step.name;
    const TRequiredPackageSearch found =
        FindRequiredPackage(name, DirectoryOf(step.neededBy), runtimeDirectory_);
    step.path = found.path;
    step.how = found.how;
    if (found.path.empty()) {
      step.looked = found.looked;
      step.problem = NotFound(name, found);
      const std::string problem = step.problem;
      plan_.steps.push_back(std::move(step));
      return problem;
    }
    const std::string path = step.path;
    const std::string problem = PlanFile(std::move(step));
    if (!problem.empty()) return CannotLoad(name, problem);
    planned_.emplace(name, path);
    return {};
  }

  // The step cannot be taken: `why` is the loader's sentence about the file, which
  // names it already or not. A required package's step says it as its requirer does.
  std::string Refuse(TLoadStep step, const std::string& why, bool namesFile) {
    const std::string said = namesFile ? why : step.path + ": " + why;
    step.problem = step.neededBy.empty() ? why : CannotLoad(step.name, said);
    plan_.steps.push_back(std::move(step));
    return said;
  }

  const TLoadedPackages& loaded_;
  const std::string& runtimeDirectory_;
  std::vector<std::string> chain_;              // packages whose steps are being planned
  std::map<std::string, std::string> planned_;  // name -> file, of the usable ones
  TLoadPlan plan_;
};

}  // namespace

TLoadPlan PlanLoad(const std::string& fileName, const TLoadedPackages& loaded,
                   const std::string& runtimeDirectory, const std::vector<std::string>& loading) {
  return Planner(loaded, runtimeDirectory, loading).Plan(fileName);
}

}  // namespace detail

TLoadPlan PlanLoad(const std::string& fileName, const TLoadedPackages& loaded,
                   const std::string& runtimeDirectory) {
  return detail::PlanLoad(fileName, loaded, runtimeDirectory, {});
}

}  // namespace rtl
