// Loading a package: LoadPackage + UnloadPackage beside the bare dlopen + dlclose
// of the same file. What LoadPackage adds (reading the file's notes first, the
// module list, unit initialisation, the class registry) should cost little next to
// mapping and relocating the library.

#include <dlfcn.h>
#include <stdlib.h>

#include <string>

#include <benchmark/benchmark.h>

#include "rtl/package.h"
#include "rtl/sysutils.h"

namespace {

const std::string& PackageFile() {
  static const std::string file = std::string(WB_PACKAGE_DIR) + "/libtwounits.so";
  return file;
}

void BM_RawDlopen(benchmark::State& state) {
  unsetenv("RTL_TEST_TRACE");
  for (auto _ : state) {
    void* handle = dlopen(PackageFile().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      state.SkipWithError(dlerror());
      break;
    }
    benchmark::DoNotOptimize(handle);
    dlclose(handle);
  }
}
BENCHMARK(BM_RawDlopen);

void BM_LoadPackage(benchmark::State& state) {
  unsetenv("RTL_TEST_TRACE");
  for (auto _ : state) {
    try {
      const rtl::HMODULE module = rtl::LoadPackage(PackageFile());
      benchmark::DoNotOptimize(module);
      rtl::UnloadPackage(module);
    } catch (const rtl::Exception& e) {
      state.SkipWithError(e.Message().c_str());
      break;
    }
  }
}
BENCHMARK(BM_LoadPackage);

}  // namespace
