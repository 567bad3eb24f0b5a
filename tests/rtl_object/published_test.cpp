#include <gtest/gtest.h>

#include <string>

#include "rtl/object.h"
#include "test_support.h"

namespace {

class TPubBase : public rtl::TObject {
  RTL_CLASS(TPubBase, rtl::TObject)
 public:
  void Click(rtl::TObject*) { calls += "base-click;"; }
  void Show(rtl::TObject*) { calls += "base-show;"; }
  void Count(int n) { calls += "count" + std::to_string(n) + ";"; }
  std::string calls;
};
RTL_DEFINE_CLASS(TPubBase, RTL_PUBLISH(TPubBase, Click), RTL_PUBLISH(TPubBase, Show),
                 RTL_PUBLISH(TPubBase, Count))

class TPubDerived : public TPubBase {
  RTL_CLASS(TPubDerived, TPubBase)
 public:
  void Click(rtl::TObject*) { calls += "derived-click;"; }
};
RTL_DEFINE_CLASS(TPubDerived, RTL_PUBLISH(TPubDerived, Click))

TEST(PublishedMethods, AreFoundInTheClassOrItsNearestAncestor) {
  const rtl::TClass derived = TPubDerived::StaticClass();
  void* baseClick = rtl::MethodAddress(TPubBase::StaticClass(), "Click");
  ASSERT_NE(baseClick, nullptr) << "a published method should be found in its own class";
  EXPECT_NE(rtl::MethodAddress(derived, "Click"), baseClick)
      << "the descendant's own Click should win over its parent's";
  EXPECT_EQ(rtl::MethodAddress(derived, "Show"),
            rtl::MethodAddress(TPubBase::StaticClass(), "Show"))
      << "a method only the parent publishes should be found through the descendant";
  for (const char* missing : {"click", "Click ", "Clic", ""}) {
    EXPECT_EQ(rtl::MethodAddress(derived, missing), nullptr)
        << "\"" << missing << "\" is no method";
  }
}

TEST(PublishedMethods, InvokeRefusesAnotherSignature) {
  TPubBase object;
  void* count = rtl::MethodAddress(object.ClassType(), "Count");
  ASSERT_NE(count, nullptr) << "a method of any signature is found by name";
  EXPECT_THAT(testsupport::MessageOf([&] {
                rtl::InvokeMethod<rtl::TObject*>({count, &object}, nullptr);
              }),
              testing::HasSubstr("TPubBase::Count"))
      << "Count(int) called as a click handler should raise naming it";
  // Code that is no published method of the object's class, and an empty reference.
  TPubBase other;
  void* foreign = rtl::MethodAddress(TPubDerived::StaticClass(), "Click");
  EXPECT_THROW(rtl::InvokeMethod<rtl::TObject*>({foreign, &other}, nullptr), rtl::Exception)
      << "a descendant's code must not run on a parent object";
  EXPECT_THROW(rtl::InvokeMethod<rtl::TObject*>({nullptr, &other}, nullptr), rtl::Exception)
      << "an empty method reference should raise";
  EXPECT_EQ(object.calls + other.calls, "") << "nothing should have run";
}

// A method table written out by hand, with names no C++ identifier would have.
void Noop(rtl::TObject*, rtl::TObject*) {}

TEST(PublishedMethods, NamesAreComparedByTheirFirst255Bytes) {
  const std::string longName = std::string(254, 'm') + "XYZ";  // 257 bytes
  const std::string spaced = " Spaced Name ";
  const rtl::TPublishedMethod methods[] = {
      {longName.c_str(), reinterpret_cast<void*>(&Noop), nullptr},
      {spaced.c_str(), reinterpret_cast<void*>(&Noop), nullptr},
  };
  const rtl::TClassInfo info{"THandMade", rtl::TObject::StaticClass(), methods, 2, nullptr};
  const std::pair<std::string, bool> cases[] = {
      {std::string(254, 'm') + "X" + "other", true},  // what follows byte 255 is ignored
      {std::string(254, 'm'), false},                 // one byte short
      {spaced, true},
      {"Spaced Name", false},  // blanks count
  };
  for (const auto& [name, found] : cases) {
    EXPECT_EQ(rtl::MethodAddress(&info, name) != nullptr, found)
        << "a name of " << name.size() << " bytes should " << (found ? "" : "not ") << "be found";
  }
}

}  // namespace
