#pragma once

// Signals as every program of the project names them to the user.

#include <string>

namespace trial {

// "SIGSEGV"; the number for a signal without a name.
std::string SignalName(int signal);
// "SIGSEGV (Segmentation fault)": the name, and what the system calls it.
std::string SignalText(int signal);

}  // namespace trial
