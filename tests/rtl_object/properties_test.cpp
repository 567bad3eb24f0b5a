#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/object.h"
#include "test_support.h"

// A getter or setter of the wrong type or signature, or a property of an unpublished
// type (say double), stops the build in RTL_PROPERTY with a static_assert that names
// what is expected, so no test here can exercise it.

namespace {

RTL_ENUM(TAlign, alNone, alTop, alClient)
RTL_ENUM(TSide, sdLeft, sdRight)
using TAnchors = rtl::TSet<TAlign>;

class TGaugeBase : public rtl::TObject {
  RTL_CLASS(TGaugeBase, rtl::TObject)
 public:
  int GetValue() const { return value_; }
  // Checks before it assigns, as a setter of a published property should.
  void SetValue(int value) {
    if (value < -1000 || value > 1000) throw rtl::Exception("Value %d out of range", {value});
    value_ = value;
  }
  bool GetEnabled() const { return enabled_; }
  void SetEnabled(bool value) { enabled_ = value; }
  const std::string& GetCaption() const { return caption_; }
  void SetCaption(const std::string& value) { caption_ = value; }
  TAlign GetAlign() const { return align_; }
  void SetAlign(TAlign value) { align_ = value; }
  TAnchors GetAnchors() const { return anchors_; }
  void SetAnchors(TAnchors value) { anchors_ = value; }
  rtl::TColor GetColor() const { return color_; }
  void SetColor(rtl::TColor value) { color_ = value; }
  rtl::TTextList GetLines() const { return lines_; }
  void SetLines(const rtl::TTextList& value) { lines_ = value; }

 protected:
  TAlign align_ = alNone;

 private:
  int value_ = 0;
  bool enabled_ = true;
  std::string caption_ = "Gauge";
  TAnchors anchors_{alTop};
  rtl::TColor color_{0xFF0000};
  rtl::TTextList lines_;
};
RTL_DEFINE_CLASS(TGaugeBase, RTL_PROPERTY(TGaugeBase, Value, GetValue, SetValue, 0),
                 RTL_PROPERTY(TGaugeBase, Enabled, GetEnabled, SetEnabled, true),
                 RTL_PROPERTY(TGaugeBase, Caption, GetCaption, SetCaption, "Gauge"),
                 RTL_PROPERTY(TGaugeBase, Align, GetAlign, SetAlign, alNone),
                 RTL_PROPERTY(TGaugeBase, Anchors, GetAnchors, SetAnchors, alTop),
                 RTL_PROPERTY(TGaugeBase, Color, GetColor, SetColor, 0xFF0000u),
                 RTL_PROPERTY(TGaugeBase, Lines, GetLines, SetLines))

class TGauge : public TGaugeBase {
  RTL_CLASS(TGauge, TGaugeBase)
 public:
  TGauge() { align_ = alTop; }
  void Reset(rtl::TObject*) {}
  int GetFontHeight() const { return fontHeight_; }
  void SetFontHeight(int value) { fontHeight_ = value; }

 private:
  int fontHeight_ = 12;
};
RTL_DEFINE_CLASS(TGauge,
                 RTL_PROPERTY_NAMED(TGauge, "Font.Height", GetFontHeight, SetFontHeight, 12),
                 RTL_PUBLISH(TGauge, Reset), RTL_PROPERTY(TGauge, Align, GetAlign, SetAlign, alTop))

std::string Text(const rtl::TObject& object, const char* name) {
  return rtl::ToText(rtl::GetPropValue(object, name));
}

TEST(PublishedProperties, ReadWriteAndDefaultEachTypeInheritedFirst) {
  struct Case {
    const char* name;
    const char* initial;  // the default, and what a new object reads
    const char* written;
    const char* readBack;
  };
  const Case cases[] = {
      {"Value", "0", "-42", "-42"},
      {"Enabled", "True", "false", "False"},
      {"Caption", "Gauge", " two words ", " two words "},
      {"Align", "alTop", "ALCLIENT", "alClient"},  // published again with another default
      {"Anchors", "[alTop]", "[ alClient , alNone ]", "[alNone,alClient]"},
      {"Color", "#FF0000", "255", "#0000FF"},
      {"Lines", "", "a\n\nb", "a\n\nb"},
      {"Font.Height", "12", "-11", "-11"},
  };
  const std::vector<const rtl::TPublishedProperty*> list = rtl::GetPropList(TGauge::StaticClass());
  ASSERT_EQ(list.size(), std::size(cases));
  TGauge object, copy;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(list[i]->Name, std::string(c.name)) << "inherited first, in declaration order";
    EXPECT_EQ(list[i], rtl::FindProp(TGauge::StaticClass(), c.name));
    EXPECT_EQ(rtl::ToText(list[i]->Default), c.initial);
    EXPECT_EQ(Text(object, c.name), c.initial);
    rtl::SetPropValue(object, c.name, std::string(c.written));
    EXPECT_EQ(Text(object, c.name), c.readBack);
    rtl::SetPropValue(copy, c.name, rtl::GetPropValue(object, c.name));
    EXPECT_EQ(Text(copy, c.name), c.readBack) << "a value written as read";
  }
  EXPECT_EQ(rtl::ToText(rtl::FindProp(TGaugeBase::StaticClass(), "Align")->Default), "alNone")
      << "the ancestor keeps its own default";
  EXPECT_EQ(rtl::GetPropList(TGaugeBase::StaticClass()).size(), list.size() - 1);
  EXPECT_EQ(rtl::FindProp(TGauge::StaticClass(), "value"), nullptr) << "names match exactly";
  EXPECT_NE(rtl::MethodAddress(TGauge::StaticClass(), "Reset"), nullptr)
      << "methods listed among properties are still published";
}

