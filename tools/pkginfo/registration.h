#pragma once

// What `pkginfo --register` does: load a package and run its registration
// procedures with a hook in RegisterComponentsProc that records every call. All of
// it happens in a child of the trial host, so that a package that crashes, exits or
// hangs is reported, not fatal: pkginfo itself never loads the package.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pkginfo {

struct PublishedProperty {
  std::string name;
  std::string type;         // "Integer", "Text", "set of TAnchorKind"
  std::string defaultText;  // as the property's type writes it: "0", "True", "[alTop]"
};

// What a registered class publishes, as the workbench's inspector would offer it.
struct PublishedClass {
  std::string name;
  std::vector<PublishedProperty> properties;  // inherited ones first
  std::vector<std::string> methods;           // its ancestors' too, each once
};

struct RegisteredPage {
  std::string page;
  std::vector<std::string> classes;       // in the order the procedure passed them
  std::vector<PublishedClass> published;  // one for each of `classes`, in that order
};

struct ProcedureRun {
  std::string name;
  std::vector<RegisteredPage> calls;  // one per RegisterComponents call
  std::string error;                  // the exception's message; empty when it returned
};

// A frame of the place where the package's code faulted.
struct FaultFrame {
  std::string function;  // empty: no symbol covers it
  std::string file;      // the source file, where there is debug information
  std::uint32_t line = 0;
  std::string module;  // the file of the object holding it
  std::uint64_t address = 0;
  bool package = false;  // the module is a package
};

// How the package's code ended its trial, when it did not pass: one of these is set.
struct AbnormalEnd {
  std::string stage;                   // "the initialisation of unit Main of package demo"
  std::string signal;                  // "SIGSEGV": it died of that signal
  std::vector<FaultFrame> frames;      // ... there: the innermost in a package first
  std::vector<std::string> place;      // the frames as the workbench words them
  int exitStatus = -1;                 // it exited with that status
  double timeLimitSeconds = 0;         // it overran that limit and was killed
  std::uint64_t memoryLimitMiB = 0;    // it ran out of that much memory
  std::vector<std::string> leftovers;  // it left these behind when it was unloaded
  std::string changed;                 // its file changed: how
  std::string channel;                 // it broke its channel to the trial host: how
};

struct RegistrationRun {
  std::string file;
  std::string package;  // set once the package has loaded
  // The package could not be loaded, the procedure is not exported, a unit failed to
  // finalise, or the package's code ended the process (then `ended` says how).
  std::string error;
  std::vector<ProcedureRun> procedures;
  std::optional<AbnormalEnd> ended;
  std::string output;      // what the package's code printed, kept apart from pkginfo's own
  bool outputCut = false;  // it printed more than was kept
  bool Ok() const;
};

// Loads the file (its code runs) and runs the procedure of that name, or, when the
// name is empty, every registration procedure it exports, stopping at the first
// that raises, then unloads it. Each class is also put into the class registry, as
// the workbench's palette does, so that a name clash shows here as it would there.
// The time limit is the workbench's (WB_TRIAL_TIMEOUT).
RegistrationRun RunRegistration(const std::string& file, const std::string& procedure);

// A package to load and the procedure to run (empty: every one it exports).
struct RegistrationRequest {
  std::string file;
  std::string procedure;
};
// The same for several packages, loaded and run in order in one trial, each staying
// loaded while the next is: a class that two of them register under one name is
// refused at the second, as the workbench's class registry refuses it. A package
// after one that failed is not tried, and its run says so. Only the last package is
// unloaded at the end.
std::vector<RegistrationRun> RunRegistrations(const std::vector<RegistrationRequest>& requests);

}  // namespace pkginfo
