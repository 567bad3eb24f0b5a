// Package information with a unit reported twice (OddUnit) and a unit whose
// registration procedure spells its name in another letter case (CaseUnit, exported
// as Caseunit). It also exports procedures under the names built from the package
// it requires (rtl) and from its build-artifact name, which a run that tries every
// reported name finds as well. Each procedure puts its own class on page "Odd".

#include "rtl/package_sdk.h"

#define ODD_CLASS(Name)                 \
  class Name : public rtl::TComponent { \
    RTL_CLASS(Name, rtl::TComponent)    \
   public:                              \
    using TComponent::TComponent;       \
  };                                    \
  RTL_DEFINE_CLASS(Name)

ODD_CLASS(TOddUnit)
ODD_CLASS(TOddCase)
ODD_CLASS(TOddRequired)
ODD_CLASS(TOddArtifact)

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
