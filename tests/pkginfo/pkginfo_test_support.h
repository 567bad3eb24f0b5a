#pragma once

// Temporary folders, the pkginfo tool run as a user runs it, and a strict JSON
// reader to take its output apart. The reader is written here on purpose: it
// shares nothing with the writer under test.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pktest {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);
void CopyFile(const std::string& from, const std::string& to);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  std::string Path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

struct ToolRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs pkginfo with these arguments, and these variables added to the environment.
ToolRun RunPkginfo(const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnvironment = {});

std::vector<std::string> Lines(const std::string& text);

// A parsed JSON value. Strings hold UTF-8.
struct Json {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<Json> array;
  std::vector<std::pair<std::string, Json>> object;

  bool Has(const std::string& key) const;
  // The member of that name; throws std::runtime_error when there is none.
  const Json& operator[](const std::string& key) const;
  std::vector<std::string> Strings() const;  // an array of strings
};

// Parses exactly one JSON value with nothing but blanks around it. Throws
// std::runtime_error saying what was wrong at which byte, for anything RFC 8259
// refuses: raw control characters in strings, bad escapes, invalid UTF-8, ...
Json ParseJson(const std::string& text);

}  // namespace pktest
