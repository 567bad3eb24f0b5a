#include "registration.h"

#include <unistd.h>

#include <algorithm>

#include "elf_reader.h"
#include "preflight.h"
#include "rtl/classes.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"

namespace pkginfo {

namespace {

// Where the hook writes; set only while a procedure runs.
ProcedureRun* recording = nullptr;

void RecordingHook(const std::string& page, const rtl::TClass* classes, std::int32_t high) {
  RegisteredPage call{page, {}};
  // Recorded before registering, so the call that fails still shows what it passed.
  if (recording != nullptr) recording->calls.push_back(call);
  for (std::int32_t i = 0; i <= high; ++i) {
    if (recording != nullptr) {
      recording->calls.back().classes.push_back(rtl::ClassName(classes[i]).ToString());
    }
    rtl::RegisterClass(classes[i]);
  }
}

std::vector<std::string> ProceduresOf(const rtl::detail::PackageRecord& record) {
  std::vector<std::string> procedures;
  const auto add = [&](const std::string& name) {
    if (std::find(procedures.begin(), procedures.end(), name) == procedures.end()) {
      procedures.push_back(name);
    }
  };
  for (const std::string& unit : record.units) {
    const std::string name = "@" + unit + "@Register$qqrv";
    const bool exported =
        std::any_of(record.exports.begin(), record.exports.end(),
                    [&](const rtl::detail::PackageExport& e) { return e.name == name; });
    if (exported) add(name);
  }
  for (const rtl::detail::PackageExport& e : record.exports) {
    if (IsRegistrationProcedure(e.name)) add(e.name);
  }
  return procedures;
}

// In the workbench the window toolkit is part of the program: loaded before any
// package and never unloaded. So it is here, or unloading the package would close
// the toolkit and Qt with it, which the workbench never does.
void LoadFramework(const rtl::detail::PackageRecord& record) {
  const std::string directory = FrameworkDirectory();
  for (const std::string& required : record.requiredPackages) {
    if (required != "toolkit" || directory.empty()) continue;
    const std::string path = directory + "/libtoolkit.so." RTL_FRAMEWORK_SOVERSION;
    if (access(path.c_str(), F_OK) == 0) rtl::LoadPackage(path);
  }
}

}  // namespace

bool RegistrationRun::Ok() const {
  if (!error.empty()) return false;
  return std::none_of(procedures.begin(), procedures.end(),
                      [](const ProcedureRun& p) { return !p.error.empty(); });
}

bool IsRegistrationProcedure(const std::string& name) {
  constexpr std::string_view kSuffix = "@Register$qqrv";
  if (name.size() <= 1 + kSuffix.size() || name.front() != '@') return false;
  if (std::string_view(name).substr(name.size() - kSuffix.size()) != kSuffix) return false;
  return name.find('@', 1) == name.size() - kSuffix.size();
}

RegistrationRun RunRegistration(const std::string& file, const std::string& procedure) {
  RegistrationRun run;
  run.file = file;
  rtl::detail::ElfPackageInfo info;
  rtl::HMODULE module = 0;
  try {
    // LoadPackage reads the record too, but does not hand it out.
    info = rtl::detail::ReadPackageFile(file);
    LoadFramework(info.record);
    module = rtl::LoadPackage(file);
  } catch (const rtl::Exception& e) {
    run.error = e.Message();
    return run;
  }
  run.package = info.record.name;
  const std::vector<std::string> names =
      procedure.empty() ? ProceduresOf(info.record) : std::vector<std::string>{procedure};
  rtl::RegisterComponentsProc = &RecordingHook;
  for (const std::string& name : names) {
    using Procedure = void (*)();
    const auto code = reinterpret_cast<Procedure>(rtl::GetProcAddress(module, name.c_str()));
    if (code == nullptr) {
      run.error = rtl::Format("%s: package %s exports no procedure %s", {file, run.package, name});
      break;
    }
    run.procedures.push_back(ProcedureRun{name, {}, {}});
    recording = &run.procedures.back();
    try {
      code();
    } catch (const rtl::Exception& e) {
      recording->error = e.Message();
    } catch (const std::exception& e) {
      recording->error = e.what();
    } catch (...) {
      recording->error = "an exception that is not an Exception";
    }
    recording = nullptr;
    if (!run.procedures.back().error.empty()) break;
  }
  // Finalisation is part of a package's life too: a unit that cannot finalise
  // would fail the workbench's unload just the same.
  try {
    rtl::UnloadPackage(module);
  } catch (const rtl::Exception& e) {
    if (run.error.empty()) run.error = e.Message();
  }
  return run;
}

}  // namespace pkginfo
