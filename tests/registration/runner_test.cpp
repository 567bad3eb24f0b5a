#include <gtest/gtest.h>

#include "registration_test_support.h"

namespace {

using regtest::InWorkbench;
using regtest::PageCaptions;
using regtest::PageLines;
using regtest::PaletteText;
using testsupport::PackageFile;
using testsupport::ScopedPackage;
using wbtest::Press;
using wbtest::ScopedDialogs;
using Lines = std::vector<std::string>;

const Lines kStdregClasses = {"TColorSwatch", "TClickCounter", "TLedLabel", "TClockLabel"};
const Lines kStdregPalette = {"[Samples]",    "TColorSwatch", "TClickCounter",
                              "[Indicators]", "TLedLabel",    "TClockLabel"};

void LoadIntoSlot(ScopedDialogs& dialogs, const std::string& package) {
  dialogs->AnswerOpen(wbtest::PackageFile(package));
  Press(Form1->LoadPack);
  ASSERT_NE(LoadedPackage, 0u) << package << " should be in the slot";
}

void NamedRun(const std::string& name) {
  Form1->Edit3->SetText(name);
  Press(Form1->Button8);
}

TEST(NamedRun, TheInitialNameRunsStdregAndUnloadingForgetsItsClassesButKeepsThePalette) {
  ScopedDialogs dialogs;
  InWorkbench([&] {
    LoadIntoSlot(dialogs, "stdreg");
    Press(Form1->Button8);
    EXPECT_EQ(PaletteText(), kStdregPalette) << "two tabs listing stdreg's classes in order";
    EXPECT_EQ(dialogs->Messages(), Lines{"BRRRRR"}) << "one message once the procedure returned";
    for (const std::string& name : kStdregClasses) {
      EXPECT_NE(rtl::GetClass(name), nullptr) << "GetClass should find " << name;
    }
    Form1->Edit2->SetText("TClickCounter");
    Press(Form1->Button3);
    EXPECT_EQ(dialogs->Messages(), Lines{"BRRRRR"}) << "the class check should find it silently";

    Press(Form1->UnLoadPack);
    EXPECT_EQ(PaletteText(), kStdregPalette) << "the palette's text should stay as it was";
    for (const std::string& name : kStdregClasses) {
      EXPECT_EQ(rtl::GetClass(name), nullptr) << name << " should be gone with its package";
    }
    Press(Form1->Button8);
    EXPECT_EQ(dialogs->Messages(), Lines{"BRRRRR"}) << "the run with an empty slot shows nothing";
    EXPECT_EQ(PaletteText(), kStdregPalette);
    Press(Form1->Button3);
    EXPECT_EQ(dialogs->Messages(), (Lines{"BRRRRR", "Класс не найден", "Класс не найден"}))
        << "a class gone with its package should give the two boxes again";
    EXPECT_TRUE(dialogs->Exceptions().empty());
  });
}

TEST(NamedRun, TheSameRunTwiceListsEverythingTwice) {
  ScopedDialogs dialogs;
  InWorkbench([&] {
    LoadIntoSlot(dialogs, "stdreg");
    Press(Form1->Button8);
    Press(Form1->Button8);
    EXPECT_EQ(PageLines("Samples"),
              (Lines{"TColorSwatch", "TClickCounter", "TColorSwatch", "TClickCounter"}));
    EXPECT_EQ(PageCaptions(), (Lines{"Samples", "Indicators"})) << "no tab should be added";
    EXPECT_EQ(dialogs->Messages(), (Lines{"BRRRRR", "BRRRRR"}));
  });
}

TEST(NamedRun, AnEmptySlotInstallsTheHookAndDoesNothingElse) {
  ScopedDialogs dialogs;
  InWorkbench([&] {
    rtl::RegisterComponentsProc = nullptr;
    Press(Form1->Button8);
    EXPECT_EQ(rtl::RegisterComponentsProc, &PaletteRegisterComponents)
        << "the hook should be installed even with nothing to run";
    EXPECT_TRUE(dialogs->Boxes().empty()) << "no box should be shown";
    EXPECT_TRUE(PageCaptions().empty());
  });
}

TEST(NamedRun, ANameNotExportedByTheSlotsPackageCallsNothingAndShowsNothing) {
  ScopedDialogs dialogs;
  InWorkbench([&] {
    LoadIntoSlot(dialogs, "stdreg");
    // extreg (with its procedure) is loaded too, but not into the slot.
    ScopedPackage extreg(PackageFile("extreg"));
    for (const std::string& name :
         {std::string(), std::string("@Nothing@Register$qqrv"),
          std::string("@stdreg@Register$qqrv"), std::string("@Stdreg@Register$qqrv "),
          std::string("@Stdreg@Register$qqrv\0x", 23), std::string("@Extreg@Register$qqrv")}) {
      NamedRun(name);
      EXPECT_TRUE(dialogs->Boxes().empty()) << "nothing should be shown for \"" << name << '"';
      EXPECT_TRUE(PageCaptions().empty()) << "no procedure should have run for \"" << name << '"';
    }
    EXPECT_EQ(rtl::GetClass("TColorSwatch"), nullptr);
  });
}

// The whole-process run's button stays disabled; its handler is pressed through a
// button of the test's own, bound by name the way the window binds its handlers,
// so that what it raises reaches the toolkit's exception display.
void WholeProcessRun() {
  EXPECT_FALSE(Form1->Button7->Enabled()) << "Button7 is disabled in the window";
  toolkit::TButton runner(nullptr);
  runner.OnClick = GetMethod(Form1, "Button7Click");
  Press(&runner);
}

TEST(WholeProcessRun, RunsEveryDemoProcedureOnceSkippingTheExecutable) {
  ScopedDialogs dialogs;
  ScopedPackage extreg(PackageFile("extreg"));  // loads stdreg first
  InWorkbench([&] {
    EXPECT_EQ(wbtest::CountInModuleList(rtl::MainInstance()), 1) << "the executable is listed";
    WholeProcessRun();
    EXPECT_EQ(dialogs->Messages(), (Lines{"BRRRRR", "BRRRRR"})) << "one per procedure found";
    EXPECT_TRUE(dialogs->Exceptions().empty()) << "the executable's turn should end silently";
    // Newest module first: extreg's pages come before stdreg's.
    EXPECT_EQ(PaletteText(),
              (Lines{"[Indicators]", "TGauge", "TLedLabel", "TClockLabel", "[Extras]",
                     "TRainbowSwatch", "[Samples]", "TColorSwatch", "TClickCounter"}));
  });
}

TEST(WholeProcessRun, TriesEveryReportedNameLetterForLetter) {
  ScopedDialogs dialogs;
  ScopedPackage odd(PackageFile("oddnames"));
  InWorkbench([&] {
    WholeProcessRun();
    // OddUnit is reported twice; CaseUnit's procedure is spelled Caseunit; the
    // required package's and the artifact's names are tried as unit names too.
    EXPECT_EQ(PageLines("Odd"), (Lines{"TOddUnit", "TOddUnit", "TOddRequired", "TOddArtifact"}));
    EXPECT_EQ(dialogs->Messages().size(), 4u) << "one BRRRRR per procedure found";
    EXPECT_EQ(rtl::GetClass("TOddCase"), nullptr) << "a name in another case is not found";
  });
}

TEST(WholeProcessRun, AProcedureThatRaisesEndsTheWalk) {
  ScopedDialogs dialogs;
  ScopedPackage stdreg(PackageFile("stdreg"));
  ScopedPackage raising(PackageFile("raisereg"));
  ScopedPackage extreg(
      PackageFile("extreg"));  // the module list now reads extreg, raisereg, stdreg
  InWorkbench([&] {
    WholeProcessRun();
    EXPECT_EQ(dialogs->Exceptions(), Lines{"RaiseReg: the second page cannot be registered"});
    EXPECT_EQ(dialogs->Messages(), Lines{"BRRRRR"}) << "only the procedure before it returned";
    EXPECT_NE(rtl::GetClass("TGauge"), nullptr) << "the earlier procedure's classes stay";
    EXPECT_NE(rtl::GetClass("TRaiseFirst"), nullptr) << "what it registered before raising stays";
    EXPECT_EQ(PageLines("Raising"), Lines{"TRaiseFirst"});
    EXPECT_EQ(rtl::GetClass("TColorSwatch"), nullptr) << "no later procedure should have run";
    EXPECT_EQ(rtl::RegisterComponentsProc, &PaletteRegisterComponents) << "the hook stays";
  });
}

// Same page again, case and blanks, the empty name twice, a page with no classes.
TEST(WholeProcessRun, ManyCallsOfOneProcedureLandOnTheirPages) {
  ScopedDialogs dialogs;
  ScopedPackage multi(PackageFile("multireg"));
  InWorkbench([&] {
    WholeProcessRun();
    EXPECT_EQ(PaletteText(), (Lines{"[Multi]", "TMultiA", "TMultiB", "TMultiD", "[Other]",
                                    "TMultiC", "[]", "TMultiE", "TMultiI", "[Hollow]", "[multi]",
                                    "TMultiF", "[ Multi]", "TMultiG", "[Multi ]", "TMultiH"}));
    EXPECT_EQ(dialogs->Messages(), Lines{"BRRRRR"});
  });
}

}  // namespace
