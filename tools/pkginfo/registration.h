#pragma once

// What `pkginfo --register` does: load a package and run its registration
// procedures with a hook in RegisterComponentsProc that records every call.

#include <string>
#include <vector>

namespace pkginfo {

struct RegisteredPage {
  std::string page;
  std::vector<std::string> classes;  // in the order the procedure passed them
};

struct ProcedureRun {
  std::string name;
  std::vector<RegisteredPage> calls;  // one per RegisterComponents call
  std::string error;                  // the exception's message; empty when it returned
};

struct RegistrationRun {
  std::string file;
  std::string package;
  std::string error;  // the package could not be loaded, or the procedure is not exported
  std::vector<ProcedureRun> procedures;
  bool Ok() const;
};

// Names of the registration procedures a package exports: "@<Unit>@Register$qqrv"
// for each of its units that has one, in unit order, then any others.
bool IsRegistrationProcedure(const std::string& name);

// Loads the file (its code runs) and runs the procedure of that name, or, when the
// name is empty, every registration procedure it exports, stopping at the first
// that raises. Each class is also put into the class registry, as the workbench's
// palette does, so that a name clash shows here as it would there.
RegistrationRun RunRegistration(const std::string& file, const std::string& procedure);

}  // namespace pkginfo
