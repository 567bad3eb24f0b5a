#pragma once

// Test packages write one line per event to the file named by RTL_TEST_TRACE, so
// a test can see what ran even after the package has been unmapped. Only the process
// named by RTL_TEST_TRACE_PID writes, when it is set: what a trial of the same code
// does in another process is not what the test looks at.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "rtl/package_sdk.h"

namespace testpkg {

inline void Trace(const char* event) {
  const char* file = std::getenv("RTL_TEST_TRACE");
  if (file == nullptr || *file == '\0') return;
  const char* pid = std::getenv("RTL_TEST_TRACE_PID");
  if (pid != nullptr && std::to_string(getpid()) != pid) return;
  if (std::FILE* out = std::fopen(file, "a")) {
    std::fputs(event, out);
    std::fputc('\n', out);
    std::fclose(out);
  }
}

}  // namespace testpkg

// A unit whose initialisation and finalisation do nothing but leave their line:
// "<package>.<unit> init" and "<package>.<unit> fini".
#define TRACED_UNIT(Package, Unit)              \
  RTL_UNIT_INITIALIZATION(Unit) {               \
    testpkg::Trace(#Package "." #Unit " init"); \
  }                                             \
  RTL_UNIT_FINALIZATION(Unit) {                 \
    testpkg::Trace(#Package "." #Unit " fini"); \
  }
