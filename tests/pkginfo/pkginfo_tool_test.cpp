// The pkginfo tool run as a package author runs it: the record, --check, --register
// and --json on the test and demo packages.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "pkginfo_test_support.h"

namespace {

using Json = nlohmann::json;
using pktest::ParseJson;
using pktest::RunPkginfo;

const auto Package = testsupport::PackageFile;

TEST(Pkginfo, PrintsEachRecordOrSaysWhyNotOneLineEach) {
  testsupport::TempDir dir;
  const std::string text = dir.Write("notes.txt", "hi\n");
  const std::string missing = dir.File("missing.so");
  const auto run = RunPkginfo({text, Package("plainlib"), missing, Package("pkguser")});
  EXPECT_EQ(1, run.status) << "any unreadable file makes the exit status 1";
  EXPECT_EQ("pkginfo: " + text + ": not an ELF file (bad magic)\npkginfo: " + missing +
                ": cannot open: No such file or directory\n",
            run.err)
      << "one line per bad file, naming the file and the reason, in order";
  EXPECT_EQ(
      "file: " + Package("plainlib") +
          "\nno package information (an ordinary shared library)\n\nfile: " + Package("pkguser") +
          "\npackage: pkguser\ndescription: Builds on pkgbase\nflags: 3\n"
          "requires: rtl, pkgbase\ncontains: UserUnit, UserExtra\n"
          "build artifact: libpkguser.so\nregistration procedures:\n"
          "  @UserUnit@Register$qqrv -> rtl_unit_register_UserUnit\n"
          "other exports: (none)\n",
      run.out)
      << "a plain library is no error; the good file after a bad one is printed in full";

  const auto json = RunPkginfo({"--json", text, Package("plainlib"), Package("pkguser")});
  EXPECT_EQ(1, json.status);
  EXPECT_EQ("", json.err) << "errors go into the objects, not to stderr";
  const auto lines = pktest::Lines(json.out);
  ASSERT_EQ(3u, lines.size()) << "one object per file, one per line:\n" << json.out;
  EXPECT_EQ(text + ": not an ELF file (bad magic)", ParseJson(lines[0]).at("error"));
  const Json plain = ParseJson(lines[1]);
  EXPECT_FALSE(plain.at("packageInformation").get<bool>());
  EXPECT_FALSE(plain.contains("package")) << "an ordinary library has no package name";
  const Json user = ParseJson(lines[2]);
  EXPECT_EQ((std::vector<std::string>{"rtl", "pkgbase"}), user.at("requires"));
  EXPECT_EQ(Json::parse(R"([{"name":"@UserUnit@Register$qqrv",)"
                        R"("symbol":"rtl_unit_register_UserUnit"}])"),
            user.at("registrationProcedures"));
}

TEST(Pkginfo, UsageAndUsageErrors) {
  EXPECT_EQ(0u, RunPkginfo({"--help"}).out.rfind("Usage: pkginfo", 0)) << "usage on stdout";
  const auto version = RunPkginfo({"--version"});
  EXPECT_TRUE(version.status == 0 &&
              std::regex_match(version.out, std::regex("pkginfo \\d+\\.\\d+\\.\\d+\n")))
      << "the name and version, as help2man expects: " << version.out;
  const struct {
    std::vector<std::string> args;
    std::string err;  // the start of what it says
  } errors[] = {
      {{}, "Usage: pkginfo"},
      {{"--frobnicate"}, "pkginfo: unknown option --frobnicate\nUsage: pkginfo"},
      {{"--check", "--register", "f"}, "pkginfo: --check and --register exclude each other"},
  };
  for (const auto& e : errors) {
    const auto run = RunPkginfo(e.args);
    EXPECT_EQ(2, run.status) << "a usage error: " << e.err;
    EXPECT_EQ(0u, run.err.rfind(e.err, 0)) << run.err;
  }
  EXPECT_EQ("pkginfo: --help: cannot open: No such file or directory\n",
            RunPkginfo({"--", "--help"}).err)
      << "after --, \"--help\" is a file name (here a missing one)";
}

// The verdict, the missing package marked, where a required package was found; in
// JSON, what was not checked is null, what was checked and found empty is [].
TEST(PkginfoCheck, SaysWhatIsMissingAndWhereEachPackageIsFound) {
  const std::string demo = DEMO_PACKAGE_DIR;
  std::vector<std::string> args{"--check", Package("missingreq")};
  if (!demo.empty()) args.insert(args.end(), {demo + "/libstdreg.so", demo + "/libextreg.so"});
  const auto run = RunPkginfo(args);
  EXPECT_EQ(1, run.status) << "a package that would not load fails the check";
  EXPECT_THAT(run.out,
              testing::HasSubstr("verdict: would not load\n  required package pkgnowhere not "
                                 "found (looked for " +
                                 Package("pkgnowhere") + " or "));
  EXPECT_THAT(run.out, testing::HasSubstr("pkgnowhere: MISSING")) << "the list marks it";
  if (!demo.empty()) {  // the demo packages are built only with the toolkit
    const auto lines = pktest::Lines(run.out);
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), "verdict: nothing missing")) << run.out;
    EXPECT_THAT(run.out, testing::HasSubstr("stdreg: " + demo +
                                            "/libstdreg.so (beside the requiring package)"))
        << "extreg's required stdreg is found beside it";
  }

  testsupport::TempDir dir;
  const std::string text = dir.Write("notes.txt", "hi\n");
  const auto json =
      RunPkginfo({"--check", "--json", Package("missingreq"), Package("plainlib"), text});
  const auto lines = pktest::Lines(json.out);
  ASSERT_EQ(3u, lines.size()) << "one object per file, one per line:\n" << json.out;
  const Json missing = ParseJson(lines[0]);
  EXPECT_FALSE(missing.at("ok").get<bool>());
  EXPECT_TRUE(missing.at("/requiredPackages/1/path"_json_pointer).is_null())
      << "no path for the missing one, after rtl";
  const Json plain = ParseJson(lines[1]);
  EXPECT_EQ(std::vector<std::string>{"not a package (the file carries no package information)"},
            plain.at("problems").get<std::vector<std::string>>());
  EXPECT_TRUE(plain.at("requiredPackages").is_null()) << "a plain library requires no packages";
  EXPECT_TRUE(plain.at("neededLibraries").is_array()) << "its libraries are checked: " << lines[1];
  EXPECT_EQ(Json::array(), plain.at("unresolvedSymbols")) << "and its symbols";
  const Json unreadable = ParseJson(lines[2]);
  EXPECT_TRUE(unreadable.at("neededLibraries").is_null()) << "nothing checked: " << lines[2];
  EXPECT_TRUE(unreadable.at("unresolvedSymbols").is_null()) << lines[2];
}

