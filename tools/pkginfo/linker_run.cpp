#include "linker_run.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "rtl/sysutils.h"
#include "trial/protocol.h"
#include "trial/read_until.h"

extern char** environ;

namespace pkginfo {

namespace {

#if defined(__x86_64__)
constexpr const char* kDefaultInterpreter = "/lib64/ld-linux-x86-64.so.2";
#elif defined(__aarch64__)
constexpr const char* kDefaultInterpreter = "/lib/ld-linux-aarch64.so.1";
#endif

// More output than any closure of libraries gives is a linker gone wrong.
constexpr std::size_t kMaxOutput = 16u << 20;

struct ChildOutput {
  std::string text;
  int status = 0;
  bool timedOut = false;
  bool tooLong = false;
  std::string failure;  // it could not be run, or not watched to its end
};

ChildOutput Collect(pid_t pid, int fd, int timeoutMilliseconds) {
  ChildOutput child;
  const trial::Deadline deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  try {
    const trial::ReadEnd end = trial::ReadUntil(fd, child.text, deadline, kMaxOutput);
    child.timedOut = end == trial::ReadEnd::TimedOut;
    child.tooLong = end == trial::ReadEnd::Full;
  } catch (const std::system_error& e) {
    child.failure = std::string("cannot wait for the dynamic linker: ") + e.what();
  }
  if (child.timedOut || child.tooLong || !child.failure.empty()) ::kill(pid, SIGKILL);
  while (::waitpid(pid, &child.status, 0) < 0 && errno == EINTR) {
  }
  return child;
}

// Of the linker's own variables only LD_LIBRARY_PATH comes from this process, as
// it would reach the workbench started from here; the ones that make it trace are
// set here, and the rest left out (a caller's preload or audit library is no part
// of the workbench, a caller's LD_DEBUG would garble what is read). Other
// variables, GLIBC_TUNABLES among them, pass unchanged.
std::vector<std::string> LinkerEnvironment(const std::string& preload) {
  std::vector<std::string> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view variable = *e;
    if (variable.starts_with("LD_") && !variable.starts_with("LD_LIBRARY_PATH=")) continue;
    environment.emplace_back(variable);
  }
  for (const char* setting :
       {"LD_TRACE_LOADED_OBJECTS=1", "LD_BIND_NOW=1", "LD_WARN=yes", "LD_DEBUG=libs,files"}) {
    environment.emplace_back(setting);
  }
  environment.push_back("LD_PRELOAD=" + preload);
  return environment;
}

// The objects to preload, as LD_PRELOAD names them. It splits at blanks and colons:
// a path holding one is named through its folder, held open for the child while
// this lives. $ORIGIN of the object is then that alias, which names the same
// folder.
class Preload {
 public:
  explicit Preload(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
      const std::string name = Name(path);
      if (!error_.empty()) return;
      list_ += (list_.empty() ? "" : " ") + name;
    }
  }
  ~Preload() {
    for (const Folder& f : folders_) ::close(f.fd);
  }
  Preload(const Preload&) = delete;
  Preload& operator=(const Preload&) = delete;

  const std::string& List() const { return list_; }
  const std::string& Error() const { return error_; }  // empty when every path could be named

  // 0, or the error of the first that could not be arranged.
  int HandTo(posix_spawn_file_actions_t& actions) const {
    for (const Folder& f : folders_) {
      if (const int error = posix_spawn_file_actions_adddup2(&actions, f.fd, f.childFd)) {
        return error;
      }
    }
    return 0;
  }
  // The linker's words about the aliases, put back in terms of the folders.
  void Restore(std::string& text) const {
    for (const Folder& f : folders_) {
      const std::string alias = f.alias + "/";
      for (std::size_t at = 0; (at = text.find(alias, at)) != std::string::npos;) {
        text.replace(at, alias.size(), f.path + "/");
        at += f.path.size() + 1;
      }
    }
  }

 private:
  // A folder held open for the child, where the child finds it as /proc/self/fd/N.
  struct Folder {
    std::string path;
    std::string alias;  // "/proc/self/fd/N"
    int fd = -1;
    int childFd = -1;
  };

