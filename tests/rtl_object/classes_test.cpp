#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/classes.h"
#include "test_support.h"

namespace {

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

TEST(RegisterComponents, ForwardsPageFirstClassAndHighIndexOrRaisesWithoutAHandler) {
  const rtl::TRegisterComponentsProc saved = rtl::RegisterComponentsProc;
  rtl::RegisterComponentsProc = &Recorder;
  const rtl::TClass three[] = {rtl::TComponent::StaticClass(), rtl::TStringList::StaticClass(),
                               rtl::TComponent::StaticClass()};
  rtl::RegisterComponents("Standard", three);
  rtl::RegisterComponents("Empty", std::span<const rtl::TClass>());
  EXPECT_THROW(rtl::RegisterComponents("fail", three), rtl::Exception)
      << "the handler's exception reaches the caller";
  rtl::RegisterComponentsProc = nullptr;
  EXPECT_THAT(testsupport::MessageOf([&] { rtl::RegisterComponents("Samples", three); }),
              testing::HasSubstr("Samples"))
      << "with no handler installed RegisterComponents should raise naming the page";
  rtl::RegisterComponentsProc = saved;
  ASSERT_EQ(calls.size(), 3u) << "one handler call per RegisterComponents call";
  EXPECT_EQ(calls[0].page, "Standard");
  EXPECT_EQ(calls[0].first, &three[0]) << "the handler gets the caller's array itself";
  EXPECT_EQ(calls[0].high, 2) << "three classes have high index 2";
  EXPECT_EQ(calls[1].high, -1) << "no classes means high index -1";
}

}  // namespace
