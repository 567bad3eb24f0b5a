// The handler of a fatal signal. It runs in a process whose heap, locks and libraries
// may be what broke, so it does nothing but system calls and plain copies into memory
// set aside beforehand: no allocation, no lock, no unwinding. Everything that needs
// more (unwinding, symbols) is done by whoever reads the record.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "crash_fields.h"
#include "crash_maps.h"
#include "trial/crash.h"

namespace trial {

namespace {

using crash_fields::kMaxAction;
using crash_fields::kMaxMaps;
using crash_fields::kMaxPackage;
using crash_fields::kMaxStack;

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
// What the ABI lets a function keep below its stack pointer: live data of the
// interrupted function may be there.
constexpr std::uint64_t kRedZone = 128;
// How long a reader may take the record before the process dies without it.
constexpr unsigned kGuardSeconds = 5;
constexpr std::size_t kAltStackSize = 64 * 1024;
#if defined(__x86_64__)
constexpr std::size_t kRegisterCount = 17;
#else
constexpr std::size_t kRegisterCount = 1;  // unused: no registers are recorded
#endif

// --- where the record goes -------------------------------------------------------

std::atomic<int> gFd{-1};
std::atomic<std::uint8_t> gKind{0};
std::atomic<std::uint64_t> gId{0};
std::atomic<pid_t> gOwner{0};  // the thread whose record is being written; 0: none yet
std::atomic<int> gSignal{0};   // its signal, which the guard lets end the process

// --- what the program does (CrashAction) -------------------------------------------

// Two slots, so that the handler reads one that is whole while the main thread fills
// the other; the generation says which is published, and that it did not change while
// the handler copied it.
struct ActionTexts {
  char action[kMaxAction];
  std::atomic<std::uint32_t> actionSize{0};
  char package[kMaxPackage];
  std::atomic<std::uint32_t> packageSize{0};
};
ActionTexts gSlots[2];
std::atomic<std::uint32_t> gGeneration{0};

void Publish(std::string_view action, std::string_view package) {
  const std::uint32_t next = gGeneration.load(std::memory_order_relaxed) + 1;
  ActionTexts& slot = gSlots[next & 1];
  action = action.substr(0, kMaxAction);
  package = package.substr(0, kMaxPackage);
  std::memcpy(slot.action, action.data(), action.size());
  slot.actionSize.store(static_cast<std::uint32_t>(action.size()), std::memory_order_relaxed);
  std::memcpy(slot.package, package.data(), package.size());
  slot.packageSize.store(static_cast<std::uint32_t>(package.size()), std::memory_order_relaxed);
  gGeneration.store(next, std::memory_order_release);
}

const ActionTexts& Published() {
  return gSlots[gGeneration.load(std::memory_order_acquire) & 1];
}

// --- memory set aside ----------------------------------------------------------------

char gFrame[kMaxCrashFrame];
char gMaps[kMaxMaps];
char gActionCopy[kMaxAction];
char gPackageCopy[kMaxPackage];

static_assert(wire::kHeaderSize + crash_fields::kFixedSize + 8 * kRegisterCount + kMaxAction +
                      kMaxPackage + kMaxStack + kMaxMaps <=
                  kMaxCrashFrame,
              "the largest record fits the frame set aside for it");

// A span of the live stack, copied as the record is written.
struct LiveMemory {
  std::uint64_t address = 0;
  std::size_t size = 0;
};

struct Registers {
  std::uint64_t values[kRegisterCount] = {};
  std::size_t count = 0;
  std::size_t size() const { return count; }
  const std::uint64_t* begin() const { return values; }
  const std::uint64_t* end() const { return values + count; }
};

// A CrashRecord's members, over memory that is already there.
struct HandlerRecord {
  std::int32_t signal = 0;
  std::int32_t code = 0;
  std::uint64_t address = 0;
  std::uint64_t thread = 0;
  bool mainThread = false;
  std::string_view action;
  std::string_view package;
  std::uint64_t pc = 0;
  Registers registers;
  std::uint64_t stackAddress = 0;
  LiveMemory stack;
  std::string_view maps;
};
HandlerRecord gRecord;  // off the stack, which may be all but gone

// Reads the stack word by word, out of the sanitizer's sight: the frames there hold
// the poisoned zones it puts around locals.
[[gnu::no_sanitize_address]] void CopyStack(char* to, std::uint64_t from, std::size_t size) {
  const volatile std::uint64_t* word = reinterpret_cast<const volatile std::uint64_t*>(from);
  for (std::size_t i = 0; i < size / 8; ++i) {
    const std::uint64_t value = word[i];
    __builtin_memcpy(to + 8 * i, &value, 8);
  }
}

// wire::Writer's fields, into a buffer of fixed size.
class FixedWriter {
 public:
  FixedWriter(char* at, char* end) : at_(at), end_(end) {}
  FixedWriter& U8(std::uint8_t value) { return Little(value, 1); }
  FixedWriter& U32(std::uint32_t value) { return Little(value, 4); }
  FixedWriter& U64(std::uint64_t value) { return Little(value, 8); }
  FixedWriter& Bool(bool value) { return U8(value ? 1 : 0); }
  FixedWriter& Text(std::string_view text) {
    U32(static_cast<std::uint32_t>(text.size()));
    if (Room(text.size())) std::memcpy(at_, text.data(), text.size());
    at_ += text.size();
    return *this;
  }
  FixedWriter& Text(LiveMemory memory) {
    U32(static_cast<std::uint32_t>(memory.size));
    if (Room(memory.size)) CopyStack(at_, memory.address, memory.size);
    at_ += memory.size;
    return *this;
  }
  char* At() const { return at_; }

