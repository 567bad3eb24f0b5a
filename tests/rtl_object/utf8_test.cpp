#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string_view>

#include "rtl/utf8.h"

namespace {

struct Utf8Case {
  std::string_view text;
  std::size_t at;
  // Empty when the bytes at `at` are no UTF-8.
  std::optional<char32_t> codePoint;
  std::size_t length = 0;
};

TEST(DecodeUtf8, TakesWhatTheStandardAllowsAndNothingElse) {
  using namespace std::string_view_literals;
  const Utf8Case cases[] = {
      {"\0"sv, 0, U'\0', 1},
      {"a\x7f", 1, U'\x7f', 1},
      {"\xc2\x80", 0, U'\x80', 2},  // smallest of two bytes
      {"\xd0\x96!", 0, U'Ж', 2},
      {"\xef\xbf\xbf", 0, U'\xffff', 3},
      {"x\xf0\x9f\x98\x80", 1, U'\x1f600', 4},
      {"\xf4\x8f\xbf\xbf", 0, U'\x10ffff', 4},  // the last code point
      {"\x80", 0, std::nullopt},                // a continuation cannot start one
      {"\xc0\xaf", 0, std::nullopt},            // overlong '/', by its lead byte
      {"\xe0\x80\xaf", 0, std::nullopt},        // overlong '/' in three bytes
      {"\xf0\x8f\xbf\xbf", 0, std::nullopt},    // overlong U+FFFF in four bytes
      {"\xed\xa0\x80", 0, std::nullopt},        // a surrogate
      {"\xf4\x90\x80\x80", 0, std::nullopt},    // above U+10FFFF
      {"\xf5\x80\x80\x80", 0, std::nullopt},
      {"\xe2\x82", 0, std::nullopt},   // cut by the end of the text
      {"\xe2(\xac", 0, std::nullopt},  // cut by a character
      {"ab", 2, std::nullopt},         // past the end
  };
  for (const Utf8Case& c : cases) {
    const std::optional<rtl::TUtf8Char> decoded = rtl::DecodeUtf8(c.text, c.at);
    ASSERT_EQ(c.codePoint.has_value(), decoded.has_value())
        << "bytes at " << c.at << " of case " << &c - cases << " should "
        << (c.codePoint ? "" : "not ") << "decode";
    if (!decoded) continue;
    EXPECT_EQ(static_cast<unsigned>(*c.codePoint), static_cast<unsigned>(decoded->codePoint))
        << "case " << &c - cases;
    EXPECT_EQ(c.length, decoded->length) << "case " << &c - cases;
  }
}

}  // namespace
