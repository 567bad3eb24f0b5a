#include <QListWidget>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>
#include <cstdint>
#include <string>
#include <vector>

#include "toolkit_test.h"

using namespace toolkit;

namespace {

class ControlsTest : public ToolkitTest {};

// ---------------------------------------------------------------------------
// Page control and tab sheets

TEST_F(ControlsTest, SheetsAttachAsTheLastPageAndKnowTheirTabIndex) {
  TForm owner(nullptr);
  TPageControl pages(&owner);
  pages.SetParent(&owner);
  TTabSheet first(&owner);
  TTabSheet second(&owner);
  EXPECT_EQ(first.TabIndex(), -1) << "a sheet that is not attached has no tab index";
  EXPECT_EQ(first.PageControl(), nullptr);

  second.SetPageControl(&pages);
  first.SetPageControl(&pages);
  first.SetCaption("first");
  second.SetCaption("second");
  ASSERT_EQ(pages.PageCount(), 2);
  EXPECT_EQ(pages.GetPage(0), &second) << "pages come in the order they were attached";
  EXPECT_EQ(pages.GetPage(1), &first);
  EXPECT_EQ(second.TabIndex(), 0);
  EXPECT_EQ(first.TabIndex(), 1);
  auto* tabs = static_cast<QTabWidget*>(pages.Widget());
  EXPECT_EQ(tabs->tabText(1).toStdString(), "first") << "the caption is what the tab shows";
  EXPECT_EQ(first.Caption(), "first");
}

TEST_F(ControlsTest, ACaptionSetBeforeAttachingShowsOnTheTab) {
  TForm owner(nullptr);
  TPageControl pages(&owner);
  TTabSheet sheet(&owner);
  sheet.SetCaption("Стандартные");
  sheet.SetPageControl(&pages);
  auto* tabs = static_cast<QTabWidget*>(pages.Widget());
  EXPECT_EQ(tabs->tabText(0).toStdString(), "Стандартные");
}

TEST_F(ControlsTest, DetachingOrFreeingASheetRenumbersTheRest) {
  TForm owner(nullptr);
  TPageControl pages(&owner);
  auto* a = new TTabSheet(&owner);
  auto* b = new TTabSheet(&owner);
  auto* c = new TTabSheet(&owner);
  a->SetPageControl(&pages);
  b->SetPageControl(&pages);
  c->SetPageControl(&pages);
  delete a;
  EXPECT_EQ(pages.PageCount(), 2);
  EXPECT_EQ(b->TabIndex(), 0) << "later pages move up when one before them goes";
  EXPECT_EQ(c->TabIndex(), 1);
  b->SetPageControl(nullptr);
  EXPECT_EQ(b->TabIndex(), -1);
  EXPECT_EQ(c->TabIndex(), 0);
  EXPECT_EQ(static_cast<QTabWidget*>(pages.Widget())->count(), 1)
      << "the tab widget shows exactly the attached pages";
}

TEST_F(ControlsTest, PagesAreCheckedByIndexAndSheetsOnlyGoOnPageControls) {
  TForm owner(nullptr);
  TPageControl pages(&owner);
  TPanel panel(&owner);
  TTabSheet sheet(&owner);
  sheet.SetPageControl(&pages);
  for (int bad : {-1, 1, 40}) {
    EXPECT_THROW(pages.GetPage(bad), rtl::Exception) << "GetPage(" << bad << ") must raise";
  }
  EXPECT_THROW(sheet.SetParent(&panel), rtl::Exception)
      << "a sheet's parent can only be a page control";
  EXPECT_EQ(sheet.PageControl(), &pages) << "a refused move leaves the sheet where it was";
}

TEST_F(ControlsTest, FreeingThePageControlFreesItsSheets) {
  TForm owner(nullptr);
  auto* pages = new TPageControl(&owner);
  auto* sheet = new TTabSheet(&owner);
  sheet->SetPageControl(pages);
  ASSERT_EQ(owner.ComponentCount(), 2);
  delete pages;
  EXPECT_EQ(owner.ComponentCount(), 0) << "the sheet went with its page control";
}

// ---------------------------------------------------------------------------
// List box

TEST_F(ControlsTest, ListBoxItemsCarryOneValueEach) {
  TForm owner(nullptr);
  TListBox list(&owner);
  EXPECT_EQ(list.Items().Add("first"), 0) << "Add returns the new item's index";
  EXPECT_EQ(list.Items().AddObject("second", 0x7f0012345000u), 1);
  EXPECT_EQ(list.Items().Objects(0), 0u) << "an item added without a value has 0";
  EXPECT_EQ(list.Items().Objects(1), 0x7f0012345000u);
  list.Items().SetObjects(0, UINTPTR_MAX);
  EXPECT_EQ(list.Items().Objects(0), UINTPTR_MAX) << "a value keeps all pointer bits";
  list.Items().Delete(0);
  EXPECT_EQ(list.Items().Strings(0), "second");
  EXPECT_EQ(list.Items().Objects(0), 0x7f0012345000u) << "values follow their items";
}

TEST_F(ControlsTest, ListBoxRefusesBadIndexes) {
  TForm owner(nullptr);
  TListBox list(&owner);
  list.Items().Add("only");
  for (int bad : {-1, 1, 1000}) {
    EXPECT_THROW(list.Items().Objects(bad), rtl::Exception) << "Objects(" << bad << ")";
    EXPECT_THROW(list.Items().SetObjects(bad, 1), rtl::Exception) << "SetObjects(" << bad << ")";
    EXPECT_THROW(list.Items().Strings(bad), rtl::Exception) << "Strings(" << bad << ")";
  }
  try {
    list.Items().Objects(-1);
  } catch (const rtl::Exception& error) {
    EXPECT_NE(error.Message().find("-1"), std::string::npos)
        << "the message names the bad index: " << error.Message();
  }
  EXPECT_THROW(list.SetItemIndex(1), rtl::Exception);
  EXPECT_THROW(list.SetItemIndex(-2), rtl::Exception);
  EXPECT_THROW(list.SetItemHeight(0), rtl::Exception);
}

TEST_F(ControlsTest, ItemIndexIsMinusOneWithoutSelectionAndAfterClear) {
  TForm owner(nullptr);
  TListBox list(&owner);
  EXPECT_EQ(list.ItemIndex(), -1) << "an empty list has no selection";
  list.Items().Assign({"a", "b", "c"});
  EXPECT_EQ(list.ItemIndex(), -1) << "adding items selects nothing";
  list.SetItemIndex(2);
  EXPECT_EQ(list.ItemIndex(), 2);
  list.SetItemIndex(-1);
  EXPECT_EQ(list.ItemIndex(), -1);
  list.SetItemIndex(1);
  list.Items().Clear();
  EXPECT_EQ(list.ItemIndex(), -1) << "clearing the items clears the selection";
  EXPECT_EQ(list.Items().Count(), 0);
}

// A form whose handler counts the list box's clicks.
class TClickCounter : public TForm {
  RTL_CLASS(TClickCounter, TForm)
 public:
  using TForm::TForm;
  void ListClick(rtl::TObject* sender) {
    ++clicks;
    lastSender = sender;
  }
  int clicks = 0;
  rtl::TObject* lastSender = nullptr;
};
RTL_DEFINE_CLASS(TClickCounter, RTL_PUBLISH(TClickCounter, ListClick))

TEST_F(ControlsTest, ListBoxOnClickRunsForTheUserNotForCode) {
  TClickCounter form(nullptr);
  form.SetBounds(0, 0, 200, 200);
  TListBox list(&form);
  list.SetParent(&form);
  list.SetBounds(0, 0, 200, 200);
  list.Items().Assign({"a", "b", "c"});
  list.OnClick = {rtl::MethodAddress(TClickCounter::StaticClass(), "ListClick"), &form};
  form.Show();
  Process();

  list.SetItemIndex(1);
  list.Items().Add("d");
  list.Items().Clear();
  list.Items().Assign({"a", "b", "c"});
  EXPECT_EQ(form.clicks, 0) << "changes made by code are not clicks";

  auto* widget = static_cast<QListWidget*>(list.Widget());
  const QPoint second = widget->visualItemRect(widget->item(1)).center();
  QTest::mouseClick(widget->viewport(), Qt::LeftButton, {}, second);
  EXPECT_EQ(form.clicks, 1) << "selecting an item with the mouse runs OnClick once";
  EXPECT_EQ(form.lastSender, &list) << "the list box is the sender";
  EXPECT_EQ(list.ItemIndex(), 1);

  QTest::mouseClick(widget->viewport(), Qt::LeftButton, {}, second);
  EXPECT_EQ(form.clicks, 2) << "clicking the selected item again still counts";

  widget->setFocus();
  QTest::keyClick(widget, Qt::Key_Down);
  EXPECT_EQ(form.clicks, 3) << "selecting with the keyboard runs OnClick";
  EXPECT_EQ(list.ItemIndex(), 2);
}

// ---------------------------------------------------------------------------
// Memo

struct LinesCase {
  const char* what;
  std::vector<std::string> added;
  std::vector<std::string> expected;
};

TEST_F(ControlsTest, MemoLinesAddAppendsExactlyOneLineEach) {
  const LinesCase cases[] = {
      {"nothing added", {}, {}},
      {"one line", {"Memo1"}, {"Memo1"}},
      {"lines in order", {"Memo1", "1", "TButton"}, {"Memo1", "1", "TButton"}},
      {"an empty line is a line", {"", "x", ""}, {"", "x", ""}},
      {"UTF-8 text survives",
       {"тратата", "Подключённые модули"},
       {"тратата", "Подключённые модули"}},
  };
  for (const LinesCase& c : cases) {
    TForm owner(nullptr);
    TMemo memo(&owner);
    for (std::size_t i = 0; i < c.added.size(); ++i) {
      EXPECT_EQ(memo.Lines().Add(c.added[i]), static_cast<int>(i)) << c.what << ": index of Add";
    }
    EXPECT_EQ(memo.Lines().ToVector(), c.expected) << c.what;
    EXPECT_EQ(memo.Lines().Count(), static_cast<int>(c.expected.size())) << c.what;
  }
}

TEST_F(ControlsTest, MemoTextAndLinesAgree) {
  TForm owner(nullptr);
  TMemo memo(&owner);
  memo.SetText("a\nb\n");
  EXPECT_EQ(memo.Lines().Count(), 2) << "a final line break does not start another line";
  memo.Lines().Add("c");
  EXPECT_EQ(memo.Lines().ToVector(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(memo.Lines().Text(), "a\nb\nc\n");
  memo.Lines().Delete(1);
  EXPECT_EQ(memo.Lines().ToVector(), (std::vector<std::string>{"a", "c"}));
  memo.Lines().Delete(1);
  EXPECT_EQ(memo.Lines().ToVector(), (std::vector<std::string>{"a"}));
  memo.Lines().Clear();
  EXPECT_EQ(memo.Lines().Count(), 0);
  EXPECT_THROW(memo.Lines().Strings(0), rtl::Exception);
  // What the user typed is what the lines read.
  static_cast<QPlainTextEdit*>(memo.Widget())->setPlainText("typed\nby hand");
  EXPECT_EQ(memo.Lines().Strings(1), "by hand");
}

TEST_F(ControlsTest, MemoScrollBarsFollowTheStyle) {
  TForm owner(nullptr);
  TMemo memo(&owner);
  auto* edit = static_cast<QPlainTextEdit*>(memo.Widget());
  memo.SetScrollBars(ssVertical);
  EXPECT_EQ(edit->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(edit->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  memo.SetScrollBars(ssNone);
  EXPECT_EQ(edit->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  memo.SetScrollBars(ssBoth);
  EXPECT_EQ(edit->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(edit->lineWrapMode(), QPlainTextEdit::NoWrap) << "a horizontal bar means no wrapping";
}

TEST_F(ControlsTest, CaptionsAndTextsReadBackWhatWasSetOrTyped) {
  TForm owner(nullptr);
  TButton button(&owner);
  TEdit edit(&owner);
  TLabel label(&owner);
  TPanel panel(&owner);
  for (TControl* control : std::vector<TControl*>{&button, &edit, &label, &panel, &owner}) {
    control->SetCaption("ShowMessage(\"тратата\");");
    EXPECT_EQ(control->Caption(), "ShowMessage(\"тратата\");") << control->ClassName().ToString();
    EXPECT_EQ(control->Text(), control->Caption()) << "Text and Caption are the same thing";
  }
  QTest::keyClicks(edit.Widget(), "X");
  EXPECT_EQ(edit.Text(), "ShowMessage(\"тратата\");X") << "typing changes the text";
  button.SetEnabled(false);
  EXPECT_FALSE(button.Enabled());
  EXPECT_FALSE(button.Widget()->isEnabled());
}

}  // namespace
