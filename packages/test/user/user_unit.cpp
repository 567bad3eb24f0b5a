#include "../base/base_thing.h"
#include "rtl/package_sdk.h"
#include "trace.h"

class TUserThing : public TBaseThing {
  RTL_CLASS(TUserThing, TBaseThing)
 public:
  using TBaseThing::TBaseThing;
  int Weight() const override { return TBaseThing::Weight() + pkgbase_answer(); }
};

RTL_DEFINE_CLASS(TUserThing)

RTL_UNIT_INITIALIZATION(UserUnit) {
  testpkg::Trace("pkguser.UserUnit init");
}
RTL_UNIT_FINALIZATION(UserUnit) {
  testpkg::Trace("pkguser.UserUnit fini");
}
RTL_UNIT_INITIALIZATION(UserExtra) {
  testpkg::Trace("pkguser.UserExtra init");
}
RTL_UNIT_FINALIZATION(UserExtra) {
  testpkg::Trace("pkguser.UserExtra fini");
}

RTL_UNIT_REGISTER(UserUnit) {
  rtl::RegisterComponents("User", {TUserThing::StaticClass()});
}
