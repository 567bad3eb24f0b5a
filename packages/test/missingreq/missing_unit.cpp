#include "rtl/package_sdk.h"
#include "trace.h"

RTL_UNIT_INITIALIZATION(MissingUnit) {
  testpkg::Trace("missingreq.MissingUnit init");
}
