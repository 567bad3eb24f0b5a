// LoadPackage and UnloadPackage: order of units and required packages, reference
// counts, and loads that fail without leaving anything behind.

#include <malloc.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator keeps its own count (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "rtl/classes.h"
#include "rtl/object.h"
#include "rtl/package.h"
#include "test_support.h"

namespace {

using namespace testsupport;
using Lines = std::vector<std::string>;

rtl::HMODULE RuntimeLibrary() {
  return rtl::ModuleFromAddress(reinterpret_cast<const void*>(&rtl::UnloadPackage));
}

// The process's mappings, a line each, and the files mapped.
std::vector<std::string> Mappings() {
  std::vector<std::string> lines;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) lines.push_back(line);
  return lines;
}
std::set<std::string> MappedFiles() {
  std::set<std::string> files;
  for (const std::string& line : Mappings()) {
    if (const auto slash = line.find('/'); slash != std::string::npos)
      files.insert(line.substr(slash));
  }
  return files;
}

std::size_t OpenDescriptorCount() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  // Less the descriptor the listing itself holds open.
  return static_cast<std::size_t>(std::distance(fds, {})) - 1;
}

// What a failed load must leave as it found it.
struct ProcessState {
  std::vector<rtl::HMODULE> modules;
  std::size_t classCount = 0;
  std::set<std::string> mappedFiles;
  bool operator==(const ProcessState&) const = default;
};
ProcessState CaptureState() {
  return ProcessState{ModuleList(), rtl::RegisteredClassCount(), MappedFiles()};
}

// pkguser requires pkgbase. Alone, it brings pkgbase in and takes it out again; a
// pkgbase loaded by hand first is neither initialised again nor released with it.
TEST(LoadPackage, LoadsRequiredPackagesFirstAndReleasesThemAfter) {
  const Lines userInit = {"pkguser.UserUnit init", "pkguser.UserExtra init"};
  const Lines userFini = {"pkguser.UserExtra fini", "pkguser.UserUnit fini"};
  for (const bool baseByHand : {false, true}) {
    SCOPED_TRACE(baseByHand ? "pkgbase loaded by hand first" : "pkguser alone");
    TraceFile trace;
    const ProcessState before = CaptureState();
    std::optional<ScopedPackage> base;
    if (baseByHand) base.emplace(PackageFile("pkgbase"));
    ScopedPackage user(PackageFile("pkguser"));
    EXPECT_EQ(trace.Lines(), (Lines{"pkgbase.BaseUnit init", userInit[0], userInit[1]}))
        << "the required package's units should run first, and once, then the package's own";
    const rtl::HMODULE baseModule = RegisteredModuleNamed("pkgbase");
    EXPECT_NE(baseModule, 0u) << "the required package should be in the module list";
    EXPECT_EQ(rtl::LibModuleList()->Instance, user.Module())
        << "the requiring package should head the list, added after what it requires";
    EXPECT_EQ(ModulePath(user.Module()), RealPath(PackageFile("pkguser")));

    trace.Clear();
    user.Unload();
    Lines fini = userFini;
    if (!baseByHand) fini.push_back("pkgbase.BaseUnit fini");
    EXPECT_EQ(trace.Lines(), fini) << "units should be finalised in reverse, the required last";
    EXPECT_EQ(CountInModuleList(baseModule), baseByHand ? 1 : 0)
        << "only a required package loaded by hand should outlive its user";
    base.reset();
    EXPECT_EQ(CaptureState(), before) << "both should be unlisted and unmapped in the end";
  }
}

TEST(LoadPackage, CountsReferencesAndInitialisesOnce) {
  TraceFile trace;
  TempDir dir;
  const std::string link = dir.Path() + "/alias.so";
  std::filesystem::create_symlink(RealPath(PackageFile("twounits")), link);

  const rtl::HMODULE first = rtl::LoadPackage(PackageFile("twounits"));
  EXPECT_EQ(rtl::LoadPackage(link), first) << "the same file by another name: the same handle";
  EXPECT_EQ(trace.Lines().size(), 2u) << "units should be initialised once, not per load";
  EXPECT_EQ(CountInModuleList(first), 1) << "a package loaded twice should be listed once";

  rtl::UnloadPackage(first);
  EXPECT_EQ(CountInModuleList(first), 1) << "one reference is still held";
  EXPECT_EQ(trace.Lines().size(), 2u) << "no unit should be finalised while a reference is held";
  rtl::UnloadPackage(first);
  EXPECT_EQ(CountInModuleList(first), 0) << "the last reference unloads the package";
  EXPECT_EQ(trace.Lines().size(), 4u) << "both units should be finalised with the last reference";
  EXPECT_THROW(rtl::UnloadPackage(first), rtl::Exception) << "once more than loaded";
}

