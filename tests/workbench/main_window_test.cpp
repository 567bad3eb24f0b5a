#include <gtest/gtest.h>

#include <algorithm>

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

TEST_F(MainWindow, LoadPackPutsTheChosenPackageIntoTheSlot) {
  TraceFile trace;
  LoadPackWith(PackageFile("twounits"));
  ASSERT_NE(LoadedPackage, 0u) << "the slot should hold the loaded package";
  EXPECT_EQ(CountInModuleList(LoadedPackage), 1) << "the package should be in the module list";
  EXPECT_EQ(trace.Lines(), kTwoUnitsLoad) << "its units should have been initialised in order";
  EXPECT_EQ(dialogs_->OpenDialogsRun(), 1) << "LoadPack should run the open dialog once";
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

TEST_F(MainWindow, TheSameFileTwiceIsUnloadedAndLoadedAgain) {
  TraceFile trace;
  LoadPackWith(PackageFile("twounits"));
  LoadPackWith(PackageFile("twounits"));
  // The handle is the load address, so it may well be the same number again: what
  // shows the reload is that the units were finalised and initialised once more.
  EXPECT_EQ(trace.Lines(), Joined({kTwoUnitsLoad, kTwoUnitsUnload, kTwoUnitsLoad}))
      << "the first load should be undone before the second";
  ASSERT_NE(LoadedPackage, 0u);
  EXPECT_EQ(CountInModuleList(LoadedPackage), 1)
      << "the package should be in the module list once, not counted twice";
  form_->UnLoadPack->Click();
  EXPECT_EQ(CountInModuleList(LoadedPackage), 0)
      << "one UnLoadPack should unload it fully: the slot held one reference";
}

TEST_F(MainWindow, LoadingAnotherPackageReplacesTheFirst) {
  TraceFile trace;
  LoadPackWith(PackageFile("twounits"));
  LoadPackWith(PackageFile("mark"));
  // The second package may well be mapped where the first one was, so the first is
  // looked for by its file, not by its address.
  const auto listedFiles = [] {
    std::vector<std::string> files;
    char buffer[254];
    for (rtl::TLibModule* m = rtl::LibModuleList(); m != nullptr; m = m->Next) {
      rtl::GetModuleFileNameA(m->Instance, buffer, sizeof buffer);
      files.emplace_back(buffer);
    }
    return files;
  }();
  const auto listed = [&](const std::string& name) {
    return std::count_if(listedFiles.begin(), listedFiles.end(), [&](const std::string& file) {
      return file.ends_with("/lib" + name + ".so");
    });
  };
  EXPECT_EQ(listed("twounits"), 0) << "the first package should have been unloaded";
  EXPECT_EQ(listed("mark"), 1) << "the second package should be loaded";
  EXPECT_EQ(CountInModuleList(LoadedPackage), 1) << "the slot should hold the second package";
  EXPECT_EQ(trace.Lines().back(), "mark.MarkUnit init");
}

// A file that is no ELF file at all, removed with the test.
struct BadFile {
  const char* name;
  std::string path;      // empty: a garbage file made for the test
  std::string expected;  // a part of the message; empty: the path
};

void PrintTo(const BadFile& c, std::ostream* out) {
  *out << c.name;
}

class FailedLoad : public MainWindow, public testing::WithParamInterface<BadFile> {};

TEST_P(FailedLoad, RaisesNamingTheFileAndLeavesTheSlotEmpty) {
  TraceFile trace;
  const testsupport::TempDir dir;
  const std::string path = GetParam().path.empty()
                               ? dir.Write("garbage.so", "this is not a shared library at all")
                               : GetParam().path;
  const std::string expected = GetParam().expected.empty() ? path : GetParam().expected;
  LoadPackWith(PackageFile("twounits"));
  const rtl::HMODULE previous = LoadedPackage;
  const auto before = wbtest::ModuleList();

  std::string message;
  try {
    LoadPackWith(path);
    ADD_FAILURE() << "loading " << path << " should have raised";
  } catch (const rtl::Exception& error) {
    message = error.Message();
  }
  EXPECT_NE(message.find(expected), std::string::npos)
      << "the message should contain \"" << expected << "\": " << message;
  EXPECT_EQ(LoadedPackage, 0u) << "a failed load should leave the slot empty";
  EXPECT_EQ(CountInModuleList(previous), 0)
      << "the package in the slot should have been unloaded before the attempt";
  auto expectedModules = before;
  std::erase(expectedModules, previous);
  EXPECT_EQ(wbtest::ModuleList(), expectedModules)
      << "the failed load should leave no module behind";

  const auto afterFailure = trace.Lines();
  form_->UnLoadPack->Click();
  form_->Close();
  EXPECT_EQ(trace.Lines(), afterFailure) << "after a failed load nothing is left to unload";
  EXPECT_EQ(LoadedPackage, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FailedLoad,
    testing::Values(BadFile{"Missing", PackageFile("doesnotexist"), ""}, BadFile{"NotElf", "", ""},
                    BadFile{"NoPackageInformation", PackageFile("plainlib"), "not a package"},
                    BadFile{"UnitCannotStart", PackageFile("initfail"), "FailSecond"},
                    BadFile{"RequiredPackageMissing", PackageFile("missingreq"), "pkgnowhere"}),
    [](const testing::TestParamInfo<BadFile>& info) { return info.param.name; });

TEST_F(MainWindow, UnLoadPackOnAnEmptySlotDoesNothing) {
  TraceFile trace;
  const auto before = wbtest::ModuleList();
  form_->UnLoadPack->Click();
  form_->UnLoadPack->Click();
  EXPECT_EQ(LoadedPackage, 0u) << "the slot should stay empty";
  EXPECT_EQ(wbtest::ModuleList(), before) << "no module should have been unloaded";
  EXPECT_TRUE(dialogs_->Boxes().empty()) << "UnLoadPack on an empty slot should show nothing";
}

TEST_F(MainWindow, UnLoadPackEmptiesTheSlot) {
  TraceFile trace;
  LoadPackWith(PackageFile("twounits"));
  const rtl::HMODULE loaded = LoadedPackage;
  form_->UnLoadPack->Click();
  EXPECT_EQ(LoadedPackage, 0u) << "UnLoadPack should empty the slot";
  EXPECT_EQ(CountInModuleList(loaded), 0) << "the package should have been unloaded";
  EXPECT_EQ(trace.Lines(), Joined({kTwoUnitsLoad, kTwoUnitsUnload}));
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

TEST_F(MainWindow, ButtonsWithoutBehaviourAndTheDisabledButton) {
  EXPECT_FALSE(form_->Button7->Enabled()) << "Button7 should start disabled";
  EXPECT_EQ(form_->Button6->OnClick.Code, nullptr) << "Button6 should have no handler";
  // A disabled button cannot be pressed: its handler never runs.
  wbtest::Press(form_->Button7);
  EXPECT_TRUE(dialogs_->Boxes().empty());
}

TEST_F(MainWindow, UnitNamesIsMadeWithTheWindowAndFreedWithIt) {
  ASSERT_NE(UnitNames, nullptr) << "the constructor should create UnitNames";
  EXPECT_EQ(UnitNames->Count(), 0) << "UnitNames should start empty";
  delete form_;
  form_ = nullptr;
  EXPECT_EQ(UnitNames, nullptr) << "UnitNames should not outlive the window that made it";
}

}  // namespace
