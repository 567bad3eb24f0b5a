// A package whose code takes its process down, or would later, or leaves something
// behind that would: no exception, nothing to catch. One source for every such
// package: FAULT_IN_* says where (a static constructor, the unit's initialisation,
// its registration procedure, its finalisation) and FAULT_* what. A few packages here
// are no fault at all, only code a trial must not take for one (printing, a box).

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "component.h"

#if defined(FAULT_QT_TIMER) || defined(FAULT_QT_BOX) || defined(FAULT_POSTED)
#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>
#endif

namespace {

int* volatile nowhere = nullptr;

// Out of line, so that a report of the fault names it and its line whatever the build.
[[gnu::noinline]] void Crash() {
  *nowhere = 1;
}

// This package's own file.
[[maybe_unused]] std::string OwnFile() {
  Dl_info info{};
  dladdr(reinterpret_cast<const void*>(&Crash), &info);
  return info.dli_fname != nullptr ? info.dli_fname : "";
}

[[maybe_unused]] void OnTerm(int) {}
[[maybe_unused]] void OnExit(int, void*) {}

// A process of the package's own, which would outlive it by half a minute.
[[maybe_unused]] void StartStray() {
  if (fork() == 0) {
    prctl(PR_SET_NAME, "faulty-stray");
    sleep(30);
    _exit(0);
  }
}

[[maybe_unused]] bool registered = false;

void Fault() {
#if defined(FAULT_NULL_WRITE)
  Crash();
#elif defined(FAULT_ABORT)
  for (int line = 1; line <= 7; ++line) std::fprintf(stderr, "faulty: line %d of 7\n", line);
  std::abort();
#elif defined(FAULT_EXIT)
  std::exit(3);
#elif defined(FAULT_LOOP) || defined(FAULT_STRAY_LOOP)
#if defined(FAULT_STRAY_LOOP)
  StartStray();  // the time limit must end it too
#endif
  volatile bool forever = true;
  while (forever) {
  }
#elif defined(FAULT_THROW)
  throw std::runtime_error("faulty: thrown where nothing can catch it");
#elif defined(FAULT_STRAY)
  StartStray();
#elif defined(FAULT_DELAYED_THREAD)
  std::thread([] {
    sleep(2);
    Crash();
  }).detach();
#elif defined(FAULT_OUTSIDE_TRIAL)
  // Harmless on trial; loaded for real, a thread of it faults WB_TEST_FAULT_AFTER_MS
  // (2000 unless set) later: what no trial sees comes to the workbench itself.
  if (std::strcmp(program_invocation_short_name, "trialhost") != 0) {
    const char* after = std::getenv("WB_TEST_FAULT_AFTER_MS");
    const int ms = after != nullptr ? std::atoi(after) : 2000;
    std::thread([ms] {
      usleep(static_cast<useconds_t>(ms) * 1000);
      Crash();
    }).detach();
  }
#elif defined(FAULT_WORKER)
  // Harmless while the package is loaded; once it is not, the loop is unmapped code.
  std::thread([] {
    for (;;) usleep(100000);
  }).detach();
#elif defined(FAULT_ALARM)
  alarm(2);
#elif defined(FAULT_CPU_TIMER)
  const itimerval half{{0, 0}, {0, 500000}};
  setitimer(ITIMER_PROF, &half, nullptr);
#elif defined(FAULT_SIGNAL_HANDLER)
  signal(SIGTERM, &OnTerm);
#elif defined(FAULT_QT_TIMER)
  QTimer::singleShot(2000, [] { Crash(); });
#elif defined(FAULT_POSTED)
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { Crash(); }, Qt::QueuedConnection);
#elif defined(FAULT_BLOCKED_SIGNALS)
  // A process of its own would start with none blocked.
  sigset_t blocked;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  for (int signal = 1; signal < 32; ++signal) {
    if (sigismember(&blocked, signal) == 1) Crash();
  }
  // Nor with files open that the process which started it read about itself.
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(fds)) {
      char target[16] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (std::atoi(entry->d_name) != dirfd(fds) &&
          readlink(link.c_str(), target, sizeof target - 1) > 0 &&
          std::strncmp(target, "/proc/", 6) == 0) {
        Crash();
      }
    }
    closedir(fds);
  }
#elif defined(FAULT_SECOND_CALL)
  static int calls = 0;
  if (++calls == 2) Crash();
#elif defined(FAULT_AFTER_REGISTRATION)
  if (registered) Crash();
#elif defined(FAULT_IF_MARKED) || defined(FAULT_ALARM_IF_MARKED)
  // When a file named after the package's own says so: a fault, or what would become
  // one, that no trial before it could have seen.
  if (access((OwnFile() + ".crash").c_str(), F_OK) == 0) {
#if defined(FAULT_IF_MARKED)
    Crash();
#else
    alarm(2);
#endif
  }
