// One registration procedure that calls the registration routine many times:
// the same page again, names that differ only in letter case or blanks, an empty
// page name (twice) and a page without classes.

#include "component.h"

TEST_COMPONENT_CLASS(TMultiA)
TEST_COMPONENT_CLASS(TMultiB)
TEST_COMPONENT_CLASS(TMultiC)
TEST_COMPONENT_CLASS(TMultiD)
TEST_COMPONENT_CLASS(TMultiE)
TEST_COMPONENT_CLASS(TMultiF)
TEST_COMPONENT_CLASS(TMultiG)
TEST_COMPONENT_CLASS(TMultiH)
TEST_COMPONENT_CLASS(TMultiI)

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
