// pkginfo --check held against the loader itself. Each row sets up a folder (the
// libraries built here, copied, moved, damaged), runs `pkginfo --check --json` on
// a package there, and has load_probe load the same file with LoadPackage, in a
// process of its own with the same environment and working folder. What the probe
// meets is the oracle: the real loader and the system's dynamic linker, so the
// table cannot drift from the system. The check must agree on whether the file
// loads, blame what the loader blames, and name the path of every object the load
// brings in.
//
// Every row also has the run-time library needed by a package whose search path
// cannot reach it: a needed name that only an already loaded object satisfies.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

#include "elf_test_support.h"
#include "pkginfo_test_support.h"
#include "preflight.h"

namespace {

using elftest::PatchHeader;
using testing::HasSubstr;
using testsupport::Bytes;
using testsupport::TempDir;

// The builds of the provider library a row puts into its folders: as built, the
// older one without the symbol version the package needs, the same code as a
// position-independent executable, and copies damaged one way each.
enum class Build { Full, Old, Pie, Text, Empty, Truncated, Executable, OtherMachine };

Bytes Provider(Build build) {
  if (build == Build::Old) return testsupport::ReadBytes(OLD_PROVIDER);
  if (build == Build::Pie) return testsupport::ReadBytes(PIE_PROVIDER);
  Bytes bytes = testsupport::ReadBytes(PROVIDER);
  if (build == Build::Text) bytes.assign(200, 'x');
  if (build == Build::Empty) bytes.clear();
  if (build == Build::Truncated) bytes.resize(bytes.size() / 2);
  if (build == Build::Executable) PatchHeader<Elf64_Half>(bytes, &Elf64_Ehdr::e_type, ET_EXEC);
  if (build == Build::OtherMachine)
    PatchHeader<Elf64_Half>(bytes, &Elf64_Ehdr::e_machine, EM_AARCH64);
  return bytes;
}

// The package with its RUNPATH "$ORIGIN" rewritten in place to `runpath` (no longer).
Bytes NeedyWithRunpath(const std::string& runpath) {
  Bytes bytes = testsupport::ReadBytes(NEEDY_PACKAGE);
  const std::string origin("$ORIGIN", 8);  // with its terminating zero
  const auto at = std::search(bytes.begin(), bytes.end(), origin.begin(), origin.end());
  EXPECT_NE(bytes.end(), at) << "pkneedy's RUNPATH is $ORIGIN";
  EXPECT_EQ(bytes.end(), std::search(at + 1, bytes.end(), origin.begin(), origin.end()))
      << "and nothing else of it reads $ORIGIN";
  if (at != bytes.end()) std::copy_n(runpath.c_str(), runpath.size() + 1, at);
  return bytes;
}

// A row's folder: files put into its subfolders ("" for itself), the package to
// check, and the environment and working folder both runs get. In the library path,
// "@" stands for the row's folder.
struct ResolverCase {
  const char* label;
  std::vector<std::pair<std::string, Build>> libraries;
  std::string libraryPath = {};
  std::string workingFolder = {};
  std::string package = "pkg/libpkneedy.so";
  std::vector<std::pair<std::string, Bytes>> files = {};  // none: pkneedy as built
};

Bytes Package(const std::string& name) {
  return testsupport::ReadBytes(testsupport::PackageFile(name));
}

std::vector<ResolverCase> ResolverCases() {
  // pkguser, with a libpkgbase.so beside it built from that package (none: "").
  const auto required = [](const char* label, const std::string& base) {
    ResolverCase row{label, {}, "", "", "libpkguser.so", {{"libpkguser.so", Package("pkguser")}}};
    if (!base.empty()) row.files.emplace_back("libpkgbase.so", Package(base));
    return row;
  };
  return {
      {"BesideThroughRunpath", {{"pkg", Build::Full}}},
      {"LdLibraryPathBeforeRunpath", {{"pkg", Build::Old}, {"ld", Build::Full}}, "@/ld"},
      {"NotFoundAnywhere", {}},
      {"EmptyLdLibraryPathEntryIsTheWorkingFolder",
       {{"work", Build::Full}},
       "@/none::@/no",
       "work"},
      {"LeadingColonInRunpathIsTheWorkingFolder",
       {{"work", Build::Full}},
       "",
       "work",
       "pkg/libpkneedy.so",
       {{"pkg/libpkneedy.so", NeedyWithRunpath(":/none")}}},
      {"HwcapsSubfolder", {{"pkg/glibc-hwcaps/x86-64-v2", Build::Full}}},
      {"LegacyTlsSubfolder", {{"pkg/tls", Build::Full}}},
      {"TextFileEarlierInThePath", {{"pkg", Build::Full}, {"ld", Build::Text}}, "@/ld"},
      {"EmptyFileEarlierInThePath", {{"pkg", Build::Full}, {"ld", Build::Empty}}, "@/ld"},
      {"TruncatedElfEarlierInThePath", {{"pkg", Build::Full}, {"ld", Build::Truncated}}, "@/ld"},
      {"ExecutableEarlierInThePath", {{"pkg", Build::Full}, {"ld", Build::Executable}}, "@/ld"},
      {"OtherMachineEarlierIsPassedOver",
       {{"pkg", Build::Full}, {"ld", Build::OtherMachine}},
       "@/ld"},
      {"PositionIndependentExecutableOnlyCandidate", {{"pkg", Build::Pie}}},
      // The linker's list of preloads is split at blanks and colons.
      {"FolderWithABlankAndAColon", {{"my pkg:1", Build::Full}}, "", "", "my pkg:1/libpkneedy.so"},
      {"SymbolVersionTheLibraryLacks", {{"pkg", Build::Old}}},
      required("RequiredPackageBeside", "pkgbase"),
      required("RequiredPackageMissing", ""),
      required("RequiredPackageFileHoldsAnother", "mark"),
  };
}

// Writes the row's files into a fresh folder.
void Fill(const TempDir& dir, const ResolverCase& row) {
  std::vector<std::pair<std::string, Bytes>> files = row.files;
  if (files.empty()) files.emplace_back(row.package, testsupport::ReadBytes(NEEDY_PACKAGE));
  for (const auto& [folder, build] : row.libraries) {
    files.emplace_back(folder + "/libpkprovider.so", Provider(build));
  }
  std::filesystem::create_directories(dir.File("work"));
  for (const auto& [name, bytes] : files) {
    std::filesystem::create_directories(std::filesystem::path(dir.File(name)).parent_path());
    testsupport::WriteBytes(dir.File(name), bytes);
  }
}

class Resolver : public testing::TestWithParam<ResolverCase> {};

TEST_P(Resolver, AgreesWithTheLoader) {
  const ResolverCase& row = GetParam();
  TempDir dir;
  Fill(dir, row);
  std::vector<std::string> environment;
  if (!row.libraryPath.empty()) {
    environment.push_back("LD_LIBRARY_PATH=" +
                          std::regex_replace(row.libraryPath, std::regex("@"), dir.Path()));
  }
  const std::string work = row.workingFolder.empty() ? "" : dir.File(row.workingFolder);
  const std::string file = dir.File(row.package);
  const auto probe = testsupport::RunTool(LOAD_PROBE, {file}, environment, work);
  const auto check =
      testsupport::RunTool(PKGINFO_TOOL, {"--check", "--json", file}, environment, work);
  const nlohmann::json report = pktest::ParseJson(check.out);
  const std::vector<std::string> lines = pktest::Lines(probe.out);
  const bool loads = probe.status == 0 && !lines.empty() && lines[0] == "loaded";
  std::string problems;
  for (const auto& p : report.at("problems")) problems += p.get<std::string>() + "\n";
  const std::string context = "probe said:\n" + probe.out + probe.err + "check said:\n" + problems;

  EXPECT_EQ(loads, report.at("ok").get<bool>()) << context;
  EXPECT_EQ(loads ? 0 : 1, check.status) << context;
  // The text tells what the JSON does: each library the linker takes up under what needs
  // it (required packages are listed apart), each symbol missing, each problem.
  const auto text = testsupport::RunTool(PKGINFO_TOOL, {"--check", file}, environment, work).out;
  for (const auto& library : report.at("neededLibraries")) {
    const std::string by = library.at("neededBy");
    if (library.at("how") == pkginfo::kLoadedWithTheProgram || by.empty()) continue;
    EXPECT_THAT(text, HasSubstr("  needed by " + by + ":\n")) << text;
    EXPECT_THAT(text, HasSubstr("\n    " + library.at("name").get<std::string>() + ": ")) << text;
  }
  for (const auto& symbol : report.at("unresolvedSymbols")) {
    const std::string version = symbol.value("version", "");
    EXPECT_THAT(text, HasSubstr("  " + symbol.at("symbol").get<std::string>() +
                                (version.empty() ? "" : ", version " + version) + " (needed by " +
                                symbol.at("neededBy").get<std::string>() + ")\n"))
        << text;
  }
  for (const auto& p : report.at("problems"))
    EXPECT_THAT(text, HasSubstr("  " + p.get<std::string>() + "\n"));
  if (loads) {
    // What the load brought in besides the package, and what the check says it would.
    // The linker names a file it found through the working folder relatively; the
    // check names every file by its absolute path.
    std::set<std::string> expected, named;
    for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
      expected.insert(line->starts_with('/') || work.empty() ? *line : work + "/" + *line);
    }
    expected.erase(file);
    for (const auto& library : report.at("neededLibraries")) {
      if (library.at("how") != pkginfo::kLoadedWithTheProgram) named.insert(library.at("path"));
    }
    EXPECT_EQ(expected, named) << context;
  } else if (lines.size() == 1 && lines[0].rfind("refused: " + file + ": ", 0) == 0) {
    // The loader's reason, "<object>: <why>" from the linker or its own sentence:
    // the check names the same, and in the same words unless the linker only said
    // it found nothing.
    const std::string reason = lines[0].substr(9 + file.size() + 2);
    const std::string blamed = reason.substr(0, reason.find(": "));
    EXPECT_NE(std::string::npos, problems.find(blamed)) << context;
    if (reason.find("cannot open shared object file") == std::string::npos) {
      EXPECT_NE(std::string::npos, problems.find(reason)) << context;
    }
  }
  // else the linker ended the probe by a signal, as it would end the workbench.
}

INSTANTIATE_TEST_SUITE_P(Cases, Resolver, testing::ValuesIn(ResolverCases()),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
