// Window descriptions are read from files a user may have edited by hand, so the
// reader must turn any bytes into either a tree or an rtl::Exception.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "form_parser.h"
#include "rtl/sysutils.h"

namespace {

using toolkit::form::Object;
using toolkit::form::Value;

// Writes a tree back as description text, escaping what a string cannot hold as it is.
void WriteString(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') {
      (out += '\\') += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[12];
      std::snprintf(escape, sizeof escape, "\\u{%X}", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

void WriteValue(std::string& out, const Value& value) {
  if (const std::int64_t* number = value.AsInteger()) {
    out += std::to_string(*number);
  } else if (const std::string* text = value.AsString()) {
    WriteString(out, *text);
  } else if (const bool* flag = value.AsBoolean()) {
    out += *flag ? "true" : "false";
  } else if (const auto* word = value.AsIdentifier()) {
    out += word->name;
  } else {
    out += '[';
    for (const Value& item : value.AsList()->items) {
      WriteValue(out, item);
      out += ", ";
    }
    out += ']';
  }
}

void WriteObject(std::string& out, const Object& object) {
  out += object.className + " " + object.name + " {\n";
  for (const auto& property : object.properties) {
    out += property.name + " = ";
    WriteValue(out, property.value);
    out += '\n';
  }
  for (const Object& child : object.children) WriteObject(out, child);
  out += "}\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Object form;
  try {
    form = toolkit::form::ParseForm(text, "fuzz.form");
  } catch (const rtl::Exception&) {
    return 0;
  }
  // Whatever was read must write back into text that reads as the same tree: a
  // reader that takes a tree it would refuse once written plainly (a duplicate
  // name, a value it cannot hold) or mis-decodes an escape shows up here.
  std::string written;
  WriteObject(written, form);
  Object again = toolkit::form::ParseForm(written, "again");
  if (!(again == form)) std::abort();
  return 0;
}
