#pragma once

// Writes JSON text for pkginfo's machine-readable output. Texts from package files
// are arbitrary bytes: valid UTF-8 passes through, anything else becomes U+FFFD so
// that the output always parses.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pkginfo {

// The text as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

// Builds one JSON value; commas and nesting are its business. Misuse (a value where
// a key is due, closing what was not opened) is a programming error and raises.
class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view name);
  JsonWriter& String(std::string_view value);
  JsonWriter& Number(std::int64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  JsonWriter& StringArray(const std::vector<std::string>& values);

  // The finished text; raises while an object or array is still open.
  const std::string& Text() const;

 private:
  struct Level {
    bool object;
    bool empty = true;
    bool keyDue = true;  // objects only
  };
  void BeforeValue();
  void Open(bool object, char bracket);
  void Close(bool object, char bracket);

  std::string text_;
  std::vector<Level> levels_;
  bool done_ = false;
};

}  // namespace pkginfo
