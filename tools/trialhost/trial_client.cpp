#include "trial_client.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "trial_protocol.h"

extern char** environ;

namespace trial {

namespace {

using std::chrono::milliseconds;

// Time for the host to start (it maps Qt and makes an application object: tens of
// milliseconds, more under a sanitizer or on a loaded machine), and what the host
// may take beyond a trial's own limit to say how the trial ended.
constexpr milliseconds kStartTime{30000};
constexpr milliseconds kAnswerMargin{5000};

std::string ErrnoText(int error) {
  return std::strerror(error);
}

std::string Directory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

std::string Absolute(const std::string& file, const std::string& directory) {
  if (file.empty() || file.front() == '/' || directory.empty()) return file;
  return directory + "/" + file;
}

std::string SecondsText(milliseconds ms) {
  std::string text = std::to_string(ms.count() / 1000);
  if (const auto fraction = ms.count() % 1000; fraction != 0) {
    std::string digits = std::to_string(1000 + fraction).substr(1);
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

// Lost contact with the host: worth one more host.
struct HostLost : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void Apply(const Received& message, Outcome& outcome, bool& done) {
  switch (message.kind) {
    case kStage: {
      const auto kind = static_cast<StageKind>(message.Number(0));
      outcome.stage = Stage{kind, message.Text(1), message.Text(2)};
      if (kind == StageKind::Procedure) {
        ProcedureRun& run = outcome.procedures.emplace_back();
        run.name = message.Text(2);
      }
      break;
    }
    case kCall:
      // Registrations made while loading belong to no procedure: not recorded.
      if (!outcome.procedures.empty()) {
        Registration registration{message.Text(0), {}};
        registration.classes.assign(message.fields.begin() + 1, message.fields.end());
        outcome.procedures.back().registrations.push_back(std::move(registration));
      }
      break;
    case kFailure: {
      const std::string& where = message.Text(0);
      const std::string& text = message.Text(1);
      if (where == "load") {
        outcome.loadError = text;
      } else if (where == "procedure" && !outcome.procedures.empty()) {
        outcome.procedures.back().error = text;
      } else if (outcome.unloadError.empty()) {
        outcome.unloadError = text;
      }
      break;
    }
    case kMissing:
      if (!outcome.procedures.empty()) outcome.procedures.back().missing = true;
      break;
    case kDone:
      done = true;
      break;
    default:
      throw std::runtime_error("trial host: unexpected message " + std::string(1, message.kind));
  }
}

}  // namespace

std::string Describe(const Stage& stage) {
  switch (stage.kind) {
    case StageKind::Starting:
      return "its start, before any package's code";
    case StageKind::StaticConstructors:
      return "the static constructors of package " + stage.package;
    case StageKind::UnitInitialization:
      return "the initialisation of unit " + stage.name + " of package " + stage.package;
    case StageKind::UnitFinalization:
      return "the finalisation of unit " + stage.name + " of package " + stage.package;
    case StageKind::StaticDestructors:
      return "the static destructors of package " + stage.package;
    case StageKind::Procedure:
      return "procedure " + stage.name;
  }
  return "an unknown stage";
}

std::string SignalName(int signal) {
  const char* abbreviation = sigabbrev_np(signal);
  return abbreviation != nullptr ? "SIG" + std::string(abbreviation) : std::to_string(signal);
}

std::string Outcome::How() const {
  switch (end) {
    case End::Finished:
      return "ended normally";
    case End::Signal: {
      std::string text = "died of signal " + SignalName(signal);
      if (const char* description = sigdescr_np(signal))
        text += " (" + std::string(description) + ")";
      return text;
    }
    case End::Exit:
      return "exited with status " + std::to_string(exitStatus);
    case End::TimeLimit:
      return "overran its time limit of " + SecondsText(limit) + " s";
  }
  return "ended in an unknown way";
}

std::string Outcome::Failure(const std::string& file) const {
  return file + ": the trial run " + How() + " in " + Describe(stage);
}

bool Enabled() {
  const char* value = std::getenv("WB_TRIAL");
  if (value == nullptr) return true;
  const std::string_view text(value);
  return !(text == "0" || text == "off" || text == "no" || text == "false");
}

milliseconds TimeLimit() {
  const char* value = std::getenv("WB_TRIAL_TIMEOUT");
  if (value == nullptr || *value == '\0') return milliseconds(10000);
  const std::string_view text(value);
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  // A day is more than any trial needs and keeps the milliseconds far from overflow.
  if (error != std::errc() || end != text.data() + text.size() || !(seconds > 0) ||
      seconds > 86400) {
    throw std::invalid_argument("WB_TRIAL_TIMEOUT is \"" + std::string(text) +
                                "\": it should be a number of seconds above 0, such as 10 or 0.5");
  }
  return milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
}

std::string FindHost(std::string* looked) {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) {
    if (looked != nullptr) *looked = "(the running program's path cannot be read)";
    return {};
  }
  std::string directory(buffer, static_cast<std::size_t>(length));
  directory.erase(directory.rfind('/'));
  const std::string candidates[] = {directory + "/trialhost",
                                    directory + "/" WB_TRIAL_HOST_FROM_BINDIR "/trialhost"};
  std::string tried;
  for (const std::string& candidate : candidates) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    tried += (tried.empty() ? "" : " and ") + candidate;
  }
  if (looked != nullptr) *looked = tried;
  return {};
}

// ---------------------------------------------------------------------------

Host& Host::Shared() {
  static Host host;
  return host;
}

Host::~Host() {
  Stop();
}

void Host::Start() noexcept {
  if (fd_ >= 0) return;
  startError_.clear();
  std::string looked;
  const std::string path = FindHost(&looked);
  if (path.empty()) {
    startError_ = "the trial host program is missing (looked for " + looked + ")";
    return;
  }
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    startError_ = "cannot make a socket for the trial host: " + ErrnoText(errno);
    return;
  }
  // The host's end becomes its standard input; dup2 leaves it open across exec.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
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
  close(ends[1]);
  if (spawned != 0) {
    close(ends[0]);
    startError_ = "cannot start the trial host " + path + ": " + ErrnoText(spawned);
    return;
  }
  pid_ = pid;
  fd_ = ends[0];
  ready_ = false;
  buffer_.clear();
}

