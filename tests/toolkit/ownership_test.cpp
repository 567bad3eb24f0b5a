#include <QPointer>
#include <QWidget>

#include "toolkit_test.h"

using namespace toolkit;

namespace {

// Counts destructor runs per kind of control, so a control freed twice (or never)
// shows up even without a sanitizer.
template <typename Control>
int freed = 0;
template <typename Control>
struct Counted : Control {
  using Control::Control;
  ~Counted() override { ++freed<Control>; }
};

class OwnershipTest : public ToolkitTest {};

TEST_F(OwnershipTest, AMemoOnAnotherFormsSheetIsFreedOnceWhateverGoesFirst) {
  // A memo owned by one form but drawn on a tab sheet of another, as the palette's
  // memos are; first to go: the owning form, the drawing form, or the sheet alone.
  for (int first : {0, 1, 2}) {
    freed<TMemo> = 0;
    auto* owningForm = new TForm(nullptr);
    auto* drawingForm = new TForm(nullptr);
    auto* pages = new TPageControl(drawingForm);
    pages->SetParent(drawingForm);
    auto* sheet = new TTabSheet(drawingForm);
    sheet->SetPageControl(pages);
    auto* memo = new Counted<TMemo>(owningForm);
    memo->SetParent(sheet);
    const QPointer<QWidget> memoWidget = memo->Widget();

    rtl::TComponent* const parts[] = {owningForm, drawingForm, sheet};
    delete parts[first];
    EXPECT_EQ(freed<TMemo>, 1) << first << ": the first to go frees the memo";
    EXPECT_TRUE(memoWidget.isNull()) << first << ": the memo's widget goes with the memo";
    if (first == 0) {
      EXPECT_EQ(sheet->ControlCount(), 0) << "the sheet lets go of the memo";
    } else {
      EXPECT_EQ(owningForm->ComponentCount(), 0) << "the owner lets go of it";
    }
    if (first == 2) {
      EXPECT_EQ(pages->PageCount(), 0) << "a freed sheet is no page any more";
    }
    if (first != 0) delete owningForm;
    if (first != 1) delete drawingForm;
    EXPECT_EQ(freed<TMemo>, 1) << first << ": nothing frees the memo again";
  }
}

TEST_F(OwnershipTest, NestedParentsOwnedOutOfOrderAreEachFreedOnce) {
  // The inner panel is created (and so owned) before the outer one, then placed in
  // it: the owner's last-first order meets the parent's children-first order.
  freed<TPanel> = freed<TMemo> = 0;
  auto* form = new TForm(nullptr);
  auto* inner = new Counted<TPanel>(form);
  auto* outer = new Counted<TPanel>(form);
  auto* memo = new Counted<TMemo>(form);
  outer->SetParent(form);
  inner->SetParent(outer);
  memo->SetParent(inner);
  delete form;
  EXPECT_EQ(freed<TPanel>, 2);
  EXPECT_EQ(freed<TMemo>, 1);
}

TEST_F(OwnershipTest, MovingAControlUpdatesBothParentsAndCyclesAreRefused) {
  TForm form(nullptr);
  auto* left = new TPanel(&form);
  auto* right = new TPanel(&form);
  left->SetParent(&form);
  right->SetParent(left);
  auto* button = new TButton(&form);
  button->SetParent(left);
  button->SetParent(right);
  EXPECT_EQ(left->ControlCount(), 1) << "the old parent lets go of the control";
  ASSERT_EQ(right->ControlCount(), 1);
  EXPECT_EQ(button->Widget()->parentWidget(), right->Widget()) << "the widget moved too";
  button->SetParent(nullptr);
  EXPECT_EQ(right->ControlCount(), 0);
  EXPECT_FALSE(button->Widget()->isVisible()) << "a control without a parent is not shown";
  EXPECT_THROW(left->SetParent(right), rtl::Exception) << "a cycle of parents must be refused";
  EXPECT_THROW(left->SetParent(left), rtl::Exception);
  EXPECT_EQ(left->Parent(), &form) << "a refused move leaves the control where it was";
}

}  // namespace
