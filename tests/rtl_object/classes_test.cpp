#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/classes.h"

namespace {

TEST(StringList, KeepsRepeatsInOrderOfAdding) {
  rtl::TStringList list;
  const std::vector<std::string> added = {"Unit1", "", "Unit1", "unit1", " Unit1"};
  for (std::size_t i = 0; i < added.size(); ++i) {
    EXPECT_EQ(list.Add(added[i]), static_cast<int>(i)) << "Add returns the new index";
  }
  ASSERT_EQ(list.Count(), static_cast<int>(added.size()));
  for (int i = 0; i < list.Count(); ++i) {
    EXPECT_EQ(list.Strings(i), added[static_cast<std::size_t>(i)]) << "entry " << i;
  }
  try {
    list.Strings(5);
    ADD_FAILURE() << "index 5 of 5 entries should raise";
  } catch (const rtl::Exception& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (5)");
  }
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THROW(list.Strings(0), rtl::Exception) << "a cleared list has no entry 0";
}

// What the handler was handed, copied out while the array is still alive.
struct Call {
  std::string page;
  const rtl::TClass* first;
  std::int32_t high;
  std::vector<rtl::TClass> classes;
};
std::vector<Call> calls;

void Recorder(const std::string& page, const rtl::TClass* classes, std::int32_t high) {
  Call call{page, classes, high, {}};
  for (std::int32_t i = 0; i <= high; ++i) call.classes.push_back(classes[i]);
  calls.push_back(call);
  if (page == "fail") throw rtl::Exception("handler refused");
}

class RegisterComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = rtl::RegisterComponentsProc;
    calls.clear();
  }
  void TearDown() override { rtl::RegisterComponentsProc = saved_; }
  rtl::TRegisterComponentsProc saved_ = nullptr;
};

TEST_F(RegisterComponentsTest, ForwardsPageFirstClassAndHighIndex) {
  rtl::RegisterComponentsProc = &Recorder;
  const rtl::TClass three[] = {rtl::TComponent::StaticClass(), rtl::TStringList::StaticClass(),
                               rtl::TComponent::StaticClass()};
  rtl::RegisterComponents("Standard", three);
  rtl::RegisterComponents("", {rtl::TClassList::StaticClass()});
  rtl::RegisterComponents("Empty", std::span<const rtl::TClass>());
  ASSERT_EQ(calls.size(), 3u) << "one handler call per RegisterComponents call";
  EXPECT_EQ(calls[0].page, "Standard");
  EXPECT_EQ(calls[0].first, &three[0]) << "the handler gets the caller's array itself";
  EXPECT_EQ(calls[0].high, 2) << "three classes have high index 2";
  EXPECT_EQ(calls[0].classes, std::vector<rtl::TClass>(std::begin(three), std::end(three)));
  EXPECT_EQ(calls[1].page, "");
  EXPECT_EQ(calls[1].high, 0);
  EXPECT_EQ(calls[2].high, -1) << "no classes means high index -1";
}

TEST_F(RegisterComponentsTest, RaisesWithoutAHandlerAndPassesTheHandlersFailureOn) {
  rtl::RegisterComponentsProc = nullptr;
  try {
    rtl::RegisterComponents("Samples", {rtl::TComponent::StaticClass()});
    FAIL() << "with no handler installed RegisterComponents should raise";
  } catch (const rtl::Exception& e) {
    EXPECT_NE(e.Message().find("Samples"), std::string::npos) << "should name the page";
  }
  rtl::RegisterComponentsProc = &Recorder;
  EXPECT_THROW(rtl::RegisterComponents("fail", {rtl::TComponent::StaticClass()}), rtl::Exception)
      << "the handler's exception reaches the caller";
  EXPECT_EQ(calls.size(), 1u);
}

}  // namespace
