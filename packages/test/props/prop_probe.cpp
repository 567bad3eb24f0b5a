// A class that publishes one integer under the name the build gives PROBE_PROPERTY.
// Two packages are built from this file: the same class, laid out alike, with
// another property. One unloaded and the other loaded, the second class usually
// takes the first one's address.

#include "rtl/package_sdk.h"

class TPropProbe : public rtl::TComponent {
  RTL_CLASS(TPropProbe, rtl::TComponent)
 public:
  using TComponent::TComponent;
  int Value() const { return value_; }
  void SetValue(int value) { value_ = value; }

 private:
  int value_ = 0;
};
RTL_DEFINE_CLASS(TPropProbe, RTL_PROPERTY_NAMED(TPropProbe, PROBE_PROPERTY, Value, SetValue, 0))

RTL_UNIT_INITIALIZATION(PropProbe) {
  rtl::RegisterClass(TPropProbe::StaticClass());
}
RTL_UNIT_FINALIZATION(PropProbe) {}
