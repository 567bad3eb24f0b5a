// Looking into loaded modules: GetProcAddress, GetPackageInfo, and
// GetPackageDescription, which must not run any of the package's code.

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "loader_test_support.h"
#include "rtl/package.h"

// Found by name through the executable's own symbols.
extern "C" __attribute__((visibility("default"), used)) int loader_test_exported_function() {
  return 5;
}
extern "C" {
__attribute__((visibility("default"), used)) int loader_test_exported_data = 3;
}

namespace {

using namespace loadertest;

rtl::HMODULE RuntimeLibrary() {
  return rtl::ModuleFromAddress(reinterpret_cast<const void*>(&rtl::LoadPackage));
}

TEST(GetProcAddress, FindsOnlyTheModulesOwnExportsByExactName) {
  ScopedPackage exports(PackageFile("pkgexports"));
  ScopedPackage user(PackageFile("pkguser"));
  const rtl::HMODULE base = RegisteredModuleNamed("pkgbase");
  ASSERT_NE(base, 0u);
  struct Case {
    rtl::HMODULE module;
    const char* name;
    bool found;
    const char* why;
  };
  const Case cases[] = {
      {exports.Module(), "pkgexports_add", true, "an exported function"},
      {exports.Module(), "pkgexports_Add", false, "case counts"},
      {exports.Module(), "pkgexports_add ", false, "a trailing blank counts"},
      {exports.Module(), "pkgexports_ad", false, "a prefix is not the name"},
      {exports.Module(), "pkgexports_counter", false, "a data symbol is not a procedure"},
      {exports.Module(), "pkgexports_hidden", false, "a function the package does not export"},
      {exports.Module(), "@ExportsUnit@Register$qqrv", true, "a registration procedure"},
      {exports.Module(), "@exportsunit@register$qqrv", false, "case counts in the export table"},
      {exports.Module(), "@ExportsUnit@Register$qqrv ", false,
       "a blank counts in the export table"},
      {exports.Module(), "@TwoSecond@Register$qqrv", false,
       "another package's registration procedure"},
      {user.Module(), "@UserUnit@Register$qqrv", true, "a registration procedure"},
      {user.Module(), "pkgbase_answer", false, "a required package's export"},
      {base, "pkgbase_answer", true, "the same export in its own package"},
      {rtl::MainInstance(), "loader_test_exported_function", true, "the executable's own function"},
      {rtl::MainInstance(), "loader_test_exported_data", false, "the executable's data"},
      {RuntimeLibrary(), "_ZN3rtl12MainInstanceEv", true, "a run-time library function"},
      {RuntimeLibrary(), "_ZN3rtl22RegisterComponentsProcE", false, "a run-time library variable"},
      {0x1234, "pkgexports_add", false, "no module is at 0x1234"},
  };
  for (const Case& c : cases) {
    void* address = rtl::GetProcAddress(c.module, c.name);
    EXPECT_EQ(address != nullptr, c.found)
        << "'" << c.name << "' (" << c.why << ") should " << (c.found ? "" : "not ") << "be found";
    if (address != nullptr) {
      EXPECT_EQ(rtl::ModuleFromAddress(address), c.module)
          << "'" << c.name << "' should lie in the module it was asked of";
    }
  }
  EXPECT_EQ(rtl::GetProcAddress(exports.Module(), nullptr), nullptr) << "no name finds nothing";
}

TEST(GetProcAddress, ReturnsCallableCode) {
  ScopedPackage exports(PackageFile("pkgexports"));
  const auto add =
      reinterpret_cast<int (*)(int, int)>(rtl::GetProcAddress(exports.Module(), "pkgexports_add"));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(40, 2), 42) << "the address should be the package's function";
  EXPECT_EQ(rtl::GetProcAddress(rtl::MainInstance(), "loader_test_exported_function"),
            reinterpret_cast<void*>(&loader_test_exported_function))
      << "the executable's function should be found at its own address";
}

using Names = std::vector<std::tuple<std::string, rtl::TNameType, int>>;

void CollectName(const std::string& name, rtl::TNameType type, std::uint8_t flags, void* param) {
  static_cast<Names*>(param)->emplace_back(name, type, flags);
}

TEST(GetPackageInfo, ListsUnitsThenRequiredPackagesThenTheArtifact) {
  ScopedPackage user(PackageFile("pkguser"));
  Names names;
  std::uint8_t flags = 0;
  rtl::GetPackageInfo(user.Module(), &names, flags, &CollectName);
  const Names expected{
      {"UserUnit", rtl::ntContainsUnit, 3},    {"UserExtra", rtl::ntContainsUnit, 3},
      {"rtl", rtl::ntRequiresPackage, 3},      {"pkgbase", rtl::ntRequiresPackage, 3},
      {"libpkguser.so", rtl::ntDcpBpiName, 3},
  };
  EXPECT_EQ(names, expected) << "units in order, then required packages, then the artifact name";
  EXPECT_EQ(flags, 3) << "the record's flags should be reported";
}

TEST(GetPackageInfo, ReadsTheFrameworkLibrarysRecordToo) {
  Names names;
  std::uint8_t flags = 0xff;
  rtl::GetPackageInfo(RuntimeLibrary(), &names, flags, &CollectName);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(),
            (std::tuple<std::string, rtl::TNameType, int>{"librtl.so", rtl::ntDcpBpiName, 0}))
      << "the run-time library is a package named by its own file";
  EXPECT_EQ(flags, 0);
}

TEST(GetPackageInfo, RaisesForModulesWithoutPackageInformation) {
  rtl::HMODULE unloaded = 0;
  {
    ScopedPackage twounits(PackageFile("twounits"));
    unloaded = twounits.Module();
  }
  const rtl::HMODULE libc = rtl::ModuleFromAddress(reinterpret_cast<const void*>(&::malloc));
  ASSERT_NE(libc, 0u);
  struct Case {
    rtl::HMODULE module;
    const char* what;
    const char* reason;
  };
  const Case cases[] = {
      {rtl::MainInstance(), "the executable", "carries no package information"},
      {libc, "the C library, which is not in the module list", "is not in the module list"},
      {unloaded, "an unloaded package", "is not in the module list"},
  };
  // The executable has to be listed for its case to be about the record.
  rtl::TLibModule executable{nullptr, rtl::MainInstance()};
  rtl::RegisterModule(&executable);
  for (const Case& c : cases) {
    Names names;
    std::uint8_t flags = 0;
    const std::string message =
        testsupport::MessageOf([&] { rtl::GetPackageInfo(c.module, &names, flags, &CollectName); });
    EXPECT_NE(message.find(c.reason), std::string::npos)
        << c.what << ": GetPackageInfo should raise saying '" << c.reason << "': " << message;
    EXPECT_TRUE(names.empty()) << c.what << ": nothing should be reported";
  }
  rtl::UnregisterModule(&executable);
}

TEST(GetPackageDescription, RunsNoneOfThePackagesCode) {
  TraceFile trace;
  const std::string file = PackageFile("mark");
  EXPECT_EQ(rtl::GetPackageDescription(file.c_str()), "Leaves a mark when its code runs");
  EXPECT_TRUE(trace.Lines().empty()) << "reading the description must not map or run the package";
  EXPECT_FALSE(IsMapped("libmark.so")) << "reading the description must not map the package";
  {
    ScopedPackage mark(file);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"mark constructor", "mark.MarkUnit init"}))
        << "loading the same package does leave its marks (else the check above proves nothing)";
  }
}

}  // namespace
