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

#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include "pkginfo_test_support.h"
#include "preflight.h"
#include "required_package.h"

namespace {

using testsupport::Bytes;
using testsupport::PackageFile;
using testsupport::TempDir;

struct CaseSetup {
  std::string file;  // the package to check, by its absolute path
  std::vector<std::string> environment = {};
  std::string workingDirectory = {};
};

// A case folder and the ways rows fill it.
class Case {
 public:
  std::string Folder(const std::string& name) const {
    const std::string path = dir_.File(name);
    std::filesystem::create_directories(path);
    return path;
  }
  std::string Put(const std::string& from, const std::string& folder, const std::string& name) {
    if (folder.empty()) return dir_.CopyIn(from, name);
    Folder(folder);
    return dir_.CopyIn(from, folder + "/" + name);
  }
  std::string Provider(const std::string& folder, const std::string& from = PROVIDER) {
    return Put(from, folder, "libpkprovider.so");
  }
  std::string Needy(const std::string& folder = "") {
    return Put(NEEDY_PACKAGE, folder, "libpkneedy.so");
  }
  // The provider's bytes changed by `edit`, as libpkprovider.so in that folder.
  void Damaged(const std::string& folder, const std::function<void(Bytes&)>& edit) {
    Bytes bytes = testsupport::ReadBytes(PROVIDER);
    edit(bytes);
    testsupport::WriteBytes(Folder(folder) + "/libpkprovider.so", bytes);
  }
  std::string Path() const { return dir_.Path(); }

