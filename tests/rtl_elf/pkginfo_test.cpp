// Runs the built pkginfo tool as a user would and reads what it prints.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "elf_test_support.h"

using namespace elftest;
using testsupport::ToolRun;

namespace {

ToolRun RunPkginfo(const std::vector<std::string>& args) {
  return testsupport::RunTool(PKGINFO_TOOL, args);
}

std::size_t Lines(const std::string& text) {
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

TEST(Pkginfo, PrintsTheVictimsRecordAndExports) {
  const ToolRun run = RunPkginfo({ELF_VICTIM_FILE});
  EXPECT_EQ(0, run.status) << "a readable package should exit 0; stderr: " << run.err;
  EXPECT_EQ("", run.err) << "nothing should go to stderr";
  const std::string expected = std::string("file: ") + ELF_VICTIM_FILE +
                               "\n"
                               "package: elfvictim\n"
                               "description: Пакет-жертва: read, copied and damaged by the ELF "
                               "reader tests\n"
                               "flags: 0\n"
                               "requires: rtl\n"
                               "contains: A, B\n"
                               "build artifact: libelfvictim.so\n"
                               "registration procedures:\n"
                               "  @A@Register$qqrv -> rtl_unit_register_A\n"
                               "other exports:\n"
                               "  VictimVersion -> elfvictim_version\n";
  EXPECT_EQ(expected, run.out) << "the record should be printed in full, exports sorted by kind";
}

TEST(Pkginfo, BadFilesGetOneLineEachAndTheRestIsStillPrinted) {
  TempDir dir;
  const std::string text = dir.Write("notes.txt", "hello\n");
  const std::string missing = dir.File("missing.so");
  Bytes victim = ReadBytes(ELF_VICTIM_FILE);
  victim.resize(victim.size() / 3);
  const std::string cut = dir.File("libcut.so");
  WriteBytes(cut, victim);
  const ToolRun run = RunPkginfo({text, ELF_PLAIN_FILE, missing, RTL_LIBRARY_FILE, cut});
  EXPECT_EQ(1, run.status) << "any unreadable file should make the exit status 1";
  EXPECT_EQ(3u, Lines(run.err)) << "exactly one line per bad file, got: " << run.err;
  EXPECT_EQ(0u, run.err.find("pkginfo: " + text + ": not an ELF file (bad magic)\n" +
                             "pkginfo: " + missing + ": cannot open: No such file or directory\n" +
                             "pkginfo: " + cut + ": "))
      << "each line should name the tool, the file and the reason, in order; got: " << run.err;
  EXPECT_EQ(std::string::npos, run.out.find("libcut.so"))
      << "nothing should be printed on stdout for an unreadable file";
  EXPECT_NE(std::string::npos, run.out.find("no package information"))
      << "a library without a record should be no error, said so on stdout: " << run.out;
  EXPECT_NE(std::string::npos, run.out.find("package: rtl\n"))
      << "the good file after a bad one should still be printed";
}

TEST(Pkginfo, UsageAndUsageErrors) {
  EXPECT_EQ(0u, RunPkginfo({"--help"}).out.rfind("Usage: pkginfo", 0))
      << "--help prints the usage on stdout";
  const ToolRun version = RunPkginfo({"--version"});
  EXPECT_TRUE(version.status == 0 &&
              std::regex_match(version.out, std::regex("pkginfo \\d+\\.\\d+\\.\\d+\n")))
      << "--version prints the name and version, as help2man expects: " << version.out;
  const ToolRun none = RunPkginfo({});
  EXPECT_EQ(2, none.status) << "no file is a usage error";
  EXPECT_NE(std::string::npos, none.err.find("Usage: pkginfo")) << "usage goes to stderr";
  const ToolRun unknown = RunPkginfo({"--frobnicate"});
  EXPECT_EQ(2, unknown.status) << "an unknown option is a usage error";
  EXPECT_NE(std::string::npos, unknown.err.find("unknown option --frobnicate"))
      << "the option should be named";
  EXPECT_EQ("pkginfo: --help: cannot open: No such file or directory\n",
            RunPkginfo({"--", "--help"}).err)
      << "after --, \"--help\" is a file name (here a missing one)";
}

}  // namespace
