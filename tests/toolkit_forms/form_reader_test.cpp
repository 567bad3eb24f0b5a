#include <limits>
#include <string>
#include <vector>

#include "form_parser.h"
#include "test_support.h"

namespace toolkit::form {
namespace {

using testsupport::MessageOf;

// A window written the way the description files are, with a value of every kind.
constexpr std::string_view kWindow = R"(// Module inspector
TForm2 Form2 {
  Caption = "Подключённые модули"
  Left = +17  Top = 007  Visible = false
  Font.Name = "say \"hi\"\\\n\r\t\u{41}\u{436}\u{1F600}\u{020AC}"; Font.Height = -11
  Low = -9223372036854775808  High = 9223372036854775807  Empty = "" Zero = -0
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

TEST(FormReader, ReadsAWholeWindowWithNestedControlsAndTheirPlaces) {
  const Object form = ParseForm(kWindow, "Unit2.form");
  EXPECT_EQ(form.className + " " + form.name, "TForm2 Form2");
  const std::vector<Property> expected = {
      {"Caption", V(std::string("Подключённые модули")), {}},
      {"Left", V(std::int64_t{17}), {}},
      {"Top", V(std::int64_t{7}), {}},
      {"Visible", V(false), {}},
      {"Font.Name", V(std::string("say \"hi\"\\\n\r\tA\xD0\xB6\xF0\x9F\x98\x80\xE2\x82\xAC")), {}},
      {"Font.Height", V(std::int64_t{-11}), {}},
      {"Low", V(std::numeric_limits<std::int64_t>::min()), {}},
      {"High", V(std::numeric_limits<std::int64_t>::max()), {}},
      {"Empty", V(std::string()), {}},
      {"Zero", V(std::int64_t{0}), {}}};
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
  EXPECT_EQ(form.Find("Font.Height")->position, (Position{5, 68})) << "after ';' on a line";
  EXPECT_EQ(memo.position, (Position{10, 5}));
  EXPECT_EQ(memo.Find("Lines")->value.AsList()->items[1].position, (Position{10, 48}))
      << "list items keep their place";
}

TEST(FormReader, ColumnsCountCharactersNotBytes) {
  // A leading byte order mark is no column; "Кн\tопка" is 7 characters but 13 bytes,
  // a tab among them; CR LF is one line break.
  const Object form = ParseForm(
      "\xEF\xBB\xBF"
      "T F {\tA_1 = \"Кн\tопка\" B = 1\r\n  C = 2 }",
      "t.form");
  EXPECT_EQ(form.position, (Position{1, 1}));
  ASSERT_EQ(form.properties.size(), 3u);
  EXPECT_EQ(form.properties[0].name, "A_1") << "a word takes letters, digits and underscores";
  EXPECT_EQ(form.properties[0].value, V(std::string("Кн\tопка"))) << "a tab may stand in a string";
  EXPECT_EQ(form.properties[0].position, (Position{1, 7}));
  EXPECT_EQ(form.properties[0].value.position, (Position{1, 13}));
  EXPECT_EQ(form.properties[1].position, (Position{1, 23}));
  EXPECT_EQ(form.properties[2].position, (Position{2, 3}));
}

TEST(FormReader, ErrorsSayWhatWasExpectedAndWhere) {
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
      {"A = @", "Unit1.form:1:5: unexpected character '@'"},
      {"A\n  /x", "Unit1.form:2:3: unexpected character '/'"},
      {"A = -", "Unit1.form:1:5: unexpected character '-'"},
      {"Ж", "Unit1.form:1:1: unexpected character 'Ж' (U+0416)"},
      {"A\x07", "Unit1.form:1:2: unexpected character U+0007"},
      {std::string("A = \0", 5), "Unit1.form:1:5: unexpected NUL byte"},
      {std::string("// c\0", 5), "Unit1.form:1:5: unexpected NUL byte"},
      {"ж = \xFF", "Unit1.form:1:1: unexpected character 'ж'"},
      {"A = \xFF", "Unit1.form:1:5: invalid UTF-8"},
      {"A = \"\xD0\"", "Unit1.form:1:6: invalid UTF-8"},
      {"// \xE2\x82", "Unit1.form:1:4: invalid UTF-8"},  // cut at end of file
      {"A = \"open", "Unit1.form:1:5: unterminated string: the file ends"},
      {"A = \"open\nB", "Unit1.form:1:5: unterminated string: a string ends on the line"},
      {"A = \"ab\\", "Unit1.form:1:8: unterminated string"},
      {"A = \"ab\\\nc\"", "Unit1.form:1:8: unterminated string: an escape cannot continue a line"},
      {"A = \"\\q\"", "Unit1.form:1:6: unknown escape \\'q'"},
      {"A = \"\\u41\"", "Unit1.form:1:6: expected '{' after \\u"},
      {"A = \"\\u{}\"", "Unit1.form:1:6: expected hex digits"},
      {"A = \"\\u{41\"", "Unit1.form:1:6: expected '}' to close the escape"},
      {"A = \"\\u{1234567}\"", "Unit1.form:1:6: escape \\u{...} has more than 6 hex digits"},
      {"A = \"\\u{D800}\"", "Unit1.form:1:6: escape \\u{...} names U+D800"},
      {"A = \"\\u{110000}\"", "Unit1.form:1:6: escape \\u{...} names U+110000"},
      {"A = \"\\u{0}\"", "Unit1.form:1:6: escape \\u{...} names U+0000"},
      {"A = \"a\x01\"", "Unit1.form:1:7: control character U+0001 in string"},
      {"A = 9223372036854775808", "Unit1.form:1:5: integer out of range: 9223372036854775808"},
      {"A = -9223372036854775809", "Unit1.form:1:5: integer out of range"},
      {"A = 12px", "Unit1.form:1:7: unexpected character 'p' after integer 12"},
      {"A = 1.5", "Unit1.form:1:6: unexpected character '.' after integer 1"},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(MessageOf([&] { ParseForm(c.text, "Unit1.form"); }), testing::HasSubstr(c.message))
        << "reading \"" << c.text << "\"";
  }
  std::string message = MessageOf([] { ParseForm("A = " + std::string(100000, '9'), "t.form"); });
  EXPECT_LT(message.size(), 200u) << "a message quotes only the start of a long integer";
}

std::string Nested(int objects, int lists) {
  std::string text;
  for (int i = 0; i < objects; ++i) text += "T O" + std::to_string(i) + " { ";
  const auto n = static_cast<std::size_t>(lists);
  text += "V = " + std::string(lists == 0 ? "1" : "") + std::string(n, '[') + std::string(n, ']');
  for (int i = 0; i < objects; ++i) text += " }";
  return text;
}

TEST(FormReader, NestingIsLimited) {
  // Objects and lists count together: a list inside the innermost object is one level deeper.
  EXPECT_NO_THROW(ParseForm(Nested(MaxDepth - 1, 1), "t.form")) << "the deepest allowed nesting";
  EXPECT_NO_THROW(ParseForm(Nested(1, MaxDepth - 1), "t.form")) << "deep lists within the limit";
  for (auto [objects, lists] :
       {std::pair{MaxDepth + 1, 0}, std::pair{MaxDepth, 1}, std::pair{1, MaxDepth},
        std::pair{10000, 0}, std::pair{1, 100000}}) {
    EXPECT_THAT(MessageOf([&] { ParseForm(Nested(objects, lists), "t.form"); }),
                testing::HasSubstr("nested deeper than 64 levels"))
        << objects << " objects and " << lists << " lists should be refused";
  }
}

}  // namespace
}  // namespace toolkit::form
