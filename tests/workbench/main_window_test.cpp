#include <gtest/gtest.h>

#include <string_view>

#include "workbench_test_support.h"

namespace {

using wbtest::CountInModuleList;
using wbtest::PackageFile;
using wbtest::ScopedDialogs;
using wbtest::TraceFile;

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

const std::vector<std::string> kTwoUnitsLoad = {"twounits.TwoFirst init",
                                                "twounits.TwoSecond init"};
const std::vector<std::string> kTwoUnitsUnload = {"twounits.TwoSecond fini",
                                                  "twounits.TwoFirst fini"};

std::vector<std::string> Joined(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST_F(MainWindow, CancellingTheDialogKeepsTheSlot) {
  TraceFile trace;
  dialogs_->CancelOpen();
  form_->LoadPack->Click();
  EXPECT_EQ(LoadedPackage, 0u) << "cancelling with an empty slot should leave it empty";

  LoadPackWith(PackageFile("twounits"));
  const rtl::HMODULE loaded = LoadedPackage;
  const auto modules = wbtest::ModuleList();
  dialogs_->CancelOpen();
  form_->LoadPack->Click();
  EXPECT_EQ(LoadedPackage, loaded) << "cancelling should keep the package in the slot";
  EXPECT_EQ(wbtest::ModuleList(), modules) << "cancelling should load and unload nothing";
  EXPECT_EQ(trace.Lines(), kTwoUnitsLoad) << "no unit should have been finalised";
}

TEST_F(MainWindow, LoadPackFillsTheSlotAndTheSameFileAgainReloadsIt) {
  TraceFile trace;
  LoadPackWith(PackageFile("twounits"));
  ASSERT_NE(LoadedPackage, 0u) << "the slot should hold the loaded package";
  EXPECT_EQ(trace.Lines(), kTwoUnitsLoad) << "its units should have been initialised in order";
  LoadPackWith(PackageFile("twounits"));
  // The handle is the load address, so it may well be the same number again: what
  // shows the reload is that the units were finalised and initialised once more.
  EXPECT_EQ(trace.Lines(), Joined({kTwoUnitsLoad, kTwoUnitsUnload, kTwoUnitsLoad}))
      << "the first load should be undone before the second";
  const rtl::HMODULE loaded = LoadedPackage;
  EXPECT_EQ(CountInModuleList(loaded), 1)
      << "the package should be in the module list once, not counted twice";
  form_->UnLoadPack->Click();
  EXPECT_EQ(LoadedPackage, 0u) << "UnLoadPack should empty the slot";
  EXPECT_EQ(CountInModuleList(loaded), 0)
      << "one UnLoadPack should unload it fully: the slot held one reference";
}

TEST_F(MainWindow, LoadingAnotherPackageReplacesTheFirst) {
  TraceFile trace;
  LoadPackWith(PackageFile("twounits"));
  LoadPackWith(PackageFile("mark"));
  // The second package may well be mapped where the first one was, so the first is
  // looked for by its file, not by its address.
  const auto listed = [](const std::string& name) {
    int count = 0;
    char buffer[254];
    for (rtl::HMODULE m : wbtest::ModuleList()) {
      rtl::GetModuleFileNameA(m, buffer, sizeof buffer);
      count += std::string_view(buffer).ends_with("/lib" + name + ".so") ? 1 : 0;
    }
    return count;
  };
  EXPECT_EQ(listed("twounits"), 0) << "the first package should have been unloaded";
  EXPECT_EQ(listed("mark"), 1) << "the second package should be loaded";
  EXPECT_EQ(CountInModuleList(LoadedPackage), 1) << "the slot should hold the second package";
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
    auto expectedModules = wbtest::ModuleList();
    std::erase(expectedModules, LoadedPackage);

    const std::string message = testsupport::MessageOf([&] { LoadPackWith(path); });
    EXPECT_NE(message.find(expected), std::string::npos)
        << "the message should contain \"" << expected << "\": " << message;
    EXPECT_EQ(LoadedPackage, 0u) << "a failed load of " << path << " should leave the slot empty";
    EXPECT_EQ(wbtest::ModuleList(), expectedModules)
        << "the slot's package should be unloaded before loading " << path
        << ", and the failure should leave no module behind";
    const auto afterFailure = trace.Lines();
    form_->UnLoadPack->Click();
    form_->Close();
    EXPECT_EQ(trace.Lines(), afterFailure) << "after a failed load nothing is left to unload";
  }
}

TEST_F(MainWindow, UnLoadPackOnAnEmptySlotDoesNothing) {
  const auto before = wbtest::ModuleList();
  form_->UnLoadPack->Click();
  form_->UnLoadPack->Click();
  EXPECT_EQ(LoadedPackage, 0u) << "the slot should stay empty";
  EXPECT_EQ(wbtest::ModuleList(), before) << "no module should have been unloaded";
  EXPECT_TRUE(dialogs_->Boxes().empty()) << "UnLoadPack on an empty slot should show nothing";
}

TEST_F(MainWindow, ClosingUnloadsThePackageInTheSlot) {
  TraceFile trace;
  LoadPackWith(PackageFile("twounits"));
  const rtl::HMODULE loaded = LoadedPackage;
  form_->Close();
  EXPECT_EQ(CountInModuleList(loaded), 0) << "closing should unload the slot's package";
  EXPECT_EQ(trace.Lines(), Joined({kTwoUnitsLoad, kTwoUnitsUnload}));
  LoadedPackage = 0;
}

TEST_F(MainWindow, UnitNamesIsMadeWithTheWindowAndFreedWithIt) {
  ASSERT_NE(UnitNames, nullptr) << "the constructor should create UnitNames";
  EXPECT_EQ(UnitNames->Count(), 0) << "UnitNames should start empty";
  delete form_;
  form_ = nullptr;
  EXPECT_EQ(UnitNames, nullptr) << "UnitNames should not outlive the window that made it";
}

}  // namespace
