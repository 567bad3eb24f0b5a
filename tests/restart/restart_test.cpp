// The program as a user runs it, killed by package code that passed its trials: it
// comes back at once without the package, and tells what happened and where; killed
// again right after, it ends with the report instead of coming back a second time.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testing::HasSubstr;
using testsupport::WaitUntil;
using namespace std::chrono_literals;

std::string ReadProc(int pid, const char* what) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/" + what);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The workbench the supervisor runs now, once its crash handler is in place (it is
// the one that catches SIGSYS; a sanitizer's catches SIGSEGV before it).
int RunningWorkbench(int supervisor) {
  for (const auto& process : testsupport::ProcessesNamed("workbench")) {
    if (process.parent != supervisor) continue;
    std::istringstream status(ReadProc(process.pid, "status"));
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigCgt:", 0) == 0 &&
          (std::stoull(line.substr(7), nullptr, 16) >> (SIGSYS - 1) & 1) != 0) {
        return process.pid;
      }
    }
  }
  return 0;
}

TEST(Restart, AFaultOfPackageCodeBringsTheWorkbenchBackOnceWithTheReport) {
  const std::string package = testsupport::PackageFile("latefault");
  // A channel variable that is not a descriptor's number alone is no supervisor's,
  // though the number it starts with is open.
  testsupport::StartedTool program(
      WORKBENCH_PROGRAM, {package},
      {"WB_TEST_FAULT_AFTER_MS=300", "WB_TRIAL_TIMEOUT=30", "WB_SUPERVISOR_FD=2x"});
  ASSERT_TRUE(WaitUntil([&] {
    return program.ErrSoFar().find("started again") != std::string::npos;
  })) << program.ErrSoFar();
  const std::string first = program.ErrSoFar();
  const std::string at = "faulty.cpp:" + std::to_string(testsupport::FaultLine());
  const std::vector<std::string> lines = {
      "workbench: The workbench was ended by a fault in package code.\n",
      "workbench: Package: " + testsupport::RealPath(package) + "\n",
      "workbench: While: no action: a thread or timer of package latefault\n",
      "workbench: Signal: SIGSEGV (Segmentation fault), at address 0x0\n",
      "Crash() at ",
      at + " (liblatefault.so)\n",
      "workbench: The package was not loaded again.\n"};
  for (const std::string& line : lines) {
    EXPECT_THAT(first, HasSubstr(line));
  }

  int again = 0;
  ASSERT_TRUE(WaitUntil([&] { return (again = RunningWorkbench(program.Pid())) != 0; }))
      << "the workbench should have been started again";
  EXPECT_EQ(ReadProc(again, "cmdline").find(package), std::string::npos) << "without it";
  EXPECT_EQ(ReadProc(again, "maps").find("liblatefault.so"), std::string::npos)
      << "the package should not be loaded again";
  // The channel to the supervisor is the workbench's alone: what it starts, the trial
  // host first, is not told of it.
  int host = 0;
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& process : testsupport::ProcessesNamed("trialhost")) {
      if (process.parent == again) host = process.pid;
    }
    return host != 0;
  }));
  EXPECT_THAT(ReadProc(host, "environ"), testing::Not(HasSubstr("WB_SUPERVISOR_FD")));

  // Ended again at once, from outside this time, by another fault's signal: the
  // report names where it was.
  kill(again, SIGILL);
  const testsupport::ToolRun ended = program.Wait();
  EXPECT_EQ(ended.signal, SIGILL) << "the program should end as the workbench did";
  const std::string second = ended.err.substr(first.size());
  std::smatch where;
  ASSERT_TRUE(std::regex_search(
      second, where,
      std::regex(
          "workbench: The workbench was ended by a fault in ([^\n]+), not in package code\\.\n")))
      << second;
  if (where[1] != "code of no module") {
    EXPECT_THAT(second, HasSubstr("workbench: Module: " + where[1].str() + "\n"));
  }
  EXPECT_THAT(second, HasSubstr("workbench: Signal: SIGILL (Illegal instruction), at address "));
  EXPECT_THAT(second, HasSubstr("workbench: It was not started again: it was ended again within"));
  EXPECT_THAT(second, testing::Not(HasSubstr("started again with its session")));
}

// Asked to end, the program passes the request to the workbench and ends as it did,
// after it; an interrupt sent to it alone is the terminal's, which reaches the
// workbench by itself. A channel variable that names no descriptor it may have is
// no supervisor's: the program is one itself.
TEST(Restart, TheProgramPassesAnEndRequestOnAndLeavesAnInterruptToTheWorkbench) {
  for (const std::string channel : {"", "-1", "70000", "99"}) {
    testsupport::StartedTool program(WORKBENCH_PROGRAM, {}, {"WB_SUPERVISOR_FD=" + channel});
    int workbench = 0;
    ASSERT_TRUE(WaitUntil([&] { return (workbench = RunningWorkbench(program.Pid())) != 0; }))
        << channel;
    kill(program.Pid(), SIGINT);
    kill(program.Pid(), SIGTERM);
    const testsupport::ToolRun ended = program.Wait();
    EXPECT_EQ(ended.signal, SIGTERM) << ended.err;
    EXPECT_NE(kill(workbench, 0), 0) << "the workbench ended first";
  }
}

// Restarts turned off, the fault ends the program, as it would with no supervisor.
TEST(Restart, TurnedOffTheProgramEndsWithTheFault) {
  for (const std::string off : {"0", "off", "no", "false"}) {
    testsupport::StartedTool program(
        WORKBENCH_PROGRAM, {testsupport::PackageFile("latefault")},
        {"WB_TEST_FAULT_AFTER_MS=300", "WB_TRIAL_TIMEOUT=30", "WB_RESTART=" + off});
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadProc(program.Pid(), "stat").find(") Z ") != std::string::npos; }, 20s))
        << "WB_RESTART=" << off << " should end the program: " << program.ErrSoFar();
    const testsupport::ToolRun ended = program.Wait();
    // A sanitizer's report of the fault ends it by SIGABRT.
    EXPECT_THAT(ended.signal, testing::AnyOf(SIGSEGV, SIGABRT)) << off;
    EXPECT_THAT(ended.err, testing::Not(HasSubstr("started again"))) << off;
  }
}

}  // namespace
