// LoadPackage and UnloadPackage: order of units and required packages, reference
// counts, and loads that fail without leaving anything behind.

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator keeps its own count (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "loader_test_support.h"
#include "rtl/classes.h"
#include "rtl/object.h"
#include "rtl/package.h"

namespace {

using namespace loadertest;
using Lines = std::vector<std::string>;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Canonical(const std::string& path) {
  return std::filesystem::canonical(path).string();
}

TEST(LoadPackage, LoadsRequiredPackagesFirstAndReleasesThemAfter) {
  TraceFile trace;
  const std::vector<rtl::HMODULE> before = ModuleList();
  ScopedPackage user(PackageFile("pkguser"));
  EXPECT_EQ(trace.Lines(),
            (Lines{"pkgbase.BaseUnit init", "pkguser.UserUnit init", "pkguser.UserExtra init"}))
      << "the required package's units should run first, then the package's own in order";
  const rtl::HMODULE base = RegisteredModuleNamed("pkgbase");
  EXPECT_NE(base, 0u) << "the required package should be in the module list";
  EXPECT_EQ(rtl::LibModuleList()->Instance, user.Module())
      << "the requiring package should head the list, added after what it requires";
  EXPECT_EQ(ModulePath(user.Module()), Canonical(PackageFile("pkguser")))
      << "the handle should name the package's file";

  trace.Clear();
  user.Unload();
  EXPECT_EQ(trace.Lines(),
            (Lines{"pkguser.UserExtra fini", "pkguser.UserUnit fini", "pkgbase.BaseUnit fini"}))
      << "units should be finalised in reverse, the required package's last";
  EXPECT_EQ(ModuleList(), before) << "unloading should leave the module list as it was";
  EXPECT_FALSE(IsMapped("libpkgbase.so") || IsMapped("libpkguser.so"))
      << "both packages should be unmapped after unloading";
}

TEST(LoadPackage, ARequiredPackageLoadedByHandOutlivesItsUser) {
  TraceFile trace;
  ScopedPackage base(PackageFile("pkgbase"));
  ScopedPackage user(PackageFile("pkguser"));
  EXPECT_EQ(trace.Lines(),
            (Lines{"pkgbase.BaseUnit init", "pkguser.UserUnit init", "pkguser.UserExtra init"}))
      << "an already loaded required package should not be initialised again";
  trace.Clear();
  user.Unload();
  EXPECT_TRUE(InModuleList(base.Module())) << "the hand-loaded package should stay loaded";
  EXPECT_EQ(trace.Lines(), (Lines{"pkguser.UserExtra fini", "pkguser.UserUnit fini"}))
      << "only the user's units should be finalised";
  base.Unload();
  EXPECT_FALSE(InModuleList(base.Module()));
}

TEST(LoadPackage, FindsRequiredPackagesBesideTheRequiringOne) {
  TempDir dir;
  const std::string user = dir.CopyIn(PackageFile("pkguser"), "libpkguser.so");
  const std::string base = dir.CopyIn(PackageFile("pkgbase"), "libpkgbase.so");
  ScopedPackage package(user);
  EXPECT_EQ(ModulePath(RegisteredModuleNamed("pkgbase")), Canonical(base))
      << "the required package should come from the requiring package's directory";
}

TEST(LoadPackage, CountsReferencesAndInitialisesOnce) {
  TraceFile trace;
  TempDir dir;
  const std::string link = dir.Path() + "/alias.so";
  std::filesystem::create_symlink(Canonical(PackageFile("twounits")), link);

  const rtl::HMODULE first = rtl::LoadPackage(PackageFile("twounits"));
  const rtl::HMODULE second = rtl::LoadPackage(link);
  EXPECT_EQ(first, second) << "the same file under another name should give the same handle";
  EXPECT_EQ(trace.Lines().size(), 2u) << "units should be initialised once, not per load";
  const std::vector<rtl::HMODULE> modules = ModuleList();
  EXPECT_EQ(std::count(modules.begin(), modules.end(), first), 1)
      << "a package loaded twice should be listed once";

  rtl::UnloadPackage(first);
  EXPECT_TRUE(InModuleList(first)) << "one reference is still held";
  EXPECT_EQ(trace.Lines().size(), 2u) << "no unit should be finalised while a reference is held";
  rtl::UnloadPackage(first);
  EXPECT_FALSE(InModuleList(first)) << "the last reference unloads the package";
  EXPECT_EQ(trace.Lines().size(), 4u) << "both units should be finalised with the last reference";
  EXPECT_THROW(rtl::UnloadPackage(first), rtl::Exception)
      << "unloading once more than loaded should raise";
}

TEST(UnloadPackage, RefusesHandlesItDidNotHandOut) {
  for (const rtl::HMODULE module : {rtl::HMODULE{0}, rtl::MainInstance(), rtl::HMODULE{0x1234}}) {
    const std::string message = testsupport::MessageOf([&] { rtl::UnloadPackage(module); });
    EXPECT_TRUE(Contains(message, "not a package loaded by LoadPackage"))
        << "unloading module " << module << " should raise saying why: " << message;
  }
}

TEST(UnloadPackage, FinishesUnloadingWhenAUnitFailsToFinalise) {
  TraceFile trace;
  const ProcessState before = CaptureState();
  const std::string file = PackageFile("finifail");
  const rtl::HMODULE module = rtl::LoadPackage(file);
  trace.Clear();
  const std::string message = testsupport::MessageOf([&] { rtl::UnloadPackage(module); });
  EXPECT_TRUE(Contains(message,
                       "finalisation of unit FiniSecond in package finifail failed: "
                       "cannot flush the journal"))
      << "the message should name the unit, the package and the reason: " << message;
  EXPECT_EQ(trace.Lines(), (Lines{"finifail.FiniSecond fini", "finifail.FiniFirst fini"}))
      << "the units before the failing one should still be finalised";
  EXPECT_EQ(CaptureState(), before) << "the package should be gone all the same";
  EXPECT_THROW(rtl::UnloadPackage(module), rtl::Exception)
      << "the handle should be dead after the failed finalisation";
}

TEST(LoadPackage, CountsReferencesToTheRuntimeLibraryWithoutReinitialisingIt) {
  const rtl::HMODULE rtlModule =
      rtl::ModuleFromAddress(reinterpret_cast<const void*>(&rtl::LoadPackage));
  // A class of the library's own, so that dropping its classes would show.
  const bool wasRegistered = rtl::GetClass("TComponent") != nullptr;
  rtl::RegisterClass(rtl::TComponent::StaticClass());
  const ProcessState before = CaptureState();
  const rtl::HMODULE loaded = rtl::LoadPackage(ModulePath(rtlModule));
  EXPECT_EQ(loaded, rtlModule) << "loading the run-time library's own file should give its handle";
  EXPECT_EQ(CaptureState(), before) << "the already listed library should not be listed again";
  rtl::UnloadPackage(loaded);
  EXPECT_EQ(CaptureState(), before)
      << "releasing that reference must neither unlist the library nor drop its classes";
  EXPECT_EQ(rtl::GetClass("TComponent"), rtl::TComponent::StaticClass());
  if (!wasRegistered) rtl::UnRegisterClass(rtl::TComponent::StaticClass());
}

using Register = void (*)();

TEST(UnloadPackage, UnregistersTheClassesThePackageRegisteredAndOnlyThose) {
  RegistrationHook hook;
  ScopedPackage two(PackageFile("twounits"));
  const auto reg =
      reinterpret_cast<Register>(rtl::GetProcAddress(two.Module(), "@TwoSecond@Register$qqrv"));
  ASSERT_NE(reg, nullptr) << "twounits exports TwoSecond's registration procedure";
  reg();
  const rtl::TClass twoGadget = rtl::GetClass("TTwoGadget");
  ASSERT_NE(twoGadget, nullptr) << "the registration procedure registers TTwoGadget";

  ScopedPackage bad(PackageFile("badreg"));
  const auto badReg =
      reinterpret_cast<Register>(rtl::GetProcAddress(bad.Module(), "@BadRegUnit@Register$qqrv"));
  ASSERT_NE(badReg, nullptr);
  EXPECT_THROW(badReg(), rtl::Exception) << "a second class named TTwoGadget should be refused";
  EXPECT_NE(rtl::GetClass("TBadFirst"), nullptr) << "the class before the clash was registered";
  EXPECT_EQ(rtl::GetClass("TBadThird"), nullptr) << "the class after the clash was never reached";

  bad.Unload();
  EXPECT_EQ(rtl::GetClass("TBadFirst"), nullptr) << "the failed package's class must go with it";
  EXPECT_EQ(rtl::GetClass("TTwoGadget"), twoGadget) << "the other package's classes must stay";
  two.Unload();
  EXPECT_EQ(rtl::GetClass("TTwoWidget"), nullptr) << "an unloaded package's classes must be gone";
  EXPECT_EQ(rtl::GetClass("TTwoGadget"), nullptr) << "an unloaded package's classes must be gone";
}

TEST(LoadPackage, UndoesEverythingWhenAUnitFailsToInitialise) {
  TraceFile trace;
  const ProcessState before = CaptureState();
  const std::string file = PackageFile("initfail");
  const std::string message = testsupport::MessageOf([&] { rtl::LoadPackage(file); });
  EXPECT_TRUE(Contains(message, file) &&
              Contains(message, "initialisation of unit FailSecond in package initfail failed") &&
              Contains(message, "configuration store fail.cfg is missing"))
      << "the message should name the file, the unit, the package and the unit's own: " << message;
  EXPECT_EQ(trace.Lines(), (Lines{"initfail.FailFirst init", "initfail.FailSecond init",
                                  "initfail.FailFirst fini"}))
      << "only the units initialised before the failure should be finalised, the third never run";
  EXPECT_EQ(rtl::GetClass("TFailFirstThing"), nullptr)
      << "a class registered by an undone unit should be unregistered";
  EXPECT_EQ(CaptureState(), before)
      << "the module list, class registry and mappings should be as before";
  EXPECT_FALSE(IsMapped("libinitfail.so")) << "the package should be closed again";
}

TEST(LoadPackage, NamesAMissingRequiredPackage) {
  TraceFile trace;
  const ProcessState before = CaptureState();
  const std::string file = PackageFile("missingreq");
  const std::string message = testsupport::MessageOf([&] { rtl::LoadPackage(file); });
  EXPECT_TRUE(Contains(message, file) &&
              Contains(message, "required package pkgnowhere not found") &&
              Contains(message, "libpkgnowhere.so"))
      << "the message should name the file, the missing package and what was looked for: "
      << message;
  EXPECT_TRUE(trace.Lines().empty()) << "no code of the package should have run";
  EXPECT_EQ(CaptureState(), before) << "a failed load should change nothing";
}

TEST(LoadPackage, RefusesASecondCopyOfALoadedPackage) {
  TempDir dir;
  const std::string copy = dir.CopyIn(PackageFile("twounits"), "libtwounits.so");
  {
    ScopedPackage copyAlone(copy);
    EXPECT_EQ(ModulePath(copyAlone.Module()), Canonical(copy))
        << "a copy loads while the original is not loaded";
  }
  ScopedPackage original(PackageFile("twounits"));
  const ProcessState before = CaptureState();
  EXPECT_EQ(testsupport::MessageOf([&] { rtl::LoadPackage(copy); }),
            "package twounits is already loaded from " + Canonical(PackageFile("twounits")) +
                "; refusing " + copy)
      << "a second package named twounits should be refused naming both files";
  EXPECT_EQ(CaptureState(), before) << "the refused copy should not be mapped or listed";
}

TEST(LoadPackage, RefusesACopyOfTheRuntimeLibrary) {
  TempDir dir;
  const std::string rtlPath =
      ModulePath(rtl::ModuleFromAddress(reinterpret_cast<const void*>(&rtl::LoadPackage)));
  const std::string copy = dir.CopyIn(rtlPath, "librtl.so");
  const ProcessState before = CaptureState();
  EXPECT_THROW(rtl::LoadPackage(copy), rtl::Exception)
      << "a second run-time library must never be mapped";
  EXPECT_EQ(CaptureState(), before);
}

TEST(LoadPackage, RefusesAnOrdinarySharedLibraryAndAnEmptyName) {
  const ProcessState before = CaptureState();
  const std::string plain = PackageFile("plainlib");
  const std::string message = testsupport::MessageOf([&] { rtl::LoadPackage(plain); });
  EXPECT_TRUE(Contains(message, plain) && Contains(message, "not a package"))
      << "the message should name the file and say it is not a package: " << message;
  EXPECT_THROW(rtl::LoadPackage(""), rtl::Exception) << "an empty file name should be refused";
  EXPECT_EQ(CaptureState(), before) << "a refused file should change nothing";
}

TEST(LoadPackage, RefusesEveryTruncationOfARealPackageWithoutCrashing) {
  testsupport::Bytes bytes = testsupport::ReadBytes(PackageFile("twounits"));
  const std::size_t size = bytes.size();
  TempDir dir;
  const std::string file = dir.File("libtwounits.so");
  for (std::size_t cut = 0; cut < size; cut += 256) {
    bytes.resize(cut);
    testsupport::WriteBytes(file, bytes);
    bytes = testsupport::ReadBytes(PackageFile("twounits"));
    const pid_t child = fork();
    ASSERT_GE(child, 0) << "fork failed";
    if (child == 0) {
      // Exit codes: 0 refused with an Exception, 1 loaded, 2 some other exception.
      try {
        rtl::LoadPackage(file);
        _exit(1);
      } catch (const rtl::Exception&) {
        _exit(0);
      } catch (...) {
        _exit(2);
      }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status))
        << "cut at " << cut << " of " << size << " bytes: the child died of signal "
        << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0)
        << "cut at " << cut << " bytes: the load should be refused with an Exception";
  }
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
    if (access(file.c_str(), F_OK) != 0) continue;  // the demo packages need the toolkit
    // Warm up: the first loads allocate the dynamic linker's and the C library's
    // own buffers, which stay.
    for (int i = 0; i < 5; ++i) rtl::UnloadPackage(rtl::LoadPackage(file));
    const ProcessState before = CaptureState();
    const std::size_t descriptors = OpenDescriptorCount();
    const std::size_t maps = MapsLineCount();
    const std::size_t fileMaps = MapsLineCount(true);
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
    EXPECT_EQ(MapsLineCount(true), fileMaps)
        << name << ": 2,000 cycles should leave no file mapped";
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's allocator maps and merges its own regions as it goes; a
    // mapping left per cycle would still show as hundreds of lines.
    const std::size_t slack = 8;
#else
    const std::size_t slack = 0;
#endif
    EXPECT_LE(MapsLineCount(), maps + slack)
        << name << ": 2,000 cycles should leave no mapping behind";
    EXPECT_GE(MapsLineCount() + slack, maps)
        << name << ": 2,000 cycles should unmap nothing that was there";
    EXPECT_EQ(CaptureState(), before)
        << name << ": 2,000 cycles should leave module list and registry as they were";
  }
}

}  // namespace
