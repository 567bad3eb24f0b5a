#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "inspector_test_support.h"

namespace {

using inspectortest::Handles;
using inspectortest::IndexOf;
using inspectortest::Items;
using inspectortest::MemoLines;
using inspectortest::Memos;
using inspectortest::ScopedPackage;
using inspectortest::Select;
using wbtest::PackageFile;

// ---------------------------------------------------------------------------
// The window's description

struct ControlRow {
  const char* name;
  rtl::TClass cls;
  const char* parent;
  toolkit::TAlign align;
  const char* text;  // a memo's lines, one "\n" after each
};

const rtl::TClass kLabel = toolkit::TLabel::StaticClass();
const rtl::TClass kMemo = toolkit::TMemo::StaticClass();

const ControlRow kForm2Controls[] = {
    {"Panel1", toolkit::TPanel::StaticClass(), "Form2", toolkit::alTop, ""},
    {"Label1", kLabel, "Panel1", toolkit::alTop, "Подключённые модули"},
    {"Button1", toolkit::TButton::StaticClass(), "Panel1", toolkit::alNone, "Обновить"},
    {"Panel2", toolkit::TPanel::StaticClass(), "Form2", toolkit::alClient, ""},
    {"Label2", kLabel, "Panel2", toolkit::alNone, "ContainsUnit"},
    {"Label3", kLabel, "Panel2", toolkit::alNone, "RequiresPackage"},
    {"Label4", kLabel, "Panel2", toolkit::alNone, "DcpBpiName"},
    {"Memo2", kMemo, "Panel2", toolkit::alNone, "Memo2\n"},
    {"ListBox1", toolkit::TListBox::StaticClass(), "Panel2", toolkit::alTop, ""},
    {"Memo1", kMemo, "Panel2", toolkit::alNone, "Memo1\n"},
    {"Memo3", kMemo, "Panel2", toolkit::alNone, "Memo3\n"},
};

TEST(InspectorDescription, EveryControlIsAsDescribedAndTheMemoReferencesGoWithTheWindow) {
  inspectortest::ScopedExecutableModule executable;
  std::unique_ptr<TForm1> main(new TForm1(nullptr));
  auto* form = new TForm2(main.get());
  EXPECT_EQ(form->Caption(), "Form2") << "window caption";
  EXPECT_FALSE(form->Widget()->isVisible()) << "the inspector is not shown by its constructor";
  EXPECT_EQ(Form2, nullptr) << "only the open action stores the inspector in Form2";
  for (const ControlRow& row : kForm2Controls) {
    auto* control = dynamic_cast<toolkit::TControl*>(form->FindComponent(row.name));
    ASSERT_NE(control, nullptr) << row.name << " should be a control of the inspector";
    EXPECT_EQ(control->ClassType(), row.cls) << row.name << " class";
    ASSERT_NE(control->Parent(), nullptr) << row.name << " should have a parent";
    EXPECT_EQ(control->Parent()->Name(), row.parent) << row.name << " parent";
    EXPECT_EQ(control->Align(), row.align) << row.name << " alignment";
    if (auto* memo = dynamic_cast<toolkit::TMemo*>(control)) {
      EXPECT_EQ(memo->Lines().Text(), row.text)
          << row.name << " should start with its own name as its only line";
    } else if (row.cls != toolkit::TListBox::StaticClass()) {
      EXPECT_EQ(control->Caption(), row.text) << row.name << " caption";
    }
  }
  EXPECT_EQ(ContainsUnitMemo, form->Memo2) << "contained units go to Memo2";
  main.reset();
  EXPECT_EQ(ContainsUnitMemo, nullptr) << "no reference should outlive the freed memos";
}

TEST(InspectorDescriptionWhole, ASecondInspectorFreedLeavesTheFirstReportingNotCrashing) {
  // The open action makes one inspector; a second made by hand takes the memo
  // references, and freeing it leaves the first with none.
  wbtest::ScopedDialogs dialogs;
  inspectortest::ScopedExecutableModule executable;
  std::unique_ptr<TForm1> main(new TForm1(nullptr));
  auto* first = new TForm2(main.get());
  delete new TForm2(main.get());
  Select(first->ListBox1, 0);
  ASSERT_EQ(dialogs->Exceptions().size(), 1u) << "the selection should report, not crash";
  EXPECT_NE(dialogs->Exceptions()[0].find("ContainsUnitMemo"), std::string::npos)
      << dialogs->Exceptions()[0];
}

// ---------------------------------------------------------------------------
// The list, the memos and the routing, on an inspector opened from a main window

class Inspector : public testing::Test {
 protected:
  void SetUp() override { main_ = new TForm1(nullptr); }
  void TearDown() override {
    delete main_;
    EXPECT_EQ(Form2, nullptr) << "the inspector should go with the main window that owns it";
    EXPECT_TRUE(dialogs_->Boxes().empty())
        << "the inspector should have shown no box; first: " << FirstBox();
  }
  std::string FirstBox() { return dialogs_->Boxes().empty() ? "" : dialogs_->Boxes()[0].text; }

