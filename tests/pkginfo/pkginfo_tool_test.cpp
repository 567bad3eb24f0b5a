// The pkginfo tool run as a package author runs it: --check, --register and
// --json on the test and demo packages.

#include <gtest/gtest.h>

#include <algorithm>

#include "pkginfo_test_support.h"

namespace {

using Json = nlohmann::json;
using pktest::ParseJson;
using pktest::RunPkginfo;

const auto Package = testsupport::PackageFile;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(PkginfoCheck, NamesTheMissingRequiredPackage) {
  const auto run = RunPkginfo({"--check", Package("missingreq")});
  EXPECT_EQ(1, run.status) << "a package that would not load fails the check";
  EXPECT_TRUE(Contains(
      run.out, "verdict: would not load\n  required package pkgnowhere not found (looked for " +
                   Package("pkgnowhere") + " or "))
      << "the verdict names the missing package; got:\n"
      << run.out;
  EXPECT_TRUE(Contains(run.out, "pkgnowhere: MISSING")) << "and the list marks it";
}

TEST(PkginfoCheck, DemoPackagesHaveNothingMissing) {
  const std::string demo = DEMO_PACKAGE_DIR;
  if (demo.empty()) GTEST_SKIP() << "the demo packages are built only with the toolkit";
  const auto run = RunPkginfo({"--check", demo + "/libstdreg.so", demo + "/libextreg.so"});
  EXPECT_EQ(0, run.status) << run.out << run.err;
  const auto lines = pktest::Lines(run.out);
  EXPECT_EQ(2, std::count(lines.begin(), lines.end(), "verdict: nothing missing"))
      << "one clean verdict per package; got:\n"
      << run.out;
  EXPECT_TRUE(Contains(run.out, "stdreg: " + demo + "/libstdreg.so (beside the requiring package)"))
      << "extreg's required stdreg is found beside it";
}

// What was not checked is null, what was checked and found empty is [].
TEST(PkginfoCheck, JsonCarriesTheSameVerdict) {
  testsupport::TempDir dir;
  const std::string text = dir.Write("notes.txt", "hi\n");
  const auto run = RunPkginfo(
      {"--check", "--json", Package("missingreq"), Package("mark"), Package("plainlib"), text});
  EXPECT_EQ(1, run.status);
  const auto lines = pktest::Lines(run.out);
  ASSERT_EQ(4u, lines.size()) << "one object per file, one per line:\n" << run.out;
  const Json missing = ParseJson(lines[0]);
  EXPECT_FALSE(missing.at("ok").get<bool>());
  const auto problems = missing.at("problems").get<std::vector<std::string>>();
  ASSERT_EQ(1u, problems.size()) << lines[0];
  EXPECT_EQ(0u, problems[0].find("required package pkgnowhere not found (looked for " +
                                 Package("pkgnowhere")))
      << problems[0];
  EXPECT_TRUE(missing.at("/requiredPackages/1/path"_json_pointer).is_null())
      << "no path for the missing one, after rtl";
  EXPECT_TRUE(ParseJson(lines[1]).at("ok").get<bool>()) << "mark is complete: " << lines[1];

  const Json plain = ParseJson(lines[2]);
  EXPECT_EQ(std::vector<std::string>{"not a package (the file carries no package information)"},
            plain.at("problems").get<std::vector<std::string>>());
  EXPECT_TRUE(plain.at("requiredPackages").is_null()) << "a plain library requires no packages";
  EXPECT_TRUE(plain.at("neededLibraries").is_array()) << "its libraries are checked: " << lines[2];
  EXPECT_EQ(Json::array(), plain.at("unresolvedSymbols")) << "and its symbols";
  const Json unreadable = ParseJson(lines[3]);
  EXPECT_TRUE(unreadable.at("neededLibraries").is_null()) << "nothing checked: " << lines[3];
  EXPECT_TRUE(unreadable.at("unresolvedSymbols").is_null()) << lines[3];
}

TEST(PkginfoRegister, PrintsPagesAndClassesInTheOrderRegistered) {
  const auto run = RunPkginfo({"--register", Package("multireg")});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("", run.err);
  const std::string expected = "file: " + Package("multireg") +
                               "\n"
                               "package: multireg\n"
                               "@MultiReg@Register$qqrv:\n"
                               "  page \"Multi\": TMultiA, TMultiB\n"
                               "  page \"Other\": TMultiC\n"
                               "  page \"Multi\": TMultiD\n"
                               "  page \"\": TMultiE\n"
                               "  page \"Hollow\": (none)\n"
                               "  page \"multi\": TMultiF\n"
                               "  page \" Multi\": TMultiG\n"
                               "  page \"Multi \": TMultiH\n"
                               "  page \"\": TMultiI\n";
  EXPECT_EQ(expected, run.out) << "every call, as made, with page names exactly as given";
}

TEST(PkginfoRegister, ARaisingProcedureGivesItsMessageAndFails) {
  const auto run = RunPkginfo({"--register", Package("raisereg")});
  EXPECT_EQ(1, run.status) << "a procedure that raises fails the run";
  EXPECT_EQ("pkginfo: " + Package("raisereg") +
                ": @RaiseReg@Register$qqrv raised: RaiseReg: the second page cannot be "
                "registered\n",
            run.err)
      << "one line with the procedure and its message";
  EXPECT_TRUE(Contains(run.out, "  page \"Raising\": TRaiseFirst\n"))
      << "what it registered before raising is still shown:\n"
      << run.out;

  const auto json = RunPkginfo({"--register", "--json", Package("raisereg")});
  EXPECT_EQ(1, json.status);
  const Json v = ParseJson(json.out);
  EXPECT_FALSE(v.at("ok").get<bool>());
  EXPECT_EQ("RaiseReg: the second page cannot be registered",
            v.at("/procedures/0/error"_json_pointer).get<std::string>());
}

TEST(PkginfoRegister, NonPackagesAndMissingProceduresGetOneLine) {
  testsupport::TempDir dir;
  const std::string text = dir.Write("notes.txt", "hi\n");
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const Case cases[] = {
      {{text}, text + ": not an ELF file (bad magic)"},
      {{Package("plainlib")},
       Package("plainlib") + ": not a package (the file carries no package information)"},
      {{dir.File("gone.so")}, dir.File("gone.so") + ": cannot open: No such file or directory"},
      {{Package("missingreq")},
       Package("missingreq") + ": required package pkgnowhere not found (looked for " +
           Package("pkgnowhere")},
      {{Package("mark"), "@Nothing@Register$qqrv"},
       Package("mark") + ": package mark exports no procedure @Nothing@Register$qqrv"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"--register"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto run = RunPkginfo(args);
    EXPECT_EQ(1, run.status) << c.line;
    ASSERT_EQ(1u, pktest::Lines(run.err).size()) << "one line for " << c.line << ":\n" << run.err;
    EXPECT_EQ(0u, run.err.find("pkginfo: " + c.line)) << run.err;
  }
}

TEST(PkginfoRegister, RunsEveryUnitsProcedureOrTheNamedOne) {
  const auto all = RunPkginfo({"--register", "--json", Package("twounits")});
  EXPECT_EQ(0, all.status) << all.err;
  const Json v = ParseJson(all.out);
  EXPECT_TRUE(v.at("ok").get<bool>());
  ASSERT_FALSE(v.at("procedures").empty()) << "twounits has a registration procedure";
  const std::string name = v.at("/procedures/0/name"_json_pointer).get<std::string>();
  EXPECT_EQ(0u, name.find('@')) << name << " follows the naming rule";
  const auto named = RunPkginfo({"--register", Package("twounits"), name});
  EXPECT_EQ(0, named.status) << named.err;
  EXPECT_TRUE(Contains(named.out, name + ":")) << named.out;
}

// The toolkit stays loaded, as in the workbench: unloading the package must not
// take Qt down with it (the sanitizer build catches what that leaves behind).
TEST(PkginfoRegister, APackageOnTheToolkitRegistersAndUnloadsCleanly) {
  const std::string demo = DEMO_PACKAGE_DIR;
  if (demo.empty()) GTEST_SKIP() << "the demo packages are built only with the toolkit";
  const auto run = RunPkginfo({"--register", "--json", demo + "/libextreg.so"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("", run.err);
  const Json v = ParseJson(run.out);
  EXPECT_TRUE(v.at("ok").get<bool>());
  ASSERT_EQ(1u, v.at("procedures").size()) << run.out;
  EXPECT_EQ("@Extreg@Register$qqrv", v.at("procedures").at(0).at("name").get<std::string>());
  EXPECT_FALSE(v.at("procedures").at(0).at("registrations").empty())
      << "extreg registers its controls";
}

// Code that takes the process down ends pkginfo's run of it, not pkginfo: one line
// says where it was and what happened, the JSON says the same in fields, exit 1.
TEST(PkginfoRegister, PackageCodeThatEndsTheProcessIsReported) {
  struct Case {
    const char* package;
    std::string stage;
    Json ended;  // besides the stage
    std::string how;
  };
  const Case cases[] = {
      {"faultinit",
       "the initialisation of unit FaultInit of package faultinit",
       {{"signal", "SIGSEGV"}},
       "died of signal SIGSEGV (Segmentation fault)"},
      {"faultreg",
       "procedure @FaultReg@Register$qqrv",
       {{"signal", "SIGSEGV"}},
       "died of signal SIGSEGV (Segmentation fault)"},
      {"faultfini",
       "the finalisation of unit FaultFini of package faultfini",
       {{"signal", "SIGSEGV"}},
       "died of signal SIGSEGV (Segmentation fault)"},
      {"faultctor",
       "the static constructors of package faultctor",
       {{"signal", "SIGABRT"}},
       "died of signal SIGABRT (Aborted)"},
      {"faultabort",
       "procedure @FaultAbort@Register$qqrv",
       {{"signal", "SIGABRT"}},
       "died of signal SIGABRT (Aborted)"},
      {"faultexit",
       "the initialisation of unit FaultExit of package faultexit",
       {{"exitStatus", 3}},
       "exited with status 3"},
      {"faultloop",
       "the initialisation of unit FaultLoop of package faultloop",
       {{"timeLimitSeconds", 0.5}},
       "overran its time limit of 0.5 s"},
  };
  for (const Case& c : cases) {
    const std::string file = Package(c.package);
    // The endless loop is cut short; the others end on their own long before.
    const std::vector<std::string> limit = c.ended.contains("timeLimitSeconds")
                                               ? std::vector<std::string>{"WB_TRIAL_TIMEOUT=0.5"}
                                               : std::vector<std::string>{};
    const auto text = testsupport::RunTool(PKGINFO_TOOL, {"--register", file}, limit);
    EXPECT_EQ(1, text.status) << c.package << ": " << text.err;
    const auto lines = pktest::Lines(text.err);
    ASSERT_FALSE(lines.empty()) << c.package;
    EXPECT_EQ("pkginfo: " + file + ": the trial run " + c.how + " in " + c.stage, lines.back());
    if (c.stage.starts_with("procedure")) {
      EXPECT_TRUE(Contains(text.out, "  page \"Faulty\": TFaulty\n"))
          << "what it registered before it died is still shown:\n"
          << text.out;
    }

    const auto json = testsupport::RunTool(PKGINFO_TOOL, {"--register", "--json", file}, limit);
    EXPECT_EQ(1, json.status) << c.package;
    const Json v = ParseJson(json.out);
    Json ended = c.ended;
    ended["stage"] = c.stage;
    EXPECT_EQ(ended, v.at("ended")) << json.out;
    EXPECT_FALSE(v.at("ok").get<bool>());
  }
}

TEST(PkginfoJson, OneObjectPerFileErrorsIncluded) {
  testsupport::TempDir dir;
  const std::string text = dir.Write("notes.txt", "hi\n");
  const auto run = RunPkginfo({"--json", Package("pkguser"), text, Package("plainlib")});
  EXPECT_EQ(1, run.status) << "an unreadable file makes the exit status 1";
  EXPECT_EQ("", run.err) << "errors go into the objects, not to stderr";
  const auto lines = pktest::Lines(run.out);
  ASSERT_EQ(3u, lines.size()) << run.out;
  const Json user = ParseJson(lines[0]);
  EXPECT_EQ("pkguser", user.at("package").get<std::string>());
  EXPECT_EQ((std::vector<std::string>{"rtl", "pkgbase"}),
            user.at("requires").get<std::vector<std::string>>());
  const Json bad = ParseJson(lines[1]);
  EXPECT_EQ(text + ": not an ELF file (bad magic)", bad.at("error").get<std::string>());
  const Json plain = ParseJson(lines[2]);
  EXPECT_FALSE(plain.at("packageInformation").get<bool>());
  EXPECT_FALSE(plain.contains("package")) << "an ordinary library has no package name";
}

}  // namespace
