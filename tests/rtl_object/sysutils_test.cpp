#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/sysutils.h"

namespace {

struct FormatCase {
  const char* format;
  std::vector<rtl::FormatArg> args;
  std::string expected;
};

TEST(Format, FillsDirectivesInOrder) {
  const rtl::ShortString shortName("TButton");
  const std::vector<FormatCase> cases = {
      {"", {}, ""},
      {"no directives", {}, "no directives"},
      {"%s", {"text"}, "text"},
      {"%s", {""}, ""},
      {"Метод %s::%s не найден", {shortName, "Click"}, "Метод TButton::Click не найден"},
      {"%i", {0}, "0"},
      {"%d|%i", {-42, 1234567}, "-42|1234567"},
      {"%d", {9223372036854775807LL}, "9223372036854775807"},
      {"100%%", {}, "100%"},
      {"%%s", {}, "%s"},
      {"%s%%%d", {"a", 5}, "a%5"},
      {"%s", {"a", "unused"}, "a"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(rtl::Format(c.format, c.args), c.expected)
        << "format \"" << c.format << "\" should give \"" << c.expected << "\"";
  }
}

TEST(Format, RejectsBadFormatsQuotingThem) {
  const std::vector<FormatCase> cases = {
      {"%s and %s", {"one"}, "no argument for '%s'"},
      {"%d", {}, "no argument for '%d'"},
      {"%d", {"seven"}, "'%d' given a text"},
      {"%i", {"seven"}, "'%i' given a text"},
      {"%s", {7}, "'%s' given a number"},
      {"%x", {7}, "unknown directive '%x'"},
      {"50%", {}, "'%' at the end"},
  };
  for (const FormatCase& c : cases) {
    try {
      rtl::Format(c.format, c.args);
      ADD_FAILURE() << "format \"" << c.format << "\" should have raised";
    } catch (const rtl::Exception& e) {
      const std::string quoted = std::string("'") + c.format + "'";
      EXPECT_NE(e.Message().find(quoted), std::string::npos)
          << "the message should quote the format: " << e.Message();
      EXPECT_NE(e.Message().find(c.expected), std::string::npos)
          << "the message should say \"" << c.expected << "\": " << e.Message();
    }
  }
}

TEST(Exception, BuildsItsMessageWithFormat) {
  const rtl::Exception plain("as is %s");
  EXPECT_STREQ(plain.what(), "as is %s") << "a message text is taken without formatting";
  const auto formatted = rtl::Exception::CreateFmt("Class %s not found (%d)", {"TFoo", 3});
  EXPECT_EQ(formatted.Message(), "Class TFoo not found (3)");
  EXPECT_THROW(rtl::Exception("%d", {"x"}), rtl::Exception)
      << "a bad format given to Exception should itself raise an Exception";
}

TEST(Trim, RemovesControlBytesAndBlanksAtBothEnds) {
  struct Case {
    std::string input, expected;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"    ", ""},
      {"abc", "abc"},
      {" \t abc \r\n", "abc"},
      {"a b  c", "a b  c"},
      {std::string("\0\x01x\x1f\x20", 5), "x"},
      {"\x7f!\x7f", "\x7f!\x7f"},
      {"\xc2\xa0word\xc2\xa0", "\xc2\xa0word\xc2\xa0"},
      {" Привет ", "Привет"},
      {"\xff", "\xff"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rtl::Trim(c.input), c.expected)
        << "Trim should keep only \"" << c.expected << "\" of \"" << c.input << "\"";
  }
}

}  // namespace
