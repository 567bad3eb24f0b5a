#include "rtl/package_sdk.h"

// A variable: the name is exported, but it is no procedure.
extern "C" {
__attribute__((visibility("default"))) int pkgexports_counter = 0;
}

RTL_PACKAGE_SYMBOL int pkgexports_add(int a, int b) {
  ++pkgexports_counter;
  return a + b;
}

// Not in the package's exports: hidden like everything it does not name.
extern "C" int pkgexports_hidden() {
  return 7;
}

RTL_UNIT_REGISTER(ExportsUnit) {
  pkgexports_counter += pkgexports_hidden();
}
