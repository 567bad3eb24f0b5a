#include "pkginfo_test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace pktest {

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void CopyFile(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pkginfo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ToolRun RunPkginfo(const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnvironment) {
  TempDir dir;
  const std::string outFile = dir.File("out"), errFile = dir.File("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<char*> argv{const_cast<char*>(PKGINFO_TOOL)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment(extraEnvironment);
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, PKGINFO_TOOL, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ToolRun run;
  if (spawned != 0) throw std::runtime_error(std::string("cannot start ") + PKGINFO_TOOL);
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  const Bytes out = ReadBytes(outFile), err = ReadBytes(errFile);
  run.out.assign(out.begin(), out.end());
  run.err.assign(err.begin(), err.end());
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool Json::Has(const std::string& key) const {
  for (const auto& [name, value] : object) {
    if (name == key) return true;
  }
  return false;
}

const Json& Json::operator[](const std::string& key) const {
  for (const auto& [name, value] : object) {
    if (name == key) return value;
  }
  throw std::runtime_error("no member \"" + key + "\"");
}

std::vector<std::string> Json::Strings() const {
  std::vector<std::string> out;
  for (const Json& item : array) {
    if (item.kind != Kind::String) throw std::runtime_error("array holds a non-string");
    out.push_back(item.string);
  }
  return out;
}

namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  Json Document() {
    Json value = Value();
    Blanks();
    if (pos_ != text_.size()) Fail("text after the value");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error(what + " at byte " + std::to_string(pos_));
  }
  void Blanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool Take(char c) {
    Blanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  void Expect(char c) {
    if (!Take(c)) Fail(std::string("expected '") + c + "'");
  }
  void Word(const char* word) {
    const std::string w(word);
    if (text_.compare(pos_, w.size(), w) != 0) Fail("expected " + w);
    pos_ += w.size();
  }

  Json Value() {
    Blanks();
    if (pos_ >= text_.size()) Fail("expected a value");
    Json v;
    const char c = text_[pos_];
    if (c == '{') {
      ++pos_;
      v.kind = Json::Kind::Object;
      if (Take('}')) return v;
      do {
        Blanks();
        if (pos_ >= text_.size() || text_[pos_] != '"') Fail("expected a key");
        std::string key = String();
        Expect(':');
        v.object.emplace_back(std::move(key), Value());
      } while (Take(','));
      Expect('}');
    } else if (c == '[') {
      ++pos_;
      v.kind = Json::Kind::Array;
      if (Take(']')) return v;
      do v.array.push_back(Value());
      while (Take(','));
      Expect(']');
    } else if (c == '"') {
      v.kind = Json::Kind::String;
      v.string = String();
    } else if (c == 't' || c == 'f') {
      v.kind = Json::Kind::Bool;
      v.boolean = c == 't';
      Word(c == 't' ? "true" : "false");
    } else if (c == 'n') {
      Word("null");
    } else {
      v.kind = Json::Kind::Number;
      const std::size_t start = pos_;
      if (text_[pos_] == '-') ++pos_;
      while (pos_ < text_.size() &&
             (std::isdigit(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.' ||
              text_[pos_] == 'e' || text_[pos_] == 'E' || text_[pos_] == '+')) {
        ++pos_;
      }
      if (pos_ == start || !std::isdigit(static_cast<unsigned char>(text_[pos_ - 1]))) {
        Fail("expected a value");
      }
      v.number = std::strtod(text_.substr(start, pos_ - start).c_str(), nullptr);
    }
    return v;
  }

  unsigned Hex4() {
    if (text_.size() - pos_ < 4) Fail("short \\u escape");
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = text_[pos_++];
      value <<= 4;
      if (h >= '0' && h <= '9')
        value |= static_cast<unsigned>(h - '0');
      else if (h >= 'a' && h <= 'f')
        value |= static_cast<unsigned>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F')
        value |= static_cast<unsigned>(h - 'A' + 10);
      else
        Fail("bad hex digit in \\u escape");
    }
    return value;
  }

  static void Append(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  // Checks one UTF-8 sequence by its definition in RFC 3629 and copies it.
  void Utf8(std::string& out) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text_[pos_ + k]); };
    const unsigned char lead = b(0);
    std::size_t n = 0;
    unsigned code = 0, min = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
      n = 2, code = lead & 0x1F, min = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF)
      n = 3, code = lead & 0x0F, min = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4)
      n = 4, code = lead & 0x07, min = 0x10000;
    else
      Fail("invalid UTF-8 lead byte");
    if (text_.size() - pos_ < n) Fail("truncated UTF-8 sequence");
    for (std::size_t k = 1; k < n; ++k) {
      if ((b(k) & 0xC0) != 0x80) Fail("invalid UTF-8 continuation byte");
      code = (code << 6) | (b(k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      Fail("invalid UTF-8 code point");
    }
    out.append(text_, pos_, n);
    pos_ += n;
  }

  std::string String() {
    ++pos_;  // the opening quote
    std::string out;
    while (true) {
      if (pos_ >= text_.size()) Fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) Fail("raw control character in a string");
      if (c >= 0x80) {
        Utf8(out);
        continue;
      }
      ++pos_;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (pos_ >= text_.size()) Fail("unterminated escape");
      const char e = text_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
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
        case 'u': {
          unsigned code = Hex4();
          if (code >= 0xD800 && code <= 0xDBFF) {
            if (text_.compare(pos_, 2, "\\u") != 0) Fail("lone high surrogate");
            pos_ += 2;
            const unsigned low = Hex4();
            if (low < 0xDC00 || low > 0xDFFF) Fail("bad low surrogate");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            Fail("lone low surrogate");
          }
          Append(out, code);
          break;
        }
        default:
          Fail(std::string("bad escape \\") + e);
      }
    }
  }

  const std::string& text_;
  std::size_t pos_ = 0;
};

}  // namespace

Json ParseJson(const std::string& text) {
  return Parser(text).Document();
}

}  // namespace pktest
