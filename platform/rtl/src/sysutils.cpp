#include "rtl/sysutils.h"

#include <limits.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <variant>

namespace rtl {

namespace {

[[noreturn]] void FormatError(std::string_view format, std::string_view what, std::size_t at) {
  // The message is built by hand: going through Format here could recurse on the
  // very fault being reported.
  std::string message = "Format '";
  message.append(format);
  message.append("' invalid or incompatible with argument list: ");
  message.append(what);
  message.append(" at position ");
  message.append(std::to_string(at + 1));
  throw Exception(std::move(message));
}

}  // namespace

std::string Format(std::string_view format, std::span<const FormatArg> args) {
  std::string result;
  result.reserve(format.size() + 16 * args.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%') {
      result.push_back(c);
      continue;
    }
    if (i + 1 == format.size()) FormatError(format, "'%' at the end", i);
    const char directive = format[++i];
    if (directive == '%') {
      result.push_back('%');
      continue;
    }
    if (directive != 's' && directive != 'i' && directive != 'd') {
      FormatError(format, std::string("unknown directive '%") + directive + "'", i - 1);
    }
    if (next >= args.size()) {
      FormatError(format, std::string("no argument for '%") + directive + "'", i - 1);
    }
    const auto& value = args[next++].Value();
    if (directive == 's') {
      const auto* text = std::get_if<std::string_view>(&value);
      if (text == nullptr) FormatError(format, "'%s' given a number", i - 1);
      result.append(*text);
    } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
      result.append(std::to_string(*number));
    } else if (const auto* unsignedNumber = std::get_if<std::uint64_t>(&value)) {
      result.append(std::to_string(*unsignedNumber));
    } else {
      FormatError(format, std::string("'%") + directive + "' given a text", i - 1);
    }
  }
  return result;
}

Exception::Exception(std::string message) : message_(std::move(message)) {}

Exception::Exception(std::string_view format, std::initializer_list<FormatArg> args)
    : message_(Format(format, args)) {}

Exception::~Exception() = default;

std::string Trim(std::string_view text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && blank(text[first])) ++first;
  while (last > first && blank(text[last - 1])) --last;
  return std::string(text.substr(first, last - first));
}

std::string ProgramFile() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace rtl
