#include <cstdio>
#include <cstdlib>
#include <string>

#include "CommandLine.h"
#include "Startup.h"
#include "Supervisor.h"
#include "Trial.h"
#include "trial/settings.h"

int main(int argc, char** argv) {
  // Read once, before any package's code could change the environment.
  trial::CurrentSettings();
  const bool restarts = RestartsWanted();
  // Read before anything needs a display: --help and --version answer without one.
  const CommandLineRequest request = ReadCommandLine(argc, argv);
  if (const std::string missing = MissingDisplay(); !missing.empty()) {
    std::fprintf(stderr, "workbench: %s\n", missing.c_str());
    return EXIT_FAILURE;
  }
  // Before any window or package: the process that would restart the workbench
  // splits off here, and never comes back.
  const RunContext context = Supervise(restarts);
  const int status = RunWorkbench(request, context);
  // A package whose unloading died on trial is still mapped: the exit must not run
  // its static destructors either.
  if (AnyPackageCondemned()) {
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}
