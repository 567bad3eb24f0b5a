#pragma once

// Helpers every test area needs: files and temporary folders, the test packages
// and the trace file they write, and tools run as a separate process. What goes
// wrong here raises rtl::Exception naming the file or tool, so a broken fixture
// shows up as a failed test with a reason, never as a check on empty data.
// GoogleTest's matchers come with it: testing::HasSubstr and the like.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/package.h"
#include "rtl/sysutils.h"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);
// Puts a copy of the file at `to` as a new file: whatever was there is removed
// first, so a copy that is loaded (mapped) is never written over in place.
void CopyFile(const std::string& from, const std::string& to);

// A value of type T at that offset of a byte image, and back; the caller keeps
// the offset inside the image.
template <typename T>
T Get(const Bytes& bytes, std::uint64_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

template <typename T>
void Put(Bytes& bytes, std::uint64_t offset, const T& value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// The message of the rtl::Exception that f raises; fails the test when it raises
// none.
template <typename F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const rtl::Exception& e) {
    return e.Message();
  }
  ADD_FAILURE() << "expected an rtl::Exception, none was raised";
  return {};
}

// The pieces of a text between separators; one at the very end starts no piece.
inline std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find(separator, start), text.size());
    pieces.emplace_back(text.substr(start, end - start));
  }
  return pieces;
}

// A fresh directory under the system's temporary folder, removed with everything
// in it when this goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const noexcept { return path_; }
  // The path of that name inside the directory; nothing is made.
  std::string File(const std::string& name) const;
  // Copies a file in under that name (as CopyFile does); returns the new path.
  std::string CopyIn(const std::string& from, const std::string& name) const;
  // Writes these bytes to a file of that name; returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

// The canonical absolute path of an existing file (std::filesystem's error if none).
std::string RealPath(const std::string& path);
std::string ExecutablePath();

// The file of a demo or test package as built: lib<name>.so in the demo packages' folder
// when it is there, else in the test packages' (where a missing one is looked for).
std::string PackageFile(const std::string& name);
// The line of the faulty test packages' source where their code writes through a
// null pointer, as their debug information gives it.
int FaultLine();

// The test packages write what their units do to the file named by RTL_TEST_TRACE;
// this points it at a fresh file for as long as it lives, for what runs in this
// process only (not in a trial of the same code).
class TraceFile {
 public:
  TraceFile();
  ~TraceFile();
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  std::vector<std::string> Lines() const;
  void Clear() const;

 private:
  std::string path_;
};

// A package loaded for the length of a scope, so that a failed check does not
// leave it loaded for the tests after; Unload() lets it go earlier.
class ScopedPackage {
 public:
  explicit ScopedPackage(const std::string& fileName);
  ~ScopedPackage();
  ScopedPackage(const ScopedPackage&) = delete;
  ScopedPackage& operator=(const ScopedPackage&) = delete;

  rtl::HMODULE Module() const noexcept { return module_; }
  void Unload();

 private:
  rtl::HMODULE module_;
};

// The instance handles in the module list, from its head; how many records hold
// this one.
std::vector<rtl::HMODULE> ModuleList();
int CountInModuleList(rtl::HMODULE module);
// A module's file, as GetModuleFileNameA gives it.
std::string ModulePath(rtl::HMODULE module);
// The listed module whose file is lib<name>.so, 0 when none: a package loaded later
// may be mapped where an unloaded one was, so a handle alone does not tell them apart.
rtl::HMODULE RegisteredModuleNamed(const std::string& name);

// The processes of that name (as /proc/<pid>/stat gives it) that are running, zombies
// not counted, with their parents.
struct RunningProcess {
  int pid = 0;
  int parent = 0;
};
std::vector<RunningProcess> ProcessesNamed(const std::string& name);
// How many there are; given patience, waits up to that long for none, as one just
// killed takes a moment to go.
int RunningProcessesNamed(const std::string& name, std::chrono::milliseconds patience = {});
// Asks until done says yes, at most that long; false when it never did.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds patience = std::chrono::seconds(30));

struct ToolRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  int signal = 0;   // the signal that ended it; 0 when none did
  std::string out;
  std::string err;
};

// A program started as RunTool starts it, and not waited for yet; its standard input
// is `input` when one is given. Killed and waited for at the end of the scope if still
// running.
class StartedTool {
 public:
  StartedTool(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& extraEnvironment = {},
              const std::string& workingDirectory = {}, int input = -1);
  ~StartedTool();
  StartedTool(const StartedTool&) = delete;
  StartedTool& operator=(const StartedTool&) = delete;

  int Pid() const noexcept { return pid_; }
  // What it has printed on stderr so far.
  std::string ErrSoFar() const;
  ToolRun Wait();

 private:
  TempDir dir_;
  std::string program_;
  int pid_ = 0;
};

// Runs a program with these arguments and these variables added to the
// environment, stdin empty, in that working folder (empty: this one), and keeps
// what it printed.
ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& extraEnvironment = {},
                const std::string& workingDirectory = {});

}  // namespace testsupport
