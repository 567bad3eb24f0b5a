#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/classes.h"
#include "test_support.h"

namespace {

TEST(StringList, KeepsRepeatsInOrderOfAdding) {
  rtl::TStringList list;
  const std::vector<std::string> added = {"Unit1", "", "Unit1", "unit1", " Unit1"};
  for (const std::string& s : added) list.Add(s);
  ASSERT_EQ(list.Count(), static_cast<int>(added.size())) << "every Add should keep its entry";
  for (int i = 0; i < list.Count(); ++i) {
    EXPECT_EQ(list.Strings(i), added[static_cast<std::size_t>(i)]) << "entry " << i;
  }
  EXPECT_EQ(testsupport::MessageOf([&] { list.Strings(5); }), "List index out of bounds (5)")
      << "index 5 of 5 entries should raise naming the index";
}

// What the handler was handed, copied out while the array is still alive.
struct Call {
  std::string page;
  const rtl::TClass* first;
  std::int32_t high;
};
std::vector<Call> calls;

void Recorder(const std::string& page, const rtl::TClass* classes, std::int32_t high) {
  calls.push_back({page, classes, high});
  if (page == "fail") throw rtl::Exception("handler refused");
}

class RegisterComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override { calls.clear(); }
  void TearDown() override { rtl::RegisterComponentsProc = saved_; }
  rtl::TRegisterComponentsProc saved_ = rtl::RegisterComponentsProc;
};

TEST_F(RegisterComponentsTest, ForwardsPageFirstClassAndHighIndex) {
  rtl::RegisterComponentsProc = &Recorder;
  const rtl::TClass three[] = {rtl::TComponent::StaticClass(), rtl::TStringList::StaticClass(),
                               rtl::TComponent::StaticClass()};
  rtl::RegisterComponents("Standard", three);
  rtl::RegisterComponents("Empty", std::span<const rtl::TClass>());
  ASSERT_EQ(calls.size(), 2u) << "one handler call per RegisterComponents call";
  EXPECT_EQ(calls[0].page, "Standard");
  EXPECT_EQ(calls[0].first, &three[0]) << "the handler gets the caller's array itself";
  EXPECT_EQ(calls[0].high, 2) << "three classes have high index 2";
  EXPECT_EQ(calls[1].high, -1) << "no classes means high index -1";
}

TEST_F(RegisterComponentsTest, RaisesWithoutAHandlerAndPassesTheHandlersFailureOn) {
  rtl::RegisterComponentsProc = nullptr;
  EXPECT_NE(testsupport::MessageOf([] {
              rtl::RegisterComponents("Samples", {rtl::TComponent::StaticClass()});
            }).find("Samples"),
            std::string::npos)
      << "with no handler installed RegisterComponents should raise naming the page";
  rtl::RegisterComponentsProc = &Recorder;
  EXPECT_THROW(rtl::RegisterComponents("fail", {rtl::TComponent::StaticClass()}), rtl::Exception)
      << "the handler's exception reaches the caller";
}

}  // namespace
