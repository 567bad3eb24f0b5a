#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rtl/package.h"
#include "test_support.h"
#include "trial/crash.h"
#include "trial/protocol.h"

using namespace std::string_literals;
using testing::EndsWith;
using testing::HasSubstr;

namespace {

using namespace trial;

// --- faults, each at a line the symbols must name ----------------------------------

// Not null, which the undefined-behaviour sanitizer would report before the fault.
constexpr std::uint64_t kNowhere = 16;
int* volatile nowhere = reinterpret_cast<int*>(kNowhere);

[[gnu::noinline, noreturn]] void WriteToNowhere() {
  for (;;) *nowhere = 1;
}
constexpr std::uint32_t kWriteLine = __LINE__ - 2;

// The call is the last instruction: its return address lies past the function.
[[gnu::noinline]] void CallToTheEnd() {
  WriteToNowhere();
}
constexpr std::uint32_t kCallToTheEndLine = __LINE__ - 2;

[[gnu::always_inline]] inline void WriteInlined() {
  *nowhere = 2;
}
constexpr std::uint32_t kInlinedLine = __LINE__ - 2;

[[gnu::noinline]] void CallInlined() {
  WriteInlined();
}
constexpr std::uint32_t kCallInlinedLine = __LINE__ - 2;

volatile bool deeper = true;
[[gnu::noinline]] int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return deeper ? Recurse(depth + 1) + frame[0] : 0;
}

void OverflowTheStack() {
  rlimit stack{};
  getrlimit(RLIMIT_STACK, &stack);
  stack.rlim_cur = 1 << 20;  // soon, whatever the limit the tests were given
  setrlimit(RLIMIT_STACK, &stack);
  Recurse(0);
}

void TwoThreadsAtOnce() {
  std::atomic<int> ready{0};
  auto fault = [&ready] {
    ++ready;
    while (ready < 2) {
    }
    WriteToNowhere();
  };
  std::thread first(fault), second(fault);
  first.join();
  second.join();
}

void FaultDuringAnAction() {
  CrashAction loading("loading", "/packages/liba.so");
  { CrashAction inner("running", "/packages/libb.so"); }
  WriteToNowhere();
}

// --- a child that dies -------------------------------------------------------------

struct Death {
  int status = 0;
  std::string bytes;  // what it wrote before it died
};

// What becomes of the pipe's reading end while the child dies. Late: the pipe is full
// and does not block, and room comes a moment after the record's first write.
enum class Reader { Reads, Late, Gone };

Death Die(void (*fault)(), Reader reader = Reader::Reads) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("test: no pipe");
  if (reader == Reader::Gone) close(ends[0]);
  std::size_t filled = 0;
  if (reader == Reader::Late) {
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::string filler(65536, 'x');
    for (ssize_t put; (put = write(ends[1], filler.data(), filler.size())) > 0;) filled += put;
  }
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("test: no child");
  if (child == 0) {
    InstallCrashHandler(ends[1], Kind::Crashed, 77);
    fault();
    _exit(0);
  }
  close(ends[1]);
  Death death;
  if (reader == Reader::Late) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (reader != Reader::Gone) {
    char buffer[65536];
    for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) != 0;) {
      if (got > 0) death.bytes.append(buffer, static_cast<std::size_t>(got));
      if (got < 0 && errno != EINTR) break;
    }
    death.bytes.erase(0, filled);
    close(ends[0]);
  }
  waitpid(child, &death.status, 0);
  return death;
}

struct Expected {
  std::string function;  // part of it
  std::string file;      // the end of it
  std::uint32_t line = 0;
};

Expected Here(std::string function, std::uint32_t line) {
  return {std::move(function), "crash_test.cpp", line};
}

// The signal, si_code and si_addr of a death.
struct How {
  int signal;
  int code;  // kAnyCode: neither it nor the address is checked
  std::uint64_t address;
};
constexpr int kAnyCode = -1000;
constexpr How kWrite{SIGSEGV, SEGV_MAPERR, kNowhere};

using Frames = std::vector<Expected>;  // the report's first frames

struct Fault {
  const char* what;
  void (*fault)();
  How how;
  Frames frames;
  bool mainThread = true;
  std::string action = {}, package = {};
  std::string module = {};  // holding the faulting instruction; empty: this program
};