  std::string Name(const std::string& path) {
    if (path.find_first_of(" \t:") == std::string::npos) return path;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    const std::string file = path.substr(slash + 1);
    if (slash == std::string::npos || file.find_first_of(" \t:") != std::string::npos) {
      error_ = path + ": cannot be handed to the dynamic linker: its name holds a blank or a colon";
      return {};
    }
    const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      error_ = folder + ": cannot open: " + std::strerror(errno);
      return {};
    }
    // Above every descriptor the child is given, so no dup2 overwrites another.
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 100);
    ::close(fd);
    if (high < 0) {
      error_ = folder + ": cannot hold open: " + std::strerror(errno);
      return {};
    }
    const int childFd = 3 + static_cast<int>(folders_.size());
    const std::string alias = "/proc/self/fd/" + std::to_string(childFd);
    folders_.push_back(Folder{folder, alias, high, childFd});
    return alias + "/" + file;
  }

  std::vector<Folder> folders_;
  std::string list_;
  std::string error_;
};

// Runs the linker in trace mode on the program with the objects preloaded and
// collects what it says, or why it could not be run.
ChildOutput Trace(const LinkerRun& run, const Preload& preload) {
  ChildOutput child;
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) {
    child.failure = std::string("cannot make a pipe: ") + std::strerror(errno);
    return child;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // A child left writing to pkginfo's own output would spoil it, JSON above all.
  int arranged = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (arranged == 0) arranged = posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
  if (arranged == 0) arranged = posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);
  if (arranged == 0) arranged = preload.HandTo(actions);
  if (arranged != 0) {
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[0]);
    ::close(pipe[1]);
    child.failure =
        std::string("cannot arrange the dynamic linker's run: ") + std::strerror(arranged);
    return child;
  }
  std::vector<std::string> environment = LinkerEnvironment(preload.List());
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string interpreter = run.interpreter, program = run.program;
  char* argv[] = {interpreter.data(), program.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, interpreter.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  if (spawned != 0) {
    ::close(pipe[0]);
    child.failure = "cannot run the dynamic linker " + interpreter + ": " + std::strerror(spawned);
    return child;
  }
  child = Collect(pid, pipe[0], run.timeoutMilliseconds);
  ::close(pipe[0]);
  preload.Restore(child.text);
  return child;
}

// How the linker ended when it did not finish of its own accord, or exited with a
// status nothing it said accounts for; empty otherwise.
std::string HowItEnded(const ChildOutput& child, const LinkerVerdict& verdict, int timeout) {
  // Where it stopped, for a message about a linker that did not finish.
  const std::string at = verdict.libraries.empty()
                             ? std::string()
                             : " while loading " + (verdict.libraries.back().path.empty()
                                                        ? verdict.libraries.back().name
                                                        : verdict.libraries.back().path);
  if (child.timedOut) {
    return rtl::Format("the dynamic linker did not finish within %d ms%s", {timeout, at});
  }
  if (child.tooLong) {
    return "the dynamic linker printed more than " + std::to_string(kMaxOutput) + " bytes";
  }
  // What a workbench loading the file would die of, too.
  if (WIFSIGNALED(child.status)) {
    return "the dynamic linker died of " + trial::SignalText(WTERMSIG(child.status)) + at;
  }
  if (WEXITSTATUS(child.status) != 0 && verdict.errors.empty() &&
      std::none_of(verdict.libraries.begin(), verdict.libraries.end(),
                   [](const rtl::TResolution& r) { return !r.problem.empty(); })) {
    return rtl::Format("the dynamic linker exited with status %d", {WEXITSTATUS(child.status)});
  }
  return {};
}

}  // namespace

LinkerVerdict RunLinker(const LinkerRun& run) {
  LinkerVerdict failed;
  const Preload preload(run.preload);
  if (!preload.Error().empty()) {
    failed.errors.push_back(preload.Error());
    return failed;
  }
  const ChildOutput child = Trace(run, preload);
  if (!child.failure.empty()) {
    failed.errors.push_back(child.failure);
    return failed;
  }
  LinkerVerdict verdict = ParseLinkerOutput(child.text, run.program);
  const std::string ended = HowItEnded(child, verdict, run.timeoutMilliseconds);
  if (ended.empty()) return verdict;
  if (!verdict.libraries.empty() && verdict.libraries.back().problem.empty() && !child.tooLong) {
    verdict.libraries.back().problem = ended;
  } else {
    verdict.errors.push_back(ended);
  }
  return verdict;
}

std::string SystemInterpreter() {
  std::string interpreter;
  // The first object is the program itself; its PT_INTERP names the linker that
  // started this process.
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          if (info->dlpi_phdr[i].p_type == PT_INTERP) {
            *static_cast<std::string*>(out) =
                reinterpret_cast<const char*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
          }
        }
        return 1;
      },
      &interpreter);
  if (interpreter.empty() || ::access(interpreter.c_str(), X_OK) != 0) {
    interpreter = kDefaultInterpreter;
  }
  return interpreter;
}

}  // namespace pkginfo
