#include "host_spawn.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace trial::detail {

namespace {

struct CloneArguments {
  const char* path;
  int socket;
  int errors;  // written to only when a step fails; closed by exec when none does
  const char* uidMap;
  const char* gidMap;
};

// The first process of the new namespaces, before it becomes the host. It is a copy
// of a process that may run other threads, so it makes system calls only; a step
// that fails writes its name and errno and ends it.
[[noreturn]] void Fail(int errors, const char* step) {
  char text[128];
  std::size_t length = 0;
  for (const char* c = step; *c != '\0' && length < 100; ++c) text[length++] = *c;
  text[length++] = ':';
  char digits[12];
  std::size_t count = 0;
  for (int value = errno; value > 0 && count < sizeof digits; value /= 10) {
    digits[count++] = static_cast<char>('0' + value % 10);
  }
  while (count > 0) text[length++] = digits[--count];
  [[maybe_unused]] const ssize_t written = write(errors, text, length);
  _exit(127);
}

bool WriteFile(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::size_t length = std::strlen(text);
  const bool whole = write(fd, text, length) == static_cast<ssize_t>(length);
  close(fd);
  return whole;
}

int BecomeHost(void* data) {
  const auto* args = static_cast<const CloneArguments*>(data);
  // Kernels before 3.19 have no setgroups file and need no "deny" for gid_map.
  if (!WriteFile("/proc/self/setgroups", "deny") && errno != ENOENT) {
    Fail(args->errors, "setgroups");
  }
  if (!WriteFile("/proc/self/uid_map", args->uidMap)) Fail(args->errors, "uid_map");
  if (!WriteFile("/proc/self/gid_map", args->gidMap)) Fail(args->errors, "gid_map");
  // Mounts made here stay here; /proc then shows the new process namespace, so the
  // process ids the host and its children read there are the ones they can signal.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    Fail(args->errors, "private mounts");
  }
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    Fail(args->errors, "mount /proc");
  }
  if (dup2(args->socket, 0) < 0) Fail(args->errors, "dup2");
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  char* argv[] = {const_cast<char*>(args->path), nullptr};
  execve(args->path, argv, environ);
  Fail(args->errors, "exec");
}

// "uid_map:1" -> "uid_map: Operation not permitted".
std::string StepError(const std::string& said) {
  const std::size_t colon = said.rfind(':');
  if (colon == std::string::npos) return said;
  return said.substr(0, colon) + ": " + std::strerror(std::atoi(said.c_str() + colon + 1));
}

// The isolated start; -1 with `why` when the kernel did not allow it.
pid_t SpawnIsolated(const std::string& path, int socket, std::string& why) {
  int errors[2];
  if (pipe2(errors, O_CLOEXEC) != 0) {
    why = std::string("cannot make a pipe: ") + std::strerror(errno);
    return -1;
  }
  const std::string uidMap = std::to_string(geteuid()) + " " + std::to_string(geteuid()) + " 1\n";
  const std::string gidMap = std::to_string(getegid()) + " " + std::to_string(getegid()) + " 1\n";
  CloneArguments args{path.c_str(), socket, errors[1], uidMap.c_str(), gidMap.c_str()};
  // A copy of this process, not a thread of it: the stack is its own copy too.
  static char stack[64 * 1024];
  const pid_t pid = clone(&BecomeHost, stack + sizeof stack,
                          CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS | SIGCHLD, &args);
  const int cloneError = errno;
  close(errors[1]);
  if (pid < 0) {
    close(errors[0]);
    why =
        std::string("the kernel gives no new namespaces here (") + std::strerror(cloneError) + ")";
    return -1;
  }
  char said[160];
  ssize_t got;
  while ((got = read(errors[0], said, sizeof said - 1)) < 0 && errno == EINTR) {
  }
  close(errors[0]);
  if (got <= 0) return pid;  // exec closed the pipe: the host runs
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  why = "setting up its namespaces failed at " + StepError(std::string(said, got));
  return -1;
}

}  // namespace

pid_t SpawnHost(const std::string& path, int socket, bool isolate, std::string& isolation,
                std::string& error) {
  std::string why = "turned off (WB_TRIAL_ISOLATE)";
  if (isolate) {
    const pid_t pid = SpawnIsolated(path, socket, why);
    if (pid > 0) {
      isolation =
          "trial children run in process and user namespaces of their own: they cannot see or "
          "signal the workbench, pkginfo or the trial host";
      return pid;
    }
  }
  isolation = "none: trial children could signal the workbench (" + why + ")";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, socket, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    error = "cannot start the trial host " + path + ": " + std::strerror(spawned);
    return -1;
  }
  return pid;
}

}  // namespace trial::detail
