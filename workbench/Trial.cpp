#include "Trial.h"

#include <limits.h>

#include <algorithm>
#include <stdexcept>

#include "rtl/sysutils.h"
#include "trial_client.h"

namespace {

trial::Outcome RunTrial(const std::string& fileName, const trial::Request& request) {
  std::chrono::milliseconds limit;
  try {
    limit = trial::TimeLimit();
  } catch (const std::invalid_argument& e) {
    throw rtl::Exception(e.what());
  }
  try {
    return trial::Host::Shared().Run(request, limit);
  } catch (const std::runtime_error& e) {
    throw rtl::Exception(
        "%s: cannot try its code before running it: %s (WB_TRIAL=0 runs package code without a "
        "trial)",
        {fileName, std::string(e.what())});
  }
}

std::string FileOf(rtl::HMODULE module) {
  char path[PATH_MAX];
  rtl::GetModuleFileNameA(module, path, sizeof path);
  return path;
}

}  // namespace

void StartTrialHost() noexcept {
  if (trial::Enabled()) trial::Host::Shared().Start();
}

void TryLoad(const std::string& fileName) {
  // The real load refuses an empty name without running anything.
  if (fileName.empty() || !trial::Enabled()) return;
  trial::Request request;
  request.files = {fileName};
  request.unload = true;
  const trial::Outcome outcome = RunTrial(fileName, request);
  if (outcome.Died())
    throw rtl::Exception(outcome.Failure(fileName) + "; the package was not loaded");
}

void TryProcedures(const std::vector<TrialProcedure>& procedures, const std::string& notRun) {
  if (procedures.empty() || !trial::Enabled()) return;
  trial::Request request;
  std::vector<rtl::HMODULE> modules;
  for (const TrialProcedure& procedure : procedures) {
    auto found = std::find(modules.begin(), modules.end(), procedure.module);
    if (found == modules.end()) {
      modules.push_back(procedure.module);
      request.files.push_back(FileOf(procedure.module));
      found = modules.end() - 1;
    }
    request.procedures.push_back(
        {static_cast<std::size_t>(found - modules.begin()), procedure.name});
  }
  const trial::Outcome outcome = RunTrial(request.files.front(), request);
  if (!outcome.Died()) return;
  // The file of the procedure it died in, or of the package it was loading.
  std::string file = request.files.front();
  if (!outcome.procedures.empty()) {
    const std::size_t index = std::min(outcome.procedures.size(), procedures.size()) - 1;
    file = request.files[request.procedures[index].file];
  }
  throw rtl::Exception(outcome.Failure(file) + "; " + notRun);
}
