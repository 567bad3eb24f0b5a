// Reading a package's description from its file, beside the least any file
// look-up costs: open, read the first 64 bytes (an ELF header), close.

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "rtl/package.h"

namespace {

// librtl.so is a package and always at hand: the one this program runs with.
const std::string& RtlFile() {
  static const std::string path = [] {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&rtl::GetPackageDescription), &info) == 0 ||
        info.dli_fname == nullptr) {
      std::abort();
    }
    return std::string(info.dli_fname);
  }();
  return path;
}

void BM_OpenReadHeader(benchmark::State& state) {
  const std::string& file = RtlFile();
  char header[64];
  for (auto _ : state) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      state.SkipWithError("cannot open librtl.so");
      break;
    }
    benchmark::DoNotOptimize(::read(fd, header, sizeof header));
    ::close(fd);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_OpenReadHeader);

void BM_GetPackageDescription(benchmark::State& state) {
  const std::string& file = RtlFile();
  for (auto _ : state) {
    std::string description = rtl::GetPackageDescription(file.c_str());
    benchmark::DoNotOptimize(description);
  }
}
BENCHMARK(BM_GetPackageDescription);

}  // namespace