TEST(LoadPackage, CountsReferencesToTheRuntimeLibraryWithoutReinitialisingIt) {
  // A class of the library's own, so that dropping its classes would show.
  const bool wasRegistered = rtl::GetClass("TComponent") != nullptr;
  rtl::RegisterClass(rtl::TComponent::StaticClass());
  const ProcessState before = CaptureState();
  const rtl::HMODULE loaded = rtl::LoadPackage(ModulePath(RuntimeLibrary()));
  EXPECT_EQ(loaded, RuntimeLibrary()) << "loading the library's own file should give its handle";
  EXPECT_EQ(CaptureState(), before) << "the already listed library should not be listed again";
  rtl::UnloadPackage(loaded);
  EXPECT_EQ(CaptureState(), before)
      << "releasing that reference must neither unlist the library nor drop its classes";
  if (!wasRegistered) rtl::UnRegisterClass(rtl::TComponent::StaticClass());
}

TEST(UnloadPackage, RefusesHandlesItDidNotHandOut) {
  for (const rtl::HMODULE module : {rtl::HMODULE{0}, rtl::MainInstance(), rtl::HMODULE{0x1234}}) {
    EXPECT_THAT(MessageOf([&] { rtl::UnloadPackage(module); }),
                testing::HasSubstr("not a package loaded by LoadPackage"))
        << "unloading module " << module << " should raise saying why";
  }
}

TEST(UnloadPackage, FinishesUnloadingWhenAUnitFailsToFinalise) {
  TraceFile trace;
  const ProcessState before = CaptureState();
  const rtl::HMODULE module = rtl::LoadPackage(PackageFile("finifail"));
  trace.Clear();
  EXPECT_THAT(MessageOf([&] { rtl::UnloadPackage(module); }),
              testing::HasSubstr("finalisation of unit FiniSecond in package finifail failed: "
                                 "cannot flush the journal"))
      << "the message should name the unit, the package and the reason";
  EXPECT_EQ(trace.Lines(), (Lines{"finifail.FiniSecond fini", "finifail.FiniFirst fini"}))
      << "the units before the failing one should still be finalised";
  EXPECT_EQ(CaptureState(), before) << "the package should be gone all the same";
  EXPECT_THROW(rtl::UnloadPackage(module), rtl::Exception)
      << "the handle should be dead after the failed finalisation";
}

// propalpha and propomega register a class of the same name as they start, each with
// a property of its own, and propomega is usually mapped where propalpha was. The
// class goes with its package, and what was remembered of its properties must not
// answer for the class now at its address.
TEST(UnloadPackage, TakesItsClassesAwayAndNothingOfThemAnswersForTheNextAtTheirAddress) {
  {
    ScopedPackage alpha(PackageFile("propalpha"));
    const rtl::TClass cls = rtl::GetClass("TPropProbe");
    ASSERT_NE(cls, nullptr) << "propalpha registers TPropProbe as it starts";
    ASSERT_NE(rtl::FindProp(cls, "Alpha"), nullptr);
    ASSERT_EQ(rtl::GetPropList(cls).size(), 1u) << "Alpha alone";
  }
  EXPECT_EQ(rtl::GetClass("TPropProbe"), nullptr) << "the class went with its package";
  ScopedPackage omega(PackageFile("propomega"));
  const rtl::TClass cls = rtl::GetClass("TPropProbe");
  ASSERT_NE(cls, nullptr) << "propomega registers TPropProbe as it starts";
  EXPECT_EQ(rtl::FindProp(cls, "Alpha"), nullptr) << "Alpha left with propalpha";
  EXPECT_EQ(rtl::GetPropList(cls), std::vector{rtl::FindProp(cls, "Omega")});
}

