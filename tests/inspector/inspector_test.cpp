#include <gtest/gtest.h>

#include <QListWidget>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "Unit2.h"
#include "workbench_test_support.h"

namespace {

using testsupport::ScopedPackage;
using wbtest::ModuleList;
using wbtest::PackageFile;

std::vector<std::string> Items(const toolkit::TListBox* list) {
  return list->Items().ToVector();
}

std::vector<rtl::HMODULE> Handles(const toolkit::TListBox* list) {
  std::vector<rtl::HMODULE> handles;
  for (int i = 0; i < list->Items().Count(); ++i) handles.push_back(list->Items().Objects(i));
  return handles;
}

int IndexOf(const toolkit::TListBox* list, rtl::HMODULE module) {
  const std::vector<rtl::HMODULE> handles = Handles(list);
  const auto found = std::find(handles.begin(), handles.end(), module);
  return found == handles.end() ? -1 : static_cast<int>(found - handles.begin());
}

// Selects the module's row as the keyboard does, so the list box runs its OnClick.
void Select(toolkit::TListBox* list, rtl::HMODULE module) {
  static_cast<QListWidget*>(list->Widget())->setCurrentRow(IndexOf(list, module));
}

// The three memos as the user reads them: units in Memo2, required packages in Memo1,
// the build-artifact name in Memo3.
using MemoLines = std::vector<std::vector<std::string>>;
MemoLines Memos(const TForm2* form) {
  return {form->Memo2->Lines().ToVector(), form->Memo1->Lines().ToVector(),
          form->Memo3->Lines().ToVector()};
}

const MemoLines kInitialMemos = {{"Memo2"}, {"Memo1"}, {"Memo3"}};
const MemoLines kNoMemos = {{}, {}, {}};
const MemoLines kTwoUnitsMemos = {{"TwoFirst", "TwoSecond"}, {"rtl"}, {"libtwounits.so"}};

// The inspector opened from a main window, with the executable in the module list as
// start-up puts it.
class Inspector : public testing::Test {
 protected:
  Inspector() {
    rtl::RegisterModule(&executable_);
    main_ = new TForm1(nullptr);
  }
  ~Inspector() override { rtl::UnregisterModule(&executable_); }
  void TearDown() override {
    delete main_;
    EXPECT_EQ(Form2, nullptr) << "the inspector should go with the main window that owns it";
    EXPECT_THROW(ShowPackageInfoEntry("x", rtl::ntContainsUnit, 0, nullptr), rtl::Exception)
        << "no reference to the freed memos should be left";
  }
  // Presses "Посмотреть подключенные модули".
  TForm2* Open() {
    wbtest::Press(main_->Button1);
    return Form2;
  }
  int InspectorsOwned() const {
    int count = 0;
    for (int i = 0; i < main_->ComponentCount(); ++i) {
      count += main_->Components(i)->InheritsFrom(TForm2::StaticClass()) ? 1 : 0;
    }
    return count;
  }

