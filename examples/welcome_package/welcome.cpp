// Unit Welcome: a control derived from a class of another package, and the
// registration procedure that puts it on the palette.

#include "hello_controls.h"
#include "rtl/package_sdk.h"

// hello's greeting label, which goes on to welcome.
class TWelcomeLabel : public THelloLabel {
  RTL_CLASS(TWelcomeLabel, THelloLabel)
 public:
  explicit TWelcomeLabel(rtl::TComponent* owner) : THelloLabel(owner) {
    SetGreeting(Greeting() + " Welcome aboard.");
  }
};

// The greeting published again, with the default this class starts with.
RTL_DEFINE_CLASS(TWelcomeLabel, RTL_PROPERTY(TWelcomeLabel, Greeting, Greeting, SetGreeting,
                                             "Hello, world! Welcome aboard."))

RTL_UNIT_REGISTER(Welcome) {
  rtl::RegisterComponents("Welcome", {rtl::ClassOf<TWelcomeLabel>()});
}
