#include "trial/signals.h"

#include <string.h>

namespace trial {

std::string SignalName(int signal) {
  const char* abbreviation = sigabbrev_np(signal);
  return abbreviation != nullptr ? "SIG" + std::string(abbreviation) : std::to_string(signal);
}

std::string SignalText(int signal) {
  std::string text = SignalName(signal);
  if (const char* description = sigdescr_np(signal)) text += " (" + std::string(description) + ")";
  return text;
}

}  // namespace trial
