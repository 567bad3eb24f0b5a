#include <gtest/gtest.h>

#include <QListWidget>
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
  int left, top, width, height;  // -1: taken from the parent by the alignment
  toolkit::TAlign align;
  const char* text;  // a memo's lines, one "\n" after each
  int tabOrder;      // -1: a label, which takes no focus
};

void PrintTo(const ControlRow& row, std::ostream* out) {
  *out << row.name;
}

const ControlRow kForm2Controls[] = {
    {"Panel1", toolkit::TPanel::StaticClass(), "Form2", 0, 0, -1, 17, toolkit::alTop, "", 0},
    {"Label1", toolkit::TLabel::StaticClass(), "Panel1", 1, 1, -1, 13, toolkit::alTop,
     "Подключённые модули", -1},
    {"Button1", toolkit::TButton::StaticClass(), "Panel1", 136, 0, 75, 17, toolkit::alNone,
     "Обновить", 0},
    {"Panel2", toolkit::TPanel::StaticClass(), "Form2", 0, 17, -1, -1, toolkit::alClient, "", 1},
    {"Label2", toolkit::TLabel::StaticClass(), "Panel2", 3, 200, 60, 13, toolkit::alNone,
     "ContainsUnit", -1},
    {"Label3", toolkit::TLabel::StaticClass(), "Panel2", 338, 200, 85, 13, toolkit::alNone,
     "RequiresPackage", -1},
    {"Label4", toolkit::TLabel::StaticClass(), "Panel2", 338, 304, 63, 13, toolkit::alNone,
     "DcpBpiName", -1},
    {"Memo2", toolkit::TMemo::StaticClass(), "Panel2", 1, 216, 328, 200, toolkit::alNone, "Memo2\n",
     0},
    {"ListBox1", toolkit::TListBox::StaticClass(), "Panel2", 1, 1, -1, 192, toolkit::alTop, "", 1},
    {"Memo1", toolkit::TMemo::StaticClass(), "Panel2", 336, 216, 321, 89, toolkit::alNone,
     "Memo1\n", 2},
    {"Memo3", toolkit::TMemo::StaticClass(), "Panel2", 336, 320, 321, 89, toolkit::alNone,
     "Memo3\n", 3},
};

// One inspector for the whole table, built as the main window builds it.
class InspectorDescription : public testing::TestWithParam<ControlRow> {
 protected:
  static void SetUpTestSuite() {
    main_ = new TForm1(nullptr);
    form_ = new TForm2(main_);
  }
  static void TearDownTestSuite() {
    delete main_;
    main_ = nullptr;
    form_ = nullptr;
  }
  static TForm1* main_;
  static TForm2* form_;
};
TForm1* InspectorDescription::main_ = nullptr;
TForm2* InspectorDescription::form_ = nullptr;

TEST_P(InspectorDescription, ControlIsAsDescribed) {
  const ControlRow& row = GetParam();
  auto* control = dynamic_cast<toolkit::TControl*>(form_->FindComponent(row.name));
  ASSERT_NE(control, nullptr) << row.name << " should be a control of the inspector";
  EXPECT_EQ(control->ClassType(), row.cls) << row.name << " class";
  ASSERT_NE(control->Parent(), nullptr) << row.name << " should have a parent";
  EXPECT_EQ(control->Parent()->Name(), row.parent) << row.name << " parent";
  const toolkit::TWinControl* parent = control->Parent();
  EXPECT_EQ(control->Align(), row.align) << row.name << " alignment";
  EXPECT_EQ(control->Left(), row.left) << row.name << " left";
  EXPECT_EQ(control->Top(), row.top) << row.name << " top";
  // An aligned control takes its width (and for alClient its height) from what its
  // parent leaves free; the panels' children sit inside the one-pixel bevel.
  const int inset = parent == form_ ? 0 : 1;
  const int freeWidth = parent == form_ ? form_->ClientWidth() : parent->Width() - 2 * inset;
  if (row.cls == toolkit::TLabel::StaticClass() && row.align == toolkit::alNone) {
    // A label widens to show its whole heading in whatever font the desktop has.
    EXPECT_GE(control->Width(), row.width) << row.name << " width";
  } else {
    EXPECT_EQ(control->Width(), row.width >= 0 ? row.width : freeWidth) << row.name << " width";
  }
  EXPECT_EQ(control->Height(), row.height >= 0 ? row.height : parent->ClientHeight() - row.top)
      << row.name << " height";
  if (row.cls == toolkit::TMemo::StaticClass()) {
    EXPECT_EQ(static_cast<toolkit::TMemo*>(control)->Lines().Text(), row.text)
        << row.name << " should start with its own name as its only line";
  } else if (row.cls != toolkit::TListBox::StaticClass()) {
    EXPECT_EQ(control->Caption(), row.text) << row.name << " caption";
  }
  if (row.tabOrder >= 0) {
    EXPECT_EQ(control->TabOrder(), row.tabOrder) << row.name << " tab order";
  }
}

