#include "trial/client.h"

#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "host_spawn.h"
#include "rtl/sysutils.h"
#include "trial/read_until.h"
#include "trial/settings.h"

namespace trial {

namespace {

using std::chrono::milliseconds;

// Time for the host to start (it maps Qt and makes an application object: tens of
// milliseconds, more under a sanitizer or on a loaded machine), and what it may take
// beyond a trial's own limit to answer: the limit runs from the request, and a
// spare child may first have to replay what the workbench did.
constexpr milliseconds kStartTime{30000};
constexpr milliseconds kAnswerMargin{5000};

// Lost contact with the host: worth one more host.
struct HostLost : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class ScopedBusy {
 public:
  explicit ScopedBusy(bool& busy) : busy_(busy) {
    if (busy_) throw std::runtime_error("a trial is already running");
    busy_ = true;
  }
  ~ScopedBusy() { busy_ = false; }
  ScopedBusy(const ScopedBusy&) = delete;
  ScopedBusy& operator=(const ScopedBusy&) = delete;

 private:
  bool& busy_;
};

// What the host has sent so far, a piece at a time: a host that floods its socket
// cannot keep the caller reading.
ReadEnd ReadNow(int fd, std::string& bytes) {
  try {
    return ReadUntil(fd, bytes, std::chrono::steady_clock::now(), 64 * 1024);
  } catch (const std::system_error& e) {
    throw HostLost("cannot read from the trial host: " + e.code().message());
  }
}

Waiter::Woken PollFor(int fd, milliseconds timeout) {
  try {
    return WaitReadable(fd, std::chrono::steady_clock::now() + timeout) ? Waiter::Woken::Readable
                                                                        : Waiter::Woken::TimedOut;
  } catch (const std::system_error& e) {
    throw HostLost("cannot wait for the trial host: " + e.code().message());
  }
}

}  // namespace

std::string FindHost(std::string* looked) {
  std::string directory = rtl::ProgramFile();
  if (directory.empty()) {
    if (looked != nullptr) *looked = "(the running program's path cannot be read)";
    return {};
  }
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
    startError_ = std::string("cannot make a socket for the trial host: ") + strerror(errno);
    return;
  }
  // The host's end becomes its standard input; dup2 leaves it open across exec.
  const pid_t pid =
      detail::SpawnHost(path, ends[1], CurrentSettings().isolate, isolation_, startError_);
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    return;
  }
  pid_ = pid;
  fd_ = ends[0];
  ready_ = false;
  reader_ = wire::FrameReader(64u << 20, 64u << 20);
}

void Host::Stop() noexcept {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  ready_ = false;
  if (pid_ <= 0) return;
  // A host whose socket closes ends at once, and takes its children along.
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

std::optional<wire::Frame> Host::Receive(milliseconds wait, const char* waitingFor,
                                         Waiter* waiter) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    try {
      if (auto frame = reader_.Next()) return std::move(*frame);
    } catch (const wire::DecodeError& e) {
      throw HostLost(std::string("the trial host's answer is damaged: ") + e.what());
    }
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      throw HostLost("the trial host did not answer within " + SecondsText(wait) + " s (" +
                     waitingFor + ")");
    }
    const Waiter::Woken woken = waiter != nullptr ? waiter->Wait(fd_, left) : PollFor(fd_, left);
    if (woken == Waiter::Woken::StopAsked) return std::nullopt;
    if (woken != Waiter::Woken::Readable) continue;
    std::string bytes;
    const ReadEnd end = ReadNow(fd_, bytes);
    try {
      reader_.Feed(bytes);
      // Its last words count, even when it has gone since.
      if (auto frame = reader_.Next()) return std::move(*frame);
    } catch (const wire::DecodeError& e) {
      throw HostLost(std::string("the trial host's answer is damaged: ") + e.what());
    }
    if (end == ReadEnd::Ended) {
      throw HostLost(std::string("the trial host ended (") + waitingFor + ")");
    }
  }
}

void Host::EnsureReady() {
  Start();
  if (fd_ < 0) throw std::runtime_error(startError_);
  if (ready_) return;
  const std::optional<wire::Frame> hello = Receive(kStartTime, "while starting", nullptr);
  if (hello->kind != static_cast<std::uint8_t>(Kind::Hello)) {
    throw HostLost("the trial host did not greet");
  }
  ready_ = true;
  // A host started anew knows nothing of what the last one had taken.
  if (!taken_.empty() && !wire::WriteAll(fd_, Encode(Kind::Restore, 0, CommitRequest{taken_}))) {
    throw HostLost("the trial host ended as it started");
  }
}

Outcome Host::Try(const TryRequest& request, Waiter* waiter) {
  const ScopedBusy busy(busy_);
  for (int attempt = 1;; ++attempt) {
    try {
      return TryOnce(request, waiter);
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

Outcome Host::TryOnce(const TryRequest& request, Waiter* waiter) {
  EnsureReady();
  const std::uint64_t id = ++lastId_;
  if (!wire::WriteAll(fd_, Encode(Kind::Try, id, request))) {
    throw HostLost("the trial host ended before the trial");
  }
  const milliseconds wait = 2 * request.timeLimit + kAnswerMargin;
  for (;;) {
    const std::optional<wire::Frame> received = Receive(wait, "during the trial", waiter);
    if (!received) {
      // The host ends the trial as stopped and answers as it does for any other end.
      if (!wire::WriteAll(fd_, EncodeEmpty(Kind::Stop, id))) {
        throw HostLost("the trial host ended during the trial");
      }
      continue;
    }
    const wire::Frame& frame = *received;
    // Anything for an earlier request is left over from one given up on.
    if (frame.id != id) continue;
    if (frame.kind == static_cast<std::uint8_t>(Kind::Progress)) {
      if (waiter != nullptr) waiter->Entered(Decode<Stage>(frame));
      continue;
    }
    if (frame.kind != static_cast<std::uint8_t>(Kind::Answer)) {
      throw HostLost("the trial host answered with a message of kind " +
                     std::to_string(frame.kind));
    }
    Outcome outcome = Decode<Outcome>(frame);
    outcome.isolation = isolation_;
    if (request.commit) {
      for (Action& action : Taken(request.actions, outcome)) taken_.push_back(std::move(action));
    }
    return outcome;
  }
}

void Host::Reset() {
  taken_.clear();
  if (fd_ < 0 || !ready_) return;
  const std::uint64_t id = ++lastId_;
  try {
    if (!wire::WriteAll(fd_, EncodeEmpty(Kind::Reset, id))) throw HostLost("gone");
    for (;;) {
      const std::optional<wire::Frame> frame = Receive(kAnswerMargin, "forgetting", nullptr);
      if (frame->id == id && frame->kind == static_cast<std::uint8_t>(Kind::ResetDone)) return;
    }
  } catch (const std::runtime_error&) {
    // A host that cannot forget is let go: the next trial starts a new one.
    Stop();
  }
}

}  // namespace trial
