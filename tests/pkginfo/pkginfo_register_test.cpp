// pkginfo --register run as a package author runs it: the registration procedures in
// the trial host, what they register and publish, and each way package code fails.

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <tuple>
#include <utility>

#include "pkginfo_test_support.h"

namespace {

using namespace pktest;

// Every call as made, page names exactly as given; the named procedure alone.
TEST(PkginfoRegister, RunsEveryRegistrationProcedureOrTheNamedOne) {
  const auto run = RunPkginfo({"--register", Package("multireg")});
  EXPECT_EQ(0, run.status) << run.err;
  const auto bare = [](const std::string& cls) { return "    " + cls + ": publishes nothing\n"; };
  EXPECT_EQ("file: " + Package("multireg") + "\npackage: multireg\n@MultiReg@Register$qqrv:\n" +
                "  page \"Multi\": TMultiA, TMultiB\n" + bare("TMultiA") + bare("TMultiB") +
                "  page \"Other\": TMultiC\n" + bare("TMultiC") + "  page \"Multi\": TMultiD\n" +
                bare("TMultiD") + "  page \"\": TMultiE\n" + bare("TMultiE") +
                "  page \"Hollow\": (none)\n  page \"multi\": TMultiF\n" + bare("TMultiF") +
                "  page \" Multi\": TMultiG\n" + bare("TMultiG") + "  page \"Multi \": TMultiH\n" +
                bare("TMultiH") + "  page \"\": TMultiI\n" + bare("TMultiI"),
            run.out + run.err);
  // A unit's procedure when the package exports it, in unit order, then every other
  // export shaped like one; never a unit's name made into a procedure that is not there.
  const auto odd = RunPkginfo({"--register", "--json", Package("oddnames")});
  std::vector<std::string> procedures;
  const Json oddJson = ParseJson(odd.out);
  for (const Json& p : oddJson.at("procedures")) procedures.push_back(p.at("name"));
  EXPECT_EQ(procedures,
            (std::vector<std::string>{"@OddUnit@Register$qqrv", "@Caseunit@Register$qqrv",
                                      "@rtl@Register$qqrv", "@liboddnames.so@Register$qqrv"}))
      << odd.out;
  EXPECT_EQ("file: " + Package("pkgbase") + "\npackage: pkgbase\nno registration procedures\n",
            RunPkginfo({"--register", Package("pkgbase")}).out);
  // Its trial runs it in a process as it would be of its own: no signal blocked.
  EXPECT_EQ(0, RunPkginfo({"--register", Package("signalmask")}).status);
  const auto named = RunPkginfo({"--register", Package("twounits"), "@TwoSecond@Register$qqrv"});
  EXPECT_EQ(0, named.status) << named.err;
  EXPECT_THAT(named.out, testing::HasSubstr(
                             "@TwoSecond@Register$qqrv:\n  page \"Two\": TTwoWidget, TTwoGadget"));
  // The toolkit stays loaded, as in the workbench: unloading the package must not
  // take Qt down with it (the sanitizer build catches what that leaves behind).
  const std::string demo = DEMO_PACKAGE_DIR;
  if (demo.empty()) GTEST_SKIP() << "the demo packages are built only with the toolkit";
  const auto extreg = RunPkginfo({"--register", "--json", demo + "/libextreg.so"});
  EXPECT_EQ(0, extreg.status) << extreg.err;
  EXPECT_EQ("", extreg.err);
  EXPECT_EQ("@Extreg@Register$qqrv", ParseJson(extreg.out).at("/procedures/0/name"_json_pointer))
      << extreg.out;
  EXPECT_FALSE(ParseJson(extreg.out).at("/procedures/0/registrations"_json_pointer).empty());
}

// Under each page, what each class publishes: its properties with their types and
// defaults, inherited ones too, and its published methods; in JSON beside the list
// of names, which stays as it was.
TEST(PkginfoRegister, ListsWhatEachClassPublishes) {
  const auto text = RunPkginfo({"--register", Package("previewfault")});
  EXPECT_EQ(0, text.status) << text.err;
  EXPECT_THAT(text.out, testing::HasSubstr("  page \"Preview faults\": TNullSetter, "
                                           "TNullConstructor, TNoOwner\n"
                                           "    TNullSetter:\n      Level: Integer = 1\n"
                                           "      Notes: Text list = [\"to do\", \"done\"]\n"
                                           "      methods: Reset, Raise\n"
                                           "    TNullConstructor: publishes nothing\n"
                                           "    TNoOwner: publishes nothing\n"));
  const auto json = RunPkginfo({"--register", "--json", Package("previewfault")});
  const Json page = ParseJson(json.out).at("/procedures/0/registrations/0"_json_pointer);
  EXPECT_EQ(Json({"TNullSetter", "TNullConstructor", "TNoOwner"}), page.at("classes"));
  EXPECT_EQ(Json::parse(R"({"class": "TNullSetter", "methods": ["Reset", "Raise"],
                            "properties": [{"name": "Level", "type": "Integer", "default": "1"},
                              {"name": "Notes", "type": "Text list", "default": "to do\ndone"}]})"),
            page.at("/published/0"_json_pointer));

