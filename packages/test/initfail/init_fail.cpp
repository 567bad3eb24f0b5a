// Three units; the second cannot start. The first registers a class on start so
// that undoing it shows in the class registry too.

#include "component.h"
#include "trace.h"

TEST_COMPONENT_CLASS(TFailFirstThing)

RTL_UNIT_INITIALIZATION(FailFirst) {
  testpkg::Trace("initfail.FailFirst init");
  rtl::RegisterClass(TFailFirstThing::StaticClass());
}
RTL_UNIT_FINALIZATION(FailFirst) {
  testpkg::Trace("initfail.FailFirst fini");
}

RTL_UNIT_INITIALIZATION(FailSecond) {
  testpkg::Trace("initfail.FailSecond init");
  throw rtl::Exception("configuration store %s is missing", {"fail.cfg"});
}
RTL_UNIT_FINALIZATION(FailSecond) {
  testpkg::Trace("initfail.FailSecond fini");
}

TRACED_UNIT(initfail, FailThird)