 private:
  bool Room(std::size_t size) const { return size <= static_cast<std::size_t>(end_ - at_); }
  FixedWriter& Little(std::uint64_t value, std::size_t size) {
    if (Room(size)) {
      for (std::size_t i = 0; i < size; ++i) at_[i] = static_cast<char>(value >> (8 * i));
    }
    at_ += size;
    return *this;
  }
  char* at_;
  char* end_;
};

// --- the record ------------------------------------------------------------------

// The registers in DWARF's numbering; returns the stack pointer.
std::uint64_t ReadRegisters(const ucontext_t* context, HandlerRecord& record) {
  if (context == nullptr) return 0;
#if defined(__x86_64__)
  static constexpr int kDwarfOrder[kRegisterCount] = {
      REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI, REG_RBP, REG_RSP, REG_R8,
      REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
  for (std::size_t i = 0; i < kRegisterCount; ++i) {
    record.registers.values[i] =
        static_cast<std::uint64_t>(context->uc_mcontext.gregs[kDwarfOrder[i]]);
  }
  record.registers.count = kRegisterCount;
  record.pc = static_cast<std::uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
  return static_cast<std::uint64_t>(context->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
  record.pc = context->uc_mcontext.pc;
  return context->uc_mcontext.sp;
#else
  return 0;
#endif
}

// The texts of CrashAction as they were published, never one being written.
void CopyActionTexts(HandlerRecord& record) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::uint32_t generation = gGeneration.load(std::memory_order_acquire);
    const ActionTexts& slot = gSlots[generation & 1];
    const std::size_t action =
        std::min<std::size_t>(slot.actionSize.load(std::memory_order_relaxed), kMaxAction);
    const std::size_t package =
        std::min<std::size_t>(slot.packageSize.load(std::memory_order_relaxed), kMaxPackage);
    std::memcpy(gActionCopy, slot.action, action);
    std::memcpy(gPackageCopy, slot.package, package);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (gGeneration.load(std::memory_order_relaxed) == generation) {
      record.action = std::string_view(gActionCopy, action);
      record.package = std::string_view(gPackageCopy, package);
      return;
    }
  }
}

// Gathers the record into gFrame as one whole frame; returns its size.
std::size_t Gather(int signal, const siginfo_t* info, const ucontext_t* context, pid_t thread) {
  HandlerRecord& record = gRecord;
  record.signal = signal;
  record.code = info != nullptr ? info->si_code : 0;
  // Sent by a process, si_addr overlaps the sender's id: only a fault has an address.
  if (info != nullptr && info->si_code > 0) {
    record.address = reinterpret_cast<std::uint64_t>(info->si_addr);
  }
  record.thread = static_cast<std::uint64_t>(thread);
  record.mainThread = thread == getpid();
  CopyActionTexts(record);
  crash_maps::MapsCopy maps;
  maps.sp = ReadRegisters(context, record);
  crash_maps::ReadMaps(maps, gMaps);
  record.maps = std::string_view(gMaps, maps.size);
  if (maps.stackEnd != 0) {
    const std::uint64_t below = maps.sp >= kRedZone ? (maps.sp - kRedZone) & ~std::uint64_t{7} : 0;
    const std::uint64_t from = std::max(maps.stackStart, below);
    record.stackAddress = from;
    record.stack = LiveMemory{from, std::min<std::size_t>(maps.stackEnd - from, kMaxStack)};
  }

  FixedWriter body(gFrame + wire::kHeaderSize, gFrame + sizeof gFrame);
  crash_fields::Put(body, record);
  const auto bodySize = static_cast<std::size_t>(body.At() - (gFrame + wire::kHeaderSize));
  FixedWriter header(gFrame, gFrame + wire::kHeaderSize);
  header.U32(static_cast<std::uint32_t>(1 + 8 + bodySize))
      .U8(gKind.load(std::memory_order_relaxed))
      .U64(gId.load(std::memory_order_relaxed));
  return std::min(wire::kHeaderSize + bodySize, sizeof gFrame);
}

void WriteOut(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      pollfd ready{fd, POLLOUT, 0};
      if (errno == EAGAIN && poll(&ready, 1, 1000) >= 0) continue;
      return;  // the reader is gone: the record with it
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

// --- the end ---------------------------------------------------------------------

[[noreturn]] void DieOf(int signal) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  // A write to a reader that is gone left a SIGPIPE pending (blocked while the
  // handler runs): the process must not be said to have died of that.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  const timespec now{0, 0};
  while (syscall(SYS_rt_sigtimedwait, &pipe, nullptr, &now, _NSIG / 8) == SIGPIPE) {
  }
  // Raised again whatever brought it (a fault, abort(), a kill from outside): the
  // same death as without a handler.
  syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), signal);
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, signal);
  sigprocmask(SIG_UNBLOCK, &own, nullptr);
  _exit(128 + signal);  // not reached
}

