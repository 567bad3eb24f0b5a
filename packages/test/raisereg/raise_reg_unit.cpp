// A registration procedure that fails part-way: TRaiseFirst is listed and
// registered, then the procedure raises.

#include "component.h"

TEST_COMPONENT_CLASS(TRaiseFirst)

RTL_UNIT_REGISTER(RaiseReg) {
  rtl::RegisterComponents("Raising", {TRaiseFirst::StaticClass()});
  throw rtl::Exception("RaiseReg: the second page cannot be registered");
}
