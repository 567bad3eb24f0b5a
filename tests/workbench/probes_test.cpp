#include <gtest/gtest.h>

#include <memory>

#include "workbench_test_support.h"

namespace {

using wbtest::ScopedDialogs;

// A class only this test knows, so registering it disturbs nothing else.
class TProbeThing : public rtl::TComponent {
  RTL_CLASS(TProbeThing, rtl::TComponent)
 public:
  using rtl::TComponent::TComponent;
};
RTL_DEFINE_CLASS(TProbeThing)

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

struct ClassCheckCase {
  const char* name;
  std::string text;
  bool registered;  // TProbeThing is in the registry during the press
  int boxes;
};

void PrintTo(const ClassCheckCase& c, std::ostream* out) {
  *out << c.name;
}

class ClassCheck : public Probes, public testing::WithParamInterface<ClassCheckCase> {};

TEST_P(ClassCheck, ShowsTwoBoxesForAnUnknownNameAndNoneForAKnownOne) {
  const ClassCheckCase& c = GetParam();
  if (c.registered) rtl::RegisterClass(TProbeThing::StaticClass());
  form_->Edit2->SetText(c.text);
  form_->Button3->Click();
  if (c.registered) rtl::UnRegisterClass(TProbeThing::StaticClass());
  EXPECT_EQ(dialogs_->Messages(), std::vector<std::string>(c.boxes, "Класс не найден"))
      << "checking \"" << c.text << "\"";
  EXPECT_TRUE(dialogs_->Exceptions().empty()) << "an unknown class is no failure";
}

INSTANTIATE_TEST_SUITE_P(
    Names, ClassCheck,
    testing::Values(ClassCheckCase{"InitialText", "TRxLabel", false, 2},
                    ClassCheckCase{"Registered", "TProbeThing", true, 0},
                    ClassCheckCase{"NotYetRegistered", "TProbeThing", false, 2},
                    ClassCheckCase{"OtherCase", "tprobething", true, 2},
                    ClassCheckCase{"TrailingBlank", "TProbeThing ", true, 2},
                    ClassCheckCase{"LeadingBlank", " TProbeThing", true, 2},
                    ClassCheckCase{"Empty", "", true, 2},
                    // The toolkit's own classes are not in the registry on a fresh start.
                    ClassCheckCase{"ToolkitButton", "TButton", false, 2}),
    [](const testing::TestParamInfo<ClassCheckCase>& info) { return info.param.name; });

TEST_F(Probes, TheInitialTextIsCheckedOnAFreshWindow) {
  wbtest::Press(form_->Button3);
  EXPECT_EQ(dialogs_->Messages(), (std::vector<std::string>{"Класс не найден", "Класс не найден"}))
      << "TRxLabel is unknown: two boxes in a row";
}

TEST_F(Probes, GetMetodShowsTheSameMessageAsItsButton) {
  wbtest::Press(form_->Button4);
  wbtest::Press(form_->Button5);
  EXPECT_EQ(dialogs_->Messages(), (std::vector<std::string>{"тратата", "тратата"}))
      << "GetMetod should run ButtonShowMessageClick by name";
  EXPECT_TRUE(dialogs_->Exceptions().empty());
}

TEST_F(Probes, GetMethodPairsTheCodeWithTheObject) {
  const rtl::TMethod method = GetMethod(form_.get(), "LoadPackClick");
  EXPECT_EQ(method.Data, form_.get()) << "the method should run on the object given";
  EXPECT_EQ(method.Code, rtl::MethodAddress(TForm1::StaticClass(), "LoadPackClick"));
}

struct MissingMethodCase {
  const char* label;
  std::string name;
};

void PrintTo(const MissingMethodCase& c, std::ostream* out) {
  *out << c.label;
}

class MissingMethod : public Probes, public testing::WithParamInterface<MissingMethodCase> {};

TEST_P(MissingMethod, RaisesNamingTheClassThenTheWholeName) {
  const std::string& name = GetParam().name;
  try {
    GetMethod(form_.get(), name);
    FAIL() << "GetMethod should raise for a method TForm1 does not publish";
  } catch (const rtl::Exception& error) {
    EXPECT_EQ(error.Message(), "Метод TForm1::" + name + " не найден")
        << "the message should carry the class and the requested name in full";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, MissingMethod,
    testing::Values(MissingMethodCase{"Unknown", "Nope"}, MissingMethodCase{"Empty", ""},
                    MissingMethodCase{"OtherCase", "buttonshowmessageclick"},
                    MissingMethodCase{"TrailingBlank", "ButtonShowMessageClick "},
                    MissingMethodCase{"NotPublished", "GetMethod"},
                    MissingMethodCase{"Long", std::string(300, 'x')},
                    // Looked up by its first 255 bytes, which are no method name either.
                    MissingMethodCase{"LongStartingWithAMethod",
                                      "ButtonShowMessageClick" + std::string(278, 'y')}),
    [](const testing::TestParamInfo<MissingMethodCase>& info) { return info.param.label; });

TEST(GetMethodNames, ALongNameIsLookedUpByItsFirst255Bytes) {
  TLongNamed object;
  const rtl::TMethod method = GetMethod(&object, kLongName + "tail");
  rtl::InvokeMethod(method, static_cast<rtl::TObject*>(nullptr));
  EXPECT_EQ(object.runs, 1) << "a name past 255 bytes should find the method of its first 255";
  EXPECT_THROW(GetMethod(&object, kLongName.substr(0, 254)), rtl::Exception)
      << "a name one byte short is another name";
}

TEST_F(Probes, GetMethodWithoutAnObjectRaises) {
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

TEST_F(Probes, UseTClassListAppendsBelowWhatTheUserTyped) {
  form_->Memo1->Lines().Clear();
  form_->Memo1->Lines().Add("first");
  form_->Memo1->Lines().Add("second");
  form_->Button2->Click();
  EXPECT_EQ(form_->Memo1->Lines().ToVector(),
            (std::vector<std::string>{"first", "second", "1", "TButton"}))
      << "the memo should never be cleared by the probe";
}

}  // namespace

namespace {

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

}  // namespace

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
