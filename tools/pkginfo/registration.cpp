#include "registration.h"

#include <algorithm>
#include <exception>

#include "rtl/package.h"
#include "rtl/package_file.h"
#include "rtl/sysutils.h"
#include "trial_client.h"

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

// Whether the package had finished loading when its code ended the process.
bool LoadedBefore(const trial::Stage& stage) {
  return stage.kind == trial::StageKind::Procedure ||
         stage.kind == trial::StageKind::UnitFinalization ||
         stage.kind == trial::StageKind::StaticDestructors;
}

AbnormalEnd AbnormalEndOf(const trial::Outcome& outcome) {
  AbnormalEnd ended;
  ended.stage = trial::Describe(outcome.stage);
  switch (outcome.end) {
    case trial::Outcome::End::Signal:
      ended.signal = trial::SignalName(outcome.signal);
      break;
    case trial::Outcome::End::Exit:
      ended.exitStatus = outcome.exitStatus;
      break;
    case trial::Outcome::End::TimeLimit:
      ended.timeLimitSeconds = static_cast<double>(outcome.limit.count()) / 1000.0;
      break;
    case trial::Outcome::End::Finished:
      break;
  }
  return ended;
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
  trial::Request request;
  request.files = {file};
  request.unload = true;
  for (const std::string& name : names) request.procedures.push_back({0, name});

  trial::Outcome outcome;
  try {
    outcome = trial::Host::Shared().Run(request, trial::TimeLimit());
  } catch (const std::runtime_error& e) {
    run.error = file + ": cannot run the package: " + e.what();
    return run;
  }
  if (!outcome.loadError.empty()) {
    run.error = outcome.loadError;
    return run;
  }
  if (!outcome.Died() || LoadedBefore(outcome.stage)) run.package = record->name;
  for (const trial::ProcedureRun& ran : outcome.procedures) {
    if (ran.missing) {
      run.error =
          rtl::Format("%s: package %s exports no procedure %s", {file, record->name, ran.name});
      break;
    }
    ProcedureRun& into = run.procedures.emplace_back(ProcedureRun{ran.name, {}, ran.error});
    for (const trial::Registration& registration : ran.registrations) {
      into.calls.push_back(RegisteredPage{registration.page, registration.classes});
    }
  }
  if (outcome.Died()) {
    run.error = outcome.Failure(file);
    run.ended = AbnormalEndOf(outcome);
  } else if (run.error.empty()) {
    // Finalisation is part of a package's life too: a unit that cannot finalise
    // would fail the workbench's unload just the same.
    run.error = outcome.unloadError;
  }
  return run;
}

}  // namespace pkginfo
