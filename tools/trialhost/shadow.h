#pragma once

// The shadow: a process that holds the workbench's package state, taking every
// action the workbench takes once a trial of it has passed, and forks the trial
// children from that state on the host's word.

#include <sys/types.h>

#include <vector>

#include "trial/protocol.h"

namespace trialhost {

namespace wire = trial::wire;

// Never returns. `socket`: its end of the connection to the host; `log`: the
// actions taken so far, taken again first. `parent`: the host.
[[noreturn]] void RunShadow(int socket, const std::vector<trial::Action>& log, pid_t parent);

// The number of threads this process runs.
std::uint32_t ThreadCount();

// Sends the frame with the descriptors alongside; false when the other end is gone.
bool SendWithDescriptors(int socket, const std::string& frame, const std::vector<int>& fds);

}  // namespace trialhost
