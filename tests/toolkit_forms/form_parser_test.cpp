#include "form_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/sysutils.h"

namespace toolkit::form {
namespace {

// The module inspector window, written the way its description file is.
constexpr std::string_view kInspector =
    R"(// Module inspector: loaded modules and one module's package information
TForm2 Form2 {
  Caption = "Form2"
  Left = 192  Top = 107  Width = 668  Height = 461
  Visible = false
  Font.Name = "MS Sans Serif"; Font.Height = -11
  TPanel Panel1 {
    Left = 0 Top = 0 Width = 660 Height = 17
    Align = alTop
    Caption = ""
    TabOrder = 0
    TLabel Label1 { Left = 1 Top = 1 Width = 658 Height = 13 Align = alTop Caption = "Подключённые модули" }
    TButton Button1 {
      Left = 136 Top = 0 Width = 75 Height = 17
      Caption = "Обновить"
      TabOrder = 0
      OnClick = Button1Click
    }
  }
  TPanel Panel2 {
    Left = 0 Top = 17 Width = 660 Height = 417
    Align = alClient
    Caption = ""
    TabOrder = 1
    TLabel Label2 { Left = 3 Top = 200 Width = 60 Height = 13 Caption = "ContainsUnit" }
    TLabel Label3 { Left = 338 Top = 200 Width = 85 Height = 13 Caption = "RequiresPackage" }
    TLabel Label4 { Left = 338 Top = 304 Width = 63 Height = 13 Caption = "DcpBpiName" }
    TMemo Memo2 {
      Left = 1 Top = 216 Width = 328 Height = 200
      Lines = ["Memo2"]
      ScrollBars = ssVertical
      TabOrder = 0
    }
    TListBox ListBox1 {
      Left = 1 Top = 1 Width = 658 Height = 192
      Align = alTop
      ItemHeight = 13
      Sorted = false
      TabOrder = 1
      OnClick = ListBox1Click
    }
    TMemo Memo1 { Left = 336 Top = 216 Width = 321 Height = 89 Lines = ["Memo1"] ScrollBars = ssNone TabOrder = 2 }
    TMemo Memo3 { Left = 336 Top = 320 Width = 321 Height = 89 Lines = ["Memo3",] ScrollBars = ssNone TabOrder = 3 }
  }
}
)";

std::string ParseError(std::string_view text) {
  try {
    ParseForm(text, "Unit1.form");
  } catch (const rtl::Exception& e) {
    return e.Message();
  }
  return "";
}

std::vector<std::string> ChildNames(const Object& object) {
  std::vector<std::string> names;
  for (const Object& child : object.children) names.push_back(child.name);
  return names;
}

std::int64_t IntegerOf(const Object& object, std::string_view property) {
  const Property* found = object.Find(property);
  if (!found || !found->value.AsInteger()) {
    ADD_FAILURE() << object.name << "." << property << " should be an integer";
    return -1;
  }
  return *found->value.AsInteger();
}

std::string StringOf(const Object& object, std::string_view property) {
  const Property* found = object.Find(property);
  if (!found || !found->value.AsString()) {
    ADD_FAILURE() << object.name << "." << property << " should be a string";
    return "";
  }
  return *found->value.AsString();
}

TEST(FormParser, ReadsAWholeWindowWithNestedControls) {
  Object form = ParseForm(kInspector, "Unit2.form");
  EXPECT_EQ(form.className, "TForm2");
  EXPECT_EQ(form.name, "Form2");
  EXPECT_EQ(StringOf(form, "Caption"), "Form2");
  EXPECT_EQ(IntegerOf(form, "Width"), 668) << "several properties may share a line";
  EXPECT_EQ(IntegerOf(form, "Font.Height"), -11) << "a dotted name is one property";
  ASSERT_NE(form.Find("Visible"), nullptr);
  EXPECT_EQ(
      form.Find("Visible")->value.AsBoolean() ? *form.Find("Visible")->value.AsBoolean() : true,
      false)
      << "false is a boolean, not an identifier";

  EXPECT_EQ(ChildNames(form), (std::vector<std::string>{"Panel1", "Panel2"}))
      << "only the direct children belong to the window";
  const Object& panel2 = form.children[1];
  EXPECT_EQ(ChildNames(panel2), (std::vector<std::string>{"Label2", "Label3", "Label4", "Memo2",
                                                          "ListBox1", "Memo1", "Memo3"}))
      << "children keep their written (creation) order";

  const Object* listBox = form.FindObject("ListBox1");
  ASSERT_NE(listBox, nullptr) << "FindObject searches the whole tree";
  EXPECT_EQ(listBox->className, "TListBox");
  const Property* onClick = listBox->Find("OnClick");
  ASSERT_NE(onClick, nullptr);
  ASSERT_TRUE(onClick->value.AsIdentifier()) << "a handler name is an identifier, not a string";
  EXPECT_EQ(onClick->value.AsIdentifier()->name, "ListBox1Click");
  EXPECT_EQ(listBox->Find("Align")->value.AsIdentifier()->name, "alTop");
  EXPECT_EQ(form.Find("OnClick"), nullptr) << "Find does not look into children";

  EXPECT_EQ(StringOf(*form.FindObject("Label1"), "Caption"), "Подключённые модули");
  EXPECT_EQ(StringOf(*form.FindObject("Button1"), "Caption"), "Обновить");
  const List* lines = form.FindObject("Memo3")->Find("Lines")->value.AsList();
  ASSERT_NE(lines, nullptr);
  ASSERT_EQ(lines->items.size(), 1u) << "a trailing comma adds no item";
  EXPECT_EQ(*lines->items[0].AsString(), "Memo3");
  EXPECT_EQ(form.FindObject("Form3"), nullptr);
}

TEST(FormParser, NodesRememberWhereTheyWereWritten) {
  Object form = ParseForm(kInspector, "Unit2.form");
  EXPECT_EQ(form.position, (Position{2, 1}))
      << "the root starts at its class name, after the comment";
  EXPECT_EQ(form.Find("Top")->position, (Position{4, 15}));
  EXPECT_EQ(form.Find("Top")->value.position, (Position{4, 21}));
  EXPECT_EQ(form.Find("Font.Height")->position, (Position{6, 32}))
      << "a property after ';' on the same line";
  const Object* label1 = form.FindObject("Label1");
  EXPECT_EQ(label1->position, (Position{12, 5}));
  const Object* memo3 = form.FindObject("Memo3");
  const List* lines = memo3->Find("Lines")->value.AsList();
  EXPECT_EQ(lines->items[0].position, (Position{43, 73}));
}

TEST(FormParser, ErrorsSayWhatWasExpectedAndWhere) {
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "Unit1.form:1:1: expected a class name to start the form, found end of file"},
      {"// nothing\n",
       "Unit1.form:2:1: expected a class name to start the form, found end of file"},
      {"{", "Unit1.form:1:1: expected a class name to start the form, found '{'"},
      {"TForm1 {", "Unit1.form:1:8: expected an object name after class name TForm1, found '{'"},
      {"TForm1 Form1 Caption",
       "Unit1.form:1:14: expected '{' to open object Form1, found identifier Caption"},
      {"\n\nTForm1 Form1 {\n  Caption = \"x\"\n",
       "Unit1.form:5:1: expected '}' to close object Form1 (opened at 3:1), found end of file"},
      {"TForm1 Form1 {\n TEdit Edit1 {\n}",
       "Unit1.form:3:2: expected '}' to close object Form1 (opened at 1:1), found end of file"},
      {"TForm1 Form1 { Caption = }",
       "Unit1.form:1:26: expected a value after '=' for property Caption, found '}'"},
      {"TForm1 Form1 { Caption = ; }", "Unit1.form:1:26: expected a value after '='"},
      {"TForm1 Form1 { Caption \"x\" }",
       "Unit1.form:1:24: expected '=' after property name Caption, found string \"x\""},
      {"TForm1 Form1 { Font. = 1 }", "Unit1.form:1:22: expected a name after 'Font.', found '='"},
      {"TForm1 Form1 { Font.Size 1 }",
       "Unit1.form:1:26: expected '=' after property name Font.Size, found integer 1"},
      {"TForm1 Form1 { TEdit { } }",
       "Unit1.form:1:22: expected an object name after class name TEdit, found '{'"},
      {"TForm1 Form1 { = 1 }",
       "Unit1.form:1:16: expected a property, a child object or '}' in object Form1, found '='"},
      {"TForm1 Form1 { 5 }",
       "Unit1.form:1:16: expected a property, a child object or '}' in object Form1, found integer "
       "5"},
      {"TForm1 Form1 { ; }", "Unit1.form:1:16: expected a property, a child object or '}'"},
      {"TForm1 Form1 { Lines = [\"a\" \"b\"] }",
       "Unit1.form:1:29: expected ',' or ']' in the list opened at 1:24, found string \"b\""},
      {"TForm1 Form1 { Lines = [, ] }",
       "Unit1.form:1:25: expected a value or ']' in the list opened at 1:24, found ','"},
      {"TForm1 Form1 { Lines = [\"a\"",
       "Unit1.form:1:28: expected ',' or ']' in the list opened at 1:24, found end of file"},
      {"TForm1 Form1 { } TForm2 Form2 { }",
       "Unit1.form:1:18: expected end of file after object Form1 (a form has exactly one root "
       "object), found identifier TForm2"},
      {"TForm1 Form1 { } }", "Unit1.form:1:18: expected end of file after object Form1"},
      {"TForm1 Form1 {\n  Left = 1\n  Top = 2\n  Left = 3\n}",
       "Unit1.form:4:3: property Left is set twice in object Form1 (first at 2:3)"},
      {"TForm1 Form1 {\n  TEdit Edit1 { }\n  TPanel P { TEdit Edit1 { } }\n}",
       "Unit1.form:3:20: duplicate object name Edit1: already used at 2:9"},
      {"TForm1 Form1 { TButton Form1 { } }", "Unit1.form:1:24: duplicate object name Form1"},
      {"TForm1 Form1 { Caption = \"x\" @ }", "Unit1.form:1:30: unexpected character '@'"},
      {"TForm1 Form1 { Left = 99999999999999999999 }", "Unit1.form:1:23: integer out of range"},
      {"TForm1 Form1 { Caption = \"abc\n\" }", "Unit1.form:1:26: unterminated string"},
  };
  for (const Case& c : cases) {
    std::string message = ParseError(c.text);
    EXPECT_NE(message.find(c.message), std::string::npos)
        << "parsing \"" << c.text << "\" should fail with \"" << c.message << "\", got \""
        << message << "\"";
  }
}

