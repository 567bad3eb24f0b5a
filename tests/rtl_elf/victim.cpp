// A package that the ELF reader tests read, copy and damage. Nothing loads it
// except the loader rows of those tests, which expect the load to fail first.

#include "rtl/package_sdk.h"

RTL_UNIT_REGISTER(A) {}

RTL_PACKAGE_EXPORT("VictimVersion", "elfvictim_version");
RTL_PACKAGE_SYMBOL int elfvictim_version() {
  return 1;
}
