#include <gtest/gtest.h>

#include <memory>

#include "workbench_test_support.h"

namespace {

using wbtest::ScopedDialogs;

// An ancestor publishes; its descendant publishes nothing of its own.
class TProbeBase : public rtl::TObject {
  RTL_CLASS(TProbeBase, rtl::TObject)
 public:
  void Clicked(rtl::TObject* sender) { senders.push_back(sender); }
  void Closing(rtl::TObject*, toolkit::TCloseAction& action) { action = toolkit::caFree; }
  std::vector<rtl::TObject*> senders;
};
RTL_DEFINE_CLASS(TProbeBase, RTL_PUBLISH(TProbeBase, Clicked), RTL_PUBLISH(TProbeBase, Closing))

class TProbeDerived : public TProbeBase {
  RTL_CLASS(TProbeDerived, TProbeBase)
};
RTL_DEFINE_CLASS(TProbeDerived)

// Publishes one method under a name of exactly 255 bytes, the longest a short name holds.
const std::string kLongName(255, 'm');
class TLongNamed : public rtl::TObject {
  RTL_CLASS(TLongNamed, rtl::TObject)
 public:
  void Run(rtl::TObject*) { ++runs; }
  int runs = 0;
};
rtl::TClass TLongNamed::StaticClass() {
  static const rtl::TPublishedMethod methods[] = {rtl::Publish<&TLongNamed::Run>(kLongName.c_str()),
                                                  {}};
  static const rtl::TClassInfo info{"TLongNamed", rtl::TObject::StaticClass(), methods, 1, nullptr};
  return &info;
}

class Probes : public testing::Test {
 protected:
  void SetUp() override { form_ = std::make_unique<TForm1>(nullptr); }
  ScopedDialogs dialogs_;
  std::unique_ptr<TForm1> form_;
};

TEST_F(Probes, TheClassCheckShowsTwoBoxesForAnUnknownNameAndNoneForAKnownOne) {
  // Names are looked up as typed: blanks are part of the name.
  const std::pair<std::string, int> cases[] = {
      {"TRxLabel", 2}, {"TProbeBase", 0}, {"TProbeBase ", 2}, {" TProbeBase", 2}, {"", 2}};
  rtl::RegisterClass(TProbeBase::StaticClass());
  for (const auto& [text, boxes] : cases) {
    dialogs_->Reset();
    form_->Edit2->SetText(text);
    form_->Button3->Click();
    EXPECT_EQ(dialogs_->Messages(), std::vector<std::string>(boxes, "Класс не найден"))
        << "checking \"" << text << "\"";
    EXPECT_TRUE(dialogs_->Exceptions().empty()) << "an unknown class is no failure";
  }
  rtl::UnRegisterClass(TProbeBase::StaticClass());
}

TEST_F(Probes, GetMetodShowsTheSameMessageAsItsButton) {
  wbtest::Press(form_->Button4);
  wbtest::Press(form_->Button5);
  EXPECT_EQ(dialogs_->Messages(), (std::vector<std::string>{"тратата", "тратата"}))
      << "GetMetod should run ButtonShowMessageClick by name";
  EXPECT_TRUE(dialogs_->Exceptions().empty());
}

TEST_F(Probes, AMissingMethodRaisesNamingTheClassThenTheWholeName) {
  // The long ones are looked up by their first 255 bytes, which are no method name
  // either, even when they start with one.
  for (const std::string& name : {std::string("GetMethod"), std::string(300, 'x'),
                                  "ButtonShowMessageClick" + std::string(278, 'y')}) {
    EXPECT_EQ(testsupport::MessageOf([&] { GetMethod(form_.get(), name); }),
              "Метод TForm1::" + name + " не найден")
        << "the message should carry the class and the requested name in full (" << name.size()
        << " bytes)";
  }
}

TEST(GetMethodNames, ALongNameIsLookedUpByItsFirst255Bytes) {
  TLongNamed object;
  const rtl::TMethod method = GetMethod(&object, kLongName + "tail");
  rtl::InvokeMethod(method, static_cast<rtl::TObject*>(nullptr));
  EXPECT_EQ(object.runs, 1) << "a name past 255 bytes should find the method of its first 255";
  EXPECT_THROW(GetMethod(&object, kLongName.substr(0, 254)), rtl::Exception)
      << "a name one byte short is another name";
}

TEST(GetMethodNames, WithoutAnObjectRaises) {
  EXPECT_THROW(GetMethod(nullptr, "Button4Click"), rtl::Exception)
      << "a missing object should be reported, not followed";
}

TEST_F(Probes, UseTClassListAppendsCountAndNamesEachPress) {
  wbtest::Press(form_->Button2);
  EXPECT_EQ(form_->Memo1->Lines().ToVector(), (std::vector<std::string>{"Memo1", "1", "TButton"}))
      << "one press: the count, then the class name";
  wbtest::Press(form_->Button2);
  EXPECT_EQ(form_->Memo1->Lines().ToVector(),
            (std::vector<std::string>{"Memo1", "1", "TButton", "1", "TButton"}))
      << "a second press makes a new list and appends below";
  EXPECT_TRUE(dialogs_->Boxes().empty());
}

TEST(GetMethodInheritance, FindsAnAncestorsMethodAndRunsItOnTheDescendant) {
  TProbeDerived derived;
  const rtl::TMethod method = GetMethod(&derived, "Clicked");
  EXPECT_EQ(method.Data, &derived);
  rtl::InvokeMethod(method, static_cast<rtl::TObject*>(nullptr));
  EXPECT_EQ(derived.senders, std::vector<rtl::TObject*>{nullptr})
      << "the ancestor's method should run on the descendant with a null sender";
}

TEST(GetMethodInheritance, AMethodOfAnotherShapeIsFoundButNeverCalledAsAClickHandler) {
  TProbeDerived derived;
  const rtl::TMethod method = GetMethod(&derived, "Closing");
  ASSERT_NE(method.Code, nullptr) << "a published close handler is still found by name";
  EXPECT_THROW(rtl::InvokeMethod(method, static_cast<rtl::TObject*>(nullptr)), rtl::Exception)
      << "calling a close handler as a click handler must be refused, not run";
  EXPECT_TRUE(derived.senders.empty());
}

}  // namespace
