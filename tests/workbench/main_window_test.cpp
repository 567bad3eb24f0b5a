#include <gtest/gtest.h>

#include "workbench_test_support.h"

namespace {

using namespace wbtest;
using testsupport::RegisteredModuleNamed;
using Lines = std::vector<std::string>;

// A main window of its own for each test, with the slot empty before and after.
class MainWindow : public testing::Test {
 protected:
  void SetUp() override {
    LoadedPackage = 0;
    // No owner: this window must never be taken for the application's main window.
    form_ = new TForm1(nullptr);
  }
  void TearDown() override {
    if (LoadedPackage != 0 && CountInModuleList(LoadedPackage) == 1) {
      rtl::UnloadPackage(LoadedPackage);
    }
    LoadedPackage = 0;
    delete form_;
  }

  // Runs LoadPack with the open dialog answered by that file.
  void LoadPackWith(const std::string& path) {
    dialogs_->AnswerOpen(path);
    form_->LoadPack->Click();
  }

  ScopedDialogs dialogs_;
  TForm1* form_ = nullptr;
};

const Lines kLoad = {"twounits.TwoFirst init", "twounits.TwoSecond init"};
const Lines kUnload = {"twounits.TwoSecond fini", "twounits.TwoFirst fini"};

Lines Joined(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST_F(MainWindow, CancellingTheDialogOrUnloadingAnEmptySlotChangesNothing) {
  TraceFile trace;
  const auto before = ModuleList();
  dialogs_->CancelOpen();
  form_->LoadPack->Click();
  form_->UnLoadPack->Click();
  EXPECT_EQ(LoadedPackage, 0u) << "the slot should stay empty";
  EXPECT_EQ(ModuleList(), before) << "no module should have been loaded or unloaded";

  LoadPackWith(PackageFile("twounits"));
  const rtl::HMODULE loaded = LoadedPackage;
  dialogs_->CancelOpen();
  form_->LoadPack->Click();
  EXPECT_EQ(LoadedPackage, loaded) << "cancelling should keep the package in the slot";
  EXPECT_EQ(trace.Lines(), kLoad) << "no unit should have been finalised";
  EXPECT_TRUE(dialogs_->Boxes().empty()) << "none of it should show a box";
}

TEST_F(MainWindow, LoadPackFillsTheSlotAndReloadsTheSameFileOrReplacesItWithAnother) {
  TraceFile trace;
  LoadPackWith(PackageFile("twounits"));
  ASSERT_NE(LoadedPackage, 0u) << "the slot should hold the loaded package";
  EXPECT_EQ(trace.Lines(), kLoad) << "its units should have been initialised in order";
  LoadPackWith(PackageFile("twounits"));
  // The handle is the load address, so it may well be the same number again: what
  // shows the reload is that the units were finalised and initialised once more.
  EXPECT_EQ(trace.Lines(), Joined({kLoad, kUnload, kLoad}))
      << "the first load should be undone before the second";
  EXPECT_EQ(CountInModuleList(LoadedPackage), 1) << "the package should be listed once";
  // The second package may well be mapped where the first one was, so each is
  // looked for by its file, not by its address.
  LoadPackWith(PackageFile("mark"));
  EXPECT_EQ(RegisteredModuleNamed("twounits"), 0u)
      << "the first package should have been unloaded fully: the slot held one reference";
  EXPECT_EQ(LoadedPackage, RegisteredModuleNamed("mark")) << "the slot holds the second package";
  const rtl::HMODULE mark = LoadedPackage;
  form_->UnLoadPack->Click();
  EXPECT_EQ(LoadedPackage, 0u) << "UnLoadPack should empty the slot";
  EXPECT_EQ(CountInModuleList(mark), 0) << "and unload its package";
}

// The loader's own tests go through every bad file; here it matters that the slot is
// emptied first and stays empty, whether the load fails before or after mapping.
TEST_F(MainWindow, AFailedLoadRaisesNamingTheFileAndLeavesTheSlotEmpty) {
  const std::pair<std::string, std::string> cases[] = {
      {PackageFile("doesnotexist"), PackageFile("doesnotexist")},
      {PackageFile("initfail"), "FailSecond"}};
  for (const auto& [path, expected] : cases) {
    TraceFile trace;
    LoadPackWith(PackageFile("twounits"));
    auto expectedModules = ModuleList();
    std::erase(expectedModules, LoadedPackage);

    const std::string message = testsupport::MessageOf([&] { LoadPackWith(path); });
    EXPECT_NE(message.find(expected), std::string::npos)
        << "the message should contain \"" << expected << "\": " << message;
    EXPECT_EQ(LoadedPackage, 0u) << "a failed load of " << path << " should leave the slot empty";
    EXPECT_EQ(ModuleList(), expectedModules)
        << "the slot's package should be unloaded before loading " << path
        << ", and the failure should leave no module behind";
    const auto afterFailure = trace.Lines();
    form_->UnLoadPack->Click();
    form_->Close();
    EXPECT_EQ(trace.Lines(), afterFailure) << "after a failed load nothing is left to unload";
  }
}

TEST_F(MainWindow, ClosingUnloadsThePackageInTheSlotAndUnitNamesGoesWithTheWindow) {
  ASSERT_NE(UnitNames, nullptr) << "the constructor should create UnitNames";
  EXPECT_EQ(UnitNames->Count(), 0) << "UnitNames should start empty";
  TraceFile trace;
  LoadPackWith(PackageFile("twounits"));
  const rtl::HMODULE loaded = LoadedPackage;
  form_->Close();
  EXPECT_EQ(CountInModuleList(loaded), 0) << "closing should unload the slot's package";
  EXPECT_EQ(trace.Lines(), Joined({kLoad, kUnload}));
  delete form_;
  form_ = nullptr;
  EXPECT_EQ(UnitNames, nullptr) << "UnitNames should not outlive the window that made it";
}

}  // namespace
