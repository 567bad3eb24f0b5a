#include <QColor>
#include <QFont>
#include <QListWidget>
#include <QPalette>
#include <QPushButton>
#include <QTabWidget>
#include <string>
#include <utility>

#include "test_support.h"
#include "toolkit_test.h"

using namespace toolkit;

namespace {

// Built from forms/TestForm.form, embedded by add_form_resources.
class TTestForm : public TForm {
  RTL_CLASS(TTestForm, TForm)
 public:
  explicit TTestForm(rtl::TComponent* owner) : TForm(owner, StaticClass()) {}

  TPanel* Panel1 = Field<TPanel>("Panel1");
  TButton* Button1 = Field<TButton>("Button1");
  TLabel* Label1 = Field<TLabel>("Label1");
  TMemo* Memo1 = Field<TMemo>("Memo1");
  TListBox* ListBox1 = Field<TListBox>("ListBox1");
  TPageControl* Pages = Field<TPageControl>("Pages");
  TTabSheet* Sheet2 = Field<TTabSheet>("Sheet2");
  TButton* Button2 = Field<TButton>("Button2");
  TOpenDialog* OpenDialog1 = Field<TOpenDialog>("OpenDialog1");

  void Button1Click(rtl::TObject* sender) { clicks.push_back(sender); }
  void ListBox1Click(rtl::TObject* sender) { clicks.push_back(sender); }
  void FormClose(rtl::TObject*, TCloseAction&) { ++closes; }

