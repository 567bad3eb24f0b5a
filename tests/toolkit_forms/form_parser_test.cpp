#include "form_parser.h"

#include <string>
#include <vector>

#include "test_support.h"

namespace toolkit::form {
namespace {

using testsupport::MessageOf;

// A window written the way the description files are.
constexpr std::string_view kWindow = R"(// Module inspector
TForm2 Form2 {
  Caption = "Подключённые модули"
  Left = 192  Top = 107  Visible = false
  Font.Name = "MS Sans Serif"; Font.Height = -11
  TPanel Panel1 { TButton Button1 { Left = 136 OnClick = Button1Click } }
  TPanel Panel2 {
    TListBox ListBox1 { Align = alTop }
    TMemo Memo1 { Left = 336 Lines = ["Memo1", [1, -2], true,] }
  }
}
)";

Value V(decltype(Value::data) data) {
  return Value{std::move(data), {}};
}

TEST(FormParser, ReadsAWholeWindowWithNestedControlsAndTheirPlaces) {
  const Object form = ParseForm(kWindow, "Unit2.form");
  EXPECT_EQ(form.className + " " + form.name, "TForm2 Form2");
  const std::vector<Property> expected = {{"Caption", V(std::string("Подключённые модули")), {}},
                                          {"Left", V(std::int64_t{192}), {}},
                                          {"Top", V(std::int64_t{107}), {}},
                                          {"Visible", V(false), {}},
                                          {"Font.Name", V(std::string("MS Sans Serif")), {}},
                                          {"Font.Height", V(std::int64_t{-11}), {}}};
  EXPECT_EQ(form.properties, expected) << "several to a line, dotted names whole, in order";
  ASSERT_EQ(form.children.size(), 2u) << "only the direct children belong to the window";
  const Object& button = form.children[0].children.at(0);
  EXPECT_EQ(button.Find("OnClick")->value, V(Identifier{"Button1Click"}))
      << "a handler name is an identifier, not a string";
  const Object& panel2 = form.children[1];
  ASSERT_EQ(panel2.children.size(), 2u);
  EXPECT_EQ(panel2.children[0].name, "ListBox1") << "children keep their written order";
  const Object& memo = panel2.children[1];
  EXPECT_EQ(memo.Find("Left")->value, V(std::int64_t{336})) << "a name is unique per object";
  EXPECT_EQ(memo.Find("Lines")->value,
            V(List{{V(std::string("Memo1")), V(List{{V(std::int64_t{1}), V(std::int64_t{-2})}}),
                    V(true)}}))
      << "lists nest, and a trailing comma adds no item";

  EXPECT_EQ(form.position, (Position{2, 1})) << "the root starts at its class name";
  EXPECT_EQ(form.Find("Top")->position, (Position{4, 15}));
  EXPECT_EQ(form.Find("Top")->value.position, (Position{4, 21}));
  EXPECT_EQ(form.Find("Font.Height")->position, (Position{5, 32})) << "after ';' on a line";
  EXPECT_EQ(memo.position, (Position{9, 5}));
  EXPECT_EQ(memo.Find("Lines")->value.AsList()->items[1].position, (Position{9, 48}))
      << "list items keep their place";
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

}  // namespace
}  // namespace toolkit::form