  wbtest::ScopedDialogs dialogs_;
  rtl::TLibModule executable_{nullptr, rtl::MainInstance()};
  TForm1* main_ = nullptr;
};

TEST_F(Inspector, ListsEveryModuleAndShowsItAgainAsLeftUntilRefreshed) {
  ScopedPackage twounits(PackageFile("twounits"));
  TForm2* form = Open();
  ASSERT_NE(form, nullptr) << "the open action should have stored the inspector";
  EXPECT_EQ(form->Owner(), main_) << "the main window should own the inspector";
  EXPECT_TRUE(form->Widget()->isVisible()) << "the inspector should be shown";
  EXPECT_EQ(Handles(form->ListBox1), ModuleList())
      << "item n should carry the handle of the n-th module list record";
  const std::vector<std::string> items = Items(form->ListBox1);
  EXPECT_EQ(items.at(IndexOf(form->ListBox1, rtl::MainInstance())),
            testsupport::ExecutablePath() + " []")
      << "a module without description shows \" [\" directly followed by \"]\"";
  EXPECT_EQ(items.at(IndexOf(form->ListBox1, twounits.Module())),
            testsupport::RealPath(PackageFile("twounits")) +
                " [Two units, one of them registering components]")
      << "the item text is the file name, \" [\", the description and \"]\"";
  EXPECT_EQ(Memos(form), kInitialMemos) << "opening leaves the memos as described";

  Select(form->ListBox1, twounits.Module());
  ASSERT_EQ(Memos(form), kTwoUnitsMemos)
      << "two units, one required package and the build-artifact name, in their memos";
  wbtest::Press(form->Button1);
  wbtest::Press(form->Button1);
  EXPECT_EQ(Items(form->ListBox1), items) << "two refreshes should list each module once";
  EXPECT_EQ(Handles(form->ListBox1), ModuleList()) << "and attach the same handles";
  EXPECT_EQ(Memos(form), kTwoUnitsMemos) << "a refresh leaves the memos as they were";

  form->Close();
  ScopedPackage later(PackageFile("mark"));
  EXPECT_EQ(Open(), form) << "the closed window should be shown again, not rebuilt";
  EXPECT_TRUE(form->Widget()->isVisible());
  EXPECT_EQ(Items(form->ListBox1), items) << "showing again should not refresh the list";
  EXPECT_EQ(Memos(form), kTwoUnitsMemos) << "the memos should read as they were left";
  EXPECT_THAT(dialogs_->Boxes(), testing::IsEmpty());
}

TEST_F(Inspector, SelectionReplacesTheMemosAndNothingToShowEmptiesThemQuietly) {
  ScopedPackage base(PackageFile("pkgbase"));
  ScopedPackage user(PackageFile("pkguser"));
  TForm2* form = Open();
  const MemoLines expected = {{"UserUnit", "UserExtra"}, {"rtl", "pkgbase"}, {"libpkguser.so"}};
  // Another module first, so that the memos are cleared, not merely filled.
  Select(form->ListBox1, base.Module());
  Select(form->ListBox1, user.Module());
  EXPECT_EQ(Memos(form), expected)
      << "units to Memo2, required packages to Memo1, the build-artifact name to Memo3";
  form->ListBox1Click(form->ListBox1);
  EXPECT_EQ(Memos(form), expected) << "selecting it again shows the same, not twice";
  Select(form->ListBox1, rtl::MainInstance());
  EXPECT_EQ(Memos(form), kNoMemos) << "the executable carries no package information";
  Select(form->ListBox1, user.Module());
  form->ListBox1->SetItemIndex(-1);
  form->ListBox1Click(form->ListBox1);
  EXPECT_EQ(Memos(form), kNoMemos) << "a click with nothing selected clears the memos";
  EXPECT_THAT(dialogs_->Boxes(), testing::IsEmpty());
}

// An item stands for the module it was made for: once that is unloaded it shows
// nothing, even when another package now sits at its address.
TEST_F(Inspector, TheListIsASnapshotWhoseStaleItemsShowNothingUntilRefreshed) {
  auto first = std::make_unique<ScopedPackage>(PackageFile("twounits"));
  ScopedPackage other(PackageFile("mark"));
  const rtl::HMODULE gone = first->Module();
  TForm2* form = Open();
  first->Unload();
  const int stale = IndexOf(form->ListBox1, gone);
  ASSERT_GE(stale, 0) << "an unloaded package stays listed";
  Select(form->ListBox1, gone);
  EXPECT_EQ(Memos(form), kNoMemos) << "the unloaded package's item shows nothing";
  // The loader often maps the next library into the gap an unloaded one left, but
  // not always; the item is pointed at another loaded package, as it then would be.
  form->ListBox1->Items().SetObjects(stale, other.Module());
  form->ListBox1Click(form->ListBox1);
  EXPECT_EQ(Memos(form), kNoMemos)
      << "the item was made for the unloaded package, not for what sits at its address now";

  wbtest::Press(form->Button1);
  EXPECT_EQ(Handles(form->ListBox1), ModuleList())
      << "after a refresh the list follows the module list again, the unloaded package out";
}

TEST_F(Inspector, ASecondInspectorFreedLeavesTheFirstReportingNotCrashing) {
  // The open action makes one inspector; a second made by hand takes the memo
  // references, and freeing it leaves the first with none.
  TForm2* first = Open();
  delete new TForm2(main_);
  Select(first->ListBox1, rtl::MainInstance());
  EXPECT_THAT(dialogs_->Exceptions(), testing::ElementsAre(testing::HasSubstr("ContainsUnitMemo")))
      << "the selection should report, not crash";
  // Each kind of name, not only the first asked for.
  for (const auto& [kind, memo] : {std::pair{1, "RequiresPackageMemo"}, {2, "DcpBpiNameMemo"}}) {
    EXPECT_THAT([kind] { ShowPackageInfoEntry("Unit", rtl::TNameType(kind), 0, nullptr); },
                testing::ThrowsMessage<rtl::Exception>(testing::HasSubstr(memo)));
  }
}

// A package whose file is replaced by garbage while it stays loaded: its module is
// in the module list, but its description can no longer be read.
TEST_F(Inspector, AModuleWhoseDescriptionCannotBeReadFailsTheOpeningThenTheRefresh) {
  testsupport::TempDir dir;
  const std::string path = testsupport::RealPath(dir.Path()) + "/libmark.so";
  auto spoil = [&] {
    std::filesystem::remove(path);  // a new file: the mapped one is never written over
    std::ofstream(path) << "this is no longer a package";
  };
  testsupport::CopyFile(PackageFile("mark"), path);
  ScopedPackage spoiled(path);
  ScopedPackage listedFirst(PackageFile("twounits"));  // loaded later, so listed before it
  spoil();
  EXPECT_EQ(Open(), nullptr) << "a construction that failed should not be stored";
  EXPECT_EQ(InspectorsOwned(), 0) << "the half-built window should be gone";
  EXPECT_THAT(dialogs_->Exceptions(), testing::ElementsAre(testing::HasSubstr(path)))
      << "the failure should be shown once, naming the file";
  EXPECT_THROW(ShowPackageInfoEntry("x", rtl::ntContainsUnit, 0, nullptr), rtl::Exception)
      << "the memos of the failed window should not be reachable any more";

  testsupport::CopyFile(PackageFile("mark"), path);
  TForm2* form = Open();
  ASSERT_NE(form, nullptr) << "with the file readable again the next press builds the window";
  EXPECT_EQ(InspectorsOwned(), 1) << "exactly one inspector after the failure";
  Select(form->ListBox1, listedFirst.Module());
  spoil();
  dialogs_->Reset();
  wbtest::Press(form->Button1);
  const std::vector<rtl::HMODULE> modules = ModuleList();
  const auto failing = std::find(modules.begin(), modules.end(), spoiled.Module());
  EXPECT_EQ(Handles(form->ListBox1), std::vector<rtl::HMODULE>(modules.begin(), failing))
      << "the modules before the failing one stay listed, it and the later ones are not";
  EXPECT_THAT(dialogs_->Exceptions(), testing::ElementsAre(testing::HasSubstr(path)))
      << "the failed refresh should be shown once, naming the file";
  EXPECT_EQ(Memos(form), kTwoUnitsMemos) << "a failed refresh leaves the memos alone";
  testsupport::CopyFile(PackageFile("mark"), path);
  wbtest::Press(form->Button1);
  EXPECT_EQ(Handles(form->ListBox1), ModuleList()) << "once the file reads again, all are listed";
  EXPECT_EQ(dialogs_->Boxes().size(), 1u) << "that refresh should show no box";
}

}  // namespace
