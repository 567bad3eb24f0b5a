#pragma once

// Temporary folders, the pkginfo tool run as a user runs it, and its JSON lines
// read back.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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

// The one JSON value in this text, read strictly (RFC 8259: no raw control
// characters, no invalid UTF-8, nothing after the value). What the reader refused
// raises with its message and the text.
nlohmann::json ParseJson(const std::string& text);

}  // namespace pktest