TEST(CrashRecord, AFatalSignalIsRecordedNamedAndTheProcessDiesOfIt) {
  const std::string program = testsupport::ExecutablePath();
  const std::string faultinit = testsupport::RealPath(testsupport::PackageFile("faultinit"));
  const auto faultLine = static_cast<std::uint32_t>(testsupport::FaultLine());
  const Expected inWrite = Here("WriteToNowhere()", kWriteLine);
  const Fault rows[] = {
      {"a write to nowhere, called last in its caller", CallToTheEnd, kWrite,
       Frames{inWrite, Here("CallToTheEnd()", kCallToTheEndLine)}},
      {"a write in a function inlined into its caller", CallInlined, kWrite,
       Frames{Here("(anonymous namespace)::WriteInlined", kInlinedLine),
              Here("CallInlined()", kCallInlinedLine)}},
      {"abort()", [] { std::abort(); }, How{SIGABRT, SI_TKILL, 0}, Frames{}},
      {"a signal it sends itself", [] { kill(getpid(), SIGBUS); }, How{SIGBUS, SI_USER, 0},
       Frames{}},
      {"a fault in a second thread", [] { std::thread(WriteToNowhere).join(); }, kWrite,
       Frames{inWrite}, false},
      {"two threads faulting at once", TwoThreadsAtOnce, kWrite, Frames{inWrite}, false},
      {"a fault while an action is under way", FaultDuringAnAction, kWrite, Frames{inWrite}, true,
       "loading", "/packages/liba.so"},
      {"an overrun of the main thread's stack", OverflowTheStack, How{SIGSEGV, kAnyCode, 0},
       Frames{Here("Recurse(int)", 0)}},
      {"a fault in a package's code",
       [] { rtl::LoadPackage(testsupport::PackageFile("faultinit")); },
       How{SIGSEGV, SEGV_MAPERR, 0}, Frames{Expected{"Crash()", "faulty.cpp", faultLine}}, true, "",
       "", faultinit},
  };
  for (const Fault& row : rows) {
    SCOPED_TRACE(row.what);
    const Death death = Die(row.fault);
    EXPECT_TRUE(WIFSIGNALED(death.status) && WTERMSIG(death.status) == row.how.signal)
        << "status " << death.status;
    wire::FrameReader reader(kMaxCrashFrame, kMaxCrashFrame);
    reader.Feed(death.bytes);
    const auto frame = reader.Next();
    ASSERT_TRUE(frame) << death.bytes.size() << " bytes, no whole frame";
    const CrashRecord record = Decode<CrashRecord>(*frame);
    EXPECT_EQ(Encode(Kind::Crashed, 77, record), death.bytes) << "one frame, as encoded";

    EXPECT_EQ(record.signal, row.how.signal);
    if (row.how.code != kAnyCode) {
      EXPECT_EQ(record.code, row.how.code);
      EXPECT_EQ(record.address, row.how.address);
    }
    EXPECT_EQ(record.mainThread, row.mainThread);
    EXPECT_EQ(record.action, row.action);
    EXPECT_EQ(record.package, row.package);
    EXPECT_THAT(record.maps, HasSubstr(program));
#if defined(__x86_64__)
    EXPECT_EQ(record.registers.size(), 17u);
    EXPECT_FALSE(record.stack.empty());
#endif

    const CrashReport report = Symbolize(record);
    ASSERT_GE(report.frames.size(), row.frames.size());
    for (std::size_t i = 0; i < row.frames.size(); ++i) {
      SCOPED_TRACE("frame " + std::to_string(i) + ": " + report.frames[i].Text());
      EXPECT_THAT(report.frames[i].function, HasSubstr(row.frames[i].function));
      if (row.frames[i].line == 0) continue;
      EXPECT_THAT(report.frames[i].file, EndsWith(row.frames[i].file));
      EXPECT_EQ(report.frames[i].line, row.frames[i].line);
    }
    if (row.frames.empty()) continue;
    EXPECT_EQ(report.module, row.module.empty() ? program : row.module);
    EXPECT_EQ(report.frames[0].package, !row.module.empty());
    EXPECT_EQ(report.FaultingPackage(), row.module.empty() ? row.package : row.module);
  }
}

// A reader that comes late still gets the record; one that is gone loses it, not the
// death: the process dies of its signal all the same.
TEST(CrashRecord, TheRecordWaitsForALateReaderAndTheDeathForNone) {
  for (const Reader reader : {Reader::Late, Reader::Gone}) {
    const Death death = Die(CallToTheEnd, reader);
    EXPECT_TRUE(WIFSIGNALED(death.status) && WTERMSIG(death.status) == SIGSEGV)
        << "status " << death.status;
    wire::FrameReader frames(kMaxCrashFrame, kMaxCrashFrame);
    frames.Feed(death.bytes);
    EXPECT_EQ(frames.Next().has_value(), reader == Reader::Late);
  }
}

