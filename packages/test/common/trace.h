#pragma once

// Test packages write one line per event to the file named by RTL_TEST_TRACE, so
// a test can see what ran even after the package has been unmapped.

#include <cstdio>
#include <cstdlib>

namespace testpkg {

inline void Trace(const char* event) {
  const char* file = std::getenv("RTL_TEST_TRACE");
  if (file == nullptr || *file == '\0') return;
  if (std::FILE* out = std::fopen(file, "a")) {
    std::fputs(event, out);
    std::fputc('\n', out);
    std::fclose(out);
  }
}

}  // namespace testpkg
