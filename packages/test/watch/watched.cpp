// One unit, Watched, in two builds of different classes: the same package as an
// author rebuilds it, for the reload on rebuild.

#include "component.h"

#ifdef WATCH_SECOND_BUILD
TEST_COMPONENT_CLASS(TWatchedGauge)
TEST_COMPONENT_CLASS(TWatchedDial)

RTL_UNIT_REGISTER(Watched) {
  rtl::RegisterComponents("Watched", {TWatchedGauge::StaticClass(), TWatchedDial::StaticClass()});
}
#else
TEST_COMPONENT_CLASS(TWatchedGauge)

RTL_UNIT_REGISTER(Watched) {
  rtl::RegisterComponents("Watched", {TWatchedGauge::StaticClass()});
}
#endif