TEST(CrashRecord, DecodeRefusesABodyThatIsNotARecord) {
  CrashRecord record;
  record.registers = {1, 2, 3};
  record.stack = "stack";
  const std::string body = Encode(Kind::Crashed, 0, record).substr(wire::kHeaderSize);
  const std::string head = body.substr(0, 4 + 4 + 8 + 8 + 1 + 4 + 4 + 8);
  struct Row {
    const char* what;
    std::string body;
    const char* error;
  } rows[] = {
      // The reader's own refusals are the protocol's tests; these are the record's.
      {"a byte after it", body + "x", "1 bytes left over"},
      {"more registers than a machine has",
       head + wire::Writer().U32(65).Frame(0, 0).substr(wire::kHeaderSize) +
           std::string(65 * 8 + 8 + 4 + 4, '\0'),
       "65 registers, above the 64 allowed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    try {
      (void)Decode<CrashRecord>(wire::Frame{29, 0, row.body});
      ADD_FAILURE() << "read";
    } catch (const wire::DecodeError& e) {
      EXPECT_THAT(e.what(), HasSubstr(row.error));
    }
  }
}

TEST(CrashReport, ReadsAsLinesAndNamesThePackageAtFault) {
  CrashReport report;
  report.signal = SIGSEGV;
  report.address = ~0ull;
  report.mainThread = true;
  report.action = "loading";
  report.package = "/p/liba.so";
  report.module = "/p/libb.so";
  report.frames = {{0x7f1234, 0x1c, "/p/libb.so", "Crash()", "/src/faulty.cpp", 35, true},
                   {0x7f5678, 0x1234, "/p/libc.so", "", "", 0, false},
                   {0x7f9abc, 0x1c, "/p/libc.so", "Run()", "", 0, false},
                   {0x7f5678, 0x1234, "/p/libc.so", "", "/src/x.cpp", 12, false},
                   {0x7f12a0, 0, "", "", "", 0, false}};
  EXPECT_EQ(report.Lines(), (std::vector<std::string>{
                                "in Crash() at /src/faulty.cpp:35 (libb.so)",
                                "called from libc.so+0x1234",
                                "called from Run()+0x1c (libc.so)",
                                "called from libc.so+0x1234 at /src/x.cpp:12",
                                "called from 0x7f12a0 (no module)",
                            }));
  EXPECT_EQ(report.FaultingPackage(), "/p/libb.so");
  report.frames[0].package = false;
  EXPECT_EQ(report.FaultingPackage(), "/p/liba.so");
}

TEST(CrashSymbols, WhatCannotBeReadGivesLessNeverAnError) {
  testsupport::TempDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::stringstream ownMaps;
  ownMaps << std::ifstream("/proc/self/maps").rdbuf();
  const auto pc = reinterpret_cast<std::uint64_t>(&WriteToNowhere);
  const auto garbage = std::vector<std::uint64_t>(17, 0xdeadbeefdeadbeef);

  CrashRecord nothing;
  CrashRecord noFiles = nothing;
  noFiles.pc = 0x1500;
  noFiles.registers = garbage;
  noFiles.maps =
      "1000-2000 r-xp 00000000 08:01 12 /nowhere/libx.so\n1000-2000 r-xp 00000000 "
      "08:01 12 " +
      fifo + "\nnot a map at all\n" + std::string(kMapsCut);
  CrashRecord noRegisters = nothing;
  noRegisters.pc = pc;
  noRegisters.maps = ownMaps.str();
  CrashRecord garbageRegisters = noRegisters;
  garbageRegisters.registers = garbage;
  garbageRegisters.registers[16] = pc;
  garbageRegisters.stack = std::string(64, '\xff');
  const struct {
    const char* what;
    CrashRecord record;
    const char* function;
  } rows[] = {
      {"nothing at all", nothing, ""},
      {"files that are gone or no files", noFiles, ""},
      {"no registers", noRegisters, "WriteToNowhere()"},
      {"registers that point nowhere", garbageRegisters, "WriteToNowhere()"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const CrashReport report = Symbolize(row.record);
    ASSERT_FALSE(report.frames.empty());
    EXPECT_EQ(report.frames[0].address, row.record.pc);
    EXPECT_THAT(report.frames[0].function, HasSubstr(row.function));
  }
}

}  // namespace
