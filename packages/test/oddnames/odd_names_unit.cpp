// Package information with a unit reported twice (OddUnit) and a unit whose
// registration procedure spells its name in another letter case (CaseUnit, exported
// as Caseunit). It also exports procedures under the names built from the package
// it requires (rtl) and from its build-artifact name, which a run that tries every
// reported name finds as well. Each procedure puts its own class on page "Odd".

#include "component.h"

TEST_COMPONENT_CLASS(TOddUnit)
TEST_COMPONENT_CLASS(TOddCase)
TEST_COMPONENT_CLASS(TOddRequired)
TEST_COMPONENT_CLASS(TOddArtifact)

RTL_UNIT_REGISTER(OddUnit) {
  rtl::RegisterComponents("Odd", {TOddUnit::StaticClass()});
}

RTL_UNIT_REGISTER(Caseunit) {
  rtl::RegisterComponents("Odd", {TOddCase::StaticClass()});
}

RTL_PACKAGE_EXPORT("@rtl@Register$qqrv", "rtl_unit_register_OddRequired");
RTL_PACKAGE_SYMBOL void rtl_unit_register_OddRequired() {
  rtl::RegisterComponents("Odd", {TOddRequired::StaticClass()});
}

RTL_PACKAGE_EXPORT("@liboddnames.so@Register$qqrv", "rtl_unit_register_OddArtifact");
RTL_PACKAGE_SYMBOL void rtl_unit_register_OddArtifact() {
  rtl::RegisterComponents("Odd", {TOddArtifact::StaticClass()});
}
