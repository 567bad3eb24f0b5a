#include "base_thing.h"
#include "trace.h"

RTL_DEFINE_CLASS(TBaseThing)

int TBaseThing::Weight() const {
  return 1;
}

int pkgbase_answer() {
  return 42;
}

TRACED_UNIT(pkgbase, BaseUnit)
