#include "rtl/package_sdk.h"
#include "trace.h"
#include "two_units.h"

RTL_DEFINE_CLASS(TTwoWidget)

RTL_UNIT_INITIALIZATION(TwoFirst) {
  testpkg::Trace("twounits.TwoFirst init");
}
RTL_UNIT_FINALIZATION(TwoFirst) {
  testpkg::Trace("twounits.TwoFirst fini");
}
