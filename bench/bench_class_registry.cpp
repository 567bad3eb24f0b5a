// Class registry look-ups: a registry of N distinct classes, existing names looked up
// in a rotating pattern. The registry should answer 10000 classes about as fast as 10,
// and faster than a standard hash map of the same names.

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "rtl/object.h"

namespace {

// Descriptors built at run time. The names are packed one after another, zero-ended,
// the way a module's read-only data holds its class names; the registry keeps
// pointers into them, so neither the names nor the descriptors may move while
// registered.
class GeneratedClasses {
 public:
  explicit GeneratedClasses(std::size_t count) {
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < count; ++i) {
      offsets.push_back(pool_.size());
      pool_ += "TGen" + std::to_string(i);
      pool_ += '\0';
    }
    infos_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const char* name = pool_.data() + offsets[i];
      names_.emplace_back(name);
      infos_.push_back(rtl::TClassInfo{name, rtl::TObject::StaticClass(), nullptr, 0, nullptr});
    }
    for (const rtl::TClassInfo& info : infos_) rtl::RegisterClass(&info);
  }
  ~GeneratedClasses() {
    for (const rtl::TClassInfo& info : infos_) rtl::UnRegisterClass(&info);
  }
  GeneratedClasses(const GeneratedClasses&) = delete;
  GeneratedClasses& operator=(const GeneratedClasses&) = delete;

  const std::vector<std::string_view>& Names() const { return names_; }

 private:
  std::string pool_;
  std::vector<std::string_view> names_;
  std::vector<rtl::TClassInfo> infos_;
};

// Each iteration looks up a batch of names in the registry, then (outside the
// measured time) the same names in a std::unordered_map of the same keys, so the
// ratio x_std_map compares the two under the same load of the machine. The table is
// hand-written only because it is clearly faster than that map.
void BM_GetClass(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  GeneratedClasses classes(count);
  // The probes are the registered names themselves. A look-up still hashes and compares
  // every byte (nothing compares pointers), and a caller's own copy of a name would be
  // in cache anyway: separate copies would only time this loop's reading of 10000
  // strings, not the registry.
  const std::vector<std::string_view>& probes = classes.Names();
  std::unordered_map<std::string_view, rtl::TClass> map;
  for (std::string_view name : probes) map.emplace(name, rtl::GetClass(name));
  constexpr std::size_t kBatch = 512;
  // Strides through the set so consecutive look-ups differ.
  const std::size_t stride = count > 7 ? 7 : 1;
  std::size_t next = 0;
  std::chrono::nanoseconds registry{0};
  std::chrono::nanoseconds standard{0};
  for (auto _ : state) {
    const std::size_t first = next;
    auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kBatch; ++i) {
      rtl::TClass found = rtl::GetClass(probes[next]);
      benchmark::DoNotOptimize(found);
      next += stride;
      if (next >= count) next -= count;
    }
    registry += std::chrono::steady_clock::now() - start;
    state.PauseTiming();
    next = first;
    start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kBatch; ++i) {
      const auto it = map.find(probes[next]);
      rtl::TClass found = it != map.end() ? it->second : nullptr;
      benchmark::DoNotOptimize(found);
      next += stride;
      if (next >= count) next -= count;
    }
    standard += std::chrono::steady_clock::now() - start;
    state.ResumeTiming();
  }
  for (std::string_view name : probes) {
    if (rtl::GetClass(name) == nullptr) state.SkipWithError("a registered class was not found");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
  if (standard.count() > 0) {
    state.counters["x_std_map"] =
        static_cast<double>(registry.count()) / static_cast<double>(standard.count());
  }
}

BENCHMARK(BM_GetClass)->Arg(10)->Arg(10000);

}  // namespace