  // Presses "Посмотреть подключенные модули".
  TForm2* Open() {
    wbtest::Press(main_->Button1);
    return Form2;
  }
  void Refresh(TForm2* form) { wbtest::Press(form->Button1); }

  wbtest::ScopedDialogs dialogs_;
  inspectortest::ScopedExecutableModule executable_;
  TForm1* main_ = nullptr;
};

const MemoLines kInitialMemos = {{"Memo2"}, {"Memo1"}, {"Memo3"}};
const MemoLines kNoMemos = {};
const MemoLines kTwoUnitsMemos = {{"TwoFirst", "TwoSecond"}, {"rtl"}, {"libtwounits.so"}};

TEST_F(Inspector, OpeningListsEveryModuleAndRefreshingTwiceGivesTheSameItems) {
  ScopedPackage twounits(PackageFile("twounits"));
  TForm2* form = Open();
  ASSERT_NE(form, nullptr) << "the open action should have stored the inspector";
  EXPECT_TRUE(form->Widget()->isVisible()) << "the inspector should be shown";
  EXPECT_EQ(Handles(form->ListBox1), wbtest::ModuleList())
      << "item n should carry the handle of the n-th module list record";
  const std::vector<std::string> items = Items(form->ListBox1);
  const int exe = IndexOf(form->ListBox1, rtl::MainInstance());
  ASSERT_GE(exe, 0) << "the executable should be listed";
  EXPECT_EQ(items[exe], inspectortest::ExecutablePath() + " []")
      << "a module without description shows \" [\" directly followed by \"]\"";
  const int pkg = IndexOf(form->ListBox1, twounits.Module());
  ASSERT_GE(pkg, 0) << "the loaded package should be listed";
  EXPECT_EQ(items[pkg], inspectortest::RealPath(PackageFile("twounits")) +
                            " [Two units, one of them registering components]")
      << "the item text is the file name, \" [\", the description and \"]\"";
  EXPECT_EQ(form->ListBox1->ItemIndex(), -1) << "nothing is selected after opening";
  EXPECT_EQ(Memos(form), kInitialMemos) << "opening leaves the memos as described";

  Select(form->ListBox1, pkg);
  ASSERT_EQ(Memos(form), kTwoUnitsMemos)
      << "two units, one required package and the build-artifact name, in their memos";
  Refresh(form);
  Refresh(form);
  EXPECT_EQ(Items(form->ListBox1), items) << "two refreshes should list each module once";
  EXPECT_EQ(Handles(form->ListBox1), wbtest::ModuleList()) << "and attach the same handles";
  EXPECT_EQ(form->ListBox1->ItemIndex(), -1) << "no item is selected after a refresh";
  EXPECT_EQ(Memos(form), kTwoUnitsMemos)
      << "a refresh leaves the memos showing the module selected last";
}

TEST_F(Inspector, SelectionReplacesTheMemosWithEachKindInOrder) {
  ScopedPackage base(PackageFile("pkgbase"));
  ScopedPackage user(PackageFile("pkguser"));
  TForm2* form = Open();
  const MemoLines expected = {{"UserUnit", "UserExtra"}, {"rtl", "pkgbase"}, {"libpkguser.so"}};
  // Another module first, so that the memos are cleared, not merely filled.
  Select(form->ListBox1, IndexOf(form->ListBox1, base.Module()));
  Select(form->ListBox1, IndexOf(form->ListBox1, user.Module()));
  EXPECT_EQ(Memos(form), expected)
      << "units to Memo2, required packages to Memo1, the build-artifact name to Memo3";
  form->ListBox1Click(form->ListBox1);
  EXPECT_EQ(Memos(form), expected) << "selecting it again shows the same, not twice";
}

struct RoutingCase {
  std::uint8_t kind;
  int memo;  // 2: Memo2, 1: Memo1, 3: Memo3
};

TEST_F(Inspector, EveryKindOtherThanZeroAndOneLandsInMemo3) {
  TForm2* form = Open();
  const RoutingCase cases[] = {{0, 2}, {1, 1}, {2, 3}, {3, 3}, {127, 3}, {128, 3}, {255, 3}};
  for (const RoutingCase& c : cases) {
    for (toolkit::TMemo* memo : {form->Memo1, form->Memo2, form->Memo3}) memo->Lines().Clear();
    // Names go in unchanged: not trimmed, duplicates kept, in the order reported.
    const std::string name = " name of kind " + std::to_string(c.kind) + " ";
    ShowPackageInfoEntry(name, static_cast<rtl::TNameType>(c.kind), 0xff, nullptr);
    ShowPackageInfoEntry(name, static_cast<rtl::TNameType>(c.kind), 0, this);
    ShowPackageInfoEntry("second", static_cast<rtl::TNameType>(c.kind), 0, nullptr);
    const std::vector<std::string> expected = {name, name, "second"};
    const MemoLines lines = Memos(form);
    EXPECT_EQ(lines.containsUnit, c.memo == 2 ? expected : std::vector<std::string>{})
        << "Memo2 for kind " << int(c.kind);
    EXPECT_EQ(lines.requiresPackage, c.memo == 1 ? expected : std::vector<std::string>{})
        << "Memo1 for kind " << int(c.kind);
    EXPECT_EQ(lines.dcpBpiName, c.memo == 3 ? expected : std::vector<std::string>{})
        << "Memo3 for kind " << int(c.kind);
  }
}

TEST_F(Inspector, NothingToShowLeavesTheMemosEmptyWithoutAMessage) {
  ScopedPackage twounits(PackageFile("twounits"));
  TForm2* form = Open();
  Select(form->ListBox1, IndexOf(form->ListBox1, rtl::MainInstance()));
  EXPECT_EQ(Memos(form), kNoMemos) << "the executable carries no package information";

  Select(form->ListBox1, IndexOf(form->ListBox1, twounits.Module()));
  ASSERT_EQ(Memos(form), kTwoUnitsMemos);
  form->ListBox1->SetItemIndex(-1);
  form->ListBox1Click(form->ListBox1);
  EXPECT_EQ(Memos(form), kNoMemos) << "a click with nothing selected clears the memos";
  // TearDown checks that no box was shown.
}

TEST_F(Inspector, TheListIsASnapshotUntilRefreshed) {
  auto first = std::make_unique<ScopedPackage>(PackageFile("twounits"));
  const rtl::HMODULE gone = first->Module();
  TForm2* form = Open();
  const std::vector<std::string> before = Items(form->ListBox1);

  ScopedPackage later(PackageFile("mark"));
  first->Unload();
  EXPECT_EQ(Items(form->ListBox1), before) << "loading and unloading change nothing by themselves";
  EXPECT_EQ(IndexOf(form->ListBox1, later.Module()), -1)
      << "a package loaded since the last refresh is missing";
  const int stale = IndexOf(form->ListBox1, gone);
  ASSERT_GE(stale, 0) << "a package unloaded since the last refresh stays listed";

  Select(form->ListBox1, stale);
  EXPECT_EQ(Memos(form), kNoMemos) << "the unloaded package's item shows nothing";

  Refresh(form);
  EXPECT_EQ(Handles(form->ListBox1), wbtest::ModuleList())
      << "after a refresh the list follows the module list again";
  EXPECT_GE(IndexOf(form->ListBox1, later.Module()), 0) << "the new package is listed";
  const std::vector<std::string> after = Items(form->ListBox1);
  EXPECT_EQ(std::count(after.begin(), after.end(), before[static_cast<std::size_t>(stale)]), 0)
      << "the unloaded package is gone";
}

TEST_F(Inspector, AnItemWhoseAddressNowHoldsAnotherPackageShowsNothing) {
  auto first = std::make_unique<ScopedPackage>(PackageFile("twounits"));
  ScopedPackage other(PackageFile("mark"));
  TForm2* form = Open();
  const int stale = IndexOf(form->ListBox1, first->Module());
  first->Unload();
  // The loader often maps the next library into the gap an unloaded one left, but
  // not always; the item is pointed at another loaded package, as it then would be.
  form->ListBox1->Items().SetObjects(stale, other.Module());

  Select(form->ListBox1, stale);
  EXPECT_EQ(Memos(form), kNoMemos)
      << "the item was made for the unloaded package, not for what sits at its address now";
}

}  // namespace
