#include "registration.h"

#include <algorithm>
#include <exception>

#include "rtl/package.h"
#include "rtl/package_file.h"
#include "rtl/sysutils.h"
#include "trial/client.h"
#include "trial/settings.h"

namespace pkginfo {

namespace {

// The registration procedures a package exports: the one of each of its units that
// has one, in unit order, then any others.
std::vector<std::string> ProceduresOf(const rtl::TPackageRecord& record) {
  std::vector<std::string> procedures;
  const auto add = [&](const std::string& name) {
    if (std::find(procedures.begin(), procedures.end(), name) == procedures.end()) {
      procedures.push_back(name);
    }
  };
  for (const std::string& unit : record.units) {
    const std::string name = rtl::RegistrationProcName(unit);
    const bool exported = std::any_of(record.exports.begin(), record.exports.end(),
                                      [&](const rtl::TPackageExport& e) { return e.name == name; });
    if (exported) add(name);
  }
  for (const rtl::TPackageExport& e : record.exports) {
    if (rtl::IsRegistrationProcName(e.name)) add(e.name);
  }
  return procedures;
}

AbnormalEnd AbnormalEndOf(const trial::Outcome& outcome) {
  AbnormalEnd ended;
  ended.stage = trial::Describe(outcome.stage);
  switch (outcome.end) {
    case trial::Outcome::End::Signal:
      ended.signal = trial::SignalName(outcome.signal);
      for (const trial::CrashFrame& frame : outcome.crash.frames) {
        ended.frames.push_back(FaultFrame{frame.function, frame.file, frame.line, frame.module,
                                          frame.address, frame.package});
      }
      ended.place = outcome.crash.Lines();
      break;
    case trial::Outcome::End::Exit:
      ended.exitStatus = outcome.exitStatus;
      break;
    case trial::Outcome::End::TimeLimit:
    case trial::Outcome::End::Stopped:
      ended.timeLimitSeconds = static_cast<double>(outcome.limit.count()) / 1000.0;
      break;
    case trial::Outcome::End::MemoryLimit:
      ended.memoryLimitMiB = outcome.memoryLimitMiB;
      break;
    case trial::Outcome::End::Leftovers:
      ended.leftovers = outcome.leftovers;
      break;
    case trial::Outcome::End::Changed:
      ended.changed = outcome.detail;
      break;
    case trial::Outcome::End::Violation:
    case trial::Outcome::End::HostError:
      ended.channel = outcome.detail;
      break;
    case trial::Outcome::End::Passed:
      break;
  }
  return ended;
}

RegisteredPage PageOf(const trial::Registration& registration) {
  RegisteredPage page{registration.page, registration.classes, {}};
  for (const trial::RegisteredClass& cls : registration.published) {
    PublishedClass& into = page.published.emplace_back(PublishedClass{cls.name, {}, cls.methods});
    for (const trial::PublishedProperty& p : cls.properties) {
      into.properties.push_back(PublishedProperty{p.name, p.type, p.defaultText});
    }
  }
  return page;
}

// Loaded and run as the workbench would, each package in turn, then unloaded: one
// trial, which the trial host's shadow does not take, since nothing follows it.
trial::TryRequest RequestFor(
    const std::vector<std::pair<std::string, std::vector<std::string>>>& packages) {
  std::vector<trial::Action> actions;
  for (const auto& [path, names] : packages) {
    actions.push_back(
        trial::Action{trial::Action::Type::Load, path, rtl::IdentityOfFile(path), {}, {}, {}});
    trial::Action calls{trial::Action::Type::Run, {}, {}, {}, {}, {}};
    for (const std::string& name : names) calls.calls.push_back(trial::Call{path, name});
    actions.push_back(std::move(calls));
  }
  actions.push_back(trial::Action{trial::Action::Type::Close, {}, {}, {}, {}, {}});
  return trial::RequestFor(std::move(actions), false);
}

// The package's part of the outcome: its procedures are the outcome's from `next` on,
// at most `names` of them; its load was action `load`, its run the one after.
void TakePart(const trial::Outcome& outcome, std::uint32_t load, std::size_t names,
              const std::string& package, std::size_t& next, RegistrationRun& run) {
  // Where it stopped: a load, a run, or the final unload.
  const std::uint32_t stopped = outcome.Passed() ? outcome.actionsDone - 1 : outcome.failedAction;
  if (stopped < load) {
    run.error = run.file + ": not tried: a package before it failed";
    return;
  }
  if (stopped == load && outcome.Passed() && !outcome.raised.empty()) {
    run.error = outcome.raised;
    return;
  }
  if (stopped > load) run.package = package;
  for (std::size_t taken = 0; taken < names && next < outcome.procedures.size(); ++taken) {
    const trial::ProcedureRun& ran = outcome.procedures[next++];
    if (ran.missing) {
      run.error =
          rtl::Format("%s: package %s exports no procedure %s", {run.file, package, ran.name});
      break;
    }
    ProcedureRun& into = run.procedures.emplace_back(ProcedureRun{ran.name, {}, ran.error});
    for (const trial::Registration& registration : ran.registrations) {
      into.calls.push_back(PageOf(registration));
    }
    if (!ran.error.empty()) break;
  }
  if (stopped != load && stopped != load + 1) return;
  if (!outcome.Passed()) {
    run.error = outcome.Failure(run.file);
    run.ended = AbnormalEndOf(outcome);
  }
}

}  // namespace

bool RegistrationRun::Ok() const {
  if (!error.empty()) return false;
  return std::none_of(procedures.begin(), procedures.end(),
                      [](const ProcedureRun& p) { return !p.error.empty(); });
}

RegistrationRun RunRegistration(const std::string& file, const std::string& procedure) {
  return RunRegistrations({{file, procedure}}).front();
}

std::vector<RegistrationRun> RunRegistrations(const std::vector<RegistrationRequest>& requests) {
  std::vector<RegistrationRun> runs(requests.size());
  std::vector<std::pair<std::string, std::vector<std::string>>> packages;
  std::vector<std::string> names;  // of the packages, by their record
  for (std::size_t i = 0; i < requests.size(); ++i) {
    runs[i].file = requests[i].file;
    std::optional<rtl::TPackageRecord> record;
    try {
      // The names of the procedures come from the record, read without running code.
      record = rtl::ReadPackageFile(requests[i].file, rtl::TFileCheck::Loading);
    } catch (const rtl::Exception& e) {
      runs[i].error = e.Message();
      return runs;  // nothing is tried when a file cannot even be read
    }
    // A file without a record is refused by the load, which says so.
    if (!record) record.emplace();
    names.push_back(record->name);
    packages.emplace_back(rtl::AbsolutePath(requests[i].file),
                          requests[i].procedure.empty()
                              ? ProceduresOf(*record)
                              : std::vector<std::string>{requests[i].procedure});
  }
  if (const std::string& error = trial::CurrentSettings().error; !error.empty()) {
    for (RegistrationRun& run : runs) run.error = error;
    return runs;
  }
  trial::Outcome outcome;
  try {
    outcome = trial::Host::Shared().Try(RequestFor(packages));
  } catch (const std::runtime_error& e) {
    for (RegistrationRun& run : runs)
      run.error = run.file + ": cannot run the package: " + e.what();
    return runs;
  }
  std::size_t next = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    TakePart(outcome, static_cast<std::uint32_t>(2 * i), packages[i].second.size(), names[i], next,
             runs[i]);
  }
  RegistrationRun& last = runs.back();
  last.output = outcome.output;
  last.outputCut = outcome.outputCut;
  const auto close = static_cast<std::uint32_t>(2 * runs.size());
  const std::uint32_t stopped = outcome.Passed() ? outcome.actionsDone - 1 : outcome.failedAction;
  if (stopped == close && last.error.empty()) {
    if (!outcome.Passed()) {
      // Finalisation is part of a package's life too: a unit that cannot finalise
      // would fail the workbench's unload just the same.
      last.error = outcome.Failure(last.file);
      last.ended = AbnormalEndOf(outcome);
    } else {
      last.error = outcome.raised;
    }
  }
  return runs;
}

}  // namespace pkginfo