// A load that fails names the file and why, and undoes whatever ran: only the units
// initialised before a failure are finalised, and whatever they registered goes. A
// required package missing or holding another is refused by the plan before anything
// runs, as the already loaded ones here are: the plan's tests have those rows.
TEST(LoadPackage, AFailedLoadNamesTheFileAndWhyAndChangesNothing) {
  TempDir dir;
  const std::string copy = dir.CopyIn(PackageFile("twounits"), "libtwounits.so");
  ASSERT_EQ(ModulePath(ScopedPackage(copy).Module()), RealPath(copy))
      << "a copy loads while the original is not loaded";
  const std::string rtlCopy = dir.CopyIn(ModulePath(RuntimeLibrary()), "librtl.so");
  ScopedPackage original(PackageFile("twounits"));
  const struct {
    std::string file;
    Lines said;
    Lines ran;  // none for a file refused before any of its code runs
  } cases[] = {
      {PackageFile("initfail"),
       {"initialisation of unit FailSecond in package initfail failed",
        "configuration store fail.cfg is missing"},
       {"initfail.FailFirst init", "initfail.FailSecond init", "initfail.FailFirst fini"}},
      {copy,
       {"package twounits is already loaded from " + RealPath(PackageFile("twounits")) +
        "; refusing " + copy},
       {}},
      // A second run-time library must never be mapped.
      {rtlCopy, {"package rtl is already loaded from "}, {}},
      {PackageFile("plainlib"), {"not a package"}, {}},
      {"", {}, {}},
  };
  for (const auto& c : cases) {
    TraceFile trace;
    const ProcessState before = CaptureState();
    const std::string message = MessageOf([&] { rtl::LoadPackage(c.file); });
    for (const std::string& part : c.said) {
      EXPECT_THAT(message, testing::AllOf(testing::HasSubstr(c.file), testing::HasSubstr(part)));
    }
    EXPECT_EQ(trace.Lines(), c.ran) << c.file << ": what ran, and what was undone";
    EXPECT_EQ(CaptureState(), before)
        << c.file << ": the module list, class registry and mappings should be as before";
  }
}

TEST(GetPackageDescription, RunsNoneOfThePackagesCode) {
  TraceFile trace;
  const std::string file = PackageFile("mark");
  EXPECT_EQ(rtl::GetPackageDescription(file.c_str()), "Leaves a mark when its code runs");
  EXPECT_TRUE(trace.Lines().empty()) << "reading the description must not run the package";
  EXPECT_FALSE(MappedFiles().contains(RealPath(file))) << "nor map it";
  ScopedPackage mark(file);
  EXPECT_EQ(trace.Lines(), (Lines{"mark constructor", "mark.MarkUnit init"}))
      << "loading the same package does leave its marks (else the check above proves nothing)";
}

// Heap in use by the process; nothing when it cannot be told.
std::optional<std::size_t> HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

// stdreg brings in the toolkit and, through it, Qt, which no other module of this
// process holds: unmapped and mapped again with every cycle, some of Qt's libraries
// leaked a little each time.
TEST(LoadPackage, ManyLoadsAndUnloadsLeaveNoMemoryDescriptorsOrMappingsBehind) {
  for (const char* name : {"twounits", "stdreg"}) {
    const std::string file = PackageFile(name);
    if (access(file.c_str(), F_OK) != 0) {
      GTEST_SKIP() << file << " is not built: the demo packages need the toolkit";
    }
    // Warm up: the first loads allocate the dynamic linker's and the C library's
    // own buffers, which stay.
    for (int i = 0; i < 5; ++i) rtl::UnloadPackage(rtl::LoadPackage(file));
    const ProcessState before = CaptureState();
    const std::size_t descriptors = OpenDescriptorCount();
    const std::size_t maps = Mappings().size();
    const auto heap = HeapInUse();
    for (int i = 0; i < 2000; ++i) rtl::UnloadPackage(rtl::LoadPackage(file));
    // One allocation left per cycle would show as 2,000 of them; the allocator's own
    // bookkeeping moves by far less.
    if (heap) {
      EXPECT_LT(*HeapInUse(), *heap + 2000)
          << name << ": 2,000 cycles should leave no memory in use";
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors)
        << name << ": 2,000 cycles should leave no descriptor open";
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's allocator maps and merges its own regions as it goes; a
    // mapping left per cycle would still show as hundreds of lines.
    const std::size_t slack = 8;
#else
    const std::size_t slack = 0;
#endif
    EXPECT_LE(Mappings().size(), maps + slack)
        << name << ": 2,000 cycles should leave no mapping behind";
    EXPECT_EQ(CaptureState(), before)
        << name << ": 2,000 cycles should leave module list, registry and files as they were";
  }
}

}  // namespace
