#include "form_parser.h"

#include <string>
#include <vector>

#include "test_support.h"

namespace toolkit::form {
namespace {

using testsupport::MessageOf;

// The module inspector window, written the way its description file is.
constexpr std::string_view kInspector =
    R"(// Module inspector: loaded modules and one module's package information
TForm2 Form2 {
  Caption = "Form2"
  Left = 192  Top = 107  Width = 668  Height = 461
  Visible = false
  Font.Name = "MS Sans Serif"; Font.Height = -11
  TPanel Panel1 {
    Left = 0 Top = 0 Width = 660 Height = 17 Align = alTop
    TLabel Label1 { Left = 1 Top = 1 Caption = "Подключённые модули" }
    TButton Button1 { Left = 136 Width = 75 Caption = "Обновить" OnClick = Button1Click }
  }
  TPanel Panel2 {
    Align = alClient
    TLabel Label2 { Left = 3 Top = 200 Caption = "ContainsUnit" }
    TMemo Memo2 { Left = 1 Lines = ["Memo2"] ScrollBars = ssVertical }
    TListBox ListBox1 { Align = alTop ItemHeight = 13 OnClick = ListBox1Click }
    TMemo Memo1 { Left = 336 Lines = ["Memo1"] }
    TMemo Memo3 { Left = 336 Lines = ["Memo3",] ScrollBars = ssNone }
  }
}
)";

// The value of a property set on the object, of the kind T.
template <typename T>
T ValueOf(const Object& object, std::string_view property) {
  const Property* found = object.Find(property);
  const T* value = found ? std::get_if<T>(&found->value.data) : nullptr;
  if (!value) {
    ADD_FAILURE() << object.name << "." << property << " should be set, and of another kind";
    return T{};
  }
  return *value;
}

TEST(FormParser, ReadsAWholeWindowWithNestedControls) {
  Object form = ParseForm(kInspector, "Unit2.form");
  EXPECT_EQ(form.className, "TForm2");
  EXPECT_EQ(form.name, "Form2");
  EXPECT_EQ(ValueOf<std::string>(form, "Caption"), "Form2");
  EXPECT_EQ(ValueOf<std::int64_t>(form, "Width"), 668) << "several properties may share a line";
  EXPECT_EQ(ValueOf<std::int64_t>(form, "Font.Height"), -11) << "a dotted name is one property";
  EXPECT_EQ(ValueOf<bool>(form, "Visible"), false) << "false is a boolean, not an identifier";
  EXPECT_EQ(ValueOf<std::int64_t>(*form.FindObject("Memo1"), "Left"), 336)
      << "a property is unique per object, not per form";

  std::vector<std::string> names;
  for (const Object& child : form.children) names.push_back(child.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Panel1", "Panel2"}))
      << "only the direct children belong to the window";
  names.clear();
  for (const Object& child : form.children[1].children) names.push_back(child.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Label2", "Memo2", "ListBox1", "Memo1", "Memo3"}))
      << "children keep their written (creation) order";

  const Object* listBox = form.FindObject("ListBox1");
  ASSERT_NE(listBox, nullptr) << "FindObject searches the whole tree";
  EXPECT_EQ(listBox->className, "TListBox");
  EXPECT_EQ(ValueOf<Identifier>(*listBox, "OnClick").name, "ListBox1Click")
      << "a handler name is an identifier, not a string";
  EXPECT_EQ(form.Find("OnClick"), nullptr) << "Find does not look into children";
  EXPECT_EQ(ValueOf<std::string>(*form.FindObject("Label1"), "Caption"), "Подключённые модули");
  EXPECT_EQ(ValueOf<List>(*form.FindObject("Memo3"), "Lines"),
            (List{{Value{std::string("Memo3"), {}}}}))
      << "a trailing comma adds no item";
  EXPECT_EQ(form.FindObject("Form3"), nullptr);

  // Every node keeps its place for the builder's messages.
  EXPECT_EQ(form.position, (Position{2, 1}))
      << "the root starts at its class name, after the comment";
  EXPECT_EQ(form.Find("Top")->position, (Position{4, 15}));
  EXPECT_EQ(form.Find("Top")->value.position, (Position{4, 21}));
  EXPECT_EQ(form.Find("Font.Height")->position, (Position{6, 32}))
      << "a property after ';' on the same line";
  EXPECT_EQ(form.FindObject("Label1")->position, (Position{9, 5}));
  const List* lines = form.FindObject("Memo3")->Find("Lines")->value.AsList();
  EXPECT_EQ(lines->items[0].position, (Position{18, 39})) << "list items keep their place";
}

TEST(FormParser, ErrorsSayWhatWasExpectedAndWhere) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"// nothing\n",
       "Unit1.form:2:1: expected a class name to start the form, found end of file"},
      {"{", "Unit1.form:1:1: expected a class name to start the form, found '{'"},
      {"TForm1 {", "Unit1.form:1:8: expected an object name after class name TForm1, found '{'"},
      {"TForm1 Form1 Caption",
       "Unit1.form:1:14: expected '{' to open object Form1, found identifier Caption"},
      {"\n\nTForm1 Form1 {\n  Caption = \"x\"\n",
       "Unit1.form:5:1: expected '}' to close object Form1 (opened at 3:1), found end of file"},
      {"TForm1 Form1 { Caption = }",
       "Unit1.form:1:26: expected a value after '=' for property Caption, found '}'"},
      // A line break in a string is shown escaped, so the message stays one line.
      {"TForm1 Form1 { Caption \"a\\nb\" }",
       "Unit1.form:1:24: expected '=' after property name Caption, found string \"a\\nb\""},
      {"TForm1 Form1 { Font. = 1 }", "Unit1.form:1:22: expected a name after 'Font.', found '='"},
      {"TForm1 Form1 { Font.Size 1 }",
       "Unit1.form:1:26: expected '=' after property name Font.Size, found integer 1"},
      {"TForm1 Form1 { = 1 }",
       "Unit1.form:1:16: expected a property, a child object or '}' in object Form1, found '='"},
      {"TForm1 Form1 { Lines = [\"a\" \"b\"] }",
       "Unit1.form:1:29: expected ',' or ']' in the list opened at 1:24, found string \"b\""},
      {"TForm1 Form1 { Lines = [, ] }",
       "Unit1.form:1:25: expected a value or ']' in the list opened at 1:24, found ','"},
      {"TForm1 Form1 { } TForm2 Form2 { }",
       "Unit1.form:1:18: expected end of file after object Form1 (a form has exactly one root "
       "object), found identifier TForm2"},
      {"TForm1 Form1 {\n  Left = 1\n  Top = 2\n  Left = 3\n}",
       "Unit1.form:4:3: property Left is set twice in object Form1 (first at 2:3)"},
      {"TForm1 Form1 {\n  TEdit Edit1 { }\n  TPanel P { TEdit Edit1 { } }\n}",
       "Unit1.form:3:20: duplicate object name Edit1: already used at 2:9"},
      {"TForm1 Form1 { TButton Form1 { } }", "Unit1.form:1:24: duplicate object name Form1"},
      {"TForm1 Form1 { Caption = \"x\" @ }", "Unit1.form:1:30: unexpected character '@'"},
  };
  for (const auto& c : cases) {
    std::string message = MessageOf([&] { ParseForm(c.text, "Unit1.form"); });
    EXPECT_NE(message.find(c.message), std::string::npos)
        << "parsing \"" << c.text << "\" should fail with \"" << c.message << "\", got \""
        << message << "\"";
  }
}

