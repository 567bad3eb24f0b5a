#include "Trial.h"

#include <limits.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

#include "TrialWaiter.h"
#include "rtl/package_file.h"
#include "trial/client.h"
#include "trial/crash.h"
#include "trial/settings.h"

namespace {

std::vector<rtl::HMODULE>& Condemned() {
  static std::vector<rtl::HMODULE> condemned;
  return condemned;
}

std::string FileOf(rtl::HMODULE module) {
  char path[PATH_MAX];
  rtl::GetModuleFileNameA(module, path, sizeof path);
  return path;
}

// The workbench's own runs of package code, each named for the record of a fatal
// signal that comes meanwhile: the report says what was being done, and to which file.
void Unload(rtl::HMODULE module, UnloadCause cause) {
  const trial::CrashAction doing(cause == UnloadCause::Closing ? "closing: unloading" : "unloading",
                                 FileOf(module));
  rtl::UnloadPackage(module);
}

rtl::HMODULE Load(const std::string& fileName,
                  const std::optional<rtl::TFileIdentity>& identity = std::nullopt) {
  const trial::CrashAction doing("loading", fileName);
  return identity ? rtl::LoadPackage(fileName, *identity) : rtl::LoadPackage(fileName);
}

bool TrialsOn() {
  const trial::Settings& settings = trial::CurrentSettings();
  // A setting that cannot be read turns nothing off: no package code runs untried.
  if (settings.enabled && !settings.error.empty()) {
    throw TrialFailure(settings.error + " (WB_TRIAL=0 runs package code without a trial)");
  }
  return settings.enabled;
}

// Tries the actions; `file` names what they are tried for in messages.
trial::Outcome Try(std::vector<trial::Action> actions, const std::string& file,
                   bool commit = true) {
  const trial::TryRequest request = trial::RequestFor(std::move(actions), commit);
  TrialWaiter waiter(file);
  try {
    return trial::Host::Shared().Try(request, &waiter);
  } catch (const std::runtime_error& e) {
    throw TrialFailure(
        "%s: cannot try its code before running it: %s (WB_TRIAL=0 runs package code without a "
        "trial)",
        {file, std::string(e.what())});
  }
}

trial::Action Unloading(UnloadCause cause) {
  return trial::Action{
      cause == UnloadCause::Closing ? trial::Action::Type::Close : trial::Action::Type::Unload,
      {},
      {},
      {},
      {},
      {}};
}

// The last lines package code printed in the trial, which often say why it ended (a
// failed assertion, a sanitizer's report): after the message, when there are any.
std::string Printed(const trial::Outcome& outcome) {
  std::string text = outcome.output;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty()) return {};
  std::size_t start = text.size();
  for (int lines = 0; lines < 5 && start != std::string::npos && start > 0; ++lines) {
    start = text.rfind('\n', start - 1);
  }
  start = start == std::string::npos ? 0 : start + 1;
  return "\n\nIts code printed" + std::string(start > 0 ? ", last:" : ":") + "\n" +
         text.substr(start);
}

// "<failure>; <what the workbench left undone>", where it faulted, and what the code
// printed.
std::string Refusal(const trial::Outcome& outcome, const std::string& file,
                    const std::string& undone) {
  return outcome.Failure(file) + "; " + undone + outcome.FaultPlace() + Printed(outcome);
}

// The package stays mapped, out of the slot; the workbench never runs its
// finalisation, nor, at the end, its static destructors.
constexpr const char* kNotUnloaded =
    "the package was not unloaded: it stays loaded, out of the slot and without its "
    "finalisation, until the workbench ends";

[[noreturn]] void Condemn(rtl::HMODULE module, const std::string& message) {
  Condemned().push_back(module);
  throw TrialFailure(message);
}

}  // namespace

void StartTrialHost() noexcept {
  if (trial::CurrentSettings().enabled) trial::Host::Shared().Start();
}

void ResetTrials() {
  Condemned().clear();
  trial::Host::Shared().Reset();
}