INSTANTIATE_TEST_SUITE_P(Form2, InspectorDescription, testing::ValuesIn(kForm2Controls),
                         [](const testing::TestParamInfo<ControlRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(InspectorDescriptionWhole, WindowMemosListAndHandlers) {
  inspectortest::ScopedExecutableModule executable;
  std::unique_ptr<TForm1> main(new TForm1(nullptr));
  auto* form = new TForm2(main.get());
  EXPECT_EQ(form->Owner(), main.get()) << "the inspector should be owned by the given owner";
  EXPECT_EQ(form->Caption(), "Form2") << "window caption";
  EXPECT_EQ(form->Left(), 192) << "window left";
  EXPECT_EQ(form->Top(), 107) << "window top";
  EXPECT_EQ(form->Width(), 668) << "window width";
  EXPECT_EQ(form->Height(), 461) << "window height";
  EXPECT_FALSE(form->Visible()) << "the inspector is not shown by its constructor";
  EXPECT_FALSE(form->Widget()->isVisible()) << "the inspector should not be on screen yet";
  EXPECT_EQ(form->OnClose.Code, nullptr) << "the inspector has no close handler";
  EXPECT_EQ(form->ControlCount(), 2) << "the window holds the two panels";
  EXPECT_EQ(form->Panel1->ControlCount(), 2) << "the top strip holds the heading and the button";
  EXPECT_EQ(form->Panel2->ControlCount(), 7) << "the lower panel holds the list, memos, labels";

  EXPECT_EQ(form->Memo2->ScrollBars(), toolkit::ssVertical) << "Memo2 has a vertical scroll bar";
  EXPECT_EQ(form->Memo1->ScrollBars(), toolkit::ssNone) << "Memo1 has no scroll bars";
  EXPECT_EQ(form->Memo3->ScrollBars(), toolkit::ssNone) << "Memo3 has no scroll bars";
  EXPECT_EQ(form->ListBox1->ItemHeight(), 13) << "ListBox1 item height";
  auto* list = static_cast<QListWidget*>(form->ListBox1->Widget());
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection)
      << "the list allows one selected item";
  EXPECT_FALSE(list->isSortingEnabled()) << "the list keeps the module list's order";

  const rtl::TClass cls = TForm2::StaticClass();
  ASSERT_EQ(cls->MethodCount, 2u) << "TForm2 publishes exactly its two handlers";
  EXPECT_STREQ(cls->Methods[0].Name, "Button1Click") << "first published method";
  EXPECT_STREQ(cls->Methods[1].Name, "ListBox1Click") << "second published method";
  EXPECT_EQ(form->Button1->OnClick.Code, rtl::MethodAddress(cls, "Button1Click"))
      << "Обновить should run Button1Click";
  EXPECT_EQ(form->Button1->OnClick.Data, form);
  EXPECT_EQ(form->ListBox1->OnClick.Code, rtl::MethodAddress(cls, "ListBox1Click"))
      << "selecting in the list should run ListBox1Click";
  EXPECT_EQ(form->ListBox1->OnClick.Data, form);

  EXPECT_EQ(ContainsUnitMemo, form->Memo2) << "contained units go to Memo2";
  EXPECT_EQ(RequiresPackageMemo, form->Memo1) << "required packages go to Memo1";
  EXPECT_EQ(DcpBpiNameMemo, form->Memo3) << "the build-artifact name goes to Memo3";
  EXPECT_EQ(Form2, nullptr) << "only the open action stores the inspector in Form2";
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

TEST_F(Inspector, FirstOpeningListsEveryModuleInTheListsOrder) {
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
}

TEST_F(Inspector, RefreshingTwiceGivesTheSameItemsAndKeepsTheMemos) {
  ScopedPackage twounits(PackageFile("twounits"));
  TForm2* form = Open();
  const std::vector<std::string> items = Items(form->ListBox1);
  const std::vector<rtl::HMODULE> handles = Handles(form->ListBox1);
  Select(form->ListBox1, IndexOf(form->ListBox1, twounits.Module()));
  ASSERT_EQ(Memos(form), kTwoUnitsMemos) << "the first selection replaces the initial lines";

  Refresh(form);
  Refresh(form);
  EXPECT_EQ(Items(form->ListBox1), items) << "two refreshes should list each module once";
  EXPECT_EQ(Handles(form->ListBox1), handles) << "and attach the same handles";
  EXPECT_EQ(form->ListBox1->ItemIndex(), -1) << "no item is selected after a refresh";
  EXPECT_EQ(Memos(form), kTwoUnitsMemos)
      << "a refresh leaves the memos showing the module selected last";
}

struct PackageInfoCase {
  const char* label;
  std::vector<std::string> packages;  // loaded in this order; the last is selected
  MemoLines memos;
};

void PrintTo(const PackageInfoCase& c, std::ostream* out) {
  *out << c.label;
}

class InspectorPackageInfo : public Inspector,
                             public testing::WithParamInterface<PackageInfoCase> {};

TEST_P(InspectorPackageInfo, SelectionShowsEachKindInItsMemoInOrder) {
  std::vector<std::unique_ptr<ScopedPackage>> loaded;
  for (const std::string& name : GetParam().packages) {
    loaded.push_back(std::make_unique<ScopedPackage>(PackageFile(name)));
  }
  TForm2* form = Open();
  // Another module first, so that the memos are cleared, not merely filled.
  Select(form->ListBox1, 0);
  Select(form->ListBox1, IndexOf(form->ListBox1, loaded.back()->Module()));
  EXPECT_EQ(Memos(form), GetParam().memos)
      << "units to Memo2, required packages to Memo1, the build-artifact name to Memo3";
  Select(form->ListBox1, IndexOf(form->ListBox1, loaded.back()->Module()));
  EXPECT_EQ(Memos(form), GetParam().memos) << "selecting it again shows the same, not twice";
}

INSTANTIATE_TEST_SUITE_P(
    Packages, InspectorPackageInfo,
    testing::Values(PackageInfoCase{"TwoUnitsOneRequiredPackage", {"twounits"}, kTwoUnitsMemos},
                    PackageInfoCase{
                        "TwoRequiredPackages",
                        {"pkgbase", "pkguser"},
                        {{"UserUnit", "UserExtra"}, {"rtl", "pkgbase"}, {"libpkguser.so"}}}),
    [](const testing::TestParamInfo<PackageInfoCase>& info) { return info.param.label; });

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

TEST_F(Inspector, ALongFileNameIsCutAt253Characters) {
  // The loaded copy's path is longer than the buffer; the cut lands inside its file
  // name, and another package sits at the cut path, so that the description shown
  // tells which file was asked.
  inspectortest::PackageCopy copy("mark", 230, "libmark_copy_with_a_rather_long_name.so");
  ASSERT_GT(copy.Path().size(), 253u);
  const std::string cut = copy.Path().substr(0, 253);
  inspectortest::CopyFile(PackageFile("twounits"), cut);
  ScopedPackage loaded(copy.Path());

  TForm2* form = Open();
  const int item = IndexOf(form->ListBox1, loaded.Module());
  ASSERT_GE(item, 0);
  EXPECT_EQ(Items(form->ListBox1)[static_cast<std::size_t>(item)],
            cut + " [Two units, one of them registering components]")
      << "the file name is read with a limit of 254 bytes, the zero included";
}

}  // namespace
