#include "registration_test_support.h"

#include <gtest/gtest.h>

#include "Startup.h"
#include "toolkit/comctrls.h"

namespace regtest {

void InWorkbench(const std::function<void()>& body) {
  bool ran = false;
  wbtest::LoopScript script({[&] {
                               ran = true;
                               body();
                             },
                             [] {
                               if (Form1 != nullptr) Form1->Widget()->close();
                             }});
  EXPECT_EQ(RunWorkbench(), 0);
  EXPECT_TRUE(ran) << "the test body should have run inside the message loop";
  EXPECT_FALSE(script.WatchdogFired()) << "closing the main window should have ended the run";
}

TestClasses::TestClasses(std::vector<std::string> names) : names_(std::move(names)) {
  infos_.reserve(names_.size());
  for (const std::string& name : names_) {
    infos_.push_back(
        rtl::TClassInfo{name.c_str(), rtl::TComponent::StaticClass(), nullptr, 0, nullptr});
  }
  for (const rtl::TClassInfo& info : infos_) refs_.push_back(&info);
}

TestClasses::~TestClasses() {
  for (rtl::TClass cls : refs_) rtl::UnRegisterClass(cls);
}

std::vector<std::string> PageCaptions() {
  std::vector<std::string> captions;
  for (int i = 0; i < Form3->pcPallete->PageCount(); ++i) {
    captions.push_back(Form3->pcPallete->GetPage(i)->Caption());
  }
  return captions;
}

std::vector<std::string> PageLines(const std::string& caption) {
  const toolkit::TPageControl* pages = Form3->pcPallete;
  for (int i = 0; i < pages->PageCount(); ++i) {
    toolkit::TTabSheet* sheet = pages->GetPage(i);
    if (sheet->Caption() != caption) continue;
    // The memo is whatever memo sits on the sheet: found through the sheet, not
    // through the hook's table, so a wrong slot shows up as a mismatch.
    for (int c = 0; c < sheet->ControlCount(); ++c) {
      if (auto* memo = dynamic_cast<toolkit::TMemo*>(sheet->Controls(c))) {
        return memo->Lines().ToVector();
      }
    }
    ADD_FAILURE() << "page \"" << caption << "\" has no memo";
    return {};
  }
  ADD_FAILURE() << "no page \"" << caption << "\" on the palette";
  return {};
}

std::vector<std::string> PaletteText() {
  std::vector<std::string> text;
  for (const std::string& caption : PageCaptions()) {
    text.push_back("[" + caption + "]");
    for (std::string& line : PageLines(caption)) text.push_back(std::move(line));
  }
  return text;
}

}  // namespace regtest