 private:
  TempDir dir_;
};

template <typename T>
void Patch(Bytes& bytes, T Elf64_Ehdr::*field, T value) {
  auto header = testsupport::Get<Elf64_Ehdr>(bytes, 0);
  header.*field = value;
  testsupport::Put(bytes, 0, header);
}

// The package with its RUNPATH "$ORIGIN" rewritten in place to `runpath` (no longer).
std::string NeedyWithRunpath(Case& c, const std::string& runpath) {
  Bytes bytes = testsupport::ReadBytes(NEEDY_PACKAGE);
  const std::string origin("$ORIGIN", 8);  // with its terminating zero
  const auto at = std::search(bytes.begin(), bytes.end(), origin.begin(), origin.end());
  EXPECT_NE(bytes.end(), at) << "pkneedy's RUNPATH is $ORIGIN";
  EXPECT_EQ(bytes.end(), std::search(at + 1, bytes.end(), origin.begin(), origin.end()))
      << "and nothing else of it reads $ORIGIN";
  if (at != bytes.end()) std::copy_n(runpath.c_str(), runpath.size() + 1, at);
  const std::string path = c.Folder("pkg") + "/libpkneedy.so";
  testsupport::WriteBytes(path, bytes);
  return path;
}

struct ResolverCase {
  const char* label;
  std::function<CaseSetup(Case&)> setUp;
};

const ResolverCase kResolverCases[] = {
    {"BesideThroughRunpath",
     [](Case& c) {
       c.Provider("");
       return CaseSetup{c.Needy()};
     }},
    {"LdLibraryPathBeforeRunpath",
     [](Case& c) {
       c.Provider("", OLD_PROVIDER);
       c.Provider("ld");
       return CaseSetup{c.Needy(), {"LD_LIBRARY_PATH=" + c.Folder("ld")}, {}};
     }},
    {"NotFoundAnywhere", [](Case& c) { return CaseSetup{c.Needy()}; }},
    {"EmptyLdLibraryPathEntryIsTheWorkingFolder",
     [](Case& c) {
       const std::string work = c.Folder("work");
       c.Provider("work");
       return CaseSetup{
           c.Needy("pkg"), {"LD_LIBRARY_PATH=" + c.Path() + "/none::" + c.Path() + "/no"}, work};
     }},
    {"LeadingColonInRunpathIsTheWorkingFolder",
     [](Case& c) {
       c.Provider("work");
       return CaseSetup{NeedyWithRunpath(c, ":/none"), {}, c.Folder("work")};
     }},
    {"HwcapsSubfolder",
     [](Case& c) {
       c.Provider("glibc-hwcaps/x86-64-v2");
       return CaseSetup{c.Needy()};
     }},
    {"LegacyTlsSubfolder",
     [](Case& c) {
       c.Provider("tls");
       return CaseSetup{c.Needy()};
     }},
    {"TextFileEarlierInThePath",
     [](Case& c) {
       c.Provider("");
       c.Damaged("ld", [](Bytes& b) {
         const std::string text(200, 'x');
         b.assign(text.begin(), text.end());
       });
       return CaseSetup{c.Needy(), {"LD_LIBRARY_PATH=" + c.Folder("ld")}, {}};
     }},
    {"EmptyFileEarlierInThePath",
     [](Case& c) {
       c.Provider("");
       c.Damaged("ld", [](Bytes& b) { b.clear(); });
       return CaseSetup{c.Needy(), {"LD_LIBRARY_PATH=" + c.Folder("ld")}, {}};
     }},
    {"TruncatedElfEarlierInThePath",
     [](Case& c) {
       c.Provider("");
       c.Damaged("ld", [](Bytes& b) { b.resize(b.size() / 2); });
       return CaseSetup{c.Needy(), {"LD_LIBRARY_PATH=" + c.Folder("ld")}, {}};
     }},
    {"ExecutableEarlierInThePath",
     [](Case& c) {
       c.Provider("");
       c.Damaged("ld", [](Bytes& b) { Patch<Elf64_Half>(b, &Elf64_Ehdr::e_type, ET_EXEC); });
       return CaseSetup{c.Needy(), {"LD_LIBRARY_PATH=" + c.Folder("ld")}, {}};
     }},
    {"OtherMachineEarlierIsPassedOver",
     [](Case& c) {
       c.Provider("");
       c.Damaged("ld", [](Bytes& b) { Patch<Elf64_Half>(b, &Elf64_Ehdr::e_machine, EM_AARCH64); });
       return CaseSetup{c.Needy(), {"LD_LIBRARY_PATH=" + c.Folder("ld")}, {}};
     }},
    {"PositionIndependentExecutableOnlyCandidate",
     [](Case& c) {
       c.Provider("", PIE_PROVIDER);
       return CaseSetup{c.Needy()};
     }},
    {"SymbolVersionTheLibraryLacks",
     [](Case& c) {
       c.Provider("", OLD_PROVIDER);
       return CaseSetup{c.Needy()};
     }},
    {"RequiredPackageBeside",
     [](Case& c) {
       c.Put(PackageFile("pkgbase"), "", "libpkgbase.so");
       return CaseSetup{c.Put(PackageFile("pkguser"), "", "libpkguser.so")};
     }},
    {"RequiredPackageMissing",
     [](Case& c) { return CaseSetup{c.Put(PackageFile("pkguser"), "", "libpkguser.so")}; }},
    {"RequiredPackageFileHoldsAnother",
     [](Case& c) {
       c.Put(PackageFile("mark"), "", "libpkgbase.so");
       return CaseSetup{c.Put(PackageFile("pkguser"), "", "libpkguser.so")};
     }},
};

class Resolver : public testing::TestWithParam<ResolverCase> {};

TEST_P(Resolver, AgreesWithTheLoader) {
  Case c;
  const CaseSetup setup = GetParam().setUp(c);
  const auto probe =
      testsupport::RunTool(LOAD_PROBE, {setup.file}, setup.environment, setup.workingDirectory);
  const auto check = testsupport::RunTool(PKGINFO_TOOL, {"--check", "--json", setup.file},
                                          setup.environment, setup.workingDirectory);
  const nlohmann::json report = pktest::ParseJson(check.out);
  const std::vector<std::string> lines = pktest::Lines(probe.out);
  const bool loads = probe.status == 0 && !lines.empty() && lines[0] == "loaded";
  std::string problems;
  for (const auto& p : report.at("problems")) problems += p.get<std::string>() + "\n";
  const std::string context = "probe said:\n" + probe.out + probe.err + "check said:\n" + problems;

  EXPECT_EQ(loads, report.at("ok").get<bool>()) << context;
  EXPECT_EQ(loads ? 0 : 1, check.status) << context;
  if (loads) {
    // What the load brought in besides the package, and what the check says it would.
    const std::set<std::string> mapped(lines.begin() + 1, lines.end());
    std::set<std::string> expected = mapped, named;
    expected.erase(setup.file);
    for (const auto& library : report.at("neededLibraries")) {
      if (library.at("how") != pkginfo::kLoadedWithTheProgram) named.insert(library.at("path"));
    }
    EXPECT_EQ(expected, named) << context;
  } else if (lines.size() == 1 && lines[0].rfind("refused: " + setup.file + ": ", 0) == 0) {
    // The loader's reason, "<object>: <why>" from the linker or its own sentence:
    // the check names the same, and in the same words unless the linker only said
    // it found nothing.
    const std::string reason = lines[0].substr(9 + setup.file.size() + 2);
    const std::string blamed = reason.substr(0, reason.find(": "));
    EXPECT_NE(std::string::npos, problems.find(blamed)) << context;
    if (reason.find("cannot open shared object file") == std::string::npos) {
      EXPECT_NE(std::string::npos, problems.find(reason)) << context;
    }
  }
  // else the linker ended the probe by a signal, as it would end the workbench.
}

INSTANTIATE_TEST_SUITE_P(Cases, Resolver, testing::ValuesIn(kResolverCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(RequiredPackage, BesideTheRequiringPackageThenBesideTheRunTimeLibrary) {
  TempDir requirer, runtime;
  const auto find = [&] {
    return rtl::detail::FindRequiredPackage("pkgbase", requirer.Path(), runtime.Path());
  };
  const std::vector<std::string> places{requirer.File("libpkgbase.so"),
                                        runtime.File("libpkgbase.so"),
                                        runtime.File("libpkgbase.so.0")};
  EXPECT_EQ(places, find().looked) << "the places, in order";
  EXPECT_EQ("", find().path) << "in none";
  runtime.CopyIn(PackageFile("pkgbase"), "libpkgbase.so.0");
  EXPECT_EQ(runtime.File("libpkgbase.so.0"), find().path)
      << "a run-time install has the framework's libraries by their soname alone";
  runtime.CopyIn(PackageFile("pkgbase"), "libpkgbase.so");
  EXPECT_EQ(runtime.File("libpkgbase.so"), find().path);
  EXPECT_EQ("beside the run-time library", find().how);
  requirer.CopyIn(PackageFile("pkgbase"), "libpkgbase.so");
  EXPECT_EQ(requirer.File("libpkgbase.so"), find().path) << "beside the requiring package wins";
  EXPECT_EQ("beside the requiring package", find().how);
  EXPECT_THROW(rtl::detail::FindRequiredPackage("../x", requirer.Path(), runtime.Path()),
               rtl::Exception)
      << "a name that is no package name never becomes part of a path";
}

}  // namespace