  const std::string demo = DEMO_PACKAGE_DIR;
  if (demo.empty()) GTEST_SKIP() << "the demo packages are built only with the toolkit";
  // TClickCounter publishes its count and Reset beside all a button has; a text's
  // default is quoted.
  const auto stdreg = RunPkginfo({"--register", demo + "/libstdreg.so"});
  EXPECT_EQ(0, stdreg.status) << stdreg.err;
  const std::size_t counter = stdreg.out.find("    TClickCounter:\n");
  ASSERT_NE(std::string::npos, counter) << stdreg.out;
  const std::string block =
      stdreg.out.substr(counter, stdreg.out.find("  page", counter) - counter);
  EXPECT_THAT(block, testing::HasSubstr("      Caption: Text = \"\"\n"));
  EXPECT_THAT(block, testing::HasSubstr("      Clicks: Integer = 0\n      methods: Reset\n"));
}

// Several packages in one run, each loaded while the next runs: the second build of a
// package registers its class under the name the first one holds, which the registry
// refuses there as the workbench's would; a procedure belongs to the file before it.
TEST(PkginfoRegister, SeveralPackagesRunInOneTrialAndAClassNameClashIsTold) {
  const std::string one = Package("watchone"), two = Package("watchtwo");
  const auto text = RunPkginfo({"--register", one, two});
  EXPECT_EQ(1, text.status);
  EXPECT_THAT(text.out, testing::HasSubstr("file: " + one + "\npackage: watchone\n"));
  EXPECT_THAT(text.err, testing::HasSubstr("pkginfo: " + two +
                                           ": @Watched@Register$qqrv raised: Class TWatchedGauge "
                                           "is already registered from " +
                                           one));
  const auto lines = Lines(RunPkginfo({"--register", "--json", one, two}).out);
  ASSERT_EQ(2u, lines.size());
  EXPECT_TRUE(ParseJson(lines[0]).at("ok").get<bool>());
  EXPECT_FALSE(ParseJson(lines[1]).at("ok").get<bool>());

  const auto named = RunPkginfo({"--register", Package("twounits"), "@TwoSecond@Register$qqrv", one,
                                 "@Watched@Register$qqrv"});
  EXPECT_EQ(0, named.status) << named.err;
  EXPECT_EQ(2, RunPkginfo({"--register", one, "@A@Register$qqrv", "@B@Register$qqrv"}).status)
      << "one procedure per file";
}

