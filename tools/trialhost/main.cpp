// trialhost: runs package code on trial for the workbench and pkginfo, which start it
// with a socket as its standard input (platform/trial/include/trial/client.h).
//
// It keeps a shadow of its client's package state: a child process that has taken
// every action the client has taken. Each action the client asks about is tried in a
// trial child forked from the shadow (or, when the shadow cannot be forked
// faithfully, forked here and made to replay the log of actions first), and the
// host answers with how the trial went. A trial that passes is then taken by the
// shadow. The host itself never runs package code and is not dumpable, so its
// children can neither crash it nor read or write it; in its own namespaces (see
// platform/trial/src/host_spawn.cpp) they cannot even signal it. It ends when its
// client closes the socket.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "host.h"
#include "process.h"

#ifdef WB_TRIAL_HOST_TOOLKIT
#include "qt_answers.h"
#endif

// LeakSanitizer asks this before it checks at exit: a trial child that package code
// ends with exit() leaves the host's memory as it is, which is no leak.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
  return getpid() != trialhost::hostPid ? 1 : 0;
}

// In a sanitizer build, an error a sanitizer finds in package code ends the child
// with an abort, told as the crash it is, rather than with an exit status that could
// pass for the package's own. The environment's options still take precedence.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "abort_on_error=1";
}
extern "C" __attribute__((visibility("default"))) const char* __ubsan_default_options() {
  return "abort_on_error=1";
}

int main() {
  struct stat input {};
  if (fstat(0, &input) != 0 || !S_ISSOCK(input.st_mode)) {
    std::fputs(
        "trialhost: runs package code on trial for the workbench and pkginfo, which start it;\n"
        "it is not meant to be started by hand.\n",
        stderr);
    return 2;
  }
  trialhost::hostPid = getpid();
  // Its children run package code: they must not read or write the host.
  prctl(PR_SET_DUMPABLE, 0);
  // The first process of namespaces of its own reaps whatever its children leave;
  // elsewhere it asks to.
  trialhost::isolated = getpid() == 1;
  if (!trialhost::isolated) prctl(PR_SET_CHILD_SUBREAPER, 1);
  // A child that has gone shows as a failed write, not as the end of the host.
  signal(SIGPIPE, SIG_IGN);
  // What the host itself might print is nobody's business but its client's stderr.
  if (const int null = open("/dev/null", O_WRONLY); null >= 0) {
    dup2(null, 1);
    close(null);
  }
#ifdef WB_TRIAL_HOST_TOOLKIT
  trialhost::PrepareQt();
#endif
  trialhost::KeepLibraryDescriptors();
  trialhost::Host(0).Run();
}