  std::vector<rtl::TObject*> clicks;
  int closes = 0;
};
RTL_DEFINE_CLASS(TTestForm, RTL_PUBLISH(TTestForm, Button1Click),
                 RTL_PUBLISH(TTestForm, ListBox1Click), RTL_PUBLISH(TTestForm, FormClose))

// Built from forms/PaletteForm.form, which sets Visible.
class TPaletteForm : public TForm {
  RTL_CLASS(TPaletteForm, TForm)
 public:
  explicit TPaletteForm(rtl::TComponent* owner) : TForm(owner, StaticClass()) {}
  TPageControl* Pages = Field<TPageControl>("Pages");
};
RTL_DEFINE_CLASS(TPaletteForm)

class FormBuilderTest : public ToolkitTest {};

TEST_F(FormBuilderTest, BuildsEveryControlWithItsPropertiesAndBindsItsEvents) {
  TTestForm form(nullptr);
  EXPECT_EQ(form.Name(), "TestForm");
  EXPECT_EQ(form.Caption(), "Проверка");
  EXPECT_EQ(form.Width(), 400);
  EXPECT_FALSE(form.Visible()) << "a description without Visible leaves the form hidden";
  EXPECT_EQ(form.Widget()->font().pixelSize(), 11) << "Font.Height -11 is 11-pixel characters";
  EXPECT_EQ(form.Button1->Caption(), "Нажми \"сюда\"") << "escapes are resolved";
  EXPECT_EQ(form.Button1->Parent(), form.Panel1) << "the enclosing object is the parent";
  EXPECT_EQ(form.Button1->Owner(), &form) << "the form owns every control";
  EXPECT_EQ(form.Memo1->Lines().ToVector(), (std::vector<std::string>{"Memo1", "second line"}));
  EXPECT_EQ(form.Memo1->TabOrder(), 0);
  EXPECT_FALSE(form.Memo1->TabStop());
  EXPECT_TRUE(form.Memo1->ReadOnly());
  EXPECT_EQ(form.Memo1->Hint(), "Notes");
  EXPECT_EQ(form.Memo1->Widget()->palette().color(QPalette::Base), QColor(0x00, 0x80, 0x80))
      << "a colour given as a number is blue, green, red from the top byte down";
  EXPECT_EQ(form.Widget()->font().families().value(0), "Liberation Sans")
      << "a face of the same width stands in for the descriptions' missing one";
  EXPECT_EQ(form.Label1->Widget()->font().family(), "DejaVu Sans") << "any other face as named";
  ASSERT_EQ(form.Pages->PageCount(), 2) << "sheets described in a page control are its pages";
  EXPECT_EQ(form.Pages->GetPage(1), form.Sheet2);
  EXPECT_EQ(form.Sheet2->Caption(), "Two");
  EXPECT_EQ(form.Button2->Parent(), form.Sheet2);
  EXPECT_EQ(form.OpenDialog1->Title(), "Pick a package");
  EXPECT_EQ(rtl::GetClass("TButton"), nullptr) << "building a form registers no class";

  form.Show();
  static_cast<QPushButton*>(form.Button1->Widget())->click();
  static_cast<QListWidget*>(form.ListBox1->Widget())->setCurrentRow(1);  // as the keyboard does
  EXPECT_EQ(form.clicks, (std::vector<rtl::TObject*>{form.Button1, form.ListBox1}))
      << "OnClick of the button and of the list box reach their handlers with their senders";
  form.Close();
  EXPECT_EQ(form.closes, 1) << "OnClose reaches FormClose";
}

TEST_F(FormBuilderTest, VisibleShowsTheFormAndASecondOfItsClassGetsANameOfItsOwn) {
  TPaletteForm* first = nullptr;
  TPaletteForm* second = nullptr;
  Application->CreateForm(first);
  Application->CreateForm(second);
  Process();
  EXPECT_TRUE(first->Widget()->isVisible()) << "Visible = true shows the form on creation";
  EXPECT_EQ(first->Name(), "PaletteForm");
  EXPECT_NE(second->Name(), first->Name());
}

// Each case registers its own description under TBADFORM and builds it.
class TBadForm : public TForm {
  RTL_CLASS(TBadForm, TForm)
 public:
  explicit TBadForm(rtl::TComponent* owner) : TForm(owner, StaticClass()) {}
  TButton* Button1 = Field<TButton>("Button1");
  void Button1Click(rtl::TObject*) {}
  void FormClose(rtl::TObject*, TCloseAction&) {}
};
RTL_DEFINE_CLASS(TBadForm, RTL_PUBLISH(TBadForm, Button1Click), RTL_PUBLISH(TBadForm, FormClose))

std::string BuildError(const std::string& text) {
  RegisterFormResource("TBADFORM", "Bad.form", text);
  return testsupport::MessageOf([] { TBadForm form(nullptr); });
}

TEST_F(FormBuilderTest, MistakesAreReportedWithFileLineAndColumn) {
  // The body of a TBadForm description, which starts on line 2, and how the message
  // goes on after "Bad.form:".
  const std::pair<const char*, const char*> cases[] = {
      {"  TWinControl W { }", "2:3: unknown control class TWinControl"},  // no control to create
      {"  TButton B {\n    Foo = 1\n  }", "3:5: unknown property 'Foo' of TButton"},
      {"  TButton Button9 { OnClick = Button9Click }",
       "2:31: unknown handler TBadForm::Button9Click for OnClick: no published method of that "
       "name"},
      {"  TButton B { OnClick = FormClose }",
       "2:25: TBadForm::FormClose cannot handle OnClick: it takes other arguments"},
      {"  OnClose = Button1Click",
       "2:13: TBadForm::Button1Click cannot handle OnClose: it takes other arguments"},
      {"  OnClose = \"FormClose\"",
       "2:13: OnClose expects the name of a method of TBadForm, found a string"},
      {"  TEdit E { Left = \"10\" }", "2:20: Left of TEdit expects an integer, found a string"},
      {"  TEdit E { Width = 3000000000 }", "2:21: Width of TEdit is out of range: 3000000000"},
      {"  TButton B { Enabled = 0 }",
       "2:25: Enabled of TButton expects a boolean, found an integer"},
      {"  TPanel P { Color = 16777216 }", "2:22: Color of TPanel: 16777216 is not a colour"},
      {"  TPanel P { Color = clTeal2 }", "2:22: Color of TPanel: unknown colour clTeal2"},
      {"  TPanel P { Align = alMiddle }",
       "2:22: Align of TPanel expects one of alNone, alTop, alBottom, alLeft, alRight, alClient, "
       "found alMiddle"},
      {"  TButton B { Font.Style = [fsBold, fsWide] }",
       "2:37: Font.Style of TButton holds fsBold, fsItalic, fsUnderline or fsStrikeOut, found "
       "fsWide"},
      {"  TMemo M { Lines = [\"a\", 2] }", "2:27: Lines of TMemo holds strings, found an integer"},
      {"  TButton B {\n    TLabel L { }\n  }",
       "3:5: TLabel L cannot be placed on B, a TButton that holds no controls"},
      {"  TPanel P {\n    TTabSheet S { }\n  }",
       "3:5: A TTabSheet can only be placed on a TPageControl, not on a TPanel"},
      {"  TListBox L { Items = [\"a\"] ItemIndex = 1 }",
       "2:42: ItemIndex of TListBox: no item 1 (the list has 1)"},
      {"  Caption = ", "3:1:"},  // the reader's own syntax error
      {"  TEdit Button1 { }",
       "2:3: Button1 is a TEdit, but TBadForm declares its field Button1 as TButton"},
      {"", " TBadForm has a field Button1, but its description has no control of that name"},
  };
  for (const auto& [body, expected] : cases) {
    EXPECT_THAT(BuildError(std::string("TBadForm F {\n") + body + "\n}"),
                testing::StartsWith(std::string("Bad.form:") + expected))
        << body;
  }
  EXPECT_THAT(BuildError("TForm3 Form3 { }"),
              testing::StartsWith("Bad.form:1:1: the description is of TForm3, not of TBadForm"));
  UnregisterFormResource("TBADFORM");
}

// A control class of the program's own, which a description reaches only once it is
// registered.
class TStarButton : public TButton {
  RTL_CLASS(TStarButton, TButton)
 public:
  explicit TStarButton(rtl::TComponent* owner) : TButton(owner) {}
  int Stars() const { return stars_; }
  void SetStars(int value) { stars_ = value; }

