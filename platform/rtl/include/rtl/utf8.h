#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "rtl/export.h"

namespace rtl {

// One character of a UTF-8 text: its code point and the bytes it takes.
struct TUtf8Char {
  char32_t codePoint = 0;
  std::size_t length = 0;
};

// The character that starts at byte `at` of text, or nothing when the bytes there
// are no UTF-8: a byte that cannot start a character, a sequence cut short (by the
// end of the text too), an overlong form, a surrogate or a value above U+10FFFF.
// Overlong forms and surrogates are the usual way to smuggle a character past a
// check, so readers of outside text refuse them as the standard says. A NUL is a
// character here; whether it may stand in a text is the reader's business.
RTL_API std::optional<TUtf8Char> DecodeUtf8(std::string_view text, std::size_t at) noexcept;

}  // namespace rtl
