#include "form_lexer.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "test_support.h"

namespace toolkit::form {
namespace {

using testsupport::MessageOf;

TEST(FormLexer, PositionsCountCharactersNotBytes) {
  // A leading byte order mark is no column; "Кнопка" is 6 characters but 12 bytes;
  // a tab is one character.
  std::vector<Token> tokens =
      Lex("\xEF\xBB\xBF"
          "A_1 = \"Кнопка\" B\n\tC\r\nD",
          "t.form");
  ASSERT_EQ(tokens.size(), 7u);
  EXPECT_EQ(tokens[0].text, "A_1") << "a word takes letters, digits and underscores";
  EXPECT_EQ(tokens[0].position, (Position{1, 1})) << "a leading BOM is skipped, not counted";
  EXPECT_EQ(tokens[2].position, (Position{1, 7})) << "string starts at its opening quote";
  EXPECT_EQ(tokens[3].position, (Position{1, 16}))
      << "column after Cyrillic text counts code points";
  EXPECT_EQ(tokens[4].position, (Position{2, 2})) << "a tab is one column";
  EXPECT_EQ(tokens[5].position, (Position{3, 1})) << "CR LF is one line break";
  EXPECT_EQ(tokens[6].position, (Position{3, 2}))
      << "end of file is placed after the last character";
  for (std::string_view text : {"", "   \n\t\r\n", "// only a comment", "\xEF\xBB\xBF"}) {
    EXPECT_EQ(Lex(text, "t.form").size(), 1u) << "only end of file for \"" << text << "\"";
  }
}

TEST(FormLexer, IntegersAndStringsReadTheirValues) {
  const struct {
    const char* text;
    std::int64_t value;
  } integers[] = {
      {"+17", 17},
      {"-0", 0},
      {"007", 7},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
  };
  for (const auto& c : integers) {
    std::vector<Token> tokens = Lex(c.text, "t.form");
    ASSERT_EQ(tokens[0].kind, TokenKind::Integer) << c.text;
    EXPECT_EQ(tokens[0].integer, c.value) << "integer value of " << c.text;
    EXPECT_EQ(tokens[0].text, c.text) << "an integer token keeps its spelling for messages";
  }
  const struct {
    const char* text;
    std::string value;
  } strings[] = {
      {R"("say \"hi\"")", "say \"hi\""},
      {R"("a\\b")", "a\\b"},
      {R"("1\n2\r3\t4")", "1\n2\r3\t4"},
      {R"("\u{41}\u{436}\u{1F600}\u{00041}")",
       "A\xD0\xB6\xF0\x9F\x98\x80"
       "A"},
      {"\"tab\there\"", "tab\there"},
      {R"("")", ""},
  };
  for (const auto& c : strings) {
    std::vector<Token> tokens = Lex(c.text, "t.form");
    ASSERT_EQ(tokens[0].kind, TokenKind::String) << c.text;
    EXPECT_EQ(tokens[0].text, c.value) << "decoded text of " << c.text;
  }
}

TEST(FormLexer, BadInputIsReportedWithItsPlace) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"A = @", "t.form:1:5: unexpected character '@'"},
      {"A\n  /x", "t.form:2:3: unexpected character '/'"},
      {"A = -", "t.form:1:5: unexpected character '-'"},
      {"Ж", "t.form:1:1: unexpected character 'Ж' (U+0416)"},
      {"A\x07", "t.form:1:2: unexpected character U+0007"},
      {std::string("A = \0", 5), "t.form:1:5: unexpected NUL byte"},
      {std::string("// c\0", 5), "t.form:1:5: unexpected NUL byte"},
      {"ж = \xFF", "t.form:1:1: unexpected character 'ж'"},
      {"A = \xFF", "t.form:1:5: invalid UTF-8"},
      {"A = \"\xD0\"", "t.form:1:6: invalid UTF-8"},
      {"A \xC0\xAF", "t.form:1:3: invalid UTF-8"},          // overlong '/'
      {"A \xED\xA0\x80", "t.form:1:3: invalid UTF-8"},      // surrogate
      {"A \xF4\x90\x80\x80", "t.form:1:3: invalid UTF-8"},  // above U+10FFFF
      {"// \xE2\x82", "t.form:1:4: invalid UTF-8"},         // cut at end of file
      {"A = \"open", "t.form:1:5: unterminated string: the file ends"},
      {"A = \"open\nB", "t.form:1:5: unterminated string: a string ends on the line"},
      {"A = \"ab\\", "t.form:1:8: unterminated string"},
      {"A = \"\\q\"", "t.form:1:6: unknown escape \\'q'"},
      {"A = \"\\u41\"", "t.form:1:6: expected '{' after \\u"},
      {"A = \"\\u{}\"", "t.form:1:6: expected hex digits"},
      {"A = \"\\u{41\"", "t.form:1:6: expected '}' to close the escape"},
      {"A = \"\\u{1234567}\"", "t.form:1:6: escape \\u{...} has more than 6 hex digits"},
      {"A = \"\\u{D800}\"", "t.form:1:6: escape \\u{...} names U+D800"},
      {"A = \"\\u{110000}\"", "t.form:1:6: escape \\u{...} names U+110000"},
      {"A = \"\\u{0}\"", "t.form:1:6: escape \\u{...} names U+0000"},
      {"A = \"a\x01\"", "t.form:1:7: control character U+0001 in string"},
      {"A = 9223372036854775808", "t.form:1:5: integer out of range: 9223372036854775808"},
      {"A = -9223372036854775809", "t.form:1:5: integer out of range"},
      {"A = 12px", "t.form:1:7: unexpected character 'p' after integer 12"},
      {"A = 1.5", "t.form:1:6: unexpected character '.' after integer 1"},
  };
  for (const auto& c : cases) {
    std::string message = MessageOf([&] { Lex(c.text, "t.form"); });
    EXPECT_NE(message.find(c.message), std::string::npos)
        << "lexing \"" << c.text << "\" should fail with \"" << c.message << "\", got \"" << message
        << "\"";
  }
  std::string message = MessageOf([] { Lex("A = " + std::string(100000, '9'), "t.form"); });
  EXPECT_LT(message.size(), 200u) << "a message quotes only the start of a long integer";
}

}  // namespace
}  // namespace toolkit::form
