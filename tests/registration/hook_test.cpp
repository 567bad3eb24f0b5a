#include <gtest/gtest.h>

#include <deque>

#include "Registration.h"
#include "toolkit/comctrls.h"
#include "workbench_test_support.h"

namespace {

using testsupport::MessageOf;
using wbtest::InWorkbench;
using wbtest::PageCaptions;
using wbtest::PageLines;
using Lines = std::vector<std::string>;

// Class descriptors made by the test under the given names, taken out of the class
// registry again when the test ends.
class TestClasses {
 public:
  explicit TestClasses(std::vector<std::string> names) : names_(std::move(names)) {
    for (const std::string& name : names_) {
      refs_.push_back(&infos_.emplace_back(
          rtl::TClassInfo{name.c_str(), rtl::TComponent::StaticClass(), nullptr, 0, nullptr}));
    }
  }
  ~TestClasses() {
    for (rtl::TClass cls : refs_) rtl::UnRegisterClass(cls);
  }
  const rtl::TClass* Data() const noexcept { return refs_.data(); }
  std::int32_t High() const noexcept { return static_cast<std::int32_t>(refs_.size()) - 1; }
  rtl::TClass operator[](std::size_t i) const { return refs_[i]; }

 private:
  std::vector<std::string> names_;
  std::deque<rtl::TClassInfo> infos_;  // never moved: the registry keeps their addresses
  std::vector<rtl::TClass> refs_;
};

void Register(const std::string& page, const TestClasses& classes) {
  PaletteRegisterComponents(page, classes.Data(), classes.High());
}

// One tab per page, each with its memo in the slot of its tab index; the memo is the
// main window's, fills its tab and lists the page's class, which is registered.
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
      EXPECT_EQ(PageLines(page), Lines{names[i]}) << "page " << page;
      ASSERT_NE(PageMemos[i], nullptr) << "slot " << i;
      EXPECT_EQ(PageMemos[i]->Parent(), Form3->pcPallete->GetPage(i))
          << "slot " << i << " should hold the memo of tab " << i;
      EXPECT_EQ(PageMemos[i]->Owner(), Form1) << "the memo belongs to the main window";
      EXPECT_EQ(PageMemos[i]->Align(), toolkit::alClient) << "the memo fills the tab";
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

  // A main window without a palette window is no program start-up makes.
  TestClasses unlisted({"THookNoPalette"});
  TForm1 main(nullptr);
  Form1 = &main;
  EXPECT_THAT(MessageOf([&] { Register("Nowhere", unlisted); }),
              testing::HasSubstr("no palette window for page \"Nowhere\""))
      << "a page without a palette window should be a clear error";
  Form1 = nullptr;
  EXPECT_EQ(rtl::GetClass("THookNoPalette"), nullptr) << "the call stopped before registering";
}

// A class the registry refuses is listed, as listing comes first, and stops the call;
// a null class stops it unlisted. What came before stays listed and registered.
TEST(Hook, ACallStopsAtAClassItCannotTakeKeepingWhatCameBefore) {
  TestClasses taken({"THookClash"});
  TestClasses classes({"THookBefore", "THookClash", "THookAfter"});
  rtl::RegisterClass(taken[0]);
  const rtl::TClass withNull[] = {classes[0], nullptr, classes[2]};
  InWorkbench([&] {
    EXPECT_THROW(Register("Clash", classes), rtl::Exception) << "RegisterClass's refusal";
    EXPECT_EQ(PageLines("Clash"), (Lines{"THookBefore", "THookClash"}))
        << "classes 0..k should be listed, the refused one among them";
    EXPECT_EQ(rtl::GetClass("THookBefore"), classes[0]) << "classes before k stay registered";
    EXPECT_EQ(rtl::GetClass("THookClash"), taken[0]) << "the name keeps its first class";
    EXPECT_THAT(MessageOf([&] { PaletteRegisterComponents("Holes", withNull, 2); }),
                testing::HasSubstr("class 1 of page \"Holes\""))
        << "a null class should be refused naming the page and its index";
    EXPECT_EQ(PageLines("Holes"), Lines{"THookBefore"});
    EXPECT_EQ(rtl::GetClass("THookAfter"), nullptr) << "the rest is neither listed nor registered";
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
    EXPECT_EQ(PageCaptions(), Lines{"Orphan"}) << "the sheet should be reused";
    EXPECT_EQ(PageLines("Orphan"), (Lines{"THookOrphan1", "THookOrphan2"}))
        << "the sheet should have been given one memo, used by both calls";
    EXPECT_EQ(PageMemos[0]->Parent(), orphan) << "its memo should now be in its slot";
  });
}

}  // namespace
