# Mistakes package authors make, each as its add_package call and its source, with
# what the SDK must answer: a configure error, a build error, or (when the mistake is
# one the SDK mends) a line of `pkginfo` on the built package. @LATIN1@ stands for the
# byte 0xE9, which no file here holds as such.

set(register_oops [=[
#include "rtl/package_sdk.h"
RTL_UNIT_REGISTER(OopReg) {}
]=])
set(init_main [=[
#include "rtl/package_sdk.h"
RTL_UNIT_INITIALIZATION(Main) {}
]=])
set(plain [=[
#include "rtl/package_sdk.h"
RTL_UNIT_REGISTER(Gauges) {}
]=])

mistake(semicolon pkginfo "description: Gauges; dials and meters"
  [=[add_package(NAME gauges DESCRIPTION "Gauges; dials and meters" UNITS Gauges SOURCES m.cpp)]=]
  "${plain}")
mistake(unknown_keyword configure "unknown keyword or stray argument: DESCRIPION, Gauges"
  [=[add_package(NAME gauges DESCRIPION "Gauges" UNITS Gauges SOURCES m.cpp)]=]
  "${plain}")
mistake(keyword_among_names configure "'EXPORT_CLASS' looks like a misspelt keyword"
  [=[add_package(NAME gauges DESCRIPTION "Gauges" UNITS Gauges SOURCES m.cpp REQUIRES rtl
     EXPORT_CLASS TGauge)]=]
  "${plain}")
mistake(latin1 configure "the description is not valid UTF-8 \\(byte 3\\)"
  [=[add_package(NAME gauges DESCRIPTION "Caf@LATIN1@ gauges" UNITS Gauges SOURCES m.cpp)]=]
  "${plain}")
mistake(unit_misspelt_in_macro build
  "defines rtl_unit_register_OopReg, a procedure of unit OopReg, but UNITS names OopsReg"
  [=[add_package(NAME oops DESCRIPTION "Oops" UNITS OopsReg SOURCES m.cpp)]=]
  "${register_oops}")
mistake(unit_misspelt_in_units build
  "defines rtl_unit_init_Main, a procedure of unit Main, but UNITS names Mian, Other"
  [=[add_package(NAME oops DESCRIPTION "Oops" UNITS Mian Other SOURCES m.cpp)]=]
  "${init_main}")
mistake(forgotten_rtl_class build "the class declares no descriptor of its own"
  [=[add_package(NAME forgot DESCRIPTION "Forgot" UNITS Forgot SOURCES m.cpp)]=]
  [=[
#include "rtl/package_sdk.h"
class TForgotten : public rtl::TComponent {
 public:
  using TComponent::TComponent;
};
RTL_UNIT_REGISTER(Forgot) { rtl::RegisterComponents("Forgot", {rtl::ClassOf<TForgotten>()}); }
]=])
# The class is declared for export, but the call does not name it: nothing says so at
# build time (the package itself is fine); pkginfo shows it is not exported.
mistake(forgotten_export_classes pkginfo "exported classes: \\(none\\)"
  [=[add_package(NAME gauges DESCRIPTION "Gauges" UNITS Gauges SOURCES m.cpp)]=]
  [=[
#include "rtl/package_sdk.h"
class RTL_PACKAGE_API TGauge : public rtl::TComponent {
  RTL_CLASS(TGauge, rtl::TComponent)
 public:
  using TComponent::TComponent;
};
RTL_DEFINE_CLASS(TGauge)
RTL_UNIT_REGISTER(Gauges) { rtl::RegisterComponents("Gauges", {rtl::ClassOf<TGauge>()}); }
]=])
