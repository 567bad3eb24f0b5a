// A package whose code takes its process down: no exception, nothing to catch. One
// source for every such package: FAULT_IN_* says where (a static constructor, the
// unit's initialisation, its registration procedure, its finalisation) and FAULT_*
// what (a write through a null pointer, abort(), exit(3), an endless loop, a throw,
// or a process of its own left running, named faulty-stray).

#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "component.h"

namespace {

int* volatile nowhere = nullptr;

void Fault() {
#if defined(FAULT_NULL_WRITE)
  *nowhere = 1;
#elif defined(FAULT_ABORT)
  std::abort();
#elif defined(FAULT_EXIT)
  std::exit(3);
#elif defined(FAULT_LOOP)
  volatile bool forever = true;
  while (forever) {
  }
#elif defined(FAULT_THROW)
  throw std::runtime_error("faulty: thrown where nothing can catch it");
#elif defined(FAULT_STRAY)
  if (fork() == 0) {
    prctl(PR_SET_NAME, "faulty-stray");
    sleep(30);
    _exit(0);
  }
#endif
}

#if defined(FAULT_IN_CONSTRUCTOR)
struct FaultOnLoad {
  FaultOnLoad() { Fault(); }
} faultOnLoad;
#endif

}  // namespace

TEST_COMPONENT_CLASS(TFaulty)

// The macros paste their argument: FAULT_UNIT is expanded one level up.
#define FAULTY_INIT(Unit) RTL_UNIT_INITIALIZATION(Unit)
#define FAULTY_FINI(Unit) RTL_UNIT_FINALIZATION(Unit)
#define FAULTY_REGISTER(Unit) RTL_UNIT_REGISTER(Unit)

FAULTY_INIT(FAULT_UNIT) {
#if defined(FAULT_IN_INIT)
  Fault();
#endif
}

FAULTY_FINI(FAULT_UNIT) {
#if defined(FAULT_IN_FINI)
  Fault();
#endif
}

FAULTY_REGISTER(FAULT_UNIT) {
  rtl::RegisterComponents("Faulty", {TFaulty::StaticClass()});
#if defined(FAULT_IN_REGISTER)
  Fault();
#endif
}
