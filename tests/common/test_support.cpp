#include "test_support.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#include "rtl/sysutils.h"

extern char** environ;

namespace testsupport {

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw rtl::Exception("test: cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw rtl::Exception("test: cannot write " + path);
}

void CopyFile(const std::string& from, const std::string& to) {
  std::error_code error;
  std::filesystem::remove(to, error);
  if (error) throw rtl::Exception("test: cannot remove " + to + ": " + error.message());
  std::filesystem::copy_file(from, to, error);
  if (error)
    throw rtl::Exception("test: cannot copy " + from + " to " + to + ": " + error.message());
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "wbtest-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw rtl::Exception("test: cannot make a directory like " + pattern + ": " +
                         std::strerror(errno));
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name) const {
  return path_ + "/" + name;
}

std::string TempDir::CopyIn(const std::string& from, const std::string& name) const {
  const std::string to = File(name);
  CopyFile(from, to);
  return to;
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const {
  const std::string to = File(name);
  WriteBytes(to, Bytes(bytes.begin(), bytes.end()));
  return to;
}

std::string RealPath(const std::string& path) {
  return std::filesystem::canonical(path).string();
}

std::string ExecutablePath() {
  return RealPath("/proc/self/exe");
}

std::string PackageFile(const std::string& name) {
  const std::string file = "/lib" + name + ".so";
  // The demo packages are built apart from the test packages; a test names both alike.
  const std::string demo = WB_DEMO_PACKAGE_DIR + file;
  return std::filesystem::exists(demo) ? demo : WB_PACKAGE_DIR + file;
}

int FaultLine() {
  std::ifstream source(WB_FAULTY_SOURCE);
  int number = 1;
  for (std::string line; std::getline(source, line); ++number) {
    if (line.find("*nowhere = 1;") != std::string::npos) return number;
  }
  return 0;
}

TraceFile::TraceFile() {
  std::string pattern = (std::filesystem::temp_directory_path() / "wbtest-trace-XXXXXX").string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0)
    throw rtl::Exception("test: cannot make a file like " + pattern + ": " + std::strerror(errno));
  ::close(fd);
  path_ = pattern;
  ::setenv("RTL_TEST_TRACE", path_.c_str(), 1);
  ::setenv("RTL_TEST_TRACE_PID", std::to_string(::getpid()).c_str(), 1);
}

TraceFile::~TraceFile() {
  ::unsetenv("RTL_TEST_TRACE");
  ::unsetenv("RTL_TEST_TRACE_PID");
  ::unlink(path_.c_str());
}

std::vector<std::string> TraceFile::Lines() const {
  const Bytes bytes = ReadBytes(path_);
  return Split(std::string(bytes.begin(), bytes.end()), '\n');
}

void TraceFile::Clear() const {
  std::ofstream(path_, std::ios::trunc);
}

ScopedPackage::ScopedPackage(const std::string& fileName) : module_(rtl::LoadPackage(fileName)) {}

ScopedPackage::~ScopedPackage() {
  try {
    Unload();
  } catch (...) {
    // The test that owns it has already failed on whatever went wrong here.
  }
}

void ScopedPackage::Unload() {
  // Cleared first: an unload that raises is not tried again from the destructor.
  if (module_ != 0) rtl::UnloadPackage(std::exchange(module_, 0));
}

std::vector<rtl::HMODULE> ModuleList() {
  std::vector<rtl::HMODULE> modules;
  for (rtl::TLibModule* m = rtl::LibModuleList(); m != nullptr; m = m->Next) {
    modules.push_back(m->Instance);
  }
  return modules;
}

int CountInModuleList(rtl::HMODULE module) {
  const std::vector<rtl::HMODULE> modules = ModuleList();
  return static_cast<int>(std::count(modules.begin(), modules.end(), module));
}

std::string ModulePath(rtl::HMODULE module) {
  char buffer[PATH_MAX];
  return std::string(buffer, rtl::GetModuleFileNameA(module, buffer, sizeof buffer));
}

rtl::HMODULE RegisteredModuleNamed(const std::string& name) {
  for (rtl::HMODULE m : ModuleList()) {
    if (ModulePath(m).ends_with("/lib" + name + ".so")) return m;
  }
  return 0;
}

std::vector<RunningProcess> ProcessesNamed(const std::string& name) {
  std::vector<RunningProcess> running;
  std::error_code ignored;  // a process may go while it is read
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const std::size_t open = line.find(" ("), close = line.rfind(") ");
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    char state = 0;
    int parent = 0;
    if (line.compare(open + 2, close - open - 2, name) == 0 &&
        std::sscanf(line.c_str() + close + 2, "%c %d", &state, &parent) == 2 && state != 'Z') {
      running.push_back({std::atoi(line.c_str()), parent});
    }
  }
  return running;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int RunningProcessesNamed(const std::string& name, std::chrono::milliseconds patience) {
  std::size_t running = 0;
  WaitUntil([&] { return (running = ProcessesNamed(name).size()) == 0; }, patience);
  return static_cast<int>(running);
}

StartedTool::StartedTool(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnvironment,
                         const std::string& workingDirectory, int input)
    : program_(program) {
  const std::string outFile = dir_.File("out"), errFile = dir_.File("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0) {
    posix_spawn_file_actions_adddup2(&actions, input, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  if (!workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  }
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // Added variables go first: the first of two equal names is the one a program sees.
  std::vector<std::string> environment(extraEnvironment);
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw rtl::Exception("test: cannot start " + program + ": " + std::strerror(spawned));
  }
  pid_ = pid;
}

StartedTool::~StartedTool() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

std::string StartedTool::ErrSoFar() const {
  const Bytes err = ReadBytes(dir_.File("err"));
  return std::string(err.begin(), err.end());
}

ToolRun StartedTool::Wait() {
  int wstatus = 0;
  if (::waitpid(pid_, &wstatus, 0) != pid_) {
    throw rtl::Exception("test: lost track of " + program_ + ": " + std::strerror(errno));
  }
  pid_ = 0;
  ToolRun run;
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) run.signal = WTERMSIG(wstatus);
  const Bytes out = ReadBytes(dir_.File("out"));
  run.out.assign(out.begin(), out.end());
  run.err = ErrSoFar();
  return run;
}

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& extraEnvironment,
                const std::string& workingDirectory) {
  return StartedTool(program, args, extraEnvironment, workingDirectory).Wait();
}

}  // namespace testsupport
