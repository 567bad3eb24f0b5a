// Unit Cheers: a control derived from a class of an installed package, and the
// registration procedure that puts it on the palette.

#include "hello_controls.h"
#include "rtl/package_sdk.h"

class TCheersLabel : public THelloLabel {
  RTL_CLASS(TCheersLabel, THelloLabel)
 public:
  explicit TCheersLabel(rtl::TComponent* owner) : THelloLabel(owner) { SetGreeting("Cheers!"); }
};

RTL_DEFINE_CLASS(TCheersLabel,
                 RTL_PROPERTY(TCheersLabel, Greeting, Greeting, SetGreeting, "Cheers!"))

RTL_UNIT_REGISTER(Cheers) {
  rtl::RegisterComponents("Cheers", {rtl::ClassOf<TCheersLabel>()});
}
