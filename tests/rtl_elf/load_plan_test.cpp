// The load plan on a table of folders: packages as built, and copies whose records
// say otherwise (a package requiring itself, two requiring each other). Each row
// names the steps in order and what LoadPackage would raise. In a row, "@" stands
// for the row's folder and "#" for the run-time library's.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "elf_test_support.h"
#include "package_record.h"
#include "paths.h"
#include "rtl/package_file.h"

namespace {

using elftest::Bytes;
using testsupport::PackageFile;
using testsupport::ReadBytes;

// The package as built, with its record changed; names of the same length keep the
// note's size, and so every offset in the file.
Bytes WithRecord(const std::string& package,
                 const std::function<void(rtl::TPackageRecord&)>& edit) {
  Bytes bytes = ReadBytes(PackageFile(package));
  const elftest::NoteAt note = elftest::FindPackageNote(bytes, rtl::detail::kRecordNoteType);
  rtl::TPackageRecord record = rtl::detail::DecodeRecord({bytes.data() + note.desc, note.descSize});
  edit(record);
  const std::vector<std::uint8_t> desc = rtl::detail::EncodeRecord(record);
  EXPECT_EQ(note.descSize, desc.size()) << "the record keeps its size";
  std::copy(desc.begin(), desc.end(), bytes.begin() + note.desc);
  return bytes;
}

// One line per step: what it opens or takes as held, where it was found, or what is
// wrong; a package not found lists the places looked for.
std::string Told(const rtl::TLoadStep& step) {
  if (!step.problem.empty() && step.path.empty() && !step.looked.empty()) {
    std::string places;
    for (const std::string& place : step.looked) places += (places.empty() ? "" : ", ") + place;
    return step.name + " missing: " + places;
  }
  if (!step.problem.empty()) return step.name + " ! " + step.problem;
  return step.name + (step.opens ? " opened" : " held") + (step.how.empty() ? "" : " " + step.how);
}

struct PlanCase {
  const char* label;
  std::vector<std::pair<std::string, Bytes>> files;  // the first is the one planned
  std::vector<std::string> steps;
  std::string error;
  std::vector<std::pair<std::string, std::string>> held = {};  // name, file; rtl always
};

std::vector<PlanCase> PlanCases() {
  const auto renamed = [](const char* name, const char* required) {
    return WithRecord("pkguser", [=](rtl::TPackageRecord& r) {
      r.name = name;
      std::replace(r.requiredPackages.begin(), r.requiredPackages.end(), std::string("pkgbase"),
                   std::string(required));
    });
  };
  const Bytes user = ReadBytes(PackageFile("pkguser"));
  const std::string cycle = "@/libpkguser.so: package pkguser requires itself";
  return {
      {"RequiredFirst",
       {{"libpkguser.so", user}, {"libpkgbase.so", ReadBytes(PackageFile("pkgbase"))}},
       {"rtl held already loaded", "rtl held already loaded",
        "pkgbase opened beside the requiring package", "pkguser opened"},
       ""},
      {"RequiresItself",
       {{"libpkguser.so", renamed("pkguser", "pkguser")}},
       {"rtl held already loaded", "pkguser ! package pkguser requires itself", "pkguser opened"},
       "@/libpkguser.so: package pkguser requires itself"},
      {"RequireEachOther",
       {{"libpkguser.so", user}, {"libpkgbase.so", renamed("pkgbase", "pkguser")}},
       {"rtl held already loaded", "rtl held already loaded",
        "pkguser ! cannot load required package pkguser: " + cycle +
            " (pkguser -> pkgbase -> pkguser)",
        "pkgbase opened beside the requiring package", "pkguser opened"},
       "@/libpkguser.so: cannot load required package pkgbase: @/libpkgbase.so: cannot load "
       "required package pkguser: " +
           cycle + " (pkguser -> pkgbase -> pkguser)"},
      {"NotFound",
       {{"libmissingreq.so", ReadBytes(PackageFile("missingreq"))}},
       {"rtl held already loaded",
        "pkgnowhere missing: @/libpkgnowhere.so, #/libpkgnowhere.so, "
        "#/package-workbench/packages/libpkgnowhere.so",
        "missingreq opened"},
       "@/libmissingreq.so: required package pkgnowhere not found (looked for @/libpkgnowhere.so "
       "or #/libpkgnowhere.so or #/package-workbench/packages/libpkgnowhere.so)"},
      {"HoldsAnotherPackage",
       {{"libpkguser.so", user}, {"libpkgbase.so", ReadBytes(PackageFile("mark"))}},
       {"rtl held already loaded",
        "pkgbase ! cannot load required package pkgbase: @/libpkgbase.so holds package mark, not "
        "pkgbase",
        "pkguser opened"},
       "@/libpkguser.so: cannot load required package pkgbase: @/libpkgbase.so holds package "
       "mark, not pkgbase"},
      {"HeldFromThisFile",
       {{"libpkguser.so", user}},
       {"pkguser held already loaded"},
       "",
       {{"pkguser", "@/libpkguser.so"}}},
      {"HeldFromAnotherFile",
       {{"libpkguser.so", user}},
       {"pkguser ! package pkguser is already loaded from @/libpkgbase.so; refusing "
        "@/libpkguser.so"},
       "package pkguser is already loaded from @/libpkgbase.so; refusing @/libpkguser.so",
       {{"pkguser", "@/libpkgbase.so"}}},
  };
}

class Plan : public testing::TestWithParam<PlanCase> {};

TEST_P(Plan, TellsTheStepsInLoadOrderAndWhatTheLoaderWouldRaise) {
  const PlanCase& row = GetParam();
  testsupport::TempDir dir, runtime;
  const auto paths = [&](const std::string& text) {
    return std::regex_replace(std::regex_replace(text, std::regex("@"), dir.Path()),
                              std::regex("#"), runtime.Path());
  };
  for (const auto& [name, bytes] : row.files) testsupport::WriteBytes(dir.File(name), bytes);
  std::vector<std::pair<std::string, std::string>> held = row.held;
  held.emplace_back("rtl", runtime.File("librtl.so"));
  const rtl::TLoadedPackages loaded = [&](const std::string& name) {
    for (const auto& [heldName, file] : held) {
      if (heldName == name)
        return std::optional(rtl::TLoadedPackage{paths(file), "already loaded"});
    }
    return std::optional<rtl::TLoadedPackage>();
  };
  const rtl::TLoadPlan plan = rtl::PlanLoad(dir.File(row.files[0].first), loaded, runtime.Path());
  std::vector<std::string> told, expected;
  for (const rtl::TLoadStep& step : plan.steps) told.push_back(Told(step));
  for (const std::string& step : row.steps) expected.push_back(paths(step));
  EXPECT_EQ(expected, told);
  EXPECT_EQ(paths(row.error), plan.error);
}

INSTANTIATE_TEST_SUITE_P(Folders, Plan, testing::ValuesIn(PlanCases()),
                         [](const auto& info) { return std::string(info.param.label); });

// A required package is looked for in its requirer's folder, the root too.
TEST(Paths, TheFolderOfAFileIsWhereARequiredPackageIsLookedFor) {
  const std::pair<std::string, std::string> cases[] = {
      {"/a/libx.so", "/a"}, {"/libx.so", "/"}, {"libx.so", "."}, {"a/libx.so", "a"}};
  for (const auto& [file, folder] : cases) {
    EXPECT_EQ(folder, rtl::detail::DirectoryOf(file)) << file;
  }
  EXPECT_EQ("/libx.so", rtl::FindRequiredPackage("x", "/", "").looked.front())
      << "a file in the root folder, named without a doubled slash";
}

}  // namespace
