#include <gtest/gtest.h>

#include <memory>

#include "workbench_test_support.h"

namespace {

class TProbed : public rtl::TObject {
  RTL_CLASS(TProbed, rtl::TObject)
};
RTL_DEFINE_CLASS(TProbed)

class Probes : public testing::Test {
 protected:
  wbtest::ScopedDialogs dialogs_;
  std::unique_ptr<TForm1> form_ = std::make_unique<TForm1>(nullptr);
};

TEST_F(Probes, TheClassCheckShowsTwoBoxesForAnUnknownNameAndNoneForAKnownOne) {
  // Names are looked up as typed: blanks are part of the name.
  const std::pair<std::string, int> cases[] = {
      {"TRxLabel", 2}, {"TProbed", 0}, {"TProbed ", 2}, {" TProbed", 2}, {"", 2}};
  rtl::RegisterClass(TProbed::StaticClass());
  for (const auto& [text, boxes] : cases) {
    dialogs_->Reset();
    form_->Edit2->SetText(text);
    wbtest::Press(form_->Button3);
    EXPECT_EQ(dialogs_->Messages(), std::vector<std::string>(boxes, "Класс не найден"))
        << "checking \"" << text << "\"";
    EXPECT_TRUE(dialogs_->Exceptions().empty()) << "an unknown class is no failure";
  }
  rtl::UnRegisterClass(TProbed::StaticClass());
}

TEST_F(Probes, GetMetodShowsTheSameMessageAsItsButton) {
  wbtest::Press(form_->Button4);
  wbtest::Press(form_->Button5);
  EXPECT_EQ(dialogs_->Messages(), (std::vector<std::string>{"тратата", "тратата"}))
      << "GetMetod should run ButtonShowMessageClick by name";
  EXPECT_TRUE(dialogs_->Exceptions().empty());
}

TEST_F(Probes, AMissingMethodRaisesNamingTheClassThenTheWholeName) {
  // The long one starts with a method's name, but is longer than any name can be.
  for (const std::string& name :
       {std::string("GetMethod"), "ButtonShowMessageClick" + std::string(278, 'y')}) {
    EXPECT_EQ(testsupport::MessageOf([&] { GetMethod(form_.get(), name); }),
              "Метод TForm1::" + name + " не найден")
        << "the message should carry the class and the requested name in full (" << name.size()
        << " bytes)";
  }
  EXPECT_THROW(GetMethod(nullptr, "Button4Click"), rtl::Exception)
      << "a missing object should be reported, not followed";
}

TEST_F(Probes, UseTClassListAppendsCountAndNamesEachPress) {
  wbtest::Press(form_->Button2);
  wbtest::Press(form_->Button2);
  EXPECT_EQ(form_->Memo1->Lines().ToVector(),
            (std::vector<std::string>{"Memo1", "1", "TButton", "1", "TButton"}))
      << "each press makes a new list, and appends its count and class name below";
  EXPECT_TRUE(dialogs_->Boxes().empty());
}

}  // namespace
