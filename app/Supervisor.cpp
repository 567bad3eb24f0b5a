#include "Supervisor.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "rtl/package_file.h"
#include "rtl/sysutils.h"
#include "trial/crash.h"
#include "trial/protocol.h"
#include "trial/read_until.h"
#include "trial/wire.h"

namespace {

using Clock = std::chrono::steady_clock;

// How a restarted workbench finds its channel to the supervisor and what it resumes.
constexpr const char* kChannelVariable = "WB_SUPERVISOR_FD";
constexpr const char* kResumeVariable = "WB_RESUME_FD";
// A workbench that dies again this soon after a restart is not restarted: the fault
// is likely to come back, and a loop of restarts would hide it.
constexpr std::chrono::seconds kSettled{10};
constexpr std::size_t kMaxFrame = 4u << 20;

// Taken from the environment, which is then rid of it: what the workbench starts
// (the trial host, a package's process) has no business with it.
int DescriptorFrom(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr) return -1;
  char* end = nullptr;
  const long fd = std::strtol(value, &end, 10);
  const bool valid = end != value && *end == '\0' && fd >= 0 && fd < 65536 &&
                     fcntl(static_cast<int>(fd), F_GETFD) != -1;
  unsetenv(variable);
  if (!valid) return -1;
  fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return static_cast<int>(fd);
}

// All the supervisor wrote, or nothing when that is more than a frame could hold.
std::string ReadAll(int fd, std::size_t limit) {
  std::string bytes;
  try {
    if (trial::ReadUntil(fd, bytes, trial::kNoDeadline, limit) == trial::ReadEnd::Ended) {
      return bytes;
    }
  } catch (const std::system_error&) {
    // Nothing to read from: the run starts as a new one.
  }
  return {};
}

// --- in the workbench's process ---------------------------------------------

RunContext Supervised(int channel, int resume) {
  trial::InstallCrashHandler(channel, trial::Kind::Crashed, 0);
  RunContext context;
  if (resume >= 0) {
    const std::string bytes = ReadAll(resume, kMaxFrame);
    close(resume);
    try {
      trial::wire::Reader in(bytes);
      Resumed resumed;
      resumed.session = in.Text();
      resumed.report = in.Text();
      in.End();
      context.resumed = std::move(resumed);
    } catch (const trial::wire::DecodeError&) {
      // Not what the supervisor wrote: the run starts as a new one.
    }
  }
  context.keepSession = [channel](const std::string& session) {
    trial::wire::WriteAll(channel, trial::EncodeText(trial::Kind::Session, 0, session));
  };
  return context;
}

// --- in the supervisor ------------------------------------------------------

volatile sig_atomic_t workbenchPid = 0;

// Asked to end, the supervisor asks the workbench, whose windows decide; an
// interrupt from the terminal reaches the workbench by itself.
void Forward(int signal) {
  if (workbenchPid > 0) kill(workbenchPid, signal);
}

