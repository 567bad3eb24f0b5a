#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace rtl {

// A loaded module is named by its load address, as the original handle named the
// image base. 0 is "no module".
using HMODULE = std::uintptr_t;

// Class names and method names travel as short names: at most 255 bytes. Longer
// input is cut, never rejected, so a caller can always build one.
class ShortString {
 public:
  static constexpr std::size_t MaxLength = 255;

  ShortString() = default;
  ShortString(std::string_view text)
      : length_(static_cast<std::uint8_t>(std::min(text.size(), MaxLength))) {
    std::memcpy(data_, text.data(), length_);
  }
  ShortString(const char* text) : ShortString(std::string_view(text ? text : "")) {}
  ShortString(const std::string& text) : ShortString(std::string_view(text)) {}

  std::string_view View() const noexcept { return {data_, length_}; }
  std::string ToString() const { return std::string(View()); }
  std::size_t size() const noexcept { return length_; }
  bool empty() const noexcept { return length_ == 0; }

  friend bool operator==(const ShortString& a, const ShortString& b) noexcept {
    return a.View() == b.View();
  }

 private:
  std::uint8_t length_ = 0;
  char data_[MaxLength] = {};
};

}  // namespace rtl
