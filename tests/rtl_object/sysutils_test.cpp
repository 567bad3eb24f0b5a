#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/sysutils.h"
#include "test_support.h"

namespace {

struct FormatCase {
  const char* format;
  std::vector<rtl::FormatArg> args;
  std::string expected;
};

TEST(Format, FillsDirectivesInOrder) {
  // An argument refers to its text; the short name must outlive the table.
  const rtl::ShortString button("TButton");
  const std::vector<FormatCase> cases = {
      {"Метод %s::%s не найден", {button, "Click"}, "Метод TButton::Click не найден"},
      {"%d|%i", {-42, 1234567}, "-42|1234567"},
      {"%d|%d",
       {9223372036854775807LL, 18446744073709551615UL},
       "9223372036854775807|18446744073709551615"},
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
      {"%i", {"seven"}, "'%i' given a text"},
      {"%s", {7}, "'%s' given a number"},
      {"%x", {7}, "unknown directive '%x'"},
      {"50%", {}, "'%' at the end"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_THAT(testsupport::MessageOf([&] { rtl::Format(c.format, c.args); }),
                testing::AllOf(testing::HasSubstr(std::string("'") + c.format + "'"),
                               testing::HasSubstr(c.expected)))
        << "the message should quote the format and say what is wrong with it";
  }
}

TEST(Exception, BuildsItsMessageWithFormat) {
  EXPECT_STREQ(rtl::Exception("as is %s").what(), "as is %s") << "a text is not a format";
  EXPECT_THROW(rtl::Exception("%d", {"x"}), rtl::Exception)
      << "a bad format given to Exception should itself raise an Exception";
}

TEST(Trim, RemovesControlBytesAndBlanksAtBothEnds) {
  const std::pair<std::string, std::string> cases[] = {
      {"    ", ""},
      {" \t abc \r\n", "abc"},
      {"a b  c", "a b  c"},
      {std::string("\0\x01x\x1f\x20", 5), "x"},
      {"\x7f!\x7f", "\x7f!\x7f"},
      {"\xc2\xa0word\xc2\xa0", "\xc2\xa0word\xc2\xa0"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(rtl::Trim(input), expected) << "Trim of \"" << input << "\"";
  }
}

}  // namespace
