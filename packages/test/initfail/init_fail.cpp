// Three units; the second cannot start. The first registers a class on start so
// that undoing it shows in the class registry too.

#include "rtl/package_sdk.h"
#include "trace.h"

class TFailFirstThing : public rtl::TComponent {
  RTL_CLASS(TFailFirstThing, rtl::TComponent)
 public:
  using TComponent::TComponent;
};

RTL_DEFINE_CLASS(TFailFirstThing)

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

RTL_UNIT_INITIALIZATION(FailThird) {
  testpkg::Trace("initfail.FailThird init");
}
RTL_UNIT_FINALIZATION(FailThird) {
  testpkg::Trace("initfail.FailThird fini");
}
