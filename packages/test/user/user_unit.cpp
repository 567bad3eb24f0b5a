#include "../base/base_thing.h"
#include "trace.h"

class TUserThing : public TBaseThing {
  RTL_CLASS(TUserThing, TBaseThing)
 public:
  using TBaseThing::TBaseThing;
  int Weight() const override { return TBaseThing::Weight() + pkgbase_answer(); }
};

RTL_DEFINE_CLASS(TUserThing)

TRACED_UNIT(pkguser, UserUnit)
TRACED_UNIT(pkguser, UserExtra)

RTL_UNIT_REGISTER(UserUnit) {
  rtl::RegisterComponents("User", {TUserThing::StaticClass()});
}