 private:
  int stars_ = 0;
};
RTL_DEFINE_CLASS(TStarButton, RTL_PROPERTY(TStarButton, Stars, Stars, SetStars, 0))

TEST_F(FormBuilderTest, ARegisteredClassIsBuiltWithItsOwnPropertiesAndAnUnregisteredOneIsNamed) {
  RegisterFormResource(
      "TBADFORM", "Bad.form",
      "TBadForm F {\n  TButton Button1 { }\n"
      "  TStarButton Star { Caption = \"*\" Stars = 3 OnClick = Button1Click }\n}");
  EXPECT_EQ(testsupport::MessageOf([] { TBadForm form(nullptr); }),
            "Bad.form:3:3: unknown control class TStarButton: no class of that name is registered "
            "(is the package that registers it loaded?)");

  rtl::RegisterClass(TStarButton::StaticClass());
  {
    TBadForm form(nullptr);
    auto* star = dynamic_cast<TStarButton*>(form.FindComponent("Star"));
    EXPECT_NE(star, nullptr);
    if (star != nullptr) {
      EXPECT_EQ(star->Stars(), 3) << "a property the class publishes itself";
      EXPECT_EQ(star->Caption(), "*") << "and the ones it inherits";
      EXPECT_EQ(star->OnClick.Data, &form) << "and its ancestor's event";
      EXPECT_EQ(star->Parent(), &form);
    }
  }
  rtl::UnRegisterClass(TStarButton::StaticClass());
  UnregisterFormResource("TBADFORM");
}

TEST_F(FormBuilderTest, AFailedBuildFreesWhatWasBuilt) {
  RegisterFormResource("TBADFORM", "Bad.form",
                       "TBadForm F {\n  TButton A { }\n  TMemo M { Lines = [1] }\n}");
  rtl::TComponent owner(nullptr);
  EXPECT_THROW(TBadForm form(&owner), rtl::Exception);
  EXPECT_EQ(owner.ComponentCount(), 0) << "the half-built form is gone, controls and all";
  UnregisterFormResource("TBADFORM");
  EXPECT_EQ(testsupport::MessageOf([] { TBadForm form(nullptr); }),
            "TBadForm has no form description (no resource named TBADFORM)");
}

}  // namespace
