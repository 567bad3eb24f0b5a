// Any code of this package (and of missingreq, built from it) that runs leaves a
// line in the trace: its static constructor when it is mapped, its unit when it is
// initialised.

#include "trace.h"

namespace {

struct MarkOnMap {
  MarkOnMap() { testpkg::Trace("mark constructor"); }
} markOnMap;

}  // namespace

RTL_UNIT_INITIALIZATION(MarkUnit) {
  testpkg::Trace("mark.MarkUnit init");
}
