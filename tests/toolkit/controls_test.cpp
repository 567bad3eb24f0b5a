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
  EXPECT_EQ(pages->GetPage(0), b) << "pages come in the order they were attached";
  EXPECT_EQ(a->TabIndex(), 1);
  EXPECT_EQ(tabs->tabText(0).toStdString(), "Стандартные") << "a caption set before attaching";
  EXPECT_EQ(tabs->tabText(1).toStdString(), "a") << "the caption is what the tab shows";
  pages->SetActivePage(a);
  pages->SetActivePage(nullptr);
  EXPECT_EQ(pages->ActivePage(), a) << "no page to show leaves the one shown";
  EXPECT_EQ(tabs->currentIndex(), 1);
  EXPECT_THROW(pages->SetActivePage(new TTabSheet(&owner)), rtl::Exception) << "not its own";

  delete b;
  EXPECT_EQ(a->TabIndex(), 0) << "later pages move up when one before them goes";
  a->SetPageControl(nullptr);
  EXPECT_EQ(a->TabIndex(), -1);
  EXPECT_EQ(c->TabIndex(), 0);
  EXPECT_EQ(tabs->count(), 1) << "the tab widget shows exactly the attached pages";
  for (int bad : {-1, 1}) EXPECT_THROW(pages->GetPage(bad), rtl::Exception) << bad;
  TPanel panel(&owner);
  EXPECT_THROW(c->SetParent(&panel), rtl::Exception) << "a sheet goes only on a page control";
  EXPECT_EQ(c->PageControl(), pages) << "a refused move leaves the sheet where it was";
  const int before = owner.ComponentCount();
  delete pages;
  EXPECT_EQ(owner.ComponentCount(), before - 2) << "the attached sheet went with its page control";
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

TEST_F(ControlsTest, ListBoxItemsCarryAValueAndOnClickRunsForTheUserNotForCode) {
  TClickCounter form(nullptr);
  form.SetBounds(0, 0, 200, 200);
  TListBox list(&form);
  list.SetParent(&form);
  list.SetBounds(0, 0, 200, 200);
  list.Items().SetText("a\r\nb\n");
  EXPECT_EQ(list.Items().AddObject("c", 0x7f0012345000u), 2)
      << "two lines of text are two items; Add returns the new index";
  list.Items().SetObjects(0, UINTPTR_MAX);
  list.Items().Delete(1);
  EXPECT_EQ(list.Items().Objects(0), UINTPTR_MAX) << "a value keeps all pointer bits";
  EXPECT_EQ(list.Items().Objects(1), 0x7f0012345000u) << "values follow their items";
  EXPECT_EQ(static_cast<QListWidget*>(list.Widget())->item(1)->toolTip().toStdString(), "c")
      << "an item cut to fit the list shows whole on hover";
  EXPECT_EQ(testsupport::MessageOf([&] { list.Items().Objects(2); }),
            "List index out of bounds (2)");
  EXPECT_THROW(list.SetItemIndex(2), rtl::Exception);
  EXPECT_THROW(list.SetItemHeight(0), rtl::Exception);

  list.OnClick = {rtl::MethodAddress(TClickCounter::StaticClass(), "ListClick"), &form};
  form.Show();
  Process();
  EXPECT_EQ(list.ItemIndex(), -1) << "adding items selects nothing";
  list.SetItemHeight(30);
  auto* widget = static_cast<QListWidget*>(list.Widget());
  EXPECT_EQ(widget->visualItemRect(widget->item(1)).top(), 30) << "laid out again at once";
  list.SetItemIndex(1);
  list.Items().Clear();
  EXPECT_EQ(list.ItemIndex(), -1) << "clearing the items clears the selection";
  list.Items().Assign({"a", "b", "c"});
  list.SetItemIndex(2);
  list.SetItemIndex(-1);
  EXPECT_EQ(form.clicks, 0) << "changes made by code are not clicks";

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

TEST_F(ControlsTest, MemoTextAndLinesAgree) {
  TForm owner(nullptr);
  TMemo memo(&owner);
  EXPECT_EQ(memo.Lines().Add(""), 0) << "an empty line is a line";
  EXPECT_EQ(memo.Lines().Add("тратата"), 1) << "Add returns the index";
  EXPECT_EQ(memo.Lines().Text(), "\nтратата\n");
  memo.SetText("a\nb\n");
  EXPECT_EQ(memo.Lines().Count(), 2) << "a final line break does not start another line";
  memo.Lines().Add("c");
  memo.Lines().Delete(1);
  memo.Lines().Delete(1);
  EXPECT_EQ(memo.Lines().ToVector(), (std::vector<std::string>{"a"})) << "the last line deleted";
  memo.Lines().SetText("x\r\ny\n\nz");
  EXPECT_EQ(memo.Lines().ToVector(), (std::vector<std::string>{"x", "y", "", "z"}))
      << "CR LF ends a line as LF does, and an empty line is kept";
  auto* edit = static_cast<QPlainTextEdit*>(memo.Widget());
  edit->setPlainText("typed\nby hand");
  EXPECT_EQ(memo.Lines().Strings(1), "by hand") << "what the user typed is what the lines read";
  memo.Lines().Clear();
  EXPECT_THROW(memo.Lines().Strings(0), rtl::Exception);
}

TEST_F(ControlsTest, WhatIsTypedIsTheText) {
  TForm owner(nullptr);
  TEdit edit(&owner);
  edit.SetCaption("Show(\"тратата\");");
  QTest::keyClicks(edit.Widget(), "X");
  EXPECT_EQ(edit.Text(), "Show(\"тратата\");X") << "Caption and Text are one, and typing adds";
}

TEST_F(ControlsTest, ADisabledButtonCannotBePressedAndAHiddenOneIsNotShown) {
  TClickCounter form(nullptr);
  TButton button(&form);
  button.SetParent(&form);
  button.SetBounds(0, 0, 80, 30);
  button.OnClick = {rtl::MethodAddress(TClickCounter::StaticClass(), "ListClick"), &form};
  form.Show();
  Process();
  button.SetEnabled(false);
  QTest::mouseClick(button.Widget(), Qt::LeftButton);
  EXPECT_EQ(form.clicks, 0) << "a press on a disabled button runs nothing";
  button.SetEnabled(true);
  QTest::mouseClick(button.Widget(), Qt::LeftButton);
  EXPECT_EQ(form.clicks, 1) << "enabled again, it runs OnClick";
  button.SetVisible(false);
  EXPECT_FALSE(button.Widget()->isVisible()) << "a control shows as Visible says";
  button.SetVisible(true);
  EXPECT_TRUE(button.Widget()->isVisible());
  TForm inner(nullptr);  // a form placed in another control shows as a control does
  inner.SetParent(&form);
  inner.Show();
  EXPECT_TRUE(inner.Widget()->isVisible());
  EXPECT_FALSE(inner.Widget()->isWindow());
  TPanel alone(nullptr);
  alone.SetAlign(alClient);
  alone.SetVisible(false);  // with no parent to realign
  EXPECT_FALSE(alone.Visible());
}

}  // namespace
