// One registration procedure that calls the registration routine many times:
// the same page again, names that differ only in letter case or blanks, an empty
// page name (twice) and a page without classes.

#include "rtl/package_sdk.h"

#define MULTI_CLASS(Name)               \
  class Name : public rtl::TComponent { \
    RTL_CLASS(Name, rtl::TComponent)    \
   public:                              \
    using TComponent::TComponent;       \
  };                                    \
  RTL_DEFINE_CLASS(Name)

MULTI_CLASS(TMultiA)
MULTI_CLASS(TMultiB)
MULTI_CLASS(TMultiC)
MULTI_CLASS(TMultiD)
MULTI_CLASS(TMultiE)
MULTI_CLASS(TMultiF)
MULTI_CLASS(TMultiG)
MULTI_CLASS(TMultiH)
MULTI_CLASS(TMultiI)

RTL_UNIT_REGISTER(MultiReg) {
  rtl::RegisterComponents("Multi", {TMultiA::StaticClass(), TMultiB::StaticClass()});
  rtl::RegisterComponents("Other", {TMultiC::StaticClass()});
  rtl::RegisterComponents("Multi", {TMultiD::StaticClass()});
  rtl::RegisterComponents("", {TMultiE::StaticClass()});
  rtl::RegisterComponents("Hollow", std::span<const rtl::TClass>());
  rtl::RegisterComponents("multi", {TMultiF::StaticClass()});
  rtl::RegisterComponents(" Multi", {TMultiG::StaticClass()});
  rtl::RegisterComponents("Multi ", {TMultiH::StaticClass()});
  rtl::RegisterComponents("", {TMultiI::StaticClass()});
}
