#include <QRect>
#include <QWidget>

#include "toolkit_test.h"

using namespace toolkit;

namespace {

QRect Bounds(const TControl& control) {
  return QRect(control.Left(), control.Top(), control.Width(), control.Height());
}

// The tests below are about what lies inside a form: they give its client area.
void SetClientSize(TForm& form, int width, int height) {
  form.SetClientWidth(width);
  form.SetClientHeight(height);
}

class LayoutTest : public ToolkitTest {};

// A window's bounds are its outer edge; the client is what the frame leaves inside.
// Offscreen, the frame is a fixed one: 4 pixels, and 23 at the top with the title.
TEST_F(LayoutTest, AWindowsBoundsIncludeItsFrame) {
  TForm form(nullptr);
  form.SetBounds(10, 20, 530, 249);
  TPanel client(&form);
  client.SetParent(&form);
  client.SetAlign(alClient);
  form.Show();
  Process();
  EXPECT_EQ(Bounds(form), QRect(10, 20, 530, 249)) << "the described bounds, frame included";
  EXPECT_EQ(form.Widget()->size(), QSize(522, 222)) << "the window's client area";
  EXPECT_EQ(Bounds(client), QRect(0, 0, 522, 222)) << "a client control fills the client area";
  SetClientSize(form, 300, 200);
  EXPECT_EQ(Bounds(form), QRect(10, 20, 308, 227)) << "a client size gives the outer one";
}

struct AlignCase {
  const char* what;
  TAlign align;
  QRect expected;  // in a 200 x 100 container, for a 30 x 20 control at (5, 6)
};

TEST_F(LayoutTest, EachAlignmentTakesItsEdgeOfTheParent) {
  const AlignCase cases[] = {
      {"alNone keeps its own bounds", alNone, QRect(5, 6, 30, 20)},
      {"alTop spans the width at the top", alTop, QRect(0, 0, 200, 20)},
      {"alBottom spans the width at the bottom", alBottom, QRect(0, 80, 200, 20)},
      {"alLeft spans the height on the left", alLeft, QRect(0, 0, 30, 100)},
      {"alRight spans the height on the right", alRight, QRect(170, 0, 30, 100)},
      {"alClient fills everything", alClient, QRect(0, 0, 200, 100)},
  };
  for (const AlignCase& c : cases) {
    TForm form(nullptr);
    SetClientSize(form, 200, 100);
    TPanel child(&form);
    child.SetBounds(5, 6, 30, 20);
    child.SetParent(&form);
    child.SetAlign(c.align);
    EXPECT_EQ(Bounds(child), c.expected) << c.what;
  }
}

TEST_F(LayoutTest, StripsGoBeforeTheClientWhateverTheOrderAndEveryLevelFollowsAResize) {
  TForm form(nullptr);
  SetClientSize(form, 300, 200);
  TPageControl client(&form);
  client.SetParent(&form);
  client.SetAlign(alClient);
  TTabSheet sheet(&form);
  sheet.SetPageControl(&client);
  TMemo memo(&form);
  memo.SetParent(&sheet);
  memo.SetAlign(alClient);
  TPanel top(&form);
  top.SetHeight(17);
  top.SetParent(&form);
  top.SetAlign(alTop);
  TPanel left(&form);
  left.SetWidth(40);
  left.SetParent(&form);
  left.SetAlign(alLeft);
  TLabel label(&form);  // inside the top panel's bevel
  label.SetHeight(13);
  label.SetParent(&top);
  label.SetAlign(alTop);
  EXPECT_EQ(Bounds(top), QRect(0, 0, 300, 17));
  EXPECT_EQ(Bounds(label), QRect(1, 1, 298, 13)) << "a panel's children sit inside its bevel";
  EXPECT_EQ(Bounds(left), QRect(0, 17, 40, 183)) << "a left strip starts below the top strip";
  EXPECT_EQ(Bounds(client), QRect(40, 17, 260, 183))
      << "the client control gets what the strips leave, though it was placed first";
  top.SetVisible(false);
  EXPECT_EQ(Bounds(client), QRect(40, 0, 260, 200)) << "a hidden strip gives its space back";
  EXPECT_FALSE(top.Widget()->isVisibleTo(form.Widget())) << "and is not drawn";
  top.SetVisible(true);
  EXPECT_EQ(Bounds(client), QRect(40, 17, 260, 183)) << "and takes it again when shown";
  SetClientSize(form, 320, 200);
  EXPECT_EQ(Bounds(client), QRect(40, 17, 280, 183)) << "a window not shown yet realigns too";
  SetClientSize(form, 300, 200);
  top.SetHeight(30);
  EXPECT_EQ(Bounds(client), QRect(40, 30, 260, 170)) << "a strip that grows pushes the client";
  top.SetHeight(17);

  form.Show();
  Process();
  EXPECT_EQ(memo.Height(), sheet.ClientHeight()) << "the memo fills its page";
  // The way a user's drag resizes the window: through the widget, not the control.
  form.Widget()->resize(600, 470);
  Process();
  EXPECT_EQ(Bounds(top), QRect(0, 0, 600, 17)) << "the top strip follows the new width";
  EXPECT_EQ(label.Width(), 598) << "and so does what lies in it";
  EXPECT_EQ(Bounds(client), QRect(40, 17, 560, 453)) << "the client follows the new size";
  EXPECT_EQ(memo.Width(), sheet.ClientWidth()) << "the memo still fills its page after a resize";
  EXPECT_GT(memo.Width(), 500) << "and the page grew with the page control";
}

TEST_F(LayoutTest, TabOrderFollowsTheValuesGiven) {
  TForm form(nullptr);
  TButton a(&form), b(&form), c(&form);
  a.SetParent(&form);
  b.SetParent(&form);
  c.SetParent(&form);
  EXPECT_EQ(c.TabOrder(), 2) << "a control placed last comes last";
  c.SetTabOrder(0);
  EXPECT_EQ(a.TabOrder(), 1) << "the others move up to make room";
  EXPECT_EQ(c.Widget()->nextInFocusChain(), a.Widget()) << "the keyboard moves in the same order";
  EXPECT_EQ(a.Widget()->nextInFocusChain(), b.Widget());
  b.SetTabOrder(0);
  EXPECT_EQ(b.Widget()->nextInFocusChain(), c.Widget()) << "b, c, a after moving b to the front";
  EXPECT_EQ(c.Widget()->nextInFocusChain(), a.Widget());
}

TEST_F(LayoutTest, ALabelWidensToShowItsWholeTextButNeverNarrows) {
  TForm form(nullptr);
  TLabel label(&form);
  label.SetParent(&form);
  label.SetBounds(3, 200, 10, 13);
  label.SetCaption("ContainsUnit, a heading wider than ten pixels");
  EXPECT_GE(label.Width(), label.Widget()->sizeHint().width())
      << "a caption set after the bounds should widen the label to show all of it";
  label.SetBounds(3, 200, 5, 13);
  EXPECT_GE(label.Width(), label.Widget()->sizeHint().width())
      << "bounds given after the caption should not cut it either";
  label.SetBounds(3, 200, 900, 13);
  EXPECT_EQ(label.Width(), 900) << "a label wider than its text keeps the width it was given";
  EXPECT_EQ(label.Left(), 3);
}

}  // namespace
