#pragma once

// A trial child: a fork of the shadow (or of the host, which then replays what the
// workbench has done), which waits for a request, tries its actions, unloads what is
// loaded, checks what was left behind and reports each step to the host.

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "session.h"
#include "trial/protocol.h"

namespace trialhost {

namespace wire = trial::wire;

// The child's ends of its pipes, as the host made them.
struct ChildEnds {
  int request = -1;  // the host writes the request here
  int reports = -1;  // the child's reports
  int output = -1;   // the child's standard output and error
};

// Never returns. `replay`: the actions to take before saying it is ready (a child
// forked by the host itself), or null (a child forked by the shadow, which has taken
// them already). `parent`: the process that forked it.
[[noreturn]] void RunTrialChild(Session& session, std::uint64_t nonce, const ChildEnds& ends,
                                const std::vector<trial::Action>* replay, pid_t parent);

}  // namespace trialhost
