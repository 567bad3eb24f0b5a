#include <gtest/gtest.h>

#include <deque>

#include "Registration.h"
#include "workbench_test_support.h"

namespace {

using testsupport::PackageFile;
using testsupport::ScopedPackage;
using namespace wbtest;
using Lines = std::vector<std::string>;

// After any run: the hook is installed, whatever else happened, and every class the
// palette lists is registered.
void ExpectHookAndListedClassesRegistered() {
  EXPECT_EQ(rtl::RegisterComponentsProc, &PaletteRegisterComponents) << "the hook stays installed";
  for (const std::string& line : PaletteText()) {
    if (!line.starts_with('[')) {
      EXPECT_NE(rtl::GetClass(line), nullptr) << line << " is listed";
    }
  }
}

// The road of a first use: stdreg into the slot, its procedure run twice by the name
// the box starts with, one of its classes checked, and the package unloaded and loaded
// again: the palette follows the registry, its pages stay.
TEST(NamedRun, TheInitialNameRunsStdregAndUnloadingDropsItsClassesButKeepsThePages) {
  ScopedDialogs dialogs;
  InWorkbench([&] {
    LoadPack(dialogs, PackageFile("stdreg"));
    Press(Form1->Button8);
    Press(Form1->Button8);
    const Lines twice = {"[Samples]",     "TColorSwatch", "TClickCounter", "TColorSwatch",
                         "TClickCounter", "[Indicators]", "TLedLabel",     "TClockLabel",
                         "TLedLabel",     "TClockLabel"};
    EXPECT_EQ(PaletteText(), twice) << "each run lists stdreg's classes again on its two tabs";
    EXPECT_EQ(dialogs->Messages(), (Lines{"BRRRRR", "BRRRRR"})) << "one message per run";
    ExpectHookAndListedClassesRegistered();
    Form1->Edit2->SetText("TClickCounter");
    Press(Form1->Button3);
    EXPECT_EQ(dialogs->Messages().size(), 2u) << "the class check should find it silently";

    Press(Form1->UnLoadPack);
    EXPECT_EQ(PaletteText(), (Lines{"[Samples]", "[Indicators]"}))
        << "the classes go with their package, the pages stay";
    LoadPack(dialogs, PackageFile("stdreg"));
    Press(Form1->Button8);
    EXPECT_EQ(PaletteText(), (Lines{"[Samples]", "TColorSwatch", "TClickCounter", "[Indicators]",
                                    "TLedLabel", "TClockLabel"}))
        << "registered again after a reload, each class is listed once";
    LoadPack(dialogs, PackageFile("twounits"));
    EXPECT_EQ(PaletteText(), (Lines{"[Samples]", "[Indicators]"})) << "LoadPack unloads too";
    ExpectHookAndListedClassesRegistered();
    EXPECT_TRUE(dialogs->Exceptions().empty());
  });
}

// Only an export of the slot's own package, by exactly the name typed, is run (the
// test above runs stdreg's); what a procedure raises is shown in place of "BRRRRR",
// and what it did before stays.
TEST(NamedRun, RunsOnlyTheSlotPackagesOwnExportOfExactlyTheNameTyped) {
  const Lines none;
  const struct {
    const char* slot;  // null: the slot stays empty
    std::string name;
    Lines palette;
    Lines messages;
    Lines exceptions;
  } cases[] = {
      {nullptr, "@Stdreg@Register$qqrv", none, none, none},
      {"stdreg", "", none, none, none},
      {"stdreg", "@Nothing@Register$qqrv", none, none, none},
      {"stdreg", "@stdreg@Register$qqrv", none, none, none},
      {"stdreg", "@Stdreg@Register$qqrv ", none, none, none},
      {"stdreg", " @Stdreg@Register$qqrv", none, none, none},
      {"stdreg", std::string("@Stdreg@Register$qqrv\0x", 23), none, none, none},
      // extreg requires stdreg, which exports the name; the slot's package does not.
      {"extreg", "@Stdreg@Register$qqrv", none, none, none},
      {"raisereg", "@RaiseReg@Register$qqrv", Lines{"[Raising]", "TRaiseFirst"}, none,
       Lines{"RaiseReg: the second page cannot be registered"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.slot != nullptr ? c.slot : "empty slot") + ", \"" + c.name + '"');
    ScopedDialogs dialogs;
    InWorkbench([&] {
      if (c.slot != nullptr) LoadPack(dialogs, PackageFile(c.slot));
      rtl::RegisterComponentsProc = nullptr;
      NamedRun(c.name);
      EXPECT_EQ(PaletteText(), c.palette);
      EXPECT_EQ(dialogs->Messages(), c.messages);
      EXPECT_EQ(dialogs->Exceptions(), c.exceptions);
      ExpectHookAndListedClassesRegistered();
    });
  }
}

// Every module in the list, newest first; every name it reports tried letter for
// letter as a unit's. A procedure that raises ends the walk, keeping what ran before.
TEST(WholeProcessRun, RunsTheProcedureOfEveryReportedNameUntilOneRaises) {
  using Names = std::vector<const char*>;
  const Lines none;
  const struct {
    Names loaded;  // in this order
    Lines palette;
    std::size_t messages;
    Lines exceptions;
  } cases[] = {
      // extreg loads stdreg first.
      {Names{"extreg"},
       Lines{"[Indicators]", "TGauge", "TLedLabel", "TClockLabel", "[Extras]", "TRainbowSwatch",
             "[Samples]", "TColorSwatch", "TClickCounter"},
       2, none},
      // OddUnit is reported twice; CaseUnit's procedure is spelled Caseunit; the
      // required package's and the artifact's names are tried as unit names too.
      {Names{"oddnames"}, Lines{"[Odd]", "TOddUnit", "TOddUnit", "TOddRequired", "TOddArtifact"}, 4,
       none},
      {Names{"stdreg", "raisereg", "extreg"},
       Lines{"[Indicators]", "TGauge", "[Extras]", "TRainbowSwatch", "[Raising]", "TRaiseFirst"}, 1,
       Lines{"RaiseReg: the second page cannot be registered"}},
      // Same page again, case and blanks, the empty name twice, a page with no classes.
      {Names{"multireg"},
       Lines{"[Multi]", "TMultiA", "TMultiB", "TMultiD", "[Other]", "TMultiC", "[]", "TMultiE",
             "TMultiI", "[Hollow]", "[multi]", "TMultiF", "[ Multi]", "TMultiG", "[Multi ]",
             "TMultiH"},
       1, none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.loaded.back());
    ScopedDialogs dialogs;
    std::deque<ScopedPackage> loaded;
    for (const char* name : c.loaded) loaded.emplace_back(PackageFile(name));
    InWorkbench([&] {
      ASSERT_EQ(CountInModuleList(rtl::MainInstance()), 1) << "the executable's turn comes too";
      WholeProcessRun();
      EXPECT_EQ(PaletteText(), c.palette);
      EXPECT_EQ(dialogs->Messages(), Lines(c.messages, "BRRRRR")) << "one per procedure run";
      EXPECT_EQ(dialogs->Exceptions(), c.exceptions);
      ExpectHookAndListedClassesRegistered();
    });
  }
}

}  // namespace
