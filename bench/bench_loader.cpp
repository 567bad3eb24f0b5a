// Loading a package: LoadPackage + UnloadPackage beside the bare dlopen + dlclose
// of the same file. What LoadPackage adds (checking the file and reading its notes
// first, the module list, unit initialisation, the class registry) should cost
// little next to mapping and relocating the library. A file loaded again unchanged
// is not read again; BM_LoadChangedPackage has it changed before every load.

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <time.h>

#include <cstdint>
#include <filesystem>
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

// CPU time of this thread: on a busy machine, wall time also counts the waits for
// a processor.
std::int64_t CpuNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Each iteration also times a bare dlopen + dlclose of the same file, outside the
// measured time, so the ratio (x_dlopen) compares the two under the same load of
// the machine rather than in separate runs. `prepare` runs before each iteration,
// untimed.
template <typename Prepare>
void MeasureLoad(benchmark::State& state, const std::string& file, Prepare prepare) {
  unsetenv("RTL_TEST_TRACE");
  std::int64_t loading = 0;
  std::int64_t opening = 0;
  for (auto _ : state) {
    state.PauseTiming();
    prepare();
    state.ResumeTiming();
    try {
      const std::int64_t start = CpuNanoseconds();
      const rtl::HMODULE module = rtl::LoadPackage(file);
      benchmark::DoNotOptimize(module);
      rtl::UnloadPackage(module);
      loading += CpuNanoseconds() - start;
    } catch (const rtl::Exception& e) {
      state.SkipWithError(e.Message().c_str());
      break;
    }
    state.PauseTiming();
    const std::int64_t start = CpuNanoseconds();
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) dlclose(handle);
    opening += CpuNanoseconds() - start;
    state.ResumeTiming();
  }
  if (opening > 0) {
    state.counters["x_dlopen"] = static_cast<double>(loading) / static_cast<double>(opening);
  }
}

void BM_LoadPackage(benchmark::State& state) {
  MeasureLoad(state, PackageFile(), [] {});
}
BENCHMARK(BM_LoadPackage);

// A copy whose times are set anew before each load, as a rebuild would: the loader
// reads and checks it every time.
void BM_LoadChangedPackage(benchmark::State& state) {
  const std::string copy =
      (std::filesystem::temp_directory_path() / "bench-changed-libtwounits.so").string();
  std::filesystem::copy_file(PackageFile(), copy,
                             std::filesystem::copy_options::overwrite_existing);
  MeasureLoad(state, copy, [&] { utimensat(AT_FDCWD, copy.c_str(), nullptr, 0); });
  std::filesystem::remove(copy);
}
BENCHMARK(BM_LoadChangedPackage);

}  // namespace
