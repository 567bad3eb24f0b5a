#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "rtl/export.h"
#include "rtl/types.h"

namespace rtl {

// One argument of Format: "%s" takes texts and short names, "%i"/"%d" integers.
// It refers to the text it was made from, without a copy: made for the call it is
// passed to, not to be kept.
class FormatArg {
 public:
  FormatArg(std::string_view text) : value_(text) {}
  FormatArg(const std::string& text) : value_(std::string_view(text)) {}
  FormatArg(const char* text) : value_(std::string_view(text ? text : "")) {}
  FormatArg(const ShortString& text) : value_(text.View()) {}
  FormatArg(int number) : value_(static_cast<std::int64_t>(number)) {}
  FormatArg(long number) : value_(static_cast<std::int64_t>(number)) {}
  FormatArg(long long number) : value_(static_cast<std::int64_t>(number)) {}
  // Unsigned numbers keep their own kind: a 64-bit size must not print as negative.
  FormatArg(unsigned number) : value_(static_cast<std::uint64_t>(number)) {}
  FormatArg(unsigned long number) : value_(static_cast<std::uint64_t>(number)) {}
  FormatArg(unsigned long long number) : value_(static_cast<std::uint64_t>(number)) {}

  const std::variant<std::string_view, std::int64_t, std::uint64_t>& Value() const noexcept {
    return value_;
  }

 private:
  std::variant<std::string_view, std::int64_t, std::uint64_t> value_;
};

// Formats "%s", "%i", "%d" and "%%". A directive without an argument, an argument
// of the wrong kind or an unknown directive raises Exception naming the format.
RTL_API std::string Format(std::string_view format, std::span<const FormatArg> args);
inline std::string Format(std::string_view format, std::initializer_list<FormatArg> args) {
  return Format(format, std::span<const FormatArg>(args.begin(), args.size()));
}

// The framework's exception: a message text. Everything the run-time library and
// the toolkit raise is one of these (or derived).
class RTL_API Exception : public std::exception {
 public:
  explicit Exception(std::string message);
  Exception(std::string_view format, std::initializer_list<FormatArg> args);
  ~Exception() override;

  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Removes leading and trailing characters whose code is 32 or below.
RTL_API std::string Trim(std::string_view text);

// The running program's own file, absolute and with its links resolved (as the
// kernel names it); empty when it cannot be read. Not argv[0], which may be relative
// to a folder the process has since left.
RTL_API std::string ProgramFile();

}  // namespace rtl
