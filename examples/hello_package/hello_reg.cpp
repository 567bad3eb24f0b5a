// Unit HelloReg: puts the package's control on the palette.

#include "hello_controls.h"
#include "rtl/package_sdk.h"

RTL_UNIT_REGISTER(HelloReg) {
  rtl::RegisterComponents("Hello", {rtl::ClassOf<THelloLabel>()});
}