// Every call as made, page names exactly as given; the named procedure alone.
TEST(PkginfoRegister, RunsEveryRegistrationProcedureOrTheNamedOne) {
  const auto run = RunPkginfo({"--register", Package("multireg")});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("file: " + Package("multireg") +
                "\npackage: multireg\n@MultiReg@Register$qqrv:\n"
                "  page \"Multi\": TMultiA, TMultiB\n  page \"Other\": TMultiC\n"
                "  page \"Multi\": TMultiD\n  page \"\": TMultiE\n  page \"Hollow\": (none)\n"
                "  page \"multi\": TMultiF\n  page \" Multi\": TMultiG\n"
                "  page \"Multi \": TMultiH\n  page \"\": TMultiI\n",
            run.out + run.err);
  const auto named = RunPkginfo({"--register", Package("twounits"), "@TwoSecond@Register$qqrv"});
  EXPECT_EQ(0, named.status) << named.err;
  EXPECT_THAT(named.out, testing::HasSubstr(
                             "@TwoSecond@Register$qqrv:\n  page \"Two\": TTwoWidget, TTwoGadget"));
  // The toolkit stays loaded, as in the workbench: unloading the package must not
  // take Qt down with it (the sanitizer build catches what that leaves behind).
  const std::string demo = DEMO_PACKAGE_DIR;
  if (demo.empty()) return;  // the demo packages are built only with the toolkit
  const auto extreg = RunPkginfo({"--register", "--json", demo + "/libextreg.so"});
  EXPECT_EQ(0, extreg.status) << extreg.err;
  EXPECT_EQ("", extreg.err);
  EXPECT_EQ("@Extreg@Register$qqrv", ParseJson(extreg.out).at("/procedures/0/name"_json_pointer))
      << extreg.out;
  EXPECT_FALSE(ParseJson(extreg.out).at("/procedures/0/registrations"_json_pointer).empty());
}

