#include "CommandLine.h"
#include "Startup.h"

int main(int argc, char** argv) {
  // Read before anything needs a display: --help and --version answer without one.
  const CommandLineRequest request = ReadCommandLine(argc, argv);
  return RunWorkbench(request);
}
