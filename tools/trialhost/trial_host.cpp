// trialhost: runs package code on trial for the workbench and pkginfo, which start
// it with a socket as its standard input (see trial_client.h). It waits for a
// request, forks a child that does what was asked (load the files, call the
// procedures, unload) and reports each stage it enters over a pipe, and answers with
// what the child reported and how it ended: returned, died by a signal, exited, or
// killed at the time limit. The host itself runs no package code, so it outlives
// every trial; it ends when its client closes the socket.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/classes.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"
#include "trial_client.h"
#include "trial_protocol.h"

#ifdef WB_TRIAL_HOST_TOOLKIT
#include <QtGlobal>

#include "toolkit/dialogs.h"
#include "toolkit/forms.h"
#endif

namespace {

// Set in a trial child: it must not check for leaks when package code calls exit().
bool inTrialChild = false;
// Where a trial child writes its reports.
int reportFd = -1;

void Report(const trial::Message& message) {
  // A host gone away ends the child at its next report, which is what it should do.
  trial::WriteAll(reportFd, message.Bytes());
}

void ReportStage(trial::StageKind kind, const std::string& package, const std::string& name) {
  Report(
      trial::Message(trial::kStage).Add(static_cast<std::uint64_t>(kind)).Add(package).Add(name));
}

void OnPackageStage(rtl::TPackageStage stage, const std::string& package, const std::string& unit) {
  trial::StageKind kind = trial::StageKind::StaticConstructors;
  switch (stage) {
    case rtl::TPackageStage::StaticConstructors:
      kind = trial::StageKind::StaticConstructors;
      break;
    case rtl::TPackageStage::UnitInitialization:
      kind = trial::StageKind::UnitInitialization;
      break;
    case rtl::TPackageStage::UnitFinalization:
      kind = trial::StageKind::UnitFinalization;
      break;
    case rtl::TPackageStage::StaticDestructors:
      kind = trial::StageKind::StaticDestructors;
      break;
  }
  ReportStage(kind, package, unit);
}

// Registers as the workbench's palette hook does, by the same walk, so that a class
// the registry refuses fails here too; each call is reported with the names listed
// before the failure, as the palette lists them.
void RecordingHook(const std::string& page, const rtl::TClass* classes, std::int32_t high) {
  trial::Message call(trial::kCall);
  call.Add(page);
  try {
    rtl::ListAndRegisterClasses("RecordingHook", page, classes, high,
                                [&call](const rtl::ShortString& name) { call.Add(name.View()); });
  } catch (...) {
    Report(call);
    throw;
  }
  Report(call);
}

// The message of whatever is being handled.
std::string CurrentError() {
  try {
    throw;
  } catch (const rtl::Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception that is not an Exception";
  }
}

void ReportFailure(const char* where) {
  Report(trial::Message(trial::kFailure).Add(where).Add(CurrentError()));
}

struct Request {
  std::chrono::milliseconds limit{0};
  std::string directory;
  trial::Request trial;
};

Request ParseRequest(const trial::Received& message) {
  Request request;
  std::size_t at = 0;
  request.limit = std::chrono::milliseconds(message.Number(at++));
  request.directory = message.Text(at++);
  request.trial.unload = message.Number(at++) != 0;
  for (std::uint64_t n = message.Number(at++); n > 0; --n) {
    request.trial.files.push_back(message.Text(at++));
  }
  for (std::uint64_t n = message.Number(at++); n > 0; --n) {
    trial::Request::Call call;
    call.file = message.Number(at++);
    call.name = message.Text(at++);
    if (call.file >= request.trial.files.size()) {
      throw std::runtime_error("trial request: a procedure of file " + std::to_string(call.file) +
                               " of " + std::to_string(request.trial.files.size()));
    }
    request.trial.procedures.push_back(std::move(call));
  }
  return request;
}

// The sanitizers catch SIGSEGV and friends to print a report and then end the
// process their own way (an abort, an exit status): a trial child must die of the
// signal itself, so that it is told as what it is. The raw system call, because the
// sanitizers also stand in for sigaction.
void RestoreDefaultCrashSignals() {
  struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
  };
  for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) {
    KernelSigaction action{SIG_DFL, 0, nullptr, 0};
    syscall(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask);
  }
}

