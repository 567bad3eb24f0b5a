// Looking into loaded modules: the module list, module handles and file names,
// GetProcAddress and GetPackageInfo.

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "rtl/package.h"
#include "test_support.h"

// Found by name through the executable's own symbols.
extern "C" __attribute__((visibility("default"), used)) int loader_test_exported_function() {
  return 5;
}
extern "C" {
__attribute__((visibility("default"), used)) int loader_test_exported_data = 3;
}

namespace {

using namespace testsupport;

rtl::HMODULE RuntimeLibrary() {
  return rtl::ModuleFromAddress(reinterpret_cast<const void*>(&rtl::UnloadPackage));
}

TEST(ModuleList, HoldsTheRuntimeLibraryByItsCanonicalPathAndAddressesFindTheirModule) {
  EXPECT_EQ(CountInModuleList(RuntimeLibrary()), 1) << "the run-time library lists itself";
  const std::string path = ModulePath(RuntimeLibrary());
  EXPECT_EQ(path, RealPath(path)) << "a library's file name should be canonical";
  EXPECT_THAT(path, testing::HasSubstr("/librtl.so.")) << "librtl.so, by its versioned file";
  EXPECT_EQ(rtl::ModuleFromAddress(reinterpret_cast<const void*>(&loader_test_exported_function)),
            rtl::MainInstance())
      << "a function of the executable should lie in MainInstance()";
  EXPECT_EQ(rtl::ModuleFromAddress(nullptr), 0u) << "no module holds the null address";
  int onTheStack = 0;
  EXPECT_EQ(rtl::ModuleFromAddress(&onTheStack), 0u) << "no module holds a stack address";
}

TEST(ModuleList, RecordsGoFirstAndLeaveFromAnyPlace) {
  rtl::TLibModule first{nullptr, 0x1000};
  rtl::TLibModule second{nullptr, 0x2000};
  rtl::TLibModule* const before = rtl::LibModuleList();

  rtl::RegisterModule(&first);
  rtl::RegisterModule(&second);
  EXPECT_EQ(rtl::LibModuleList(), &second) << "the last registered record should head the list";
  EXPECT_EQ(second.Next, &first) << "the earlier record should follow the newer one";
  rtl::RegisterModule(&second);
  EXPECT_EQ(second.Next, &first) << "registering a record twice must not link it to itself";

  rtl::UnregisterModule(&first);
  EXPECT_EQ(second.Next, before) << "a record taken from the middle relinks its neighbours";
  rtl::UnregisterModule(&second);
  EXPECT_EQ(rtl::LibModuleList(), before) << "removing the head should restore the previous head";
  rtl::UnregisterModule(&second);
  EXPECT_EQ(rtl::LibModuleList(), before) << "removing one not in the list changes nothing";
  EXPECT_THROW(rtl::RegisterModule(nullptr), rtl::Exception) << "a null record should be refused";
}

TEST(ModuleFileName, IsCutToTheBufferAndAlwaysTerminated) {
  const std::string full = ExecutablePath();
  ASSERT_GT(full.size(), 8u);
  const std::uint32_t size = static_cast<std::uint32_t>(full.size());
  // Buffer size, and the bytes of the path it gets.
  const std::pair<std::uint32_t, std::size_t> cases[] = {
      {1, 0},
      {8, 7},
      {size, full.size() - 1},
      {size + 1, full.size()},
      {254, std::min<std::size_t>(full.size(), 253)}};
  for (const auto& [bufferSize, expected] : cases) {
    char buffer[300];
    std::memset(buffer, '#', sizeof(buffer));
    const std::uint32_t written = rtl::GetModuleFileNameA(rtl::MainInstance(), buffer, bufferSize);
    EXPECT_EQ(std::string(buffer, written), full.substr(0, expected))
        << "with a buffer of " << bufferSize << " bytes the path's start should be written";
    EXPECT_EQ(buffer[written], '\0') << "with " << bufferSize << " bytes: ends in a zero";
    EXPECT_EQ(buffer[bufferSize], '#') << "with " << bufferSize << " bytes: nothing past it";
  }
  char untouched = '#';
  EXPECT_EQ(rtl::GetModuleFileNameA(rtl::MainInstance(), &untouched, 0), 0u);
  EXPECT_EQ(untouched, '#') << "a buffer of no bytes must not be written";
  char unknown[4] = "##";
  EXPECT_EQ(rtl::GetModuleFileNameA(0x1234, unknown, sizeof(unknown)), 0u) << "none at 0x1234";
  EXPECT_EQ(unknown[0], '\0') << "an unknown module's name should be an empty text";
}

TEST(GetProcAddress, FindsOnlyTheModulesOwnExportsByExactName) {
  ScopedPackage exports(PackageFile("pkgexports"));
  ScopedPackage user(PackageFile("pkguser"));
  const rtl::HMODULE base = RegisteredModuleNamed("pkgbase");
  ASSERT_NE(base, 0u);
  // Module, name, whether it is found there, and why.
  const std::tuple<rtl::HMODULE, const char*, bool, const char*> cases[] = {
      {exports.Module(), "pkgexports_Add", false, "case counts"},
      {exports.Module(), "pkgexports_add ", false, "a trailing blank counts"},
      {exports.Module(), "pkgexports_ad", false, "a prefix is not the name"},
      {exports.Module(), "pkgexports_counter", false, "a data symbol is not a procedure"},
      {exports.Module(), "pkgexports_hidden", false, "a function the package does not export"},
      {exports.Module(), "@ExportsUnit@Register$qqrv", true, "a registration procedure"},
      {exports.Module(), "@exportsunit@register$qqrv", false, "case counts in the export table"},
      {exports.Module(), "@ExportsUnit@Register$qqrv ", false, "a blank counts there too"},
      {exports.Module(), "@TwoSecond@Register$qqrv", false, "another package's procedure"},
      {user.Module(), "@UserUnit@Register$qqrv", true, "a registration procedure"},
      {user.Module(), "pkgbase_answer", false, "a required package's export"},
      {base, "pkgbase_answer", true, "the same export in its own package"},
      {rtl::MainInstance(), "loader_test_exported_data", false, "the executable's data"},
      {RuntimeLibrary(), "_ZN3rtl12MainInstanceEv", true, "a run-time library function"},
      {RuntimeLibrary(), "_ZN3rtl22RegisterComponentsProcE", false, "a run-time library variable"},
      {0x1234, "pkgexports_add", false, "no module is at 0x1234"},
  };
  for (const auto& [module, name, found, why] : cases) {
    void* address = rtl::GetProcAddress(module, name);
    EXPECT_EQ(address != nullptr, found)
        << "'" << name << "' (" << why << ") should " << (found ? "" : "not ") << "be found";
    if (address != nullptr) {
      EXPECT_EQ(rtl::ModuleFromAddress(address), module)
          << "'" << name << "' should lie in the module it was asked of";
    }
  }
  EXPECT_EQ(rtl::GetProcAddress(exports.Module(), nullptr), nullptr) << "no name finds nothing";
  const auto add =
      reinterpret_cast<int (*)(int, int)>(rtl::GetProcAddress(exports.Module(), "pkgexports_add"));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(40, 2), 42) << "the address should be the package's function";
  EXPECT_EQ(rtl::GetProcAddress(rtl::MainInstance(), "loader_test_exported_function"),
            reinterpret_cast<void*>(&loader_test_exported_function))
      << "the executable's function should be found at its own address";
  // Without a GNU hash table the dynamic linker finds the name, in the package or in
  // what it links; only the package's own functions are its procedures.
  exports.Unload();
  ScopedPackage sysv(PackageFile("sysvexports"));
  EXPECT_NE(rtl::GetProcAddress(sysv.Module(), "pkgexports_add"), nullptr);
  for (const char* name : {"pkgexports_counter", "malloc", "pkgexports_hidden"}) {
    EXPECT_EQ(rtl::GetProcAddress(sysv.Module(), name), nullptr) << name;
  }
}

