#include "leftovers.h"

#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "trial/protocol.h"

#ifdef WB_TRIAL_HOST_TOOLKIT
#include <QAbstractEventDispatcher>
#include <QObject>
#include <mutex>

// Qt's table of hooks for debugging tools (qhooks_p.h), exported for them.
extern Q_CORE_EXPORT quintptr qtHookData[];
#endif

namespace trialhost {

namespace {

std::set<pid_t> NumberedEntries(const char* directory) {
  std::set<pid_t> numbers;
  if (DIR* dir = opendir(directory)) {
    while (const dirent* entry = readdir(dir)) {
      char* end = nullptr;
      const long number = std::strtol(entry->d_name, &end, 10);
      if (end != entry->d_name && *end == '\0') numbers.insert(static_cast<pid_t>(number));
    }
    closedir(dir);
  }
  return numbers;
}

std::set<pid_t> Threads() {
  return NumberedEntries("/proc/self/task");
}

// Qt gives timers small numbers from 1 and gives freed ones out again first, so the
// timers of the main thread's dispatcher are found by asking for each number in
// turn until a long run of them is unused.
std::set<int> QtTimers() {
  std::set<int> timers;
#ifdef WB_TRIAL_HOST_TOOLKIT
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (dispatcher == nullptr) return timers;
  for (int id = 1, unused = 0; unused < 64; ++id) {
    if (dispatcher->remainingTime(id) >= 0) {
      timers.insert(id);
      unused = 0;
    } else {
      ++unused;
    }
  }
#endif
  return timers;
}

#ifdef WB_TRIAL_HOST_TOOLKIT
// Qt keeps timers of its own, some started the first time package code uses
// something of Qt's (a pixmap cache, a font cache): a new timer is the package's only
// when it belongs to an object made while package code ran that is of a class of a
// package, or a timer made for a callback (QTimer, QSingleShotTimer). Qt tells a
// tool of every object it makes and frees through its hooks for debuggers.
std::mutex watchedLock;
std::set<QObject*>& Watched() {
  static auto* watched = new std::set<QObject*>();
  return *watched;
}

void Made(QObject* object) {
  const std::lock_guard<std::mutex> lock(watchedLock);
  Watched().insert(object);
}

void Freed(QObject* object) {
  const std::lock_guard<std::mutex> lock(watchedLock);
  Watched().erase(object);
}

bool PackagesTimer(QObject* object) {
  // Its class's virtual table is read, not called: it may be in code unmapped now.
  Dl_info info;
  if (dladdr(*reinterpret_cast<void* const*>(object), &info) == 0) return true;
  const char* name = object->metaObject()->className();
  return std::strcmp(name, "QTimer") == 0 || std::strcmp(name, "QSingleShotTimer") == 0;
}

std::size_t PackageTimersAmong(const std::set<int>& timers) {
  if (timers.empty()) return 0;
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  const std::lock_guard<std::mutex> lock(watchedLock);
  std::size_t count = 0;
  for (QObject* object : Watched()) {
    for (const auto& timer : dispatcher->registeredTimers(object)) {
      if (timers.count(timer.timerId) > 0 && PackagesTimer(object)) ++count;
    }
  }
  return count;
}
#endif

// The kernel lists a process's POSIX timers here when it can (a kernel built for
// checkpointing); nothing is seen otherwise.
int PosixTimers() {
  std::ifstream timers("/proc/self/timers");
  int count = 0;
  for (std::string line; std::getline(timers, line);) count += line.rfind("ID:", 0) == 0;
  return count;
}

bool IntervalTimerSet(int which) {
  itimerval value{};
  return getitimer(which, &value) == 0 &&
         (value.it_value.tv_sec != 0 || value.it_value.tv_usec != 0);
}

constexpr int kIntervalTimers[3] = {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF};

// Any child at all, without reading /proc: most trials start none.
bool HasChildren() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

void ReapEnded() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

std::string Counted(std::size_t count, const char* one, const char* many, const char* how) {
  return std::to_string(count) + " " + (count == 1 ? one : many) + " " + how;
}

// The signals this process catches, as the kernel lists them: one read, where asking
// for each signal's action would take a system call each.
std::uint64_t CaughtSignals() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
  }
  return ~std::uint64_t{0};
}

