#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "form_ast.h"

// Window descriptions: one UTF-8 text file per window, one root object.
//
//   // Main window of the workbench
//   TForm1 Form1 {
//     Caption = "Form1"
//     Left = 239  Top = 185  Width = 583  Height = 258
//     OnClose = FormClose
//     TMemo Memo1 { Lines = ["Memo1"]; ScrollBars = ssVertical }
//   }
//
// Grammar (spaces, line breaks and `// comments` separate tokens and are otherwise
// ignored):
//
//   form     = object                          exactly one, then end of file
//   object   = ClassName ObjectName "{" { property | object } "}"
//   property = name "=" value [";"]
//   name     = word { "." word }               e.g. Font.Height
//   value    = integer | string | "true" | "false" | word | "[" [ value { "," value } [","] ] "]"
//   word     = letter or "_", then letters, digits or "_" (ASCII)
//   integer  = [ "+" | "-" ] digits            must fit in 64 bits (signed)
//   string   = '"' characters '"'              on one line; escapes \" \\ \n \r \t \u{hex}
//
// A property may be set once per object; an object name may be used once per form.
// Nesting (objects and lists together) is limited to MaxDepth levels.
namespace toolkit::form {

inline constexpr int MaxDepth = 64;
// Far above any real window, low enough that line and column numbers stay ints.
inline constexpr std::size_t MaxTextSize = 16 * 1024 * 1024;

// Parses one window description. Every error is an rtl::Exception whose message
// begins "<fileName>:<line>:<column>: " and says what was expected and what was found.
Object ParseForm(std::string_view text, std::string_view fileName);

// Writes the tree back as text that ParseForm reads into an equal tree. Positions
// are not kept; the layout is one property per line.
std::string WriteForm(const Object& root);

// Raises rtl::Exception "<fileName>:<line>:<column>: <message>", the shape of every
// message about a place in a description; the builder uses it for its own errors.
[[noreturn]] void RaiseAt(std::string_view fileName, Position position, std::string_view message);

}  // namespace toolkit::form
