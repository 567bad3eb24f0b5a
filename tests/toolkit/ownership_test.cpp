#include <QPointer>
#include <QWidget>

#include "toolkit_test.h"

using namespace toolkit;

namespace {

// Counts destructor runs, so a control freed twice (or never) shows up even
// without a sanitizer.
int memosFreed = 0;
struct CountedMemo : TMemo {
  using TMemo::TMemo;
  ~CountedMemo() override { ++memosFreed; }
};
int panelsFreed = 0;
struct CountedPanel : TPanel {
  using TPanel::TPanel;
  ~CountedPanel() override { ++panelsFreed; }
};

bool Owns(const rtl::TComponent& owner, const rtl::TComponent* component) {
  for (int i = 0; i < owner.ComponentCount(); ++i) {
    if (owner.Components(i) == component) return true;
  }
  return false;
}

class OwnershipTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    memosFreed = 0;
    panelsFreed = 0;
  }
};

// A memo owned by one form but drawn on a tab sheet of another, as the palette's
// memos are.
struct CrossedForms {
  TForm* owningForm = new TForm(nullptr);
  TForm* drawingForm = new TForm(nullptr);
  TPageControl* pages = new TPageControl(drawingForm);
  TTabSheet* sheet = new TTabSheet(drawingForm);
  CountedMemo* memo = new CountedMemo(owningForm);
  QPointer<QWidget> memoWidget;

  CrossedForms() {
    pages->SetParent(drawingForm);
    sheet->SetPageControl(pages);
    memo->SetParent(sheet);
    memoWidget = memo->Widget();
  }
};

TEST_F(OwnershipTest, FreeingTheOwnerFirstTakesTheMemoOffTheOtherFormsSheet) {
  CrossedForms forms;
  delete forms.owningForm;
  EXPECT_EQ(memosFreed, 1) << "the owner frees the memo it owns";
  EXPECT_TRUE(forms.memoWidget.isNull()) << "the memo's widget goes with the memo";
  EXPECT_EQ(forms.sheet->ControlCount(), 0) << "the sheet no longer lists the freed memo";
  delete forms.drawingForm;
  EXPECT_EQ(memosFreed, 1) << "freeing the parent afterwards must not free the memo again";
}

TEST_F(OwnershipTest, FreeingTheParentFirstTakesTheMemoOutOfItsOwner) {
  CrossedForms forms;
  ASSERT_TRUE(Owns(*forms.owningForm, forms.memo));
  delete forms.drawingForm;
  EXPECT_EQ(memosFreed, 1) << "freeing the parent form frees the child controls on its sheets";
  EXPECT_TRUE(forms.memoWidget.isNull()) << "the memo's widget goes with the memo";
  EXPECT_EQ(forms.owningForm->ComponentCount(), 0)
      << "a memo freed through its parent leaves its owner's list";
  delete forms.owningForm;
  EXPECT_EQ(memosFreed, 1) << "freeing the owner afterwards must not free the memo again";
}

TEST_F(OwnershipTest, FreeingTheSheetAloneFreesItsChildrenAndDetachesIt) {
  CrossedForms forms;
  delete forms.sheet;
  EXPECT_EQ(memosFreed, 1);
  EXPECT_EQ(forms.pages->PageCount(), 0) << "a freed sheet is no page any more";
  EXPECT_EQ(forms.owningForm->ComponentCount(), 0);
  delete forms.owningForm;
  delete forms.drawingForm;
  EXPECT_EQ(memosFreed, 1);
}

TEST_F(OwnershipTest, NestedParentsOwnedOutOfOrderAreEachFreedOnce) {
  // The inner panel is created (and so owned) before the outer one, then placed in
  // it: the owner's last-first order meets the parent's children-first order.
  auto* form = new TForm(nullptr);
  auto* inner = new CountedPanel(form);
  auto* outer = new CountedPanel(form);
  auto* memo = new CountedMemo(form);
  outer->SetParent(form);
  inner->SetParent(outer);
  memo->SetParent(inner);
  delete form;
  EXPECT_EQ(panelsFreed, 2);
  EXPECT_EQ(memosFreed, 1);
}

TEST_F(OwnershipTest, MovingAControlBetweenParentsUpdatesBothLists) {
  auto* form = new TForm(nullptr);
  auto* left = new TPanel(form);
  auto* right = new TPanel(form);
  left->SetParent(form);
  right->SetParent(form);
  auto* button = new TButton(form);
  button->SetParent(left);
  button->SetParent(right);
  EXPECT_EQ(left->ControlCount(), 0) << "the old parent lets go of the control";
  ASSERT_EQ(right->ControlCount(), 1);
  EXPECT_EQ(right->Controls(0), button);
  EXPECT_EQ(button->Widget()->parentWidget(), right->Widget()) << "the widget moved too";
  button->SetParent(nullptr);
  EXPECT_EQ(right->ControlCount(), 0);
  EXPECT_FALSE(button->Widget()->isVisible()) << "a control without a parent is not shown";
  delete form;
}

TEST_F(OwnershipTest, AControlCannotBePlacedInsideItself) {
  auto* form = new TForm(nullptr);
  auto* outer = new TPanel(form);
  auto* inner = new TPanel(form);
  outer->SetParent(form);
  inner->SetParent(outer);
  EXPECT_THROW(outer->SetParent(inner), rtl::Exception) << "a cycle of parents must be refused";
  EXPECT_THROW(outer->SetParent(outer), rtl::Exception);
  EXPECT_EQ(outer->Parent(), form) << "a refused move leaves the control where it was";
  delete form;
}

TEST_F(OwnershipTest, TheApplicationFreesTheFormsItOwns) {
  TForm* form = nullptr;
  Application->CreateForm(form);
  auto* memo = new CountedMemo(form);
  memo->SetParent(form);
  EXPECT_EQ(Application->MainForm(), form) << "the first form created is the main form";
  Application->DestroyComponents();
  EXPECT_EQ(memosFreed, 1);
  EXPECT_EQ(Application->MainForm(), nullptr) << "a freed main form is no main form";
}

}  // namespace