[[noreturn]] void RunChild(const Request& request, int out) {
  reportFd = out;
  // The workbench's working directory, as package code would see it there.
  if (!request.directory.empty() && chdir(request.directory.c_str()) != 0) {
    // The files are absolute; only code that looks at the directory sees the difference.
  }
  ReportStage(trial::StageKind::Starting, {}, {});
  rtl::PackageStageProc = &OnPackageStage;

  std::vector<rtl::HMODULE> modules;
  bool loaded = true;
  for (const std::string& file : request.trial.files) {
    try {
      modules.push_back(rtl::LoadPackage(file));
    } catch (...) {
      ReportFailure("load");
      loaded = false;
      break;
    }
  }
  if (loaded) {
    rtl::RegisterComponentsProc = &RecordingHook;
    for (const trial::Request::Call& call : request.trial.procedures) {
      ReportStage(trial::StageKind::Procedure, {}, call.name);
      using Procedure = void (*)();
      const auto code =
          reinterpret_cast<Procedure>(rtl::GetProcAddress(modules[call.file], call.name.c_str()));
      if (code == nullptr) {
        Report(trial::Message(trial::kMissing).Add(call.name));
        break;
      }
      try {
        code();
      } catch (...) {
        ReportFailure("procedure");
        break;
      }
    }
  }
  if (request.trial.unload) {
    for (auto it = modules.rbegin(); it != modules.rend(); ++it) {
      try {
        rtl::UnloadPackage(*it);
      } catch (...) {
        ReportFailure("unload");
      }
    }
  }
  Report(trial::Message(trial::kDone));
  // Nothing of the host's is the child's to tear down.
  _exit(0);
}

std::size_t ReadSome(int fd, std::string& into) {
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return 0;
    into.append(chunk, static_cast<std::size_t>(got));
    return static_cast<std::size_t>(got);
  }
}

void WaitFor(pid_t pid, int* status) {
  while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
}

// Kills a trial child unless it has ended, reaps it, and kills what it started:
// the child leads a process group of its own, which outlives it while any member
// lives. Whatever the package started would otherwise run on after the trial.
void EndGroup(pid_t pid, int* status) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);  // before it made its group
  WaitFor(pid, status);
  kill(-pid, SIGKILL);
}

// A child forked ahead of its trial, waiting for the request: the fork, the
// costliest step of a trial, is then done while the client does something else.
struct Child {
  pid_t pid = -1;
  int requests = -1;  // the host writes the request here
  int reports = -1;   // the child writes its reports here
  int ended = -1;     // a pidfd: readable once the child has ended (-1 without one)

  void Close() {
    for (int* fd : {&requests, &reports, &ended}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }
  void Finish() {
    EndGroup(pid, nullptr);
    Close();
  }
};

[[noreturn]] void WaitForRequest(pid_t host, int requests, int reports) {
  inTrialChild = true;
  // A child never outlives its host: nobody would end it at the time limit.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != host) _exit(0);
  // The package must not read the host's socket.
  if (const int null = open("/dev/null", O_RDONLY); null >= 0) {
    dup2(null, 0);
    close(null);
  }
  RestoreDefaultCrashSignals();
  signal(SIGPIPE, SIG_DFL);
  // Its own process group: whatever it starts goes down with it at the time limit.
  setpgid(0, 0);
  std::string buffer;
  for (;;) {
    std::optional<trial::Received> message;
    try {
      message = trial::TakeMessage(buffer);
    } catch (const std::exception&) {
      _exit(1);
    }
    if (message) {
      close(requests);
      RunChild(ParseRequest(*message), reports);
    }
    // The host has gone, or has dropped this spare.
    if (ReadSome(requests, buffer) == 0) _exit(0);
  }
}

std::optional<Child> ForkChild() {
  int requests[2];
  int reports[2];
  if (pipe2(requests, O_CLOEXEC) != 0) return std::nullopt;
  if (pipe2(reports, O_CLOEXEC) != 0) {
    close(requests[0]);
    close(requests[1]);
    return std::nullopt;
  }
  std::fflush(nullptr);
  const pid_t host = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    close(requests[1]);
    close(reports[0]);
    WaitForRequest(host, requests[0], reports[1]);
  }
  close(requests[0]);
  close(reports[1]);
  if (pid < 0) {
    close(requests[1]);
    close(reports[0]);
    return std::nullopt;
  }
  // Told when the child ends even if something it started keeps the pipe open.
  return Child{pid, requests[1], reports[0], static_cast<int>(syscall(SYS_pidfd_open, pid, 0))};
}

