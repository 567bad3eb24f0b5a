// Its second unit fails to finalise. Unloading still has to finish: the first
// unit is finalised and the package unmapped, and then the failure is reported.

#include "trace.h"

TRACED_UNIT(finifail, FiniFirst)

RTL_UNIT_INITIALIZATION(FiniSecond) {
  testpkg::Trace("finifail.FiniSecond init");
}
RTL_UNIT_FINALIZATION(FiniSecond) {
  testpkg::Trace("finifail.FiniSecond fini");
  throw rtl::Exception("cannot flush the journal");
}
