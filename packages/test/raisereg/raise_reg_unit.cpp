// A registration procedure that fails part-way: TRaiseFirst is listed and registered
// before the missing class after it is refused, a refusal the procedure lets pass;
// then the procedure raises.

#include "component.h"

TEST_COMPONENT_CLASS(TRaiseFirst)

RTL_UNIT_REGISTER(RaiseReg) {
  try {
    rtl::RegisterComponents("Raising", {TRaiseFirst::StaticClass(), nullptr});
  } catch (const rtl::Exception&) {
  }
  throw rtl::Exception("RaiseReg: the second page cannot be registered");
}