TEST(PublishedProperties, ABadValueRaisesAndLeavesTheOldValue) {
  struct Case {
    const char* name;
    rtl::TValue value;
    std::vector<std::string> inMessage;
  };
  const rtl::TEnumValue beyond{&RtlEnumInfoOf(static_cast<TAlign*>(nullptr)), 3};
  const rtl::TEnumValue otherEnum{&RtlEnumInfoOf(static_cast<TSide*>(nullptr)), 1};
  const Case cases[] = {
      {"Value", true, {"TGauge.Value", "expected Integer", "Boolean True"}},
      {"Value", std::string("12x"), {"TGauge.Value", "'12x'", "Integer"}},
      {"Value", std::string("99999999999"), {"'99999999999'", "Integer"}},
      {"Value", 5000, {"Value 5000 out of range"}},  // the setter's own check
      {"Align", beyond, {"TGauge.Align", "expected TAlign", "ordinal 3"}},
      {"Align", otherEnum, {"TGauge.Align", "expected TAlign", "TSide sdRight"}},
      {"Anchors", std::string("[alTop,alNowhere]"), {"'[alTop,alNowhere]'", "set of TAlign"}},
      {"Color", std::string("#12345G"), {"TGauge.Color", "'#12345G'", "Colour"}},
      {"Color", rtl::TColor{0x1000000}, {"expected Colour", "16777216"}},
      {"Lines", 7, {"TGauge.Lines", "expected Text list", "Integer 7"}},
      {"Missing", 1, {"TGauge", "no published property 'Missing'"}},
  };
  TGauge object;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool published = rtl::FindProp(object.ClassType(), c.name) != nullptr;
    const std::string before = published ? Text(object, c.name) : "";
    const std::string message =
        testsupport::MessageOf([&] { rtl::SetPropValue(object, c.name, c.value); });
    for (const std::string& part : c.inMessage) EXPECT_THAT(message, testing::HasSubstr(part));
    if (published) {
      EXPECT_EQ(Text(object, c.name), before) << "the old value stays";
    }
  }
}

// Descriptors made at run time come and go, and the next one may be put where the
// last one was, with other properties: each is answered with its own.
TEST(PublishedProperties, ADescriptorAtAnAddressAnotherHadHasItsOwnProperties) {
  struct Case {
    const char* published;
    std::size_t listed;  // a name TGaugeBase publishes takes its place in the list
  };
  const std::size_t inherited = rtl::GetPropList(TGaugeBase::StaticClass()).size();
  const Case cases[] = {{"Alpha", inherited + 1}, {"Omega", inherited + 1}, {"Value", inherited}};
  std::optional<rtl::TPublishedProperty> property;
  std::optional<rtl::TClassInfo> descriptor;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.published);
    property.emplace(RTL_PROPERTY_NAMED(TGaugeBase, c.published, GetValue, SetValue, 7));
    descriptor.emplace(rtl::TClassInfo{"TMadeHere", TGaugeBase::StaticClass(), nullptr, 0, nullptr,
                                       &*property, 1});
    for (const Case& other : cases) {
      const rtl::TPublishedProperty* found = rtl::FindProp(&*descriptor, other.published);
      if (&other == &c) {
        EXPECT_EQ(found, &*property) << "the descriptor's own property";
      } else if (std::string_view(other.published) == "Value") {
        EXPECT_EQ(found, rtl::FindProp(TGaugeBase::StaticClass(), "Value")) << "the inherited one";
      } else {
        EXPECT_EQ(found, nullptr) << other.published << " was published by another descriptor";
      }
    }
    const auto list = rtl::GetPropList(&*descriptor);
    EXPECT_EQ(list.size(), c.listed);
    EXPECT_EQ(std::count(list.begin(), list.end(), &*property), 1);
  }
}

// An enumeration publishes its values by their names in order from 0: one that gives
// a value of its own, or skips one, would read and write the wrong names.
TEST(PublishedProperties, AnEnumerationWhoseValuesDoNotCountFromZeroIsRefused) {
  EXPECT_EQ(rtl::detail::MakeEnumInfo("TOk", "a, b,c", {0, 1, 2}).Names,
            (std::vector<std::string>{"a", "b", "c"}));
  const struct {
    const char* names;
    std::initializer_list<int> ordinals;
    const char* refused;
  } cases[] = {
      {"a, b = 1", {0, 1}, "'b = 1'"}, {"a, b", {0, 2}, "'b' is not 1"}, {"a, b", {0}, "'b'"}};
  for (const auto& c : cases) {
    EXPECT_THAT(
        testsupport::MessageOf([&] { rtl::detail::MakeEnumInfo("TBad", c.names, c.ordinals); }),
        testing::HasSubstr(c.refused))
        << c.names;
  }
}

}  // namespace
