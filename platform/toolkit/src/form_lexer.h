#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "form_error.h"

namespace toolkit::form {

// Far above any real window, low enough that line and column numbers stay ints.
inline constexpr std::size_t MaxTextSize = 16 * 1024 * 1024;

enum class TokenKind {
  Word,
  Integer,
  String,
  LeftBrace,
  RightBrace,
  LeftBracket,
  RightBracket,
  Equals,
  Comma,
  Semicolon,
  Dot,
  EndOfFile,
};

struct Token {
  TokenKind kind = TokenKind::EndOfFile;
  // Word: the word. String: the text with its escapes resolved. Integer: as written.
  std::string text;
  std::int64_t integer = 0;
  Position position;
};

// Splits a description into tokens, dropping spaces, line breaks and comments. The
// last token is always EndOfFile. The whole text must be valid UTF-8 without NUL
// bytes (a leading byte-order mark is skipped); a bad byte, an unknown character,
// an unterminated or badly escaped string and an integer that does not fit in 64
// bits are errors in the form "<fileName>:<line>:<column>: ...".
std::vector<Token> Lex(std::string_view text, std::string_view fileName);

// How a token is named in "found ..." messages: "'{'", "identifier Form1",
// "integer 12", "string \"OK\"", "end of file".
std::string Describe(const Token& token);

}  // namespace toolkit::form