// A reader that never reads must not keep the process from dying.
void OnGuard(int) {
  DieOf(gSignal.load());
}

void StartGuard() {
  struct sigaction guard {};
  guard.sa_handler = OnGuard;  // no SA_RESTART: a write waiting for the reader ends
  sigemptyset(&guard.sa_mask);
  sigaction(SIGALRM, &guard, nullptr);
  sigset_t alarmed;
  sigemptyset(&alarmed);
  sigaddset(&alarmed, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarmed, nullptr);
  alarm(kGuardSeconds);
}

void OnFatalSignal(int signal, siginfo_t* info, void* context) {
  const auto thread = static_cast<pid_t>(syscall(SYS_gettid));
  pid_t owner = 0;
  if (!gOwner.compare_exchange_strong(owner, thread)) {
    // This thread failed writing its record: no second try.
    if (owner == thread) DieOf(signal);
    // Another thread's record is on its way, and its end is this process's too.
    for (;;) pause();
  }
  gSignal.store(signal);
  StartGuard();
  if (const int fd = gFd.load(); fd >= 0) {
    WriteOut(fd, gFrame, Gather(signal, info, static_cast<const ucontext_t*>(context), thread));
  }
  DieOf(signal);
}

// An alternate stack for the installing thread, so that it can record overrunning its
// own; a guard page below it.
void GiveThreadAnAltStack() {
  thread_local bool given = false;
  if (given) return;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t size = std::max<std::size_t>(kAltStackSize, SIGSTKSZ);
  void* memory =
      mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  mprotect(memory, page, PROT_NONE);
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(memory) + page;
  stack.ss_size = size;
  if (sigaltstack(&stack, nullptr) == 0) {
    given = true;
  } else {
    munmap(memory, size + page);
  }
}

}  // namespace

void InstallCrashHandler(int fd, Kind kind, std::uint64_t id) {
  gFd.store(fd);
  gKind.store(static_cast<std::uint8_t>(kind));
  gId.store(id);
  // The pages set aside are made real now, not in a process short of memory.
  std::memset(gFrame, 0, sizeof gFrame);
  std::memset(gMaps, 0, sizeof gMaps);
  GiveThreadAnAltStack();

  struct sigaction action {};
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  // Blocked while it runs: a second fault in the handler then ends the process at
  // once, and a write to a reader that is gone raises nothing.
  sigemptyset(&action.sa_mask);
  for (const int signal : kFatalSignals) sigaddset(&action.sa_mask, signal);
  sigaddset(&action.sa_mask, SIGPIPE);
  for (const int signal : kFatalSignals) sigaction(signal, &action, nullptr);
}

CrashAction::CrashAction(std::string_view action, std::string_view package) {
  const ActionTexts& now = Published();
  previousAction_.assign(now.action, now.actionSize.load());
  previousPackage_.assign(now.package, now.packageSize.load());
  Publish(action, package);
}

CrashAction::~CrashAction() {
  Publish(previousAction_, previousPackage_);
}

}  // namespace trial
