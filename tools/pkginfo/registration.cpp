#include "registration.h"

#include <algorithm>
#include <exception>

#include "preflight.h"

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

// Loaded, run and unloaded as the workbench would: one trial, which the trial host's
// shadow does not take, since nothing follows it.
trial::TryRequest RequestFor(const std::string& path, const std::vector<std::string>& names) {
  trial::Action calls{trial::Action::Type::Run, {}, {}, {}, {}, {}};
  for (const std::string& name : names) calls.calls.push_back(trial::Call{path, name});
  return trial::RequestFor(
      {trial::Action{trial::Action::Type::Load, path, rtl::IdentityOfFile(path), {}, {}, {}}, calls,
       trial::Action{trial::Action::Type::Close, {}, {}, {}, {}, {}}},
      false);
}

}  // namespace

bool RegistrationRun::Ok() const {
  if (!error.empty()) return false;
  return std::none_of(procedures.begin(), procedures.end(),
                      [](const ProcedureRun& p) { return !p.error.empty(); });
}

RegistrationRun RunRegistration(const std::string& file, const std::string& procedure) {
  RegistrationRun run;
  run.file = file;
  std::optional<rtl::TPackageRecord> record;
  try {
    // The names of the procedures come from the record, read without running code.
    record = rtl::ReadPackageFile(file, rtl::TFileCheck::Loading);
  } catch (const rtl::Exception& e) {
    run.error = e.Message();
    return run;
  }
  // A file without a record is refused by the load, which says so.
  if (!record) record.emplace();
  const std::vector<std::string> names =
      procedure.empty() ? ProceduresOf(*record) : std::vector<std::string>{procedure};
  if (const std::string& error = trial::CurrentSettings().error; !error.empty()) {
    run.error = error;
    return run;
  }
  const trial::TryRequest request = RequestFor(AbsolutePath(file), names);

  trial::Outcome outcome;
  try {
    outcome = trial::Host::Shared().Try(request);
  } catch (const std::runtime_error& e) {
    run.error = file + ": cannot run the package: " + e.what();
    return run;
  }
  run.output = outcome.output;
  run.outputCut = outcome.outputCut;
  // Where it stopped: the load (0), the procedures (1) or the unload (2).
  const std::uint32_t stoppedIn = outcome.Passed() ? outcome.actionsDone - 1 : outcome.failedAction;
  if (outcome.Passed() && stoppedIn == 0 && !outcome.raised.empty()) {
    run.error = outcome.raised;
    return run;
  }
  if (stoppedIn > 0) run.package = record->name;
  for (const trial::ProcedureRun& ran : outcome.procedures) {
    if (ran.missing) {
      run.error =
          rtl::Format("%s: package %s exports no procedure %s", {file, record->name, ran.name});
      break;
    }
    ProcedureRun& into = run.procedures.emplace_back(ProcedureRun{ran.name, {}, ran.error});
    for (const trial::Registration& registration : ran.registrations) {
      into.calls.push_back(PageOf(registration));
    }
  }
  if (!outcome.Passed()) {
    run.error = outcome.Failure(file);
    run.ended = AbnormalEndOf(outcome);
  } else if (run.error.empty() && stoppedIn == 2) {
    // Finalisation is part of a package's life too: a unit that cannot finalise
    // would fail the workbench's unload just the same.
    run.error = outcome.raised;
  }
  return run;
}

}  // namespace pkginfo
