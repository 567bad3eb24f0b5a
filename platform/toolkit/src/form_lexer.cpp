#include "form_lexer.h"

#include <cstddef>
#include <cstdio>
#include <optional>

#include "rtl/sysutils.h"
#include "rtl/utf8.h"

namespace toolkit::form {
namespace {

// Longest piece of a written integer or string that a message quotes; a fuzzer's
// megabyte of digits should not become a megabyte of message.
constexpr std::size_t QuoteLimit = 32;

bool IsWordStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool IsWordPart(char c) {
  return IsWordStart(c) || (c >= '0' && c <= '9');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
  return IsDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string CodePointName(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

// "'@'" for what prints, "U+0007" for what does not, both for the rest of Unicode.
std::string CharacterName(char32_t c) {
  if (c < 0x20 || c == 0x7F) return CodePointName(c);
  std::string quoted = "'";
  AppendUtf8(quoted, c);
  quoted += '\'';
  if (c >= 0x80) quoted += " (" + CodePointName(c) + ")";
  return quoted;
}

// Cuts at a character boundary so the quote stays valid UTF-8.
std::string Shorten(std::string_view text) {
  if (text.size() <= QuoteLimit) return std::string(text);
  std::size_t end = QuoteLimit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + "...";
}

class Lexer {
 public:
  Lexer(std::string_view text, std::string_view fileName) : text_(text), fileName_(fileName) {}

  std::vector<Token> Run() {
    if (text_.size() > MaxTextSize) {
      RaiseAt(fileName_, {1, 1},
              rtl::Format("the description is %i bytes long; at most %i are read",
                          {text_.size(), MaxTextSize}));
    }
    if (text_.starts_with("\xEF\xBB\xBF")) offset_ = 3;

    std::vector<Token> tokens;
    for (;;) {
      SkipBlanksAndComments();
      Token token;
      token.position = Here();
      if (AtEnd()) {
        tokens.push_back(std::move(token));
        return tokens;
      }
      char c = text_[offset_];
      if (IsWordStart(c)) {
        token.kind = TokenKind::Word;
        std::size_t start = offset_;
        while (!AtEnd() && IsWordPart(text_[offset_])) Advance();
        token.text = std::string(text_.substr(start, offset_ - start));
      } else if (IsDigit(c) || ((c == '-' || c == '+') && IsDigit(PeekByte(1)))) {
        LexInteger(token);
      } else if (c == '"') {
        LexString(token);
      } else {
        static constexpr std::string_view punctuation = "{}[]=,;.";
        std::size_t which = punctuation.find(c);
        if (which == std::string_view::npos) {
          RaiseAt(fileName_, token.position,
                  "unexpected character " + CharacterName(DecodeAt(offset_)));
        }
        static constexpr TokenKind kinds[] = {TokenKind::LeftBrace,   TokenKind::RightBrace,
                                              TokenKind::LeftBracket, TokenKind::RightBracket,
                                              TokenKind::Equals,      TokenKind::Comma,
                                              TokenKind::Semicolon,   TokenKind::Dot};
        token.kind = kinds[which];
        Advance();
      }
      tokens.push_back(std::move(token));
    }
  }

 private:
  bool AtEnd() const { return offset_ >= text_.size(); }
  char PeekByte(std::size_t ahead) const {
    return offset_ + ahead < text_.size() ? text_[offset_ + ahead] : '\0';
  }
  Position Here() const { return {line_, column_}; }

  // Decodes the character at `at`, or raises at the current position when the
  // bytes there are not UTF-8 or are a NUL.
  char32_t DecodeAt(std::size_t at, std::size_t* length = nullptr) {
    const std::optional<rtl::TUtf8Char> character = rtl::DecodeUtf8(text_, at);
    if (!character) {
      RaiseInvalidUtf8(at < text_.size() ? static_cast<unsigned char>(text_[at]) : 0u);
    }
    if (character->codePoint == 0) {
      RaiseAt(fileName_, Here(), "unexpected NUL byte; a description is text");
    }
    if (length) *length = character->length;
    return character->codePoint;
  }

  [[noreturn]] void RaiseInvalidUtf8(unsigned lead) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%02X", lead);
    RaiseAt(fileName_, Here(),
            std::string("invalid UTF-8: a character cannot be decoded at byte ") + buffer);
  }

  // Consumes one character and returns it; line breaks move to the next line.
  char32_t Advance() {
    std::size_t length = 1;
    char32_t c = DecodeAt(offset_, &length);
    offset_ += length;
    if (c == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
    return c;
  }

  void SkipBlanksAndComments() {
    while (!AtEnd()) {
      char c = text_[offset_];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        Advance();
      } else if (c == '/' && PeekByte(1) == '/') {
        // Comments are checked too: a bad byte there is as much a broken file as
        // anywhere else, and reporting it beats a caption that silently differs.
        while (!AtEnd() && text_[offset_] != '\n') Advance();
      } else {
        return;
      }
    }
  }

  void LexInteger(Token& token) {
    token.kind = TokenKind::Integer;
    std::size_t start = offset_;
    bool negative = text_[offset_] == '-';
    if (text_[offset_] == '-' || text_[offset_] == '+') Advance();
    // The magnitude of the most negative value is one above the largest positive.
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    std::uint64_t magnitude = 0;
    bool overflow = false;
    while (!AtEnd() && IsDigit(text_[offset_])) {
      unsigned digit = static_cast<unsigned>(text_[offset_] - '0');
      if (magnitude > (limit - digit) / 10) overflow = true;
      if (!overflow) magnitude = magnitude * 10 + digit;
      Advance();
    }
    token.text = std::string(text_.substr(start, offset_ - start));
    if (overflow) {
      RaiseAt(fileName_, token.position,
              "integer out of range: " + Shorten(token.text) + " does not fit in 64 bits");
    }
    if (!AtEnd() && (IsWordPart(text_[offset_]) || text_[offset_] == '.')) {
      RaiseAt(fileName_, Here(),
              "unexpected character " + CharacterName(DecodeAt(offset_)) + " after integer " +
                  Shorten(token.text) + "; an integer is digits only");
    }
    token.integer =
        negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  }

  void LexString(Token& token) {
    token.kind = TokenKind::String;
    Advance();  // the opening quote
    for (;;) {
      if (AtEnd()) {
        RaiseAt(fileName_, token.position,
                "unterminated string: the file ends before its closing '\"'");
      }
      char c = text_[offset_];
      if (c == '\n' || c == '\r') {
        RaiseAt(fileName_, token.position,
                "unterminated string: a string ends on the line it starts (write a line "
                "break as \\n)");
      }
      if (c == '"') {
        Advance();
        return;
      }
      if (c == '\\') {
        LexEscape(token.text);
        continue;
      }
      Position where = Here();
      char32_t character = Advance();
      if (character < 0x20 && character != '\t') {
        RaiseAt(fileName_, where,
                "control character " + CodePointName(character) +
                    " in string; write it as an escape such as \\u{" +
                    CodePointName(character).substr(2) + "}");
      }
      AppendUtf8(token.text, character);
    }
  }

  void LexEscape(std::string& out) {
    Position where = Here();
    Advance();  // the backslash
    if (AtEnd()) RaiseAt(fileName_, where, "unterminated string: the file ends in an escape");
    char c = text_[offset_];
    switch (c) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u':
        break;
      default:
        if (c == '\n' || c == '\r') {
          RaiseAt(fileName_, where, "unterminated string: an escape cannot continue a line");
        }
        RaiseAt(fileName_, where,
                "unknown escape \\" + CharacterName(DecodeAt(offset_)) +
                    " in string; known are \\\" \\\\ \\n \\r \\t \\u{hex}");
    }
    Advance();
    if (c != 'u') return;

    if (AtEnd() || text_[offset_] != '{') {
      RaiseAt(fileName_, where, "expected '{' after \\u, as in \\u{41}");
    }
    Advance();
    char32_t value = 0;
    int digits = 0;
    while (!AtEnd() && IsHexDigit(text_[offset_])) {
      char h = text_[offset_];
      unsigned digit = IsDigit(h) ? h - '0' : (h | 0x20) - 'a' + 10;
      if (++digits > 6) RaiseAt(fileName_, where, "escape \\u{...} has more than 6 hex digits");
      value = value * 16 + digit;
      Advance();
    }
    if (digits == 0) RaiseAt(fileName_, where, "expected hex digits in \\u{...}");
    if (AtEnd() || text_[offset_] != '}') {
      RaiseAt(fileName_, where, "expected '}' to close the escape \\u{...}");
    }
    Advance();
    if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      RaiseAt(fileName_, where,
              "escape \\u{...} names " + CodePointName(value) +
                  ", which is not a character a string may hold");
    }
    AppendUtf8(out, value);
  }