// Whether the last complete message is the child's report that all has returned.
bool EndsWithDone(std::string_view received) {
  const std::size_t complete = trial::CompleteLength(received);
  std::size_t at = 0;
  char last = 0;
  while (at < complete) {
    std::uint32_t length = 0;
    std::memcpy(&length, received.data() + at, sizeof length);
    last = received[at + sizeof length];
    at += sizeof length + length;
  }
  return last == trial::kDone;
}

std::optional<Child> spare;

// Hands the request to the spare child, which is then the trial's; a spare that
// has died since (killed from outside) is replaced once. Nothing when no child
// takes it.
std::optional<Child> HandOver(const trial::Message& request) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!spare) spare = ForkChild();
    if (!spare) return std::nullopt;
    if (trial::WriteAll(spare->requests, request.Bytes())) break;
    spare->Finish();
    spare.reset();
  }
  std::optional<Child> child = spare;
  spare.reset();
  if (child) {
    close(child->requests);
    child->requests = -1;
  }
  return child;
}

// What a trial child reported and how it went.
struct Watched {
  std::string received;
  bool done = false;      // it reported that all it was asked to do returned
  bool ended = false;     // it ended before that
  bool timedOut = false;  // it overran the limit and was killed
  std::string lost;       // why the host could no longer watch it; it was killed
  int status = 0;
};

// Collects the child's reports until it reports all done, ends or overruns the
// limit. A client gone away ends the host: nobody waits for this trial any more.
Watched Watch(const Child& child, std::chrono::milliseconds limit, int client) {
  Watched watched;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool pipeOpen = true;
  while (!watched.done && !watched.ended) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      watched.timedOut = true;
      EndGroup(child.pid, &watched.status);
      break;
    }
    pollfd fds[3] = {{pipeOpen ? child.reports : -1, POLLIN, 0},
                     {child.ended, POLLIN, 0},
                     {client, POLLRDHUP, 0}};
    const int polled = poll(fds, 3, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (polled < 0 && errno != EINTR) {
      watched.lost = std::string("cannot watch its child: ") + std::strerror(errno);
      EndGroup(child.pid, &watched.status);
      break;
    }
    if ((fds[2].revents & (POLLRDHUP | POLLHUP)) != 0) {
      kill(-child.pid, SIGKILL);
      kill(child.pid, SIGKILL);
      _exit(0);
    }
    if (pipeOpen && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
      if (ReadSome(child.reports, watched.received) == 0) pipeOpen = false;
      // All it was asked to do has returned: the answer need not wait for its exit.
      watched.done = EndsWithDone(watched.received);
    }
    const bool childEnded = child.ended >= 0 && (fds[1].revents & POLLIN) != 0;
    // Without a pidfd the end of the pipe stands for the end of the child.
    if (!watched.done && (childEnded || (child.ended < 0 && !pipeOpen))) {
      EndGroup(child.pid, &watched.status);
      watched.ended = true;
    }
  }
  if (!watched.done) {
    // What it wrote just before it ended; something it started may hold the pipe
    // open, so only what is there now.
    fcntl(child.reports, F_SETFL, O_NONBLOCK);
    while (ReadSome(child.reports, watched.received) > 0) {
    }
  }
  watched.received.resize(trial::CompleteLength(watched.received));
  return watched;
}

trial::Message EndOf(const Watched& watched) {
  trial::Message end(trial::kEnd);
  if (!watched.lost.empty()) return end.Add("error").Add(0).Add(watched.lost);
  if (watched.timedOut) return end.Add("time").Add(0);
  if (!watched.done && WIFSIGNALED(watched.status)) {
    return end.Add("signal").Add(static_cast<std::uint64_t>(WTERMSIG(watched.status)));
  }
  const int status = WIFEXITED(watched.status) ? WEXITSTATUS(watched.status) : 0;
  return end.Add("exit").Add(static_cast<std::uint64_t>(status));
}

