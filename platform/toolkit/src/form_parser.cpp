#include "form_parser.h"

#include <algorithm>
#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

#include "form_lexer.h"
#include "rtl/sysutils.h"

namespace toolkit::form {
namespace {

std::string At(Position position) {
  return std::to_string(position.line) + ":" + std::to_string(position.column);
}

class Parser {
 public:
  Parser(std::vector<Token> tokens, std::string_view fileName)
      : tokens_(std::move(tokens)), fileName_(fileName) {}

  Object ParseRoot() {
    if (Peek().kind != TokenKind::Word) {
      Fail("expected a class name to start the form, found " + Describe(Peek()));
    }
    Object root = ParseObject(1);
    if (Peek().kind != TokenKind::EndOfFile) {
      Fail("expected end of file after object " + root.name +
           " (a form has exactly one root object), found " + Describe(Peek()));
    }
    return root;
  }

 private:
  const Token& Peek(std::size_t ahead = 0) const {
    // The lexer always ends the list with EndOfFile, and nothing moves past it.
    std::size_t at = std::min(next_ + ahead, tokens_.size() - 1);
    return tokens_[at];
  }
  Token Take() {
    if (tokens_[next_].kind == TokenKind::EndOfFile) return tokens_[next_];
    return std::move(tokens_[next_++]);
  }

  [[noreturn]] void Fail(std::string_view message) { RaiseAt(fileName_, Peek().position, message); }

  void CheckDepth(int depth) {
    if (depth > MaxDepth) {
      Fail(rtl::Format("objects and lists are nested deeper than %i levels", {MaxDepth}));
    }
  }

  // The class name has been seen; the caller made sure of it.
  Object ParseObject(int depth) {
    CheckDepth(depth);
    Object object;
    Token className = Take();
    object.className = std::move(className.text);
    object.position = className.position;

    if (Peek().kind != TokenKind::Word) {
      Fail("expected an object name after class name " + object.className + ", found " +
           Describe(Peek()));
    }
    Token name = Take();
    object.name = std::move(name.text);
    // Handlers and the builder find controls by name, so a second Button1 in the
    // same window would silently shadow the first.
    auto [first, inserted] = names_.emplace(object.name, name.position);
    if (!inserted) {
      RaiseAt(fileName_, name.position,
              "duplicate object name " + object.name + ": already used at " + At(first->second) +
                  "; names must be unique within a form");
    }

    if (Peek().kind != TokenKind::LeftBrace) {
      Fail("expected '{' to open object " + object.name + ", found " + Describe(Peek()));
    }
    Take();

    for (;;) {
      const Token& token = Peek();
      if (token.kind == TokenKind::RightBrace) {
        Take();
        return object;
      }
      if (token.kind == TokenKind::EndOfFile) {
        Fail("expected '}' to close object " + object.name + " (opened at " + At(object.position) +
             "), found end of file");
      }
      if (token.kind != TokenKind::Word) {
        Fail("expected a property, a child object or '}' in object " + object.name + ", found " +
             Describe(token));
      }
      switch (Peek(1).kind) {
        case TokenKind::Word:
          object.children.push_back(ParseObject(depth + 1));
          break;
        case TokenKind::Equals:
        case TokenKind::Dot:
          ParseProperty(object, depth);
          break;
        case TokenKind::LeftBrace: {
          std::string className = Take().text;
          Fail("expected an object name after class name " + className + ", found '{'");
        }
        default: {
          std::string name = Take().text;
          Fail("expected '=' after property name " + name + ", found " + Describe(Peek()));
        }
      }
    }
  }

  void ParseProperty(Object& object, int depth) {
    Property property;
    Token first = Take();
    property.position = first.position;
    property.name = std::move(first.text);
    while (Peek().kind == TokenKind::Dot) {
      Take();
      if (Peek().kind != TokenKind::Word) {
        Fail("expected a name after '" + property.name + ".', found " + Describe(Peek()));
      }
      property.name += '.';
      property.name += Take().text;
    }
    if (Peek().kind != TokenKind::Equals) {
      Fail("expected '=' after property name " + property.name + ", found " + Describe(Peek()));
    }
    Take();
    if (!StartsValue(Peek().kind)) {
      Fail("expected a value after '=' for property " + property.name + ", found " +
           Describe(Peek()));
    }
    if (const Property* earlier = object.Find(property.name)) {
      RaiseAt(fileName_, property.position,
              "property " + property.name + " is set twice in object " + object.name +
                  " (first at " + At(earlier->position) + ")");
    }
    property.value = ParseValue(depth);
    if (Peek().kind == TokenKind::Semicolon) Take();
    object.properties.push_back(std::move(property));
  }

  static bool StartsValue(TokenKind kind) {
    return kind == TokenKind::Word || kind == TokenKind::Integer || kind == TokenKind::String ||
           kind == TokenKind::LeftBracket;
  }

  // The caller made sure a value starts here.
  Value ParseValue(int depth) {
    Token token = Take();
    Value value;
    value.position = token.position;
    switch (token.kind) {
      case TokenKind::Integer:
        value.data = token.integer;
        break;
      case TokenKind::String:
        value.data = std::move(token.text);
        break;
      case TokenKind::Word:
        if (token.text == "true")
          value.data = true;
        else if (token.text == "false")
          value.data = false;
        else
          value.data = Identifier{std::move(token.text)};
        break;
      default:
        value.data = ParseListRest(token.position, depth + 1);
        break;
    }
    return value;
  }

  // After '['.
  List ParseListRest(Position opened, int depth) {
    CheckDepth(depth);
    List list;
    for (;;) {
      if (Peek().kind == TokenKind::RightBracket) {
        Take();
        return list;
      }
      if (!StartsValue(Peek().kind)) {
        Fail("expected a value or ']' in the list opened at " + At(opened) + ", found " +
             Describe(Peek()));
      }
      list.items.push_back(ParseValue(depth));
      if (Peek().kind == TokenKind::Comma) {
        Take();
      } else if (Peek().kind != TokenKind::RightBracket) {
        Fail("expected ',' or ']' in the list opened at " + At(opened) + ", found " +
             Describe(Peek()));
      }
    }
  }

  std::vector<Token> tokens_;
  std::size_t next_ = 0;
  std::string_view fileName_;
  std::unordered_map<std::string, Position> names_;
};

}  // namespace

Object ParseForm(std::string_view text, std::string_view fileName) {
  return Parser(Lex(text, fileName), fileName).ParseRoot();
}

}  // namespace toolkit::form