// Whatever keeps a run from ending well gives a line, and the JSON says the same
// where it belongs; exit 1. Code that takes the process down ends pkginfo's run of
// it, not pkginfo; what was registered before is still shown.
TEST(PkginfoRegister, EachFailureIsToldInALine) {
  testsupport::TempDir dir;
  const std::string text = dir.Write("notes.txt", "hi\n");
  struct Row {
    std::vector<std::string> args;      // after --register
    std::string line;                   // how stderr's last line goes on after "pkginfo: <file>: "
    const char* pointer;                // where the JSON says it
    Json said;                          // what it says there; a text: how it starts
    std::string shown = {};             // what stdout still shows
    std::function<void()> before = {};  // sets the file up for each run
  };
  // A trial run that ended badly: how, said and in JSON, and in what stage.
  const auto ended = [](const std::string& file, const std::pair<std::string, Json>& how,
                        const std::string& stage, const std::string& shown = {}) {
    Json said = how.second;
    said["stage"] = stage;
    return Row{{file}, "the trial run " + how.first + " in " + stage, "/ended", said, shown};
  };
  const std::string faulty = "  page \"Faulty\": TFaulty\n";
  const auto init = [](const std::string& unit, const std::string& package) {
    return "the initialisation of unit " + unit + " of package " + package;
  };
  const std::pair<std::string, Json> segv{"died of signal SIGSEGV (Segmentation fault)",
                                          {{"signal", "SIGSEGV"}}};
  // What the package left behind when it was unloaded, once it had registered.
  const std::string alarmer = "the finalisation of unit Alarmer of package alarmer";
  const std::string swapped = dir.File("libswapfile.so");
  using Args = std::vector<std::string>;
  std::vector<Row> rows = {
      {Args{text}, "not an ELF file (bad magic)", "/error", text + ": not an ELF file"},
      {Args{Package("missingreq")},
       "required package pkgnowhere not found (looked for " + Package("pkgnowhere"), "/error",
       Package("missingreq") + ": required package pkgnowhere not found"},
      {Args{Package("mark"), "@Nothing@Register$qqrv"},
       "package mark exports no procedure @Nothing@Register$qqrv", "/error",
       Package("mark") + ": package mark exports no procedure"},
      {Args{Package("raisereg")},
       "@RaiseReg@Register$qqrv raised: RaiseReg: the second page cannot be registered",
       "/procedures/0/error", "RaiseReg: the second page cannot be registered",
       "  page \"Raising\": TRaiseFirst\n"},
      ended(Package("faultinit"), segv, init("FaultInit", "faultinit")),
      ended(Package("faultreg"), segv, "procedure @FaultReg@Register$qqrv", faulty),
      ended(Package("faultexit"), {"exited with status 3", {{"exitStatus", 3}}},
            init("FaultExit", "faultexit")),
      ended(Package("faultloop"), {"overran its time limit of 0.5 s", {{"timeLimitSeconds", 0.5}}},
            init("FaultLoop", "faultloop")),
      ended(Package("memhog"),
            {"ran out of its memory limit of 128 MiB", {{"memoryLimitMiB", 128}}},
            init("MemHog", "memhog")),
      ended(Package("forged"),
            {"broke its channel to the trial host (a report of another trial)",
             {{"channel", "a report of another trial"}}},
            init("Forged", "forged")),
      {Args{Package("alarmer")}, "the trial run left an alarm pending after " + alarmer, "/ended",
       Json{{"leftovers", {"an alarm pending"}}, {"stage", alarmer}}, faulty},
  };
  // Code that puts another build in its own file's place: set up again for each run.
  const std::string changed =
      "the file changed while its code ran (another file has taken its place)";
  rows.push_back(
      ended(swapped, {"found " + changed, {{"changed", changed}}}, init("SwapFile", "swapfile")));
  rows.back().before = [&] {
    testsupport::CopyFile(Package("swapfile"), swapped);
    testsupport::CopyFile(Package("mark"), dir.File("libswapfile.next.so"));
  };
  for (const auto& row : rows) {
    // The endless loop is cut short, and the memory hog stopped early; the others end
    // on their own long before either limit (a sanitizer's report of the hog takes a
    // while).
    const bool loop = row.args[0].find("faultloop") != std::string::npos;
    const std::vector<std::string> limits{loop ? "WB_TRIAL_TIMEOUT=0.5" : "WB_TRIAL_TIMEOUT=20",
                                          "WB_TRIAL_MEMORY=128"};
    std::vector<std::string> args{"--register"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    if (row.before) row.before();
    const auto run = testsupport::RunTool(PKGINFO_TOOL, args, limits);
    EXPECT_EQ(1, run.status) << row.line;
    // Before it, only what the package's own code may have printed as it died; after
    // it, only the place of a fault.
    auto lines = Lines(run.err);
    while (!lines.empty() && lines.back().rfind("  ", 0) == 0) lines.pop_back();
    EXPECT_EQ(0u,
              lines.empty() ? 1 : lines.back().find("pkginfo: " + row.args[0] + ": " + row.line))
        << run.err;
    EXPECT_THAT(run.out, testing::HasSubstr(row.shown));

    args.insert(args.begin() + 1, "--json");
    if (row.before) row.before();
    const auto json = testsupport::RunTool(PKGINFO_TOOL, args, limits);
    EXPECT_EQ(1, json.status) << row.line;
    const Json said = ParseJson(json.out).at(Json::json_pointer(row.pointer));
    if (row.said.is_string()) {
      EXPECT_THAT(said.get<std::string>(), testing::StartsWith(row.said.get<std::string>()));
    } else {
      // A signal's frames are the next test's.
      Json without = said;
      without.erase("frames");
      EXPECT_EQ(row.said, without) << json.out;
    }
    EXPECT_FALSE(ParseJson(json.out).at("ok").get<bool>()) << json.out;
  }
}

// A package built with debug information that faults is placed at the function and
// line of the fault, in its text and in JSON alike.
TEST(PkginfoRegister, AFaultIsPlacedAtItsFunctionAndLine) {
  const std::string at = "faulty.cpp:" + std::to_string(testsupport::FaultLine());
  const auto text = testsupport::RunTool(PKGINFO_TOOL, {"--register", Package("faultinit")});
  EXPECT_THAT(text.err, testing::ContainsRegex("\n  in [^\n]*Crash\\(\\) at [^\n]*" + at +
                                               " \\(libfaultinit.so\\)\n  called from "))
      << text.err;
  const auto json =
      testsupport::RunTool(PKGINFO_TOOL, {"--register", "--json", Package("faultinit")});
  const Json frames = ParseJson(json.out).at("/ended/frames"_json_pointer);
  ASSERT_FALSE(frames.empty()) << json.out;
  EXPECT_THAT(frames[0].at("function").get<std::string>(), testing::HasSubstr("Crash()"));
  EXPECT_THAT(frames[0].at("file").get<std::string>(), testing::EndsWith("faulty/faulty.cpp"));
  EXPECT_EQ(frames[0].at("line"), testsupport::FaultLine());
  EXPECT_EQ(frames[0].at("module"), testsupport::RealPath(Package("faultinit")));
  EXPECT_TRUE(frames[0].at("package").get<bool>());
}

// What the package's code prints is no failure, and is kept apart from pkginfo's own
// report: after it on stderr, in "output" in JSON.
TEST(PkginfoRegister, WhatTheCodePrintsIsKeptApartFromTheReport) {
  // A package, its unit, and what its code prints on both streams in order (qtbox's
  // are Qt's words).
  for (const auto& [package, unit, output] :
       {std::tuple{"prints", "Prints",
                   "faulty: printed to standard output\nfaulty: printed to standard error\n"
                   "faulty: left in the buffer\n"},
        std::tuple{"qtbox", "QtBox", "This plugin does not support propagateSizeHints()\n"}}) {
    SCOPED_TRACE(package);
    const std::string file = Package(package);
    const auto run = RunPkginfo({"--register", file});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("file: " + file + "\npackage: " + package + "\n@" + unit +
                  "@Register$qqrv:\n  page \"Faulty\": TFaulty\n    TFaulty: publishes nothing\n",
              run.out)
        << "stdout should hold pkginfo's report and nothing else";
    std::string block = "pkginfo: " + file + ": its code printed:\n";
    for (const std::string& line : Lines(output)) block += "  | " + line + "\n";
    EXPECT_EQ(block, run.err);
    const auto json = RunPkginfo({"--register", "--json", file});
    EXPECT_EQ(0, json.status);
    EXPECT_EQ("", json.err);
    EXPECT_TRUE(ParseJson(json.out).at("ok").get<bool>()) << json.out;
    EXPECT_EQ(std::string(output), ParseJson(json.out).value("output", "")) << json.out;
  }
}

// What a package's code starts in its run ends with the run; nothing else would
// ever end it. A daemon that holds the output it was given holds it no longer: read
// through a pipe, as a shell's $(...) reads it, the output ends with pkginfo.
TEST(PkginfoRegister, WhatThePackageStartedEndsWithTheRun) {
  // A package, its unit, and the name its process takes.
  for (const auto& [package, unit, process] :
       {std::tuple{"faultstray", "FaultStray", "faulty-stray"},
        std::tuple{"daemon", "Daemon", "faulty-daemon"}}) {
    SCOPED_TRACE(package);
    const auto start = std::chrono::steady_clock::now();
    FILE* pipe =
        popen(("'" PKGINFO_TOOL "' --register '" + Package(package) + "' 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      out.append(buffer, got);
    const auto took = std::chrono::steady_clock::now() - start;  // its sleep is 30 s
    const int status = pclose(pipe);
    EXPECT_LT(took, std::chrono::seconds(5)) << "the output should end with pkginfo";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << out;
    EXPECT_THAT(out, testing::HasSubstr("page \"Faulty\": TFaulty"));
    EXPECT_THAT(out, testing::HasSubstr("left 1 process running after the finalisation of unit " +
                                        std::string(unit) + " of package " + package));
    // The host ends it just after it has answered; a killed one may take a moment.
    EXPECT_EQ(0, testsupport::RunningProcessesNamed(process, std::chrono::seconds(5)));
  }
}

// A process the package's code believes its own to signal: in a trial child isolated
// in namespaces of its own it cannot reach one outside; shared, it can.
TEST(PkginfoRegister, AnIsolatedTrialCannotSignalProcessesOutsideIt) {
  // The kernel may refuse new namespaces; the trial then runs shared, as said.
  const pid_t probe = fork();
  if (probe == 0) _exit(unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS) == 0 ? 0 : 1);
  int probed = -1;
  waitpid(probe, &probed, 0);
  const bool isolating = WIFEXITED(probed) && WEXITSTATUS(probed) == 0;

  // A process of the test's own that waits to be ended, and is, with the test's scope
  // or its process; never signalled again once reaped, so no other gets its signal.
  struct Victim {
    pid_t pid = fork();
    bool reaped = false;
    Victim() {
      if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) pause();
      }
    }
    ~Victim() {
      if (pid > 0 && !reaped) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
    bool EndedWithin(std::chrono::milliseconds patience) {
      for (auto waited = patience * 0; !reaped && waited <= patience; waited += patience / 20) {
        reaped = waitpid(pid, nullptr, WNOHANG) == pid;
        if (!reaped) std::this_thread::sleep_for(patience / 20);
      }
      return reaped;
    }
  };
  // The one that may be skipped last.
  for (const auto& [isolate, survives] : {std::pair{"0", false}, std::pair{"1", true}}) {
    SCOPED_TRACE(std::string("WB_TRIAL_ISOLATE=") + isolate);
    if (survives && !isolating) GTEST_SKIP() << "the kernel gives no new namespaces here";
    Victim victim;
    ASSERT_GT(victim.pid, 0);
    const auto run = testsupport::RunTool(PKGINFO_TOOL, {"--register", Package("killer")},
                                          {"WB_TEST_VICTIM=" + std::to_string(victim.pid),
                                           std::string("WB_TRIAL_ISOLATE=") + isolate});
    EXPECT_EQ(0, run.status) << "signalling another process is no fault of the trial's\n"
                             << run.err;
    EXPECT_EQ(!survives, victim.EndedWithin(std::chrono::milliseconds(survives ? 200 : 5000)));
  }
}

}  // namespace