void Host::Stop() noexcept {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  ready_ = false;
  buffer_.clear();
  if (pid_ <= 0) return;
  // A host whose socket closes ends at once; one that does not is stuck.
  for (int i = 0; i < 200; ++i) {
    const pid_t reaped = waitpid(pid_, nullptr, WNOHANG);
    if (reaped == pid_ || (reaped < 0 && errno != EINTR)) {
      pid_ = -1;
      return;
    }
    usleep(5000);
  }
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

Outcome Host::Run(const Request& request, milliseconds limit) {
  for (int attempt = 1;; ++attempt) {
    try {
      return RunOnce(request, limit);
    } catch (const HostLost& e) {
      Stop();
      if (attempt == 2) throw std::runtime_error(e.what());
    } catch (...) {
      // Whatever is left on the connection cannot be trusted: the next trial gets a
      // new host.
      Stop();
      throw;
    }
  }
}

Received Host::Receive(milliseconds wait, const char* waitingFor) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (auto message = TakeMessage(buffer_)) return *message;
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      throw HostLost("the trial host did not answer within " + SecondsText(wait) + " s (" +
                     waitingFor + ")");
    }
    pollfd ready{fd_, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno != EINTR)
      throw HostLost("cannot wait for the trial host: " + ErrnoText(errno));
    if (polled <= 0) continue;
    char chunk[4096];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw HostLost(std::string("the trial host ended (") + waitingFor + ")");
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

Outcome Host::RunOnce(const Request& request, milliseconds limit) {
  Start();
  if (fd_ < 0) throw std::runtime_error(startError_);
  if (!ready_) {
    const Received hello = Receive(kStartTime, "while starting");
    if (hello.kind != kHello) throw HostLost("the trial host did not greet");
    ready_ = true;
  }

  // The limit, the directory, unload, the files, the procedures: as the host's
  // ParseRequest reads it.
  const std::string directory = Directory();
  Message message(kRequest);
  message.Add(static_cast<std::uint64_t>(limit.count())).Add(directory).Add(request.unload ? 1 : 0);
  message.Add(request.files.size());
  for (const std::string& file : request.files) message.Add(Absolute(file, directory));
  message.Add(request.procedures.size());
  for (const Request::Call& call : request.procedures) message.Add(call.file).Add(call.name);
  if (!WriteAll(fd_, message.Bytes())) throw HostLost("the trial host ended before the trial");

  Outcome outcome;
  outcome.limit = limit;
  bool done = false;
  for (;;) {
    const Received event = Receive(limit + kAnswerMargin, "during the trial");
    if (event.kind != kEnd) {
      Apply(event, outcome, done);
      continue;
    }
    const std::string& how = event.Text(0);
    if (how == "error") throw std::runtime_error("the trial host " + event.Text(2));
    const int value = static_cast<int>(event.Number(1));
    // Everything asked for returned: how the child went afterwards does not matter.
    if (done) {
      outcome.end = Outcome::End::Finished;
    } else if (how == "signal") {
      outcome.end = Outcome::End::Signal;
      outcome.signal = value;
    } else if (how == "time") {
      outcome.end = Outcome::End::TimeLimit;
    } else {
      outcome.end = Outcome::End::Exit;
      outcome.exitStatus = value;
    }
    return outcome;
  }
}

}  // namespace trial