TEST(FormParser, SamePropertyNameOnDifferentObjectsIsFine) {
  Object form = ParseForm(
      "TForm1 Form1 { Left = 1 TEdit Edit1 { Left = 2 } TEdit Edit2 { Left = 3 } }", "Unit1.form");
  EXPECT_EQ(IntegerOf(form, "Left"), 1);
  EXPECT_EQ(IntegerOf(*form.FindObject("Edit2"), "Left"), 3)
      << "a property is unique per object, not per form";
}

std::string Nested(int objects, int lists) {
  std::string text;
  for (int i = 0; i < objects; ++i) text += "T O" + std::to_string(i) + " { ";
  text += "V = ";
  if (lists == 0) text += "1";
  text += std::string(static_cast<std::size_t>(lists), '[');
  text += std::string(static_cast<std::size_t>(lists), ']');
  for (int i = 0; i < objects; ++i) text += " }";
  return text;
}

TEST(FormParser, NestingIsLimited) {
  // Objects and lists count together: a list inside the innermost object is one level deeper.
  EXPECT_EQ(ParseError(Nested(MaxDepth - 1, 1)), "") << "the deepest allowed nesting parses";
  EXPECT_EQ(ParseError(Nested(1, MaxDepth - 1)), "") << "deep lists within the limit parse";
  for (auto [objects, lists] :
       {std::pair{MaxDepth + 1, 0}, std::pair{MaxDepth, 1}, std::pair{1, MaxDepth},
        std::pair{10000, 0}, std::pair{1, 100000}}) {
    std::string message = ParseError(Nested(objects, lists));
    EXPECT_NE(message.find("nested deeper than 64 levels"), std::string::npos)
        << objects << " objects and " << lists << " lists should be refused, got \"" << message
        << "\"";
  }
}

