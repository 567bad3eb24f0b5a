#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "form_error.h"

// The tree a window description parses into. The reader only checks the shape of
// the text; which classes, properties and handlers exist is the builder's business,
// so every node keeps the place it came from for the builder's own messages.
namespace toolkit::form {

// A bare word in value position: an enumeration value (alClient, ssVertical), a
// colour (clBtnFace) or the name of a handler (FormClose). Kept apart from quoted
// text so that the builder can tell `Caption = OK` from `Caption = "OK"`.
struct Identifier {
  std::string name;

  friend bool operator==(const Identifier&, const Identifier&) = default;
};

struct Value;

struct List {
  std::vector<Value> items;

  friend bool operator==(const List&, const List&) = default;
};

struct Value {
  enum class Kind { Integer, String, Boolean, Identifier, List };

  // Alternatives are in the order of Kind.
  std::variant<std::int64_t, std::string, bool, Identifier, List> data;
  Position position;

  Kind kind() const noexcept { return static_cast<Kind>(data.index()); }
  bool Is(Kind k) const noexcept { return kind() == k; }

  // Null when the value is of another kind.
  const std::int64_t* AsInteger() const noexcept { return std::get_if<std::int64_t>(&data); }
  const std::string* AsString() const noexcept { return std::get_if<std::string>(&data); }
  const bool* AsBoolean() const noexcept { return std::get_if<bool>(&data); }
  const Identifier* AsIdentifier() const noexcept { return std::get_if<Identifier>(&data); }
  const List* AsList() const noexcept { return std::get_if<List>(&data); }

  // "an integer", "a string", ... for messages such as "expected a string, found an integer".
  static std::string_view KindName(Kind k) noexcept {
    switch (k) {
      case Kind::Integer:
        return "an integer";
      case Kind::String:
        return "a string";
      case Kind::Boolean:
        return "a boolean";
      case Kind::Identifier:
        return "an identifier";
      case Kind::List:
        return "a list";
    }
    return "a value";
  }
  std::string_view KindName() const noexcept { return KindName(kind()); }

  // Positions are where a value was written, not what it is.
  friend bool operator==(const Value& a, const Value& b) { return a.data == b.data; }
};

// `Name = value`. A dotted name (`Font.Height`) stays one name; splitting it is up
// to whoever knows what the parts mean.
struct Property {
  std::string name;
  Value value;
  Position position;

  friend bool operator==(const Property& a, const Property& b) {
    return a.name == b.name && a.value == b.value;
  }
};

// `ClassName ObjectName { properties and child objects, in written order }`.
struct Object {
  std::string className;
  std::string name;
  Position position;
  std::vector<Property> properties;
  std::vector<Object> children;

  // The property of that name set on this object itself (not on a child), or null.
  const Property* Find(std::string_view propertyName) const noexcept {
    for (const Property& property : properties) {
      if (property.name == propertyName) return &property;
    }
    return nullptr;
  }

  friend bool operator==(const Object& a, const Object& b) {
    return a.className == b.className && a.name == b.name && a.properties == b.properties &&
           a.children == b.children;
  }
};

}  // namespace toolkit::form
