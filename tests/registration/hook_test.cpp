#include <gtest/gtest.h>

#include "registration_test_support.h"
#include "toolkit/comctrls.h"

namespace {

using regtest::InWorkbench;
using regtest::PageCaptions;
using regtest::PageLines;
using regtest::TestClasses;

void Register(const std::string& page, const TestClasses& classes) {
  PaletteRegisterComponents(page, classes.Data(), classes.High());
}

TEST(Hook, ANewPageListsItsClassesInOrderAndRegistersThem) {
  TestClasses classes({"THookAlpha", "THookBeta", "THookGamma"});
  InWorkbench([&] {
    Register("Alpha", classes);
    ASSERT_EQ(PageCaptions(), std::vector<std::string>{"Alpha"}) << "one tab named as the page";
    EXPECT_EQ(PageLines("Alpha"),
              (std::vector<std::string>{"THookAlpha", "THookBeta", "THookGamma"}))
        << "the memo should list the class names, one per line, in array order";
    EXPECT_EQ(rtl::GetClass("THookGamma"), classes[2]) << "GetClass should find the last class";
    toolkit::TTabSheet* sheet = Form3->pcPallete->GetPage(0);
    ASSERT_GE(PageMemos.size(), 1u) << "the page's memo should have a slot";
    toolkit::TMemo* memo = PageMemos[0];
    ASSERT_NE(memo, nullptr) << "slot 0 should hold the first page's memo";
    EXPECT_EQ(memo->Owner(), Form1) << "the memo belongs to the main window";
    EXPECT_EQ(memo->Parent(), sheet) << "the memo sits on the sheet";
    EXPECT_EQ(memo->Align(), toolkit::alClient) << "the memo fills the tab";
  });
}

TEST(Hook, EveryOneOfManyPagesHasItsMemoInItsSlot) {
  constexpr int kPages = 45;
  std::vector<std::string> names;
  for (int i = 0; i < kPages; ++i) names.push_back("THookMany" + std::to_string(i));
  TestClasses classes(names);
  InWorkbench([&] {
    for (int i = 0; i < kPages; ++i) {
      PaletteRegisterComponents("Many" + std::to_string(i), classes.Data() + i, 0);
    }
    ASSERT_EQ(Form3->pcPallete->PageCount(), kPages) << "one tab per distinct page name";
    ASSERT_GE(PageMemos.size(), static_cast<std::size_t>(kPages)) << "the table grows with pages";
    for (int i = 0; i < kPages; ++i) {
      const std::string page = "Many" + std::to_string(i);
      EXPECT_EQ(PageLines(page), std::vector<std::string>{names[i]}) << "page " << page;
      EXPECT_EQ(PageMemos[i]->Parent(), Form3->pcPallete->GetPage(i))
          << "slot " << i << " should hold the memo of tab " << i;
      EXPECT_NE(rtl::GetClass(names[i]), nullptr) << names[i] << " should be registered";
    }
  });
}

TEST(Hook, WithoutAMainWindowClassesAreRegisteredButNotListed) {
  ASSERT_EQ(Form1, nullptr) << "outside a run there is no main window";
  TestClasses classes({"THookQuiet1", "THookQuiet2"});
  const std::vector<toolkit::TMemo*> memosBefore = PageMemos;
  Register("Quiet", classes);
  EXPECT_EQ(rtl::GetClass("THookQuiet1"), classes[0]) << "the first class should be registered";
  EXPECT_EQ(rtl::GetClass("THookQuiet2"), classes[1]) << "the second class should be registered";
  EXPECT_EQ(PageMemos, memosBefore) << "no page should have been made";
}

TEST(Hook, AMainWindowWithoutAPaletteWindowIsAClearError) {
  TestClasses classes({"THookNoPalette"});
  TForm1 main(nullptr);
  Form1 = &main;
  ASSERT_EQ(Form3, nullptr) << "outside a run there is no palette window";
  EXPECT_NE(testsupport::MessageOf([&] {
              Register("Nowhere", classes);
            }).find("no palette window for page \"Nowhere\""),
            std::string::npos)
      << "a page without a palette window should be a clear error";
  Form1 = nullptr;
  EXPECT_EQ(rtl::GetClass("THookNoPalette"), nullptr) << "the call stopped before registering";
}

TEST(Hook, AClassTheRegistryRefusesIsListedAndStopsTheCall) {
  TestClasses taken({"THookClash"});
  TestClasses classes({"THookBefore1", "THookBefore2", "THookClash", "THookAfter"});
  rtl::RegisterClass(taken[0]);
  InWorkbench([&] {
    EXPECT_THROW(Register("Clash", classes), rtl::Exception)
        << "RegisterClass's refusal should travel on";
    EXPECT_EQ(PageLines("Clash"),
              (std::vector<std::string>{"THookBefore1", "THookBefore2", "THookClash"}))
        << "classes 0..k should be listed, the refused one among them";
    EXPECT_EQ(rtl::GetClass("THookBefore2"), classes[1]) << "classes before k stay registered";
    EXPECT_EQ(rtl::GetClass("THookClash"), taken[0]) << "the name keeps its first class";
    EXPECT_EQ(rtl::GetClass("THookAfter"), nullptr) << "the rest is neither listed nor registered";
  });
}

TEST(Hook, ANullClassIsRefusedNamingThePageAndIndex) {
  TestClasses classes({"THookFirstOk"});
  const rtl::TClass withNull[] = {classes[0], nullptr};
  InWorkbench([&] {
    EXPECT_NE(testsupport::MessageOf([&] {
                PaletteRegisterComponents("Holes", withNull, 1);
              }).find("class 1 of page \"Holes\""),
              std::string::npos)
        << "a null class should be refused naming the page and its index";
    EXPECT_EQ(PageLines("Holes"), std::vector<std::string>{"THookFirstOk"});
  });
}

// A sheet whose memo never got stored, as when page creation fails part-way, and a
// slot left from an earlier run's palette: neither may be taken for a memo.
TEST(Hook, APageWithoutAStoredMemoGetsOneOnTheNextCall) {
  TestClasses classes({"THookOrphan1", "THookOrphan2"});
  InWorkbench([&] { Register("Earlier run", classes); });
  ASSERT_FALSE(PageMemos.empty());
  ASSERT_NE(PageMemos[0], nullptr) << "the earlier run's memo stays in its slot";
  InWorkbench([&] {
    auto* orphan = new toolkit::TTabSheet(Form3);
    orphan->SetPageControl(Form3->pcPallete);
    orphan->SetCaption("Orphan");
    PaletteRegisterComponents("Orphan", classes.Data(), 0);
    PaletteRegisterComponents("Orphan", classes.Data() + 1, 0);
    EXPECT_EQ(PageCaptions(), std::vector<std::string>{"Orphan"}) << "the sheet should be reused";
    EXPECT_EQ(PageLines("Orphan"), (std::vector<std::string>{"THookOrphan1", "THookOrphan2"}))
        << "the sheet should have been given one memo, used by both calls";
    EXPECT_EQ(PageMemos[0]->Parent(), orphan) << "its memo should now be in its slot";
  });
}

}  // namespace