TEST(FormParser, WrittenFormReadsBackEqual) {
  Object form = ParseForm(kInspector, "Unit2.form");
  Object again = ParseForm(WriteForm(form), "written.form");
  EXPECT_EQ(again, form) << "writing and reading back keeps every node and value";

  // Escapes and Cyrillic text survive the trip both ways.
  constexpr std::string_view text =
      R"(TForm1 Form1 { Caption = "ShowMessage(\"тратата\");" Tail = "a\\b\tc\nd\r\u{1}\u{7F}" )"
      R"(Empty = "" Big = -9223372036854775808 Lines = [[1, -2], [], true, ssVertical] })";
  Object withEscapes = ParseForm(text, "Unit1.form");
  EXPECT_EQ(StringOf(withEscapes, "Caption"), "ShowMessage(\"тратата\");");
  EXPECT_EQ(StringOf(withEscapes, "Tail"), "a\\b\tc\nd\r\x01\x7F");
  std::string written = WriteForm(withEscapes);
  EXPECT_EQ(ParseForm(written, "written.form"), withEscapes) << "written as:\n" << written;
}

TEST(FormParser, TreeComparisonSeesEveryDifference) {
  Object form = ParseForm(kInspector, "Unit2.form");
  // The round trip above is only as strong as equality; make sure equality notices a change.
  std::vector<std::string_view> changed = {"\"Обновить\"", "= 75", "alTop", "[\"Memo2\"]"};
  std::vector<std::string_view> replacement = {"\"Обновитъ\"", "= 76", "alClient",
                                               "[\"Memo2\", \"\"]"};
  for (std::size_t i = 0; i < changed.size(); ++i) {
    std::string text(kInspector);
    text.replace(text.find(changed[i]), changed[i].size(), replacement[i]);
    EXPECT_FALSE(ParseForm(text, "Unit2.form") == form)
        << "replacing " << changed[i] << " with " << replacement[i] << " should change the tree";
  }
}

TEST(FormParser, ErrorsNameTheFileGiven) {
  std::string message;
  try {
    ParseForm("TForm1", "/src/workbench/Unit1.form");
  } catch (const rtl::Exception& e) {
    message = e.Message();
  }
  EXPECT_EQ(message,
            "/src/workbench/Unit1.form:1:7: expected an object name after class name TForm1, "
            "found end of file");
}

}  // namespace
}  // namespace toolkit::form
