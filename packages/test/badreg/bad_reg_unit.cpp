// A package that brings its own class under a name another package already uses.
// Its registration procedure registers TBadFirst, then fails on TTwoGadget when
// the twounits package's class of that name is registered already, so TBadThird
// is never reached.

#include "rtl/package_sdk.h"

class TBadFirst : public rtl::TComponent {
  RTL_CLASS(TBadFirst, rtl::TComponent)
 public:
  using TComponent::TComponent;
};

class TTwoGadget : public rtl::TComponent {
  RTL_CLASS(TTwoGadget, rtl::TComponent)
 public:
  using TComponent::TComponent;
};

class TBadThird : public rtl::TComponent {
  RTL_CLASS(TBadThird, rtl::TComponent)
 public:
  using TComponent::TComponent;
};

RTL_DEFINE_CLASS(TBadFirst)
RTL_DEFINE_CLASS(TTwoGadget)
RTL_DEFINE_CLASS(TBadThird)

RTL_UNIT_REGISTER(BadRegUnit) {
  rtl::RegisterComponents(
      "Broken", {TBadFirst::StaticClass(), TTwoGadget::StaticClass(), TBadThird::StaticClass()});
}
