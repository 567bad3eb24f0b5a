// A registration procedure that fails part-way: TRaiseFirst is listed and
// registered, then the procedure raises.

#include "rtl/package_sdk.h"

class TRaiseFirst : public rtl::TComponent {
  RTL_CLASS(TRaiseFirst, rtl::TComponent)
 public:
  using TComponent::TComponent;
};

RTL_DEFINE_CLASS(TRaiseFirst)

RTL_UNIT_REGISTER(RaiseReg) {
  rtl::RegisterComponents("Raising", {TRaiseFirst::StaticClass()});
  throw rtl::Exception("RaiseReg: the second page cannot be registered");
}
