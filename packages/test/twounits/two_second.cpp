#include "rtl/package_sdk.h"
#include "trace.h"
#include "two_units.h"

RTL_DEFINE_CLASS(TTwoGadget)

RTL_UNIT_INITIALIZATION(TwoSecond) {
  testpkg::Trace("twounits.TwoSecond init");
}
RTL_UNIT_FINALIZATION(TwoSecond) {
  testpkg::Trace("twounits.TwoSecond fini");
}

RTL_UNIT_REGISTER(TwoSecond) {
  rtl::RegisterComponents("Two", {TTwoWidget::StaticClass(), TTwoGadget::StaticClass()});
}