std::vector<std::string> UnmappedSignalHandlers() {
  std::vector<std::string> left;
  const std::uint64_t caught = CaughtSignals();
  for (int signal = 1; signal < NSIG && signal <= 64; ++signal) {
    if ((caught & (std::uint64_t{1} << (signal - 1))) == 0) continue;
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) != 0) continue;
    const void* code = (action.sa_flags & SA_SIGINFO) != 0
                           ? reinterpret_cast<const void*>(action.sa_sigaction)
                           : reinterpret_cast<const void*>(action.sa_handler);
    if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) continue;
    Dl_info info;
    if (dladdr(code, &info) == 0) {
      left.push_back("a handler for signal " + trial::SignalName(signal));
    }
  }
  return left;
}

}  // namespace

std::set<pid_t> Children(pid_t parent) {
  std::set<pid_t> children;
  for (const pid_t pid : NumberedEntries("/proc")) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::ifstream stat(path);
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold anything, up to the last ')'.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent &&
        state != 'Z') {
      children.insert(pid);
    }
  }
  return children;
}

int KillChildren(const std::set<pid_t>& keep) {
  int killed = 0;
  // Each round's children may leave children of their own to this process (a
  // subreaper); a process that forks without end is cut off after many rounds.
  for (int round = 0; round < 64; ++round) {
    ReapEnded();
    std::set<pid_t> children;
    for (const pid_t pid : Children(getpid())) {
      if (keep.count(pid) == 0) children.insert(pid);
    }
    if (children.empty()) break;
    for (const pid_t pid : children) {
      if (kill(pid, SIGKILL) == 0) ++killed;
    }
    for (const pid_t pid : children) {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
  return killed;
}

Snapshot Snapshot::Take() {
  Snapshot snapshot;
  snapshot.threads_ = Threads();
  snapshot.qtTimers_ = QtTimers();
  if (HasChildren()) {
    ReapEnded();
    snapshot.children_ = Children(getpid());
  }
  snapshot.exitHandlers_ = ExitHandlerCount();
  snapshot.posixTimers_ = PosixTimers();
  for (int i = 0; i < 3; ++i) snapshot.intervalTimers_[i] = IntervalTimerSet(kIntervalTimers[i]);
  return snapshot;
}

void WatchQtObjects() {
#ifdef WB_TRIAL_HOST_TOOLKIT
  // The hooks' table: its version, its size, Qt's version, then one entry a hook.
  enum { kSize = 1, kAddQObject = 3, kRemoveQObject = 4 };
  if (qtHookData[kSize] <= kRemoveQObject) return;
  qtHookData[kAddQObject] = reinterpret_cast<quintptr>(&Made);
  qtHookData[kRemoveQObject] = reinterpret_cast<quintptr>(&Freed);
#endif
}

std::vector<std::string> Snapshot::ThreadsLeft() const {
  // A thread told to stop by its finalisation may take a moment to be gone.
  std::size_t threads = 0;
  for (int waited = 0;; ++waited) {
    threads = 0;
    for (const pid_t tid : Threads()) threads += threads_.count(tid) == 0;
    if (threads == 0 || waited == 100) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (threads == 0) return {};
  return {Counted(threads, "thread", "threads", "running")};
}

std::vector<std::string> Snapshot::LeftSince() const {
  std::vector<std::string> left = ThreadsLeft();
#ifdef WB_TRIAL_HOST_TOOLKIT
  std::set<int> timers;
  for (const int id : QtTimers()) {
    if (qtTimers_.count(id) == 0) timers.insert(id);
  }
  if (const std::size_t count = PackageTimersAmong(timers); count > 0) {
    left.push_back(Counted(count, "Qt timer", "Qt timers", "pending"));
  }
#endif
  if (!intervalTimers_[0] && IntervalTimerSet(ITIMER_REAL)) left.push_back("an alarm pending");
  for (int i = 1; i < 3; ++i) {
    if (!intervalTimers_[i] && IntervalTimerSet(kIntervalTimers[i])) {
      left.push_back("a processor-time timer pending");
      break;
    }
  }
  if (const int posix = PosixTimers(); posix > posixTimers_) {
    left.push_back(Counted(static_cast<std::size_t>(posix - posixTimers_), "POSIX timer",
                           "POSIX timers", "pending"));
  }
  for (std::string& handler : UnmappedSignalHandlers()) left.push_back(std::move(handler));
  if (const int handlers = UnmappedExitHandlers(exitHandlers_); handlers > 0) {
    left.push_back(handlers == 1 ? "an exit handler" : std::to_string(handlers) + " exit handlers");
  }
  if (HasChildren()) {
    if (const int killed = KillChildren(children_); killed > 0) {
      left.push_back(Counted(static_cast<std::size_t>(killed), "process", "processes", "running"));
    }
  }
  return left;
}

}  // namespace trialhost
