#pragma once

// What a package's sources use. Static constructors in a package must not throw:
// they run inside dlopen, where an exception ends the process. Work that may fail
// goes into a unit's initialisation, which the loader calls and guards.

#include "rtl/classes.h"
#include "rtl/object.h"
#include "rtl/sysutils.h"

#define RTL_PACKAGE_SYMBOL extern "C" __attribute__((visibility("default"), used))

// A class that other packages derive from or use. Put the macro in the class's
// declaration and name the class in add_package's EXPORT_CLASSES:
//   class RTL_PACKAGE_API TGaugeBase : public toolkit::TWinControl { ... };
// Packages are compiled with hidden visibility, so without the macro the class's
// members, vtable and type information never reach the export list; without
// EXPORT_CLASSES the package's version script keeps them inside all the same.
// add_package checks after linking that each class it names left the package.
#define RTL_PACKAGE_API __attribute__((visibility("default")))

// Adds one entry to the package's export table: an export name that need not be a
// valid ELF symbol name (it may hold '@' and '$'), and the symbol that implements it.
#define RTL_PACKAGE_EXPORT(exportName, symbol)  \
  __asm__(                                      \
      ".pushsection .note.rtlpkg,\"a\",@note\n" \
      " .balign 4\n"                            \
      " .long 7\n"                              \
      " .long 2f-1f\n"                          \
      " .long 2\n"                              \
      " .asciz \"RTLPKG\"\n"                    \
      " .balign 4\n"                            \
      "1: .ascii \"" exportName "\\0" symbol    \
      "\"\n"                                    \
      "2: .balign 4\n"                          \
      " .popsection")

// Unit initialisation and finalisation, run by the loader in unit order (and in
// reverse order for finalisation). An exception from an initialisation fails the
// load with a message naming the package and the unit.
#define RTL_UNIT_INITIALIZATION(Unit) RTL_PACKAGE_SYMBOL void rtl_unit_init_##Unit()
#define RTL_UNIT_FINALIZATION(Unit) RTL_PACKAGE_SYMBOL void rtl_unit_fini_##Unit()

// A unit's registration procedure, exported as "@" Unit "@Register$qqrv".
#define RTL_UNIT_REGISTER(Unit)                                               \
  RTL_PACKAGE_EXPORT("@" #Unit "@Register$qqrv", "rtl_unit_register_" #Unit); \
  RTL_PACKAGE_SYMBOL void rtl_unit_register_##Unit()