#elif defined(FAULT_BROKEN_PIPE)
  // Written to a pipe nobody reads: the signal ends the process, as it would the
  // workbench.
  int ends[2];
  if (pipe(ends) == 0) {
    close(ends[0]);
    [[maybe_unused]] const ssize_t written = write(ends[1], "x", 1);
  }
#elif defined(FAULT_EXIT_HANDLER)
  // Run at the exit, long after the package is gone: the C library keeps no owner
  // for it, so no unload runs it.
  on_exit(&OnExit, nullptr);
#elif defined(FAULT_REPLACE_FILE)
  // Another build put in its own place, as a build tool would.
  const std::string own = OwnFile();
  const std::string next = own.substr(0, own.size() - 3) + ".next.so";
  if (access(next.c_str(), F_OK) == 0) std::rename(next.c_str(), own.c_str());
#elif defined(FAULT_FORGED_REPORT)
  // Writes what could pass for a report that all has returned, and for the host's
  // answers, into every descriptor it has, then dies.
  const unsigned char forged[] = {13, 0, 0, 0, 27, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,
                                  13, 0, 0, 0, 12, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int fd = 3; fd < 256; ++fd) {
    [[maybe_unused]] const ssize_t written = write(fd, forged, sizeof forged);
  }
  Crash();
#elif defined(FAULT_CLOSE_DESCRIPTORS)
  for (int fd = 3; fd < 1024; ++fd) close(fd);
#elif defined(FAULT_MEMORY_HOG)
  // 64 MiB at a time, each written: more than any trial allows, and a bound should the
  // limit fail, so a test cannot eat the machine.
  static std::vector<char*> held;
  for (int i = 0; i < 64; ++i) {
    char* block = new char[64u << 20];
    std::memset(block, 1, 64u << 20);
    held.push_back(block);
  }
  std::abort();
#elif defined(FAULT_DAEMON)
  // A daemon as a package might start one: detached from its session, holding the
  // output it was given.
  if (const pid_t child = fork(); child == 0) {
    setsid();
    if (fork() == 0) {
      prctl(PR_SET_NAME, "faulty-daemon");
      sleep(30);
      _exit(0);
    }
    _exit(0);
  } else if (child > 0) {
    waitpid(child, nullptr, 0);
  }
#elif defined(FAULT_PRINTS)
  std::printf("faulty: printed to standard output\n");
  std::fflush(stdout);
  std::fprintf(stderr, "faulty: printed to standard error\n");
  std::printf("faulty: left in the buffer\n");  // written when the process flushes it
#elif defined(FAULT_QT_BOX)
  QMessageBox::information(nullptr, "faulty", "A plain Qt box");
#elif defined(FAULT_KILL_VICTIM)
  // Signals the process named in the environment, as a package might signal one it
  // believes its own.
  if (const char* victim = std::getenv("WB_TEST_VICTIM")) kill(std::atoi(victim), SIGKILL);
#endif
}

// A thread of the package's own while it is loaded, stopped by its finalisation as it
// should be: a process forked from one holding it would not have it.
#if defined(KEEPS_THREAD)
std::atomic<bool> stopping{false};
std::thread kept;
#endif

#if defined(FAULT_IN_CONSTRUCTOR)
struct FaultOnLoad {
  FaultOnLoad() { Fault(); }
} faultOnLoad;
#endif

}  // namespace

TEST_COMPONENT_CLASS(TFaulty)

// The macros paste their argument: FAULT_UNIT is expanded one level up.
#define FAULTY_INIT(Unit) RTL_UNIT_INITIALIZATION(Unit)
#define FAULTY_FINI(Unit) RTL_UNIT_FINALIZATION(Unit)
#define FAULTY_REGISTER(Unit) RTL_UNIT_REGISTER(Unit)

FAULTY_INIT(FAULT_UNIT) {
#if defined(KEEPS_THREAD)
  kept = std::thread([] {
    while (!stopping) usleep(1000);
  });
#endif
#if defined(FAULT_IN_INIT)
  Fault();
#endif
}

FAULTY_FINI(FAULT_UNIT) {
#if defined(KEEPS_THREAD)
  stopping = true;
  kept.join();
#endif
#if defined(FAULT_IN_FINI)
  Fault();
#endif
}

FAULTY_REGISTER(FAULT_UNIT) {
  rtl::RegisterComponents("Faulty", {TFaulty::StaticClass()});
  registered = true;
#if defined(FAULT_IN_REGISTER)
  Fault();
#endif
}
