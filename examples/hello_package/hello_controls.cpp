// Unit HelloControls: the package's control.

#include "hello_controls.h"

#include "rtl/package_sdk.h"

namespace {
int alive = 0;
}

THelloLabel::THelloLabel(rtl::TComponent* owner) : TLabel(owner) {
  ++alive;
  SetGreeting("Hello, world!");
}

THelloLabel::~THelloLabel() {
  --alive;
}

int THelloLabel::Alive() {
  return alive;
}

RTL_DEFINE_CLASS(THelloLabel,
                 RTL_PROPERTY(THelloLabel, Greeting, Greeting, SetGreeting, "Hello, world!"))

RTL_UNIT_FINALIZATION(HelloControls) {
  // The workbench frees what it created from our classes before it unloads us; a
  // label still alive here would run code that is about to be unmapped.
  if (alive != 0) {
    throw rtl::Exception("HelloControls: %d greeting labels outlive the package", {alive});
  }
}
