// A package that the ELF reader tests read, copy and damage. The loader rows of
// those tests load it only where its sections alone are damaged: it runs no code.

#include "rtl/package_sdk.h"

RTL_UNIT_REGISTER(A) {}

RTL_PACKAGE_EXPORT("VictimVersion", "elfvictim_version");
RTL_PACKAGE_SYMBOL int elfvictim_version() {
  return 1;
}

// Zero-filled data takes no room in the file: its section runs past the file's end,
// which is no damage.
[[gnu::used]] static char zeroes[1 << 20];