// Whatever keeps a run from ending well gives a line, and the JSON says the same
// where it belongs; exit 1. Code that takes the process down ends pkginfo's run of
// it, not pkginfo; what was registered before is still shown.
TEST(PkginfoRegister, EachFailureIsToldInALine) {
  testsupport::TempDir dir;
  const std::string text = dir.Write("notes.txt", "hi\n");
  struct Row {
    std::vector<std::string> args;  // after --register
    std::string line;               // how stderr's last line goes on after "pkginfo: <file>: "
    const char* pointer;            // where the JSON says it
    Json said;                      // what it says there; a text: how it starts
    std::string shown = {};         // what stdout still shows
  };
  // A trial run that ended badly: how, said and in JSON, and in what stage.
  const auto ended = [](const char* package, const std::pair<std::string, Json>& how,
                        const std::string& stage, const std::string& shown = {}) {
    Json said = how.second;
    said["stage"] = stage;
    return Row{
        {Package(package)}, "the trial run " + how.first + " in " + stage, "/ended", said, shown};
  };
  const std::pair<std::string, Json> segv{"died of signal SIGSEGV (Segmentation fault)",
                                          {{"signal", "SIGSEGV"}}};
  const std::pair<std::string, Json> abrt{"died of signal SIGABRT (Aborted)",
                                          {{"signal", "SIGABRT"}}};
  const std::string faulty = "  page \"Faulty\": TFaulty\n";
  const Row rows[] = {
      {{text}, "not an ELF file (bad magic)", "/error", text + ": not an ELF file"},
      {{Package("missingreq")},
       "required package pkgnowhere not found (looked for " + Package("pkgnowhere"),
       "/error",
       Package("missingreq") + ": required package pkgnowhere not found"},
      {{Package("mark"), "@Nothing@Register$qqrv"},
       "package mark exports no procedure @Nothing@Register$qqrv",
       "/error",
       Package("mark") + ": package mark exports no procedure"},
      {{Package("raisereg")},
       "@RaiseReg@Register$qqrv raised: RaiseReg: the second page cannot be registered",
       "/procedures/0/error",
       "RaiseReg: the second page cannot be registered",
       "  page \"Raising\": TRaiseFirst\n"},
      ended("faultinit", segv, "the initialisation of unit FaultInit of package faultinit"),
      ended("faultreg", segv, "procedure @FaultReg@Register$qqrv", faulty),
      ended("faultfini", segv, "the finalisation of unit FaultFini of package faultfini"),
      ended("faultctor", abrt, "the static constructors of package faultctor"),
      ended("faultabort", abrt, "procedure @FaultAbort@Register$qqrv", faulty),
      ended("faultexit", {"exited with status 3", {{"exitStatus", 3}}},
            "the initialisation of unit FaultExit of package faultexit"),
      ended("faultloop", {"overran its time limit of 0.5 s", {{"timeLimitSeconds", 0.5}}},
            "the initialisation of unit FaultLoop of package faultloop"),
  };
  // The endless loop is cut short; the others end on their own long before.
  const std::vector<std::string> limit{"WB_TRIAL_TIMEOUT=0.5"};
  for (const auto& row : rows) {
    std::vector<std::string> args{"--register"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const auto run = testsupport::RunTool(PKGINFO_TOOL, args, limit);
    EXPECT_EQ(1, run.status) << row.line;
    // Before it, only what the package's own code may have printed as it died.
    const auto lines = pktest::Lines(run.err);
    EXPECT_EQ(0u,
              lines.empty() ? 1 : lines.back().find("pkginfo: " + row.args[0] + ": " + row.line))
        << run.err;
    EXPECT_THAT(run.out, testing::HasSubstr(row.shown));

    args.insert(args.begin() + 1, "--json");
    const auto json = testsupport::RunTool(PKGINFO_TOOL, args, limit);
    EXPECT_EQ(1, json.status) << row.line;
    const Json said = ParseJson(json.out).at(Json::json_pointer(row.pointer));
    if (row.said.is_string()) {
      EXPECT_THAT(said.get<std::string>(), testing::StartsWith(row.said.get<std::string>()));
    } else {
      EXPECT_EQ(row.said, said) << json.out;
    }
    EXPECT_FALSE(ParseJson(json.out).at("ok").get<bool>()) << json.out;
  }
}

// What a package's code starts in its run ends with the run; nothing else would
// ever end it.
TEST(PkginfoRegister, WhatThePackageStartedEndsWithTheRun) {
  const auto strays = [] {  // running ones: a killed one may wait a while to be reaped
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      std::ifstream stat(entry.path() / "stat");
      std::string line;
      count += std::getline(stat, line) && line.find(" (faulty-stray) ") != std::string::npos &&
               line.find(") Z ") == std::string::npos;
    }
    return count;
  };
  const auto run = RunPkginfo({"--register", Package("faultstray")});
  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_THAT(run.err, testing::HasSubstr("left 1 process running after the finalisation of unit "
                                          "FaultStray of package faultstray"));
  // The host ends it just after it has answered.
  for (int waited = 0; strays() > 0 && waited < 100; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(0, strays());
}

}  // namespace
