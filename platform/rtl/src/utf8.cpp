#include "rtl/utf8.h"

namespace rtl {

std::optional<TUtf8Char> DecodeUtf8(std::string_view text, std::size_t at) noexcept {
  if (at >= text.size()) return std::nullopt;
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return TUtf8Char{lead, 1};
  std::size_t length = 0;
  char32_t point = 0;
  // The smallest code point each length may carry: below it, the form is overlong.
  char32_t smallest = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, point = lead & 0x1fu, smallest = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, point = lead & 0x0fu, smallest = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, point = lead & 0x07u, smallest = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - at < length) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xc0) != 0x80) return std::nullopt;
    point = (point << 6) | (next & 0x3fu);
  }
  if (point < smallest || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
    return std::nullopt;
  }
  return TUtf8Char{point, length};
}

}  // namespace rtl
