#include "json_output.h"

#include <nlohmann/json.hpp>

#include "rtl/package.h"

namespace pkginfo {

namespace {

// Keys stay in the order written: people read these lines too.
using Json = nlohmann::ordered_json;

std::string Line(const Json& json) {
  // No indent keeps one object per line; replacing keeps a package author's stray
  // bytes from costing the whole line.
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json Resolutions(const std::vector<rtl::TResolution>& list) {
  Json out = Json::array();
  for (const rtl::TResolution& r : list) {
    Json item = {{"name", r.name}, {"neededBy", r.neededBy}};
    item["path"] = r.path.empty() ? Json(nullptr) : Json(r.path);
    item["how"] = r.how;
    if (!r.problem.empty()) {
      item["problem"] = r.problem;
      item["looked"] = r.looked;
    }
    out.push_back(std::move(item));
  }
  return out;
}

// Beside the page's list of names, which stays as it was for those who read only that.
Json Published(const RegisteredPage& page) {
  Json classes = Json::array();
  for (const PublishedClass& cls : page.published) {
    Json properties = Json::array();
    for (const PublishedProperty& p : cls.properties) {
      properties.push_back({{"name", p.name}, {"type", p.type}, {"default", p.defaultText}});
    }
    classes.push_back(
        {{"class", cls.name}, {"properties", std::move(properties)}, {"methods", cls.methods}});
  }
  return classes;
}

}  // namespace

std::string InfoJson(const std::string& file, const std::optional<rtl::TPackageRecord>& record,
                     const DynamicExports& exports) {
  Json json = {{"file", file}, {"packageInformation", record.has_value()}};
  if (record) {
    const rtl::TPackageRecord& r = *record;
    json["package"] = r.name;
    json["description"] = r.description;
    json["flags"] = r.flags;
    json["requires"] = r.requiredPackages;
    json["contains"] = r.units;
    json["buildArtifact"] = r.buildArtifact;
    Json registration = Json::array(), other = Json::array();
    for (const rtl::TPackageExport& e : r.exports) {
      (rtl::IsRegistrationProcName(e.name) ? registration : other)
          .push_back({{"name", e.name}, {"symbol", e.symbol}});
    }
    for (const std::string& symbol : PlainExports(r, exports)) {
      other.push_back({{"name", symbol}, {"symbol", symbol}});
    }
    json["registrationProcedures"] = std::move(registration);
    json["otherExports"] = std::move(other);
    json["exportedClasses"] = exports.classes;
  }
  return Line(json);
}

std::string ErrorJson(const std::string& file, const std::string& message) {
  return Line({{"file", file}, {"error", message}});
}

std::string CheckJson(const CheckReport& report) {
  Json json = {{"file", report.file}};
  if (!report.problem.empty()) json["error"] = report.problem;
  if (!report.package.empty()) json["package"] = report.package;
  // null: not checked, which an empty list would misstate as "nothing needed".
  json["requiredPackages"] = report.packages ? Resolutions(*report.packages) : Json(nullptr);
  json["neededLibraries"] = report.libraries ? Resolutions(*report.libraries) : Json(nullptr);
  Json symbols = nullptr;
  if (report.symbols) {
    symbols = Json::array();
    for (const UnresolvedSymbol& s : *report.symbols) {
      Json item = {{"symbol", s.symbol}};
      if (!s.version.empty()) item["version"] = s.version;
      item["neededBy"] = s.neededBy;
      symbols.push_back(std::move(item));
    }
  }
  json["unresolvedSymbols"] = std::move(symbols);
  const std::vector<std::string> problems = report.Problems();
  json["problems"] = problems;
  json["ok"] = problems.empty();
  return Line(json);
}

std::string RegistrationJson(const RegistrationRun& run) {
  Json json = {{"file", run.file}};
  if (!run.package.empty()) json["package"] = run.package;
  if (!run.error.empty()) json["error"] = run.error;
  Json procedures = Json::array();
  for (const ProcedureRun& procedure : run.procedures) {
    Json registrations = Json::array();
    for (const RegisteredPage& call : procedure.calls) {
      registrations.push_back(
          {{"page", call.page}, {"classes", call.classes}, {"published", Published(call)}});
    }
    Json item = {{"name", procedure.name}, {"registrations", std::move(registrations)}};
    if (!procedure.error.empty()) item["error"] = procedure.error;
    procedures.push_back(std::move(item));
  }
  json["procedures"] = std::move(procedures);
  if (run.ended) {
    Json ended = {{"stage", run.ended->stage}};
    const AbnormalEnd& how = *run.ended;
    if (!how.signal.empty()) {
      ended["signal"] = how.signal;
      Json frames = Json::array();
      for (const FaultFrame& frame : how.frames) {
        frames.push_back({{"function", frame.function},
                          {"file", frame.file},
                          {"line", frame.line},
                          {"module", frame.module},
                          {"address", frame.address},
                          {"package", frame.package}});
      }
      ended["frames"] = std::move(frames);
    } else if (how.exitStatus >= 0) {
      ended["exitStatus"] = how.exitStatus;
    } else if (how.memoryLimitMiB > 0) {
      ended["memoryLimitMiB"] = how.memoryLimitMiB;
    } else if (!how.leftovers.empty()) {
      ended["leftovers"] = how.leftovers;
    } else if (!how.changed.empty()) {
      ended["changed"] = how.changed;
    } else if (!how.channel.empty()) {
      ended["channel"] = how.channel;
    } else {
      ended["timeLimitSeconds"] = how.timeLimitSeconds;
    }
    json["ended"] = std::move(ended);
  }
  if (!run.output.empty()) {
    json["output"] = run.output;
    if (run.outputCut) json["outputCut"] = true;
  }
  json["ok"] = run.Ok();
  return Line(json);
}

}  // namespace pkginfo