  std::string_view text_;
  std::string_view fileName_;
  std::size_t offset_ = 0;
  int line_ = 1;
  int column_ = 1;
};

}  // namespace

std::vector<Token> Lex(std::string_view text, std::string_view fileName) {
  return Lexer(text, fileName).Run();
}

std::string Describe(const Token& token) {
  switch (token.kind) {
    case TokenKind::Word:
      return "identifier " + Shorten(token.text);
    case TokenKind::Integer:
      return "integer " + Shorten(token.text);
    case TokenKind::String: {
      // Quoted as it would be written, so a line break in it cannot split the message.
      std::string quoted = "string \"";
      for (char c : Shorten(token.text)) {
        if (c == '\n')
          quoted += "\\n";
        else if (c == '\r')
          quoted += "\\r";
        else if (c == '\t')
          quoted += "\\t";
        else if (c == '"' || c == '\\')
          (quoted += '\\') += c;
        else
          quoted += c;
      }
      return quoted + "\"";
    }
    case TokenKind::LeftBrace:
      return "'{'";
    case TokenKind::RightBrace:
      return "'}'";
    case TokenKind::LeftBracket:
      return "'['";
    case TokenKind::RightBracket:
      return "']'";
    case TokenKind::Equals:
      return "'='";
    case TokenKind::Comma:
      return "','";
    case TokenKind::Semicolon:
      return "';'";
    case TokenKind::Dot:
      return "'.'";
    case TokenKind::EndOfFile:
      return "end of file";
  }
  return "a token";
}

}  // namespace toolkit::form
