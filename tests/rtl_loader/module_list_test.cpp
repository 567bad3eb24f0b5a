// The module list, module handles and module file names.

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "loader_test_support.h"
#include "rtl/package.h"

namespace {

using namespace loadertest;

rtl::HMODULE RuntimeLibrary() {
  return rtl::ModuleFromAddress(reinterpret_cast<const void*>(&rtl::LoadPackage));
}

int LocalFunction() {
  return 0;
}

TEST(ModuleList, RuntimeLibraryIsListedUnderItsCanonicalPath) {
  const rtl::HMODULE rtlModule = RuntimeLibrary();
  EXPECT_TRUE(InModuleList(rtlModule)) << "the run-time library should register itself when mapped";
  const std::string path = ModulePath(rtlModule);
  EXPECT_EQ(path, testsupport::RealPath(path)) << "a library's file name should be canonical";
  EXPECT_NE(std::string::npos, path.find("/librtl.so."))
      << "the listed module should be librtl.so, by its versioned file: " << path;
  EXPECT_EQ(ModulePath(rtl::MainInstance()), ExecutablePath())
      << "the executable's file name should be its absolute path";
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
  EXPECT_EQ(second.Next, before)
      << "removing a record from the middle should relink its neighbours";
  rtl::UnregisterModule(&second);
  EXPECT_EQ(rtl::LibModuleList(), before) << "removing the head should restore the previous head";

  rtl::UnregisterModule(&second);
  EXPECT_EQ(rtl::LibModuleList(), before)
      << "removing a record not in the list should change nothing";
  EXPECT_THROW(rtl::RegisterModule(nullptr), rtl::Exception) << "a null record should be refused";
}

TEST(ModuleHandles, AddressesMapToTheirModules) {
  EXPECT_EQ(rtl::ModuleFromAddress(reinterpret_cast<const void*>(&LocalFunction)),
            rtl::MainInstance())
      << "a function of the executable should lie in MainInstance()";
  EXPECT_EQ(rtl::ModuleFromAddress(nullptr), 0u) << "no module holds the null address";
  int onTheStack = 0;
  EXPECT_EQ(rtl::ModuleFromAddress(&onTheStack), 0u) << "no module holds a stack address";
}

TEST(ModuleFileName, IsCutToTheBufferAndAlwaysTerminated) {
  const std::string full = ExecutablePath();
  ASSERT_GT(full.size(), 8u);
  struct Case {
    std::uint32_t size;
    std::size_t expected;
  };
  const Case cases[] = {
      {1, 0},
      {8, 7},
      {static_cast<std::uint32_t>(full.size()), full.size() - 1},
      {static_cast<std::uint32_t>(full.size() + 1), full.size()},
      {254, std::min<std::size_t>(full.size(), 253)},
  };
  for (const Case& c : cases) {
    char buffer[300];
    std::memset(buffer, '#', sizeof(buffer));
    const std::uint32_t written = rtl::GetModuleFileNameA(rtl::MainInstance(), buffer, c.size);
    EXPECT_EQ(written, c.expected) << "with a buffer of " << c.size << " bytes";
    EXPECT_EQ(std::string(buffer, written), full.substr(0, c.expected))
        << "with a buffer of " << c.size << " bytes the path's start should be written";
    EXPECT_EQ(buffer[written], '\0')
        << "with a buffer of " << c.size << " bytes the text should end in a zero";
    EXPECT_EQ(buffer[c.size], '#')
        << "with a buffer of " << c.size << " bytes nothing past it may be written";
  }
  char untouched = '#';
  EXPECT_EQ(rtl::GetModuleFileNameA(rtl::MainInstance(), &untouched, 0), 0u)
      << "a buffer of no bytes gets nothing";
  EXPECT_EQ(untouched, '#') << "a buffer of no bytes must not be written";
  char unknown[4] = "##";
  EXPECT_EQ(rtl::GetModuleFileNameA(0x1234, unknown, sizeof(unknown)), 0u)
      << "no module is loaded at 0x1234";
  EXPECT_EQ(unknown[0], '\0') << "an unknown module's name should be an empty text";
}

}  // namespace
