// Package information with a unit reported twice (OddUnit) and a unit whose
// registration procedure spells its name in another letter case (CaseUnit, exported
// as Caseunit). It also exports procedures under the names built from the package
// it requires (rtl) and from its build-artifact name, which a run that tries every
// reported name finds as well. Each procedure puts its own class on page "Odd". The
// odd ones are exported by hand under symbols of their own: the SDK refuses a unit
// procedure of a unit its UNITS does not name, which is what an author's typo is.

#include "component.h"

TEST_COMPONENT_CLASS(TOddUnit)
TEST_COMPONENT_CLASS(TOddCase)
TEST_COMPONENT_CLASS(TOddRequired)
TEST_COMPONENT_CLASS(TOddArtifact)

RTL_UNIT_REGISTER(OddUnit) {
  rtl::RegisterComponents("Odd", {TOddUnit::StaticClass()});
}

RTL_PACKAGE_EXPORT("@Caseunit@Register$qqrv", "odd_register_case");
RTL_PACKAGE_SYMBOL void odd_register_case() {
  rtl::RegisterComponents("Odd", {TOddCase::StaticClass()});
}

RTL_PACKAGE_EXPORT("@rtl@Register$qqrv", "odd_register_required");
RTL_PACKAGE_SYMBOL void odd_register_required() {
  rtl::RegisterComponents("Odd", {TOddRequired::StaticClass()});
}

RTL_PACKAGE_EXPORT("@liboddnames.so@Register$qqrv", "odd_register_artifact");
RTL_PACKAGE_SYMBOL void odd_register_artifact() {
  rtl::RegisterComponents("Odd", {TOddArtifact::StaticClass()});
}
