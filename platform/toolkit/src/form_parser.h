#pragma once

#include <string>
#include <string_view>

#include "form_ast.h"
#include "form_error.h"

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

// Parses one window description. Every error is a PlacedError that says what was
// expected and what was found.
Object ParseForm(std::string_view text, std::string_view fileName);

}  // namespace toolkit::form
