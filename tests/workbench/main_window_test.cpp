// The package slot: LoadPack and UnLoadPack, with twounits' units tracing what runs.
// That closing the main window unloads it: the start-up tests.

#include <gtest/gtest.h>

#include "workbench_test_support.h"

namespace {

using namespace wbtest;
using testsupport::RegisteredModuleNamed;
using Lines = std::vector<std::string>;

const Lines kLoad = {"twounits.TwoFirst init", "twounits.TwoSecond init"};
// Cancelling the dialog, or unloading an empty slot, changes nothing; LoadPack fills
// the slot, and reloads the same file or replaces it with another.
TEST(MainWindow, LoadPackFillsReloadsOrReplacesTheSlotAndCancellingChangesNothing) {
  ScopedDialogs dialogs;
  TraceFile trace;
  InWorkbench([&] {
    const auto before = ModuleList();
    dialogs->CancelOpen();
    Press(Form1->LoadPack);
    Press(Form1->UnLoadPack);
    EXPECT_EQ(LoadedPackage, 0u) << "the slot should stay empty";
    EXPECT_EQ(ModuleList(), before) << "no module should have been loaded or unloaded";

    LoadPack(dialogs, PackageFile("twounits"));
    const rtl::HMODULE loaded = LoadedPackage;
    ASSERT_NE(loaded, 0u) << "the slot should hold the loaded package";
    dialogs->CancelOpen();
    Press(Form1->LoadPack);
    EXPECT_EQ(LoadedPackage, loaded) << "cancelling should keep the package in the slot";
    EXPECT_EQ(trace.Lines(), kLoad) << "its units initialised in order, none finalised";
    LoadPack(dialogs, PackageFile("twounits"));
    // The handle is the load address, so it may well be the same number again: what
    // shows the reload is that the units were finalised and initialised once more.
    EXPECT_EQ(trace.Lines(), (Lines{kLoad[0], kLoad[1], "twounits.TwoSecond fini",
                                    "twounits.TwoFirst fini", kLoad[0], kLoad[1]}))
        << "the first load should be undone before the second";
    // The second package may well be mapped where the first one was, so each is
    // looked for by its file, not by its address.
    LoadPack(dialogs, PackageFile("mark"));
    EXPECT_EQ(RegisteredModuleNamed("twounits"), 0u)
        << "the first package should have been unloaded fully: the slot held one reference";
    EXPECT_EQ(LoadedPackage, RegisteredModuleNamed("mark")) << "the slot holds the second";
    const rtl::HMODULE mark = LoadedPackage;
    Press(Form1->UnLoadPack);
    EXPECT_EQ(LoadedPackage, 0u) << "UnLoadPack should empty the slot";
    EXPECT_EQ(CountInModuleList(mark), 0) << "and unload its package";
  });
  EXPECT_THAT(dialogs->Boxes(), testing::IsEmpty()) << "none of it should show a box";
}

// The loader's own tests go through every bad file; here it matters that the slot is
// emptied first and stays empty, whether the load fails before or after mapping.
TEST(MainWindow, AFailedLoadIsShownNamingTheFileAndLeavesTheSlotEmpty) {
  const std::pair<std::string, std::string> cases[] = {
      {PackageFile("doesnotexist"), PackageFile("doesnotexist")},
      {PackageFile("initfail"), "FailSecond"}};
  for (const auto& [path, expected] : cases) {
    ScopedDialogs dialogs;
    TraceFile trace;
    Lines afterFailure;
    InWorkbench([&] {
      LoadPack(dialogs, PackageFile("twounits"));
      auto expectedModules = ModuleList();
      std::erase(expectedModules, LoadedPackage);
      LoadPack(dialogs, path);
      EXPECT_THAT(dialogs->Exceptions(), testing::ElementsAre(testing::HasSubstr(expected)))
          << "the failure should be shown once";
      EXPECT_EQ(LoadedPackage, 0u) << "a failed load of " << path << " should leave the slot empty";
      EXPECT_EQ(ModuleList(), expectedModules)
          << "the slot's package should be unloaded before loading " << path
          << ", and the failure should leave no module behind";
      afterFailure = trace.Lines();
      Press(Form1->UnLoadPack);
    });
    EXPECT_EQ(trace.Lines(), afterFailure) << "after a failed load nothing is left to unload";
  }
}

}  // namespace