using Name = std::tuple<std::string, rtl::TNameType, int>;

void CollectName(const std::string& name, rtl::TNameType type, std::uint8_t flags, void* param) {
  static_cast<std::vector<Name>*>(param)->emplace_back(name, type, flags);
}

TEST(GetPackageInfo, ListsUnitsThenRequiredPackagesThenTheArtifact) {
  ScopedPackage user(PackageFile("pkguser"));
  std::vector<Name> names;
  std::uint8_t flags = 0;
  rtl::GetPackageInfo(user.Module(), &names, flags, &CollectName);
  EXPECT_EQ(names, (std::vector<Name>{{"UserUnit", rtl::ntContainsUnit, 3},
                                      {"UserExtra", rtl::ntContainsUnit, 3},
                                      {"rtl", rtl::ntRequiresPackage, 3},
                                      {"pkgbase", rtl::ntRequiresPackage, 3},
                                      {"libpkguser.so", rtl::ntDcpBpiName, 3}}))
      << "units in order, then required packages, then the artifact name";
  EXPECT_EQ(flags, 3) << "the record's flags should be reported";

  names.clear();
  rtl::GetPackageInfo(RuntimeLibrary(), &names, flags, &CollectName);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), (Name{"librtl.so", rtl::ntDcpBpiName, 0}))
      << "the run-time library is a package named by its own file";
  EXPECT_EQ(flags, 0);
}

TEST(GetPackageInfo, RaisesForModulesWithoutPackageInformation) {
  rtl::HMODULE unloaded = ScopedPackage(PackageFile("twounits")).Module();
  const rtl::HMODULE libc = rtl::ModuleFromAddress(reinterpret_cast<const void*>(&::malloc));
  ASSERT_NE(libc, 0u);
  const std::tuple<rtl::HMODULE, const char*, const char*> cases[] = {
      {rtl::MainInstance(), "the executable", "carries no package information"},
      {libc, "the C library, which is not in the module list", "is not in the module list"},
      {unloaded, "an unloaded package", "is not in the module list"},
  };
  // The executable has to be listed for its case to be about the record.
  rtl::TLibModule executable{nullptr, rtl::MainInstance()};
  rtl::RegisterModule(&executable);
  for (const auto& [module, what, reason] : cases) {
    std::vector<Name> names;
    std::uint8_t flags = 0;
    EXPECT_THAT(MessageOf([&] { rtl::GetPackageInfo(module, &names, flags, &CollectName); }),
                testing::HasSubstr(reason))
        << what;
    EXPECT_TRUE(names.empty()) << what << ": nothing should be reported";
  }
  rtl::UnregisterModule(&executable);
}

}  // namespace
