// Its second unit fails to finalise. Unloading still has to finish: the first
// unit is finalised and the package unmapped, and then the failure is reported.

#include "rtl/package_sdk.h"
#include "trace.h"

RTL_UNIT_INITIALIZATION(FiniFirst) {
  testpkg::Trace("finifail.FiniFirst init");
}
RTL_UNIT_FINALIZATION(FiniFirst) {
  testpkg::Trace("finifail.FiniFirst fini");
}

RTL_UNIT_INITIALIZATION(FiniSecond) {
  testpkg::Trace("finifail.FiniSecond init");
}
RTL_UNIT_FINALIZATION(FiniSecond) {
  testpkg::Trace("finifail.FiniSecond fini");
  throw rtl::Exception("cannot flush the journal");
}