// Runs one trial in the spare child and answers the client.
bool Serve(const trial::Received& message, int client) {
  const Request request = ParseRequest(message);
  trial::Message forwarded(trial::kRequest);
  for (const std::string& field : message.fields) forwarded.Add(field);
  std::optional<Child> child = HandOver(forwarded);
  if (!child) {
    const std::string reason = std::string("cannot start its child: ") + std::strerror(errno);
    return trial::WriteAll(client,
                           trial::Message(trial::kEnd).Add("error").Add(0).Add(reason).Bytes());
  }
  const Watched watched = Watch(*child, request.limit, client);
  const bool answered =
      trial::WriteAll(client, watched.received) && trial::WriteAll(client, EndOf(watched).Bytes());
  // Off the client's path: a child that reported all done is ending by itself.
  if (watched.done) {
    pollfd exiting{child->ended, POLLIN, 0};
    if (child->ended >= 0) poll(&exiting, 1, 2000);
    EndGroup(child->pid, nullptr);
  }
  child->Close();
  if (answered) spare = ForkChild();
  return answered;
}

#ifdef WB_TRIAL_HOST_TOOLKIT
void Quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// Nobody can answer a box in a trial: each is taken as answered at once (a message
// as dismissed, an open dialog as cancelled), so that code that shows one goes on as
// it does in the workbench once the user has answered, instead of waiting out the
// time limit.
class AnsweredDialogs final : public toolkit::DialogService {
 public:
  void ShowMessage(const std::string&) override {}
  void ShowException(const std::string&) override {}
  std::optional<std::string> OpenFile(const toolkit::TOpenDialog&) override { return std::nullopt; }
};
AnsweredDialogs answeredDialogs;
#endif

}  // namespace

// LeakSanitizer asks this before it checks at exit: a trial child that package code
// ends with exit() leaves the host's memory as it is, which is no leak.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
  return inTrialChild ? 1 : 0;
}

// In a sanitizer build, an error a sanitizer finds in package code ends the child
// with an abort, told as the crash it is, rather than with an exit status that could
// pass for the package's own. The environment's options still take precedence.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "abort_on_error=1";
}
extern "C" __attribute__((visibility("default"))) const char* __ubsan_default_options() {
  return "abort_on_error=1";
}

int main() {
  struct stat input {};
  if (fstat(0, &input) != 0 || !S_ISSOCK(input.st_mode)) {
    std::fputs(
        "trialhost: runs package code on trial for the workbench and pkginfo, which start it;\n"
        "it is not meant to be started by hand.\n",
        stderr);
    return 2;
  }
#ifdef WB_TRIAL_HOST_TOOLKIT
  // Packages may create controls, as they may in the workbench; nothing is ever shown,
  // and never on the user's display. Qt's start-up chatter is not the trial's.
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const QtMessageHandler previous = qInstallMessageHandler(&Quiet);
  toolkit::Application->Initialize();
  qInstallMessageHandler(previous);
  toolkit::SetDialogService(&answeredDialogs);
#endif
  // A child that has gone shows as a failed write, not as the end of the host.
  signal(SIGPIPE, SIG_IGN);
  spare = ForkChild();
  const int client = 0;
  if (!trial::WriteAll(client, trial::Message(trial::kHello).Add(getpid()).Bytes())) return 1;
  std::string buffer;
  for (;;) {
    std::optional<trial::Received> message;
    try {
      message = trial::TakeMessage(buffer);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "trialhost: %s\n", e.what());
      _exit(1);
    }
    if (!message) {
      // The client has gone: nothing to flush or free, the process just ends.
      if (ReadSome(client, buffer) == 0) _exit(0);
      continue;
    }
    if (message->kind != trial::kRequest) continue;
    try {
      if (!Serve(*message, client)) _exit(1);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "trialhost: %s\n", e.what());
      _exit(1);
    }
  }
}