std::string Nested(int objects, int lists) {
  std::string text;
  for (int i = 0; i < objects; ++i) text += "T O" + std::to_string(i) + " { ";
  const auto n = static_cast<std::size_t>(lists);
  text += "V = " + std::string(lists == 0 ? "1" : "") + std::string(n, '[') + std::string(n, ']');
  for (int i = 0; i < objects; ++i) text += " }";
  return text;
}

TEST(FormParser, NestingIsLimited) {
  // Objects and lists count together: a list inside the innermost object is one level deeper.
  EXPECT_NO_THROW(ParseForm(Nested(MaxDepth - 1, 1), "t.form")) << "the deepest allowed nesting";
  EXPECT_NO_THROW(ParseForm(Nested(1, MaxDepth - 1), "t.form")) << "deep lists within the limit";
  for (auto [objects, lists] :
       {std::pair{MaxDepth + 1, 0}, std::pair{MaxDepth, 1}, std::pair{1, MaxDepth},
        std::pair{10000, 0}, std::pair{1, 100000}}) {
    std::string message = MessageOf([&] { ParseForm(Nested(objects, lists), "t.form"); });
    EXPECT_NE(message.find("nested deeper than 64 levels"), std::string::npos)
        << objects << " objects and " << lists << " lists should be refused, got \"" << message
        << "\"";
  }
}

TEST(FormParser, WrittenFormReadsBackEqual) {
  Object form = ParseForm(kInspector, "Unit2.form");
  EXPECT_EQ(ParseForm(WriteForm(form), "written.form"), form)
      << "writing and reading back keeps every node and value";

  // Escapes and Cyrillic text survive the trip both ways.
  constexpr std::string_view text =
      R"(TForm1 Form1 { Caption = "ShowMessage(\"тратата\");" Tail = "a\\b\tc\nd\r\u{1}\u{7F}" )"
      R"(Empty = "" Big = -9223372036854775808 Lines = [[1, -2], [], true, ssVertical] })";
  Object withEscapes = ParseForm(text, "Unit1.form");
  EXPECT_EQ(ValueOf<std::string>(withEscapes, "Caption"), "ShowMessage(\"тратата\");");
  EXPECT_EQ(ValueOf<std::string>(withEscapes, "Tail"), "a\\b\tc\nd\r\x01\x7F");
  std::string written = WriteForm(withEscapes);
  EXPECT_EQ(ParseForm(written, "written.form"), withEscapes) << "written as:\n" << written;

  // The round trip is only as strong as equality; make sure equality notices a change.
  const std::pair<std::string_view, std::string_view> changes[] = {
      {"\"Обновить\"", "\"Обновитъ\""},
      {"= 75", "= 76"},
      {"alTop", "alClient"},
      {"[\"Memo2\"]", "[\"Memo2\", \"\"]"}};
  for (auto [from, to] : changes) {
    std::string changed(kInspector);
    changed.replace(changed.find(from), from.size(), to);
    EXPECT_FALSE(ParseForm(changed, "Unit2.form") == form)
        << "replacing " << from << " with " << to << " should change the tree";
  }
}

}  // namespace
}  // namespace toolkit::form