bool AnyPackageCondemned() {
  return !Condemned().empty();
}

rtl::HMODULE LoadTried(rtl::HMODULE previous, const std::string& fileName) {
  if (!TrialsOn()) {
    if (previous != 0) Unload(previous, UnloadCause::UnLoadPack);
    return Load(fileName);
  }
  std::vector<trial::Action> actions;
  if (previous != 0) actions.push_back(Unloading(UnloadCause::UnLoadPack));
  // The file as it is now: the trial and the load below take this file, or none.
  const std::optional<rtl::TFileIdentity> identity = rtl::IdentityOfFile(fileName);
  // An empty name is refused by the load itself, without running anything.
  if (!fileName.empty()) {
    actions.push_back(trial::Action{trial::Action::Type::Load, fileName, identity, {}, {}, {}});
  }
  const std::string previousFile = previous != 0 ? FileOf(previous) : std::string();
  const trial::Outcome outcome = Try(actions, fileName);
  if (previous != 0) {
    if (!trial::Allows(outcome, 0)) {
      // The load after it was never tried, so it is not made either: the slot is empty.
      const std::string notLoaded = fileName.empty() ? "" : "; " + fileName + " was not loaded";
      Condemn(previous, Refusal(outcome, previousFile, kNotUnloaded + notLoaded));
    }
    Unload(previous, UnloadCause::UnLoadPack);
  }
  if (!fileName.empty() && !trial::Allows(outcome, actions.size() - 1)) {
    throw TrialFailure(Refusal(outcome, fileName, "the package was not loaded"));
  }
  return Load(fileName, identity);
}

void UnloadTried(rtl::HMODULE module, UnloadCause cause) {
  if (!TrialsOn()) {
    Unload(module, cause);
    return;
  }
  const std::string file = FileOf(module);
  std::optional<trial::Outcome> outcome;
  try {
    outcome = Try({Unloading(cause)}, file);
  } catch (const TrialFailure& e) {
    // Untried, its finalisation does not run either.
    Condemn(module, e.Message() + "; " + kNotUnloaded);
  }
  if (!trial::Allows(*outcome, 0)) Condemn(module, Refusal(*outcome, file, kNotUnloaded));
  Unload(module, cause);
}

void TryProcedures(const std::vector<TrialProcedure>& procedures, const std::string& notRun) {
  if (procedures.empty() || !TrialsOn()) return;
  trial::Action run{trial::Action::Type::Run, {}, {}, {}, {}, {}};
  for (const TrialProcedure& procedure : procedures) {
    run.calls.push_back(trial::Call{FileOf(procedure.module), procedure.name});
  }
  const trial::Outcome outcome = Try({run}, run.calls.front().file);
  if (outcome.Passed()) return;
  // The file of the procedure it ended in; after the last one, the first's.
  std::string file = run.calls.front().file;
  if (outcome.stage.kind == trial::StageKind::Procedure && !outcome.procedures.empty()) {
    file = run.calls[std::min(outcome.procedures.size(), run.calls.size()) - 1].file;
  }
  throw TrialFailure(Refusal(outcome, file, notRun));
}

void CallProcedure(rtl::HMODULE module, const std::string& name, void (*procedure)()) {
  const trial::CrashAction doing("running procedure " + name, FileOf(module));
  procedure();
}

void TryPreview(const std::string& className, const std::vector<trial::PreviewStep>& steps,
                const std::string& file, const std::string& notDone) {
  if (!TrialsOn()) return;
  const trial::Action preview{trial::Action::Type::Preview, {}, {}, {}, className, steps};
  // Never taken by the shadow: the next trial of this preview carries every step again.
  const trial::Outcome outcome = Try({preview}, file, false);
  if (!outcome.Passed()) throw TrialFailure(Refusal(outcome, file, notDone));
}

std::string ModuleFileOf(const void* address) {
  return FileOf(rtl::ModuleFromAddress(address));
}
