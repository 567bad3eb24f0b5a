#include <gtest/gtest.h>

#include <QWidget>
#include <stdexcept>

#include "Session.h"
#include "Startup.h"
#include "Unit2.h"
#include "workbench_test_support.h"

namespace {

using namespace wbtest;
using Lines = std::vector<std::string>;

TEST(Startup, BothWindowsAreShownAndClosingTheMainWindowEndsTheRun) {
  ScopedDialogs dialogs;
  InWorkbench([] {
    ASSERT_NE(Form1, nullptr) << "start-up should have stored the main window";
    ASSERT_NE(Form3, nullptr) << "start-up should have stored the palette window";
    EXPECT_TRUE(Form1->Widget()->isVisible()) << "the main window should be shown";
    EXPECT_TRUE(Form3->Widget()->isVisible()) << "the palette is shown from the start";
    EXPECT_FALSE(Form1->Widget()->windowIcon().pixmap(32).isNull()) << "the program's icon";
    ASSERT_NE(UnitNames, nullptr) << "the main window should have made UnitNames";
    EXPECT_EQ(UnitNames->Count(), 0) << "UnitNames should start empty";
    EXPECT_EQ(CountInModuleList(rtl::MainInstance()), 1) << "the executable, once, while it runs";
  });
  EXPECT_EQ(CountInModuleList(rtl::MainInstance()), 0) << "its record is removed at exit";
  EXPECT_EQ(Form1, nullptr) << "the main window should have been freed at the end of the run";
  EXPECT_EQ(Form3, nullptr) << "the palette window should have been freed at the end of the run";
  EXPECT_EQ(UnitNames, nullptr) << "UnitNames should not outlive the window that made it";
  EXPECT_TRUE(dialogs->Boxes().empty()) << "a clean run should show no box";
}

// Closing the palette window does not end the run, and registration runs go on
// filling the closed palette without showing it again.
TEST(Startup, AClosedPaletteFillsUnseen) {
  ScopedDialogs dialogs;
  InWorkbench([&] {
    Form3->Widget()->close();
    LoadPack(dialogs, PackageFile("stdreg"));
    Press(Form1->Button8);
    EXPECT_FALSE(Form3->Widget()->isVisible()) << "the palette stays hidden";
    EXPECT_EQ(PageCaptions(), (std::vector<std::string>{"Samples", "Indicators"})) << "filled";
  });
  EXPECT_EQ(dialogs->Messages(), std::vector<std::string>{"BRRRRR"});
}

// An unload that raises has still unloaded: the slot is empty after it, so the
// buttons work on, and closing the main window, which unloads the package in the
// slot, ends the run the next time.
TEST(Startup, AFinalisationThatRaisesIsShownOnceAndTheRunStillEnds) {
  ScopedDialogs dialogs;
  const std::string finifail = PackageFile("finifail");
  const auto shown = [&] { return dialogs->Exceptions().size(); };
  // The run goes on after the close that raised; the second close ends it.
  InWorkbench([&] {
    LoadPack(dialogs, finifail);
    Press(Form1->UnLoadPack);
    EXPECT_EQ(shown(), 1u) << "UnLoadPack should show the failure";
    Press(Form1->UnLoadPack);
    LoadPack(dialogs, finifail);
    EXPECT_EQ(shown(), 1u) << "the slot should have been empty for both";
    LoadPack(dialogs, finifail);
    EXPECT_EQ(shown(), 2u) << "LoadPack's unload should show it once";
    EXPECT_EQ(LoadedPackage, 0u) << "and leave the slot empty";
    LoadPack(dialogs, finifail);
    Form1->Widget()->close();
  });
  EXPECT_EQ(shown(), 3u) << "the first close should show it once, the second nothing";
  EXPECT_THAT(dialogs->Exceptions(),
              testing::Each(testing::HasSubstr("finalisation of unit FiniSecond")));
}

TEST(Startup, AWindowThatCannotBeBuiltEndsStartUpWithItsMessage) {
  ScopedDialogs dialogs;
  const toolkit::FormResource* resource = toolkit::FindFormResource("TFORM3");
  ASSERT_NE(resource, nullptr) << "the palette window's description should be embedded";
  const toolkit::FormResource saved = *resource;
  toolkit::UnregisterFormResource("TFORM3");
  LoopScript script({[] { toolkit::Application->Terminate(); }});
  const int result = RunWorkbench();
  toolkit::RegisterFormResource(saved.name.c_str(), saved.fileName.c_str(), saved.text);

  EXPECT_EQ(result, 0) << "a failed start-up should still return 0";
  EXPECT_EQ(script.StepsRun(), 0) << "the message loop should not have run";
  EXPECT_THAT(dialogs->Exceptions(), testing::ElementsAre(testing::HasSubstr("TForm3")))
      << "the failure should be shown once, naming the window";
  EXPECT_EQ(toolkit::Application->ComponentCount(), 0)
      << "the main window made before the failure should be freed";
  EXPECT_EQ(CountInModuleList(rtl::MainInstance()), 0)
      << "the executable's record should be removed after a failed start-up too";
}

TEST(Startup, TheCommandLinesPackageIsLoadedAndItsProcedureRunOnceTheWindowsAreUp) {
  const std::string stdreg = PackageFile("stdreg"), mark = PackageFile("mark");
  const char* const named = "@Stdreg@Register$qqrv";
  const struct {
    std::string package;
    std::optional<std::string> procedure;
    bool loaded;
    bool ran;               // the palette filled with stdreg's pages, and "BRRRRR" said
    std::string exception;  // empty: none shown; else shown, and printed on stderr
    std::string edit3;      // the procedure box afterwards
  } cases[] = {
      {stdreg, named, true, true, "", ""},
      // No procedure is run unless asked for; a package that exports exactly one has it
      // put in the box; one that exports two, or none, leaves the box as it was.
      {PackageFile("twounits"), std::nullopt, true, false, "", "@TwoSecond@Register$qqrv"},
      {PackageFile("oddnames"), std::nullopt, true, false, "", named},
      {mark, std::nullopt, true, false, "", named},
      {PackageFile("doesnotexist"), named, false, false, "libdoesnotexist.so", ""},
      // A typo in the name is told, with the names that would do.
      {stdreg, "@Stdreg@Registr$qqrv", true, false,
       stdreg + " does not export the registration procedure @Stdreg@Registr$qqrv; it exports " +
           named,
       "@Stdreg@Registr$qqrv"},
      {mark, "@TwoFirst@Register$qqrv", true, false,
       "does not export the registration procedure @TwoFirst@Register$qqrv; it exports none",
       "@TwoFirst@Register$qqrv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.package + " " + c.procedure.value_or("(no procedure)"));
    ScopedDialogs dialogs;
    bool slotFilled = false;
    std::vector<std::string> pages;
    std::string edit3;
    // The first step runs before the request is taken up, the second after it.
    LoopScript script({[] {},
                       [&] {
                         slotFilled = LoadedPackage != 0;
                         pages = PageCaptions();
                         edit3 = Form1->Edit3->Text();
                         Form1->Widget()->close();
                       }});
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunWorkbench({c.package, c.procedure}), 0);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(script.StepsRun(), 2) << "the run should go on after the request";
    EXPECT_EQ(slotFilled, c.loaded) << "the package in the slot";
    if (!c.edit3.empty()) {
      EXPECT_EQ(edit3, c.edit3);
    }
    EXPECT_EQ(pages, (c.ran ? Lines{"Samples", "Indicators"} : Lines{})) << "palette pages";
    EXPECT_EQ(dialogs->Messages(), c.ran ? Lines{"BRRRRR"} : Lines{});
    EXPECT_EQ(dialogs->Exceptions().size(), c.exception.empty() ? 0u : 1u) << "shown once";
    EXPECT_THAT(dialogs->Exceptions(), testing::Each(testing::HasSubstr(c.exception)));
    if (c.loaded && !c.exception.empty()) {
      EXPECT_THAT(printed, testing::HasSubstr("workbench: " + dialogs->Exceptions().front()));
    }
  }
}

// A run that follows one a fault ended: its windows and texts as they were, the report
// shown once, and the session kept from then on.
TEST(Startup, AResumedRunPutsItsSessionBackAndShowsTheReport) {
  std::string session;
  {
    ScopedDialogs dialogs;
    LoopScript script({[&] {
      Form1->Edit3->SetText("@Gauges@Register$qqrv");
      session = CaptureSession();
      Form1->Widget()->close();
    }});
    RunWorkbench();
  }
  ScopedDialogs dialogs;
  std::vector<std::string> kept;
  std::string text;
  // The second step runs once the box has been shown.
  LoopScript script({[] {},
                     [&] {
                       text = Form1->Edit3->Text();
                       Form1->Widget()->close();
                     }});
  RunContext context{Resumed{session, "The workbench was ended by a fault in package code."},
                     [&kept](const std::string& now) { kept.push_back(now); }};
  RunWorkbench({}, context);
  EXPECT_EQ(text, "@Gauges@Register$qqrv") << "the edit box's text should be back";
  EXPECT_EQ(dialogs->Exceptions(),
            std::vector<std::string>{"The workbench was ended by a fault in package code."});
  ASSERT_FALSE(kept.empty()) << "the session should be kept from the start";
  EXPECT_NE(kept.back().find("@Gauges@Register$qqrv"), std::string::npos);
}

TEST(Startup, TheGuardShowsWhatEscapesAndReturnsZero) {
  const std::pair<std::function<void()>, std::vector<std::string>> cases[] = {
      {[] {}, {}},
      {[] { throw rtl::Exception("Нет пакета"); }, {"Нет пакета"}},
      // Anything else is shown with an empty message, even when it has a text.
      {[] { throw std::runtime_error("boom"); }, {""}},
      {[] { throw 42; }, {""}}};
  for (const auto& [raise, shown] : cases) {
    ScopedDialogs dialogs;
    EXPECT_EQ(RunGuarded(raise), 0) << "start-up should return 0 in every case";
    EXPECT_EQ(dialogs->Exceptions(), shown) << "exception boxes shown";
    EXPECT_TRUE(dialogs->Messages().empty()) << "only the exception display should be used";
  }
}

}  // namespace
