#pragma once

#include <string_view>

#include "rtl/sysutils.h"

// Places in a window description and errors about them: the lexer, the parser and
// the builder all report against the text the same way.
namespace toolkit::form {

// Line and column of the first character of a node, both counted from 1; columns
// count characters (code points), not bytes, so they match what an editor shows.
struct Position {
  int line = 0;
  int column = 0;

  friend bool operator==(const Position&, const Position&) = default;
};

// An error about a place in a description: "<fileName>:<line>:<column>: <message>".
// The reader and the builder raise nothing else about a description, so whoever
// catches an error of another kind knows it still has to be placed.
class PlacedError : public rtl::Exception {
 public:
  PlacedError(std::string_view fileName, Position position, std::string_view message)
      : rtl::Exception("%s:%i:%i: %s", {fileName, position.line, position.column, message}) {}
};

[[noreturn]] inline void RaiseAt(std::string_view fileName, Position position,
                                 std::string_view message) {
  throw PlacedError(fileName, position, message);
}

}  // namespace toolkit::form
