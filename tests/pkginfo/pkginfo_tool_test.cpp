// The pkginfo tool run as a package author runs it: the record, the exports, the usage
// and --check on the test and demo packages.

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/prctl.h>

#include <filesystem>
#include <regex>

#include "pkginfo_test_support.h"

namespace {

using namespace pktest;

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
          "other exports: (none)\nexported classes: (none)\n",
      run.out)
      << "a plain library is no error; the good file after a bad one is printed in full";

  const auto json = RunPkginfo({"--json", text, Package("plainlib"), Package("pkguser")});
  EXPECT_EQ(1, json.status);
  EXPECT_EQ("", json.err) << "errors go into the objects, not to stderr";
  const auto lines = Lines(json.out);
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

// What add_package's EXPORTS and EXPORT_CLASSES let out is listed too: a derived
// package's author sees there whether the class they build on is exported at all.
TEST(Pkginfo, ListsThePlainExportsAndTheExportedClasses) {
  using Names = std::vector<std::string>;
  const struct {
    std::string package, others, classes;
    Names jsonOthers, jsonClasses;
  } cases[] = {
      {"pkgexports", "other exports:\n  pkgexports_add\n  pkgexports_counter\n",
       "exported classes: (none)\n", Names{"pkgexports_add", "pkgexports_counter"}, Names{}},
      {"pkgbase", "other exports:\n  pkgbase_answer\n", "exported classes: TBaseThing\n",
       Names{"pkgbase_answer"}, Names{"TBaseThing"}},
      {"oddnames", "other exports: (none)\n", "exported classes: (none)\n", Names{}, Names{}},
  };
  for (const auto& c : cases) {
    const auto run = RunPkginfo({Package(c.package)});
    EXPECT_THAT(run.out, testing::HasSubstr(c.others + c.classes)) << c.package;
    const Json json = ParseJson(RunPkginfo({"--json", Package(c.package)}).out);
    std::vector<std::string> others;
    for (const Json& e : json.at("otherExports")) others.push_back(e.at("symbol"));
    EXPECT_EQ(others, c.jsonOthers) << c.package;
    EXPECT_EQ(json.at("exportedClasses"), c.jsonClasses) << c.package;
  }
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
  EXPECT_EQ("pkginfo: " + std::filesystem::current_path().string() +
                "/--help: cannot open: No such file or directory\n",
            RunPkginfo({"--", "--help"}).err)
      << "after --, \"--help\" is a file name (here a missing one), named by its absolute path";
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
    const auto lines = Lines(run.out);
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), "verdict: nothing missing")) << run.out;
    EXPECT_THAT(run.out, testing::HasSubstr("stdreg: " + demo +
                                            "/libstdreg.so (beside the requiring package)"))
        << "extreg's required stdreg is found beside it";
  }

  testsupport::TempDir dir;
  const std::string text = dir.Write("notes.txt", "hi\n");
  const auto json =
      RunPkginfo({"--check", "--json", Package("missingreq"), Package("plainlib"), text});
  const auto lines = Lines(json.out);
  ASSERT_EQ(3u, lines.size()) << "one object per file, one per line:\n" << json.out;
  const Json missing = ParseJson(lines[0]);
  EXPECT_FALSE(missing.at("ok").get<bool>());
  EXPECT_EQ("missingreq", missing.value("package", "")) << "a package is named";
  EXPECT_TRUE(missing.at("/requiredPackages/1/path"_json_pointer).is_null())
      << "no path for the missing one, after rtl";
  const Json plain = ParseJson(lines[1]);
  EXPECT_EQ(std::vector<std::string>{"not a package (the file carries no package information)"},
            plain.at("problems").get<std::vector<std::string>>());
  EXPECT_TRUE(plain.at("requiredPackages").is_null()) << "a plain library requires no packages";
  EXPECT_FALSE(plain.contains("package")) << "and has no package name";
  EXPECT_TRUE(plain.at("neededLibraries").is_array()) << "its libraries are checked: " << lines[1];
  EXPECT_EQ(Json::array(), plain.at("unresolvedSymbols")) << "and its symbols";
  const Json unreadable = ParseJson(lines[2]);
  EXPECT_TRUE(unreadable.at("neededLibraries").is_null()) << "nothing checked: " << lines[2];
  EXPECT_TRUE(unreadable.at("unresolvedSymbols").is_null()) << lines[2];

  // Where the linker found a library, in the report's words.
  const Json needy = ParseJson(RunPkginfo({"--check", "--json", NEEDY_PACKAGE}).out);
  const Json& provider = needy.at("neededLibraries").back();
  EXPECT_EQ("libpkprovider.so", provider.at("name"));
  EXPECT_EQ("RUNPATH of " + std::string(NEEDY_PACKAGE), provider.at("how"));
}

}  // namespace
