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

TEST_F(OwnershipTest, AMemoOnAnotherFormsSheetIsFreedOnceWhicheverFormGoesFirst) {
  for (bool ownerFirst : {true, false}) {
    memosFreed = 0;
    CrossedForms forms;
    const char* order = ownerFirst ? "owner first: " : "parent first: ";
    delete (ownerFirst ? forms.owningForm : forms.drawingForm);
    EXPECT_EQ(memosFreed, 1) << order << "the first form to go frees the memo";
    EXPECT_TRUE(forms.memoWidget.isNull()) << order << "the memo's widget goes with the memo";
    if (ownerFirst) {
      EXPECT_EQ(forms.sheet->ControlCount(), 0) << order << "the sheet lets go of the memo";
    } else {
      EXPECT_EQ(forms.owningForm->ComponentCount(), 0) << order << "the owner lets go of it";
    }
    delete (ownerFirst ? forms.drawingForm : forms.owningForm);
    EXPECT_EQ(memosFreed, 1) << order << "the other form must not free the memo again";
  }
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
  EXPECT_EQ(right->Controls(0), button);
  EXPECT_EQ(button->Widget()->parentWidget(), right->Widget()) << "the widget moved too";
  button->SetParent(nullptr);
  EXPECT_EQ(right->ControlCount(), 0);
  EXPECT_FALSE(button->Widget()->isVisible()) << "a control without a parent is not shown";
  EXPECT_THROW(left->SetParent(right), rtl::Exception) << "a cycle of parents must be refused";
  EXPECT_THROW(left->SetParent(left), rtl::Exception);
  EXPECT_EQ(left->Parent(), &form) << "a refused move leaves the control where it was";
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
