#pragma once

// What the processes the trial host forks (the shadow and the trial children) do
// first, and the ends of their pipes.

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace trialhost {

// What every child of the host does first: the signal mask and crash signals as a
// new process has them, death with its parent, first in line when memory runs out.
// `parent`: the process that forked it; it ends at once if that is gone already.
void PrepareChild(pid_t parent);

// Whether the host is the first process of namespaces of its own, and its children
// with it; set by the host as it starts, inherited by every fork.
extern bool isolated;
// The host's own process id: every other process with this program's code is a child.
extern pid_t hostPid;
// Gives up every capability: a process that is root in its own user namespace could
// otherwise read and write the host, whatever its pipes let it do.
void DropCapabilities();

// The descriptors the libraries opened as the host started (Qt's wake-up descriptor,
// for one): every child keeps them, since its copy of the libraries goes on using
// them. The host calls this once the libraries are up, before it opens anything else.
void KeepLibraryDescriptors();
// Where a child's channels to the host go: far above what the libraries open.
inline constexpr int kChannel = 200;
// Standard input, output and error as given (-1: /dev/null), the channels at kChannel,
// kChannel + 1, ..., and every other descriptor closed, but the libraries'.
void ArrangeDescriptors(int in, int out, int err, std::initializer_list<int> channels);

// What the dynamic linker reads and writes as it loads and unloads a library: the
// symbol tables of every object loaded (read for each symbol bound) and the records it
// keeps of them (written). A fork's first touch of a page costs far more than later
// ones; a trial child touches these before it is asked anything.
void TouchLinkerTables();

// Ends this process with status 0 without waiting for its memory to be torn down:
// the trial host hears of the exit at once.
[[noreturn]] void ExitAtOnce();

}  // namespace trialhost
