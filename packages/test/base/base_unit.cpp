#include "base_thing.h"
#include "rtl/package_sdk.h"
#include "trace.h"

RTL_DEFINE_CLASS(TBaseThing)

int TBaseThing::Weight() const {
  return 1;
}

int pkgbase_answer() {
  return 42;
}

RTL_UNIT_INITIALIZATION(BaseUnit) {
  testpkg::Trace("pkgbase.BaseUnit init");
}
RTL_UNIT_FINALIZATION(BaseUnit) {
  testpkg::Trace("pkgbase.BaseUnit fini");
}