void BecomeSupervisor() {
  struct sigaction forward {};
  forward.sa_handler = &Forward;
  sigemptyset(&forward.sa_mask);
  forward.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &forward, nullptr);
  signal(SIGINT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

// What the supervisor hears of one run of the workbench.
struct Death {
  int status = 0;
  std::string session;
  std::optional<trial::CrashRecord> crash;
};

// Takes what came: the latest session, the first crash record. Bytes that are no
// frame of ours (package code wrote into the channel) end the listening, not the run.
bool Take(trial::wire::FrameReader& reader, std::string_view bytes, Death& death) {
  try {
    reader.Feed(bytes);
    while (std::optional<trial::wire::Frame> frame = reader.Next()) {
      if (frame->kind == static_cast<std::uint8_t>(trial::Kind::Session)) {
        death.session = trial::DecodeText(*frame);
      } else if (frame->kind == static_cast<std::uint8_t>(trial::Kind::Crashed) && !death.crash) {
        death.crash = trial::Decode<trial::CrashRecord>(*frame);
      }
    }
    return true;
  } catch (const trial::wire::DecodeError&) {
    return false;
  }
}

// Reads what is there; false once there is nothing more to listen to.
bool Listen(int channel, trial::wire::FrameReader& reader, Death& death) {
  char chunk[65536];
  ssize_t got;
  while ((got = read(channel, chunk, sizeof chunk)) < 0 && errno == EINTR) {
  }
  return got > 0 && Take(reader, std::string_view(chunk, static_cast<std::size_t>(got)), death);
}

// Listens until the workbench has ended. The channel alone would not say so: a
// process that package code started may hold it open.
Death Watch(pid_t pid, int channel, std::string session) {
  Death death;
  death.session = std::move(session);
  trial::wire::FrameReader reader(kMaxFrame, kMaxFrame + 65536);
  const int exited = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  for (bool listening = true; listening || exited >= 0;) {
    pollfd fds[2] = {{listening ? channel : -1, POLLIN, 0}, {exited, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) {
      // Once it has ended, only what is there already.
      fcntl(channel, F_SETFL, O_NONBLOCK);
      while (listening && Listen(channel, reader, death)) {
      }
      break;
    }
    if (fds[0].revents != 0) listening = Listen(channel, reader, death);
  }
  if (exited >= 0) close(exited);
  while (waitpid(pid, &death.status, 0) < 0 && errno == EINTR) {
  }
  return death;
}

std::string PackageName(const std::string& file) {
  try {
    if (const std::optional<rtl::TPackageRecord> record = rtl::ReadPackageFile(file)) {
      return record->name;
    }
  } catch (...) {
  }
  return file.substr(file.rfind('/') + 1);
}

bool Faults(int signal) {
  return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
}

// What the box and the terminal say of a crash.
std::vector<std::string> ReportLines(const trial::CrashReport& report, int signal) {
  const std::string package = report.FaultingPackage();
  const bool inPackage = !report.frames.empty() && report.frames.front().package;
  std::vector<std::string> lines;
  lines.push_back(inPackage ? "The workbench was ended by a fault in package code."
                            : "The workbench was ended by a fault in " +
                                  (report.module.empty() ? "code of no module" : report.module) +
                                  ", not in package code.");
  if (!package.empty()) lines.push_back("Package: " + package);
  if (!report.module.empty() && report.module != package) {
    lines.push_back("Module: " + report.module);
  }
  if (!report.action.empty()) {
    lines.push_back("While: " + report.action + " " + report.package);
  } else if (inPackage) {
    lines.push_back("While: no action: a thread or timer of package " + PackageName(package));
  } else {
    lines.push_back("While: no action");
  }
  std::string how = "Signal: " + trial::SignalText(signal);
  if (Faults(signal)) how += ", at address " + trial::AddressText(report.address);
  lines.push_back(how);
  for (const std::string& line : report.Lines()) lines.push_back(line);
  lines.push_back(package.empty() ? "No package was loaded again."
                                  : "The package was not loaded again.");
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

void Print(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::fprintf(stderr, "workbench: %s\n", line.c_str());
  std::fflush(stderr);
}

// The supervisor ends as the workbench did: with its status, or of its signal.
[[noreturn]] void EndAs(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

// A file that only the new workbench reads, holding what it resumes.
int ResumeFile(const Resumed& resumed) {
  const int fd = memfd_create("workbench-resume", MFD_CLOEXEC);
  if (fd < 0) return -1;
  trial::wire::Writer body;
  body.Text(resumed.session).Text(resumed.report);
  // The body alone: the frame's header is cut off.
  const std::string frame = body.Frame(0, 0);
  const std::string bytes = frame.substr(trial::wire::kHeaderSize);
  if (!trial::wire::WriteAll(fd, bytes) || lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Starts the workbench anew, from the program's file, with no package and the
// session. Returns its process id, or -1.
pid_t Restart(const std::string& program, int& channel, const Resumed& resumed) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
  const int resume = ResumeFile(resumed);
  const pid_t supervisor = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != supervisor) _exit(1);
    for (const int signal : {SIGTERM, SIGHUP, SIGQUIT, SIGINT, SIGPIPE})
      std::signal(signal, SIG_DFL);
    fcntl(ends[1], F_SETFD, 0);
    setenv(kChannelVariable, std::to_string(ends[1]).c_str(), 1);
    if (resume >= 0) {
      fcntl(resume, F_SETFD, 0);
      setenv(kResumeVariable, std::to_string(resume).c_str(), 1);
    }
    char* const argv[] = {program_invocation_name, nullptr};
    // By the program's own path, so that it is known by its own name; from the
    // supervisor's file itself when a rebuild has taken that path meanwhile.
    execv(program.c_str(), argv);
    execv("/proc/self/exe", argv);
    _exit(127);
  }
  close(ends[1]);
  if (resume >= 0) close(resume);
  if (pid < 0) {
    close(ends[0]);
    return -1;
  }
  channel = ends[0];
  return pid;
}

[[noreturn]] void SuperviseRuns(pid_t pid, int channel) {
  BecomeSupervisor();
  const std::string program = rtl::ProgramFile();
  std::optional<Clock::time_point> restarted;
  std::string session;
  for (;;) {
    workbenchPid = pid;
    Death death = Watch(pid, channel, std::move(session));
    close(channel);
    workbenchPid = 0;
    // Only a death its crash handler saw is a fault: killed from outside, or by the
    // kernel for its memory, it was meant to end.
    if (!WIFSIGNALED(death.status) || !death.crash) EndAs(death.status);
    const int signal = WTERMSIG(death.status);
    std::vector<std::string> lines = ReportLines(trial::Symbolize(*death.crash), signal);
    if (restarted && Clock::now() - *restarted < kSettled) {
      lines.back() = "It was not started again: it was ended again within " +
                     std::to_string(kSettled.count()) + " s of its last start.";
      Print(lines);
      EndAs(death.status);
    }
    Print(lines);
    std::fprintf(stderr, "workbench: started again with its session\n");
    session = death.session;
    restarted = Clock::now();
    pid = Restart(program, channel, Resumed{death.session, Joined(lines)});
    if (pid < 0) {
      std::fprintf(stderr, "workbench: could not be started again: %s\n", std::strerror(errno));
      EndAs(death.status);
    }
  }
}

}  // namespace

bool RestartsWanted() {
  const char* value = std::getenv("WB_RESTART");
  if (value == nullptr) return true;
  const std::string text = value;
  return !(text == "0" || text == "off" || text == "no" || text == "false");
}

RunContext Supervise(bool restarts) {
  const int channel = DescriptorFrom(kChannelVariable);
  const int resume = DescriptorFrom(kResumeVariable);
  // Started again by its supervisor.
  if (channel >= 0) return Supervised(channel, resume);
  if (resume >= 0) close(resume);
  if (!restarts) return {};
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {};
  const pid_t supervisor = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    close(ends[0]);
    close(ends[1]);
    return {};
  }
  if (pid == 0) {
    close(ends[0]);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != supervisor) _exit(1);
    return Supervised(ends[1], -1);
  }
  close(ends[1]);
  SuperviseRuns(pid, ends[0]);
}
