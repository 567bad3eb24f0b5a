// The trial host stands in for the C library's registration of exit handlers, so that
// a trial can see a handler that package code left behind: once the package is
// unmapped, the handler would crash the workbench as it exits. The host exports these
// names (see CMakeLists.txt), so every library's calls come here first; each is
// recorded and handed on to the C library's own.

#include <dlfcn.h>

#include "leftovers.h"

namespace {

struct ExitHandler {
  void* code;
  void* owner;  // the object whose unloading runs it (its __dso_handle); null: exit only
};

// Plain data, zero before any constructor runs: handlers are registered from the
// static constructors of libraries, before main. Registrations beyond the table's
// end are not seen.
ExitHandler handlers[8192];
int handlerCount = 0;

void Record(void* code, void* owner) {
  if (handlerCount < static_cast<int>(sizeof handlers / sizeof handlers[0])) {
    handlers[handlerCount++] = ExitHandler{code, owner};
  }
}

bool Mapped(const void* address) {
  Dl_info info;
  return dladdr(address, &info) != 0;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int __cxa_atexit(void (*code)(void*),
                                                                   void* argument, void* owner) {
  using Real = int (*)(void (*)(void*), void*, void*);
  static Real real = nullptr;
  if (real == nullptr) real = Next<Real>("__cxa_atexit");
  Record(reinterpret_cast<void*>(code), owner);
  return real(code, argument, owner);
}

extern "C" __attribute__((visibility("default"))) int on_exit(void (*code)(int, void*),
                                                              void* argument) noexcept {
  using Real = int (*)(void (*)(int, void*), void*);
  static Real real = nullptr;
  if (real == nullptr) real = Next<Real>("on_exit");
  Record(reinterpret_cast<void*>(code), nullptr);
  return real(code, argument);
}

int trialhost::ExitHandlerCount() {
  return handlerCount;
}

int trialhost::UnmappedExitHandlers(int first) {
  int count = 0;
  for (int i = first; i < handlerCount; ++i) {
    // The C library runs a handler registered for an object when it unmaps that
    // object: one whose owner is gone has run. One owned by nobody, or by an object
    // still there, waits for the exit.
    const ExitHandler& handler = handlers[i];
    if (!Mapped(handler.code) && (handler.owner == nullptr || Mapped(handler.owner))) ++count;
  }
  return count;
}
