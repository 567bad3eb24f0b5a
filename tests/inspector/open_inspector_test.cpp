#include <gtest/gtest.h>

#include <QWidget>
#include <algorithm>

#include "Startup.h"
#include "inspector_test_support.h"

namespace {

using inspectortest::Handles;
using inspectortest::IndexOf;
using inspectortest::Items;
using inspectortest::MemoLines;
using inspectortest::Memos;
using inspectortest::PackageCopy;
using inspectortest::ScopedPackage;
using inspectortest::Select;
using wbtest::PackageFile;

int InspectorsOwnedBy(const rtl::TComponent* owner) {
  int count = 0;
  for (int i = 0; i < owner->ComponentCount(); ++i) {
    if (owner->Components(i)->InheritsFrom(TForm2::StaticClass())) ++count;
  }
  return count;
}

class OpenInspector : public testing::Test {
 protected:
  void SetUp() override { main_ = new TForm1(nullptr); }
  void TearDown() override {
    delete main_;
    EXPECT_EQ(Form2, nullptr) << "the inspector should go with the main window that owns it";
  }
  void PressOpen() { wbtest::Press(main_->Button1); }

  wbtest::ScopedDialogs dialogs_;
  inspectortest::ScopedExecutableModule executable_;
  TForm1* main_ = nullptr;
};

TEST_F(OpenInspector, PressingTwiceMakesOneWindowAndReopeningShowsItWithoutRefresh) {
  ScopedPackage twounits(PackageFile("twounits"));
  EXPECT_EQ(Form2, nullptr) << "no inspector before the first press";
  PressOpen();
  TForm2* form = Form2;
  ASSERT_NE(form, nullptr) << "the first press should make the inspector";
  EXPECT_EQ(form->Owner(), main_) << "the main window should own the inspector";
  PressOpen();
  EXPECT_EQ(Form2, form) << "the second press should show the same window";
  EXPECT_EQ(InspectorsOwnedBy(main_), 1) << "two presses should make one inspector";
  Select(form->ListBox1, IndexOf(form->ListBox1, twounits.Module()));
  const std::vector<std::string> items = Items(form->ListBox1);
  const MemoLines memos = Memos(form);
  ASSERT_EQ(memos.containsUnit.size(), 2u) << "the selection should have filled the memos";

  form->Close();
  EXPECT_FALSE(form->Widget()->isVisible()) << "closing should hide the inspector";
  ScopedPackage later(PackageFile("mark"));
  PressOpen();
  EXPECT_EQ(Form2, form) << "the closed window should be shown again, not rebuilt";
  EXPECT_TRUE(form->Widget()->isVisible()) << "the inspector should be on screen again";
  EXPECT_EQ(Items(form->ListBox1), items) << "showing again should not refresh the list";
  EXPECT_EQ(IndexOf(form->ListBox1, later.Module()), -1)
      << "a package loaded while the inspector was closed should not be listed yet";
  EXPECT_EQ(Memos(form), memos) << "the memos should read as they were left";
  EXPECT_TRUE(dialogs_->Boxes().empty()) << "opening and reopening should show no box";
}

// A package whose file was replaced by garbage while it stays loaded: its module is
// in the module list, but its description can no longer be read.
TEST_F(OpenInspector, AModuleWhoseDescriptionCannotBeReadFailsTheOpeningThenTheRefresh) {
  PackageCopy copy("mark");
  ScopedPackage spoiled(copy.Path());
  // Loaded later, so listed before it: new records go to the head of the list.
  ScopedPackage listedFirst(PackageFile("twounits"));
  copy.Spoil();
  PressOpen();
  EXPECT_EQ(Form2, nullptr) << "a construction that failed should not be stored";
  EXPECT_EQ(InspectorsOwnedBy(main_), 0) << "the half-built window should be gone";
  ASSERT_EQ(dialogs_->Exceptions().size(), 1u) << "the failure should be shown once";
  EXPECT_NE(dialogs_->Exceptions()[0].find(copy.Path()), std::string::npos)
      << "the message should name the file: " << dialogs_->Exceptions()[0];
  EXPECT_THROW(ShowPackageInfoEntry("x", rtl::ntContainsUnit, 0, nullptr), rtl::Exception)
      << "the memos of the failed window should not be reachable any more";

  copy.Restore();
  PressOpen();
  TForm2* form = Form2;
  ASSERT_NE(form, nullptr) << "with the file readable again the next press builds the window";
  EXPECT_EQ(InspectorsOwnedBy(main_), 1) << "exactly one inspector after the failure";
  Select(form->ListBox1, 0);
  const MemoLines memos = Memos(form);

  copy.Spoil();
  dialogs_->Reset();
  wbtest::Press(form->Button1);
  const std::vector<rtl::HMODULE> modules = wbtest::ModuleList();
  const auto failing = std::find(modules.begin(), modules.end(), spoiled.Module());
  EXPECT_EQ(Handles(form->ListBox1), std::vector<rtl::HMODULE>(modules.begin(), failing))
      << "the modules before the failing one stay listed, it and the later ones are not";
  ASSERT_EQ(dialogs_->Exceptions().size(), 1u) << "the failed refresh should be shown once";
  EXPECT_NE(dialogs_->Exceptions()[0].find(copy.Path()), std::string::npos)
      << "the message should name the file: " << dialogs_->Exceptions()[0];
  EXPECT_EQ(Memos(form), memos) << "a failed refresh leaves the memos alone";

  copy.Restore();
  dialogs_->Reset();
  wbtest::Press(form->Button1);
  EXPECT_EQ(Handles(form->ListBox1), wbtest::ModuleList())
      << "once the file reads again, the refresh lists every module";
  EXPECT_TRUE(dialogs_->Boxes().empty()) << "that refresh should show no box";
}

// The program as a new user starts it: the demo package stdreg loaded through
// LoadPack, then the inspector opened from the running main window.
TEST(OpenInspectorInTheProgram, ListsTheProgramTheFrameworkAndTheLoadedPackage) {
  wbtest::ScopedDialogs dialogs;
  dialogs->AnswerOpen(PackageFile("stdreg"));
  bool checked = false;
  wbtest::LoopScript script(
      {[] { wbtest::Press(Form1->LoadPack); }, [] { wbtest::Press(Form1->Button1); },
       [&] {
         checked = true;
         ASSERT_NE(Form2, nullptr) << "the inspector should have been opened";
         EXPECT_EQ(Form2->Owner(), Form1) << "the main window should own the inspector";
         EXPECT_TRUE(Form2->Widget()->isVisible()) << "the inspector should be on screen";
         EXPECT_EQ(Handles(Form2->ListBox1), wbtest::ModuleList())
             << "one item per module list record, in order";
         const std::vector<std::string> items = Items(Form2->ListBox1);
         const int exe = IndexOf(Form2->ListBox1, rtl::MainInstance());
         ASSERT_GE(exe, 0) << "the program itself should be listed";
         EXPECT_EQ(items[static_cast<std::size_t>(exe)], inspectortest::ExecutablePath() + " []");
         for (const char* file : {"/librtl.so.", "/libtoolkit.so.", "/libstdreg.so [Sample "}) {
           EXPECT_EQ(std::count_if(items.begin(), items.end(),
                                   [&](const std::string& text) {
                                     return text.find(file) != std::string::npos &&
                                            text.back() == ']';
                                   }),
                     1)
               << file << " should be listed once with its description";
         }
         const int pkg = IndexOf(Form2->ListBox1, LoadedPackage);
         ASSERT_GE(pkg, 0) << "the package in the slot should be listed";
         Select(Form2->ListBox1, pkg);
         EXPECT_EQ(Memos(Form2), (MemoLines{{"Stdreg"}, {"rtl", "toolkit"}, {"libstdreg.so"}}))
             << "its unit, the packages it requires and its build-artifact name";
       },
       [] { Form1->Widget()->close(); }});
  EXPECT_EQ(RunWorkbench(), 0);
  EXPECT_TRUE(checked) << "the checks should have run inside the message loop";
  EXPECT_FALSE(script.WatchdogFired()) << "closing the main window should have ended the run";
  EXPECT_EQ(Form2, nullptr) << "the inspector should be freed with the main window";
  EXPECT_TRUE(dialogs->Boxes().empty()) << "the run should show no box";
}

}  // namespace
