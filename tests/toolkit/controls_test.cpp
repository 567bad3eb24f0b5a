#include <QListWidget>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"
#include "toolkit_test.h"

using namespace toolkit;

namespace {

class ControlsTest : public ToolkitTest {};

TEST_F(ControlsTest, SheetsAreNumberedInTheOrderAttachedAndRenumberedWhenOneGoes) {
  TForm owner(nullptr);
  auto* pages = new TPageControl(&owner);
  pages->SetParent(&owner);
  auto* tabs = static_cast<QTabWidget*>(pages->Widget());
  auto* a = new TTabSheet(&owner);
  auto* b = new TTabSheet(&owner);
  auto* c = new TTabSheet(&owner);
  EXPECT_EQ(a->TabIndex(), -1) << "a sheet that is not attached has no tab index";
  b->SetCaption("Стандартные");  // before attaching: must still reach the tab
  b->SetPageControl(pages);
  a->SetPageControl(pages);
  c->SetPageControl(pages);
  a->SetCaption("a");
  ASSERT_EQ(pages->PageCount(), 3);
  EXPECT_EQ(pages->GetPage(0), b) << "pages come in the order they were attached";
  EXPECT_EQ(a->TabIndex(), 1);
  EXPECT_EQ(tabs->tabText(0).toStdString(), "Стандартные") << "a caption set before attaching";
  EXPECT_EQ(tabs->tabText(1).toStdString(), "a") << "the caption is what the tab shows";

  delete b;
  EXPECT_EQ(a->TabIndex(), 0) << "later pages move up when one before them goes";
  EXPECT_EQ(c->TabIndex(), 1);
  a->SetPageControl(nullptr);
  EXPECT_EQ(a->TabIndex(), -1);
  EXPECT_EQ(c->TabIndex(), 0);
  EXPECT_EQ(tabs->count(), 1) << "the tab widget shows exactly the attached pages";

  for (int bad : {-1, 1, 40}) {
    EXPECT_THROW(pages->GetPage(bad), rtl::Exception) << "GetPage(" << bad << ") must raise";
  }
  TPanel panel(&owner);
  EXPECT_THROW(c->SetParent(&panel), rtl::Exception) << "a sheet goes only on a page control";
  EXPECT_EQ(c->PageControl(), pages) << "a refused move leaves the sheet where it was";

  const int before = owner.ComponentCount();
  delete pages;
  EXPECT_EQ(owner.ComponentCount(), before - 2) << "the attached sheet went with its page control";
}

TEST_F(ControlsTest, ListBoxItemsCarryOneValueEachAndRefuseBadIndexes) {
  TForm owner(nullptr);
  TListBox list(&owner);
  EXPECT_EQ(list.Items().Add("first"), 0) << "Add returns the new item's index";
  EXPECT_EQ(list.Items().AddObject("second", 0x7f0012345000u), 1);
  EXPECT_EQ(list.Items().Objects(0), 0u) << "an item added without a value has 0";
  list.Items().SetObjects(0, UINTPTR_MAX);
  EXPECT_EQ(list.Items().Objects(0), UINTPTR_MAX) << "a value keeps all pointer bits";
  list.Items().Delete(0);
  EXPECT_EQ(list.Items().Strings(0), "second");
  EXPECT_EQ(list.Items().Objects(0), 0x7f0012345000u) << "values follow their items";

  for (int bad : {-1, 1, 1000}) {
    EXPECT_THROW(list.Items().Objects(bad), rtl::Exception) << "Objects(" << bad << ")";
    EXPECT_THROW(list.Items().SetObjects(bad, 1), rtl::Exception) << "SetObjects(" << bad << ")";
    EXPECT_THROW(list.Items().Strings(bad), rtl::Exception) << "Strings(" << bad << ")";
  }
  const std::string message = testsupport::MessageOf([&] { list.Items().Objects(-1); });
  EXPECT_NE(message.find("-1"), std::string::npos) << "the message names the index: " << message;
  EXPECT_THROW(list.SetItemIndex(1), rtl::Exception);
  EXPECT_THROW(list.SetItemIndex(-2), rtl::Exception);
  EXPECT_THROW(list.SetItemHeight(0), rtl::Exception);
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

TEST_F(ControlsTest, ListBoxSelectionAndOnClickRunForTheUserNotForCode) {
  TClickCounter form(nullptr);
  form.SetBounds(0, 0, 200, 200);
  TListBox list(&form);
  list.SetParent(&form);
  list.SetBounds(0, 0, 200, 200);
  EXPECT_EQ(list.ItemIndex(), -1) << "an empty list has no selection";
  list.Items().Assign({"a", "b", "c"});
  EXPECT_EQ(list.ItemIndex(), -1) << "adding items selects nothing";
  list.OnClick = {rtl::MethodAddress(TClickCounter::StaticClass(), "ListClick"), &form};
  form.Show();
  Process();

  list.SetItemIndex(1);
  list.Items().Clear();
  EXPECT_EQ(list.ItemIndex(), -1) << "clearing the items clears the selection";
  list.Items().Assign({"a", "b", "c"});
  list.SetItemIndex(2);
  list.SetItemIndex(-1);
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

TEST_F(ControlsTest, MemoLinesAddAppendsExactlyOneLineEach) {
  const std::vector<std::string> cases[] = {
      {}, {"Memo1"}, {"Memo1", "1", "TButton"}, {"", "x", ""}, {"тратата", "Подключённые модули"}};
  for (const auto& lines : cases) {
    TForm owner(nullptr);
    TMemo memo(&owner);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(memo.Lines().Add(lines[i]), static_cast<int>(i)) << "Add returns the index";
    }
    EXPECT_EQ(memo.Lines().ToVector(), lines) << "the lines added, no more, no fewer";
    EXPECT_EQ(memo.Lines().Count(), static_cast<int>(lines.size()));
  }
}

TEST_F(ControlsTest, MemoTextAndLinesAgree) {
  TForm owner(nullptr);
  TMemo memo(&owner);
  memo.SetText("a\nb\n");
  EXPECT_EQ(memo.Lines().Count(), 2) << "a final line break does not start another line";
  memo.Lines().Add("c");
  EXPECT_EQ(memo.Lines().Text(), "a\nb\nc\n");
  memo.Lines().Delete(1);
  memo.Lines().Delete(1);
  EXPECT_EQ(memo.Lines().ToVector(), (std::vector<std::string>{"a"})) << "the last line deleted";
  memo.Lines().Clear();
  EXPECT_THROW(memo.Lines().Strings(0), rtl::Exception);
  static_cast<QPlainTextEdit*>(memo.Widget())->setPlainText("typed\nby hand");
  EXPECT_EQ(memo.Lines().Strings(1), "by hand") << "what the user typed is what the lines read";
  auto* edit = static_cast<QPlainTextEdit*>(memo.Widget());
  memo.SetScrollBars(ssVertical);
  EXPECT_EQ(edit->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn) << "ssVertical";
  EXPECT_EQ(edit->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff) << "ssVertical";
  memo.SetScrollBars(ssBoth);
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
  EXPECT_FALSE(button.Widget()->isEnabled()) << "a disabled button cannot be pressed";
}

}  // namespace
