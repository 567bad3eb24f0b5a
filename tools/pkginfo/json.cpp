#include "json.h"

#include <cstdio>

#include "rtl/sysutils.h"

namespace pkginfo {

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when the bytes there are not
// one (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t min = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, min = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, min = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, min = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string JsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        ++i;
        continue;
      case '\\':
        out += "\\\\";
        ++i;
        continue;
      case '\n':
        out += "\\n";
        ++i;
        continue;
      case '\r':
        out += "\\r";
        ++i;
        continue;
      case '\t':
        out += "\\t";
        ++i;
        continue;
      case '\b':
        out += "\\b";
        ++i;
        continue;
      case '\f':
        out += "\\f";
        ++i;
        continue;
      default:
        break;
    }
    if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  out += '"';
  return out;
}

void JsonWriter::BeforeValue() {
  if (done_) throw rtl::Exception("JsonWriter: a second value after the finished one");
  if (levels_.empty()) return;
  Level& level = levels_.back();
  if (level.object) {
    if (level.keyDue) throw rtl::Exception("JsonWriter: a value inside an object needs a key");
    level.keyDue = true;
    return;
  }
  if (!level.empty) text_ += ',';
  level.empty = false;
}

void JsonWriter::Open(bool object, char bracket) {
  BeforeValue();
  text_ += bracket;
  levels_.push_back(Level{object});
}

void JsonWriter::Close(bool object, char bracket) {
  if (levels_.empty() || levels_.back().object != object) {
    throw rtl::Exception("JsonWriter: closing %s that is not open",
                         {object ? "an object" : "an array"});
  }
  if (object && !levels_.back().keyDue) throw rtl::Exception("JsonWriter: a key without a value");
  levels_.pop_back();
  text_ += bracket;
  if (levels_.empty()) done_ = true;
}

JsonWriter& JsonWriter::BeginObject() {
  Open(true, '{');
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  Close(true, '}');
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  Open(false, '[');
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  Close(false, ']');
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  if (levels_.empty() || !levels_.back().object || !levels_.back().keyDue) {
    throw rtl::Exception("JsonWriter: key %s outside an object or after another key", {name});
  }
  Level& level = levels_.back();
  if (!level.empty) text_ += ',';
  level.empty = false;
  level.keyDue = false;
  text_ += JsonQuote(name);
  text_ += ':';
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  BeforeValue();
  text_ += JsonQuote(value);
  if (levels_.empty()) done_ = true;
  return *this;
}

JsonWriter& JsonWriter::Number(std::int64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
  if (levels_.empty()) done_ = true;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
  if (levels_.empty()) done_ = true;
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  text_ += "null";
  if (levels_.empty()) done_ = true;
  return *this;
}

JsonWriter& JsonWriter::StringArray(const std::vector<std::string>& values) {
  BeginArray();
  for (const std::string& value : values) String(value);
  return EndArray();
}

const std::string& JsonWriter::Text() const {
  if (!levels_.empty()) throw rtl::Exception("JsonWriter: %d levels still open", {levels_.size()});
  return text_;
}

}  // namespace pkginfo
