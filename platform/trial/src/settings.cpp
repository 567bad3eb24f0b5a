#include "trial/settings.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace trial {

namespace {

bool Off(std::string_view text) {
  return text == "0" || text == "off" || text == "no" || text == "false";
}

// Seconds as milliseconds: a decimal number, above 0 unless zero is allowed, at most
// a day (more than any trial needs, far from overflow).
std::optional<std::chrono::milliseconds> Seconds(std::string_view text, bool zeroAllowed) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (error != std::errc() || end != text.data() + text.size() || !(seconds >= 0) ||
      (!zeroAllowed && seconds == 0) || seconds > 86400) {
    return std::nullopt;
  }
  const long long ms = std::llround(seconds * 1000);
  return std::chrono::milliseconds(seconds > 0 ? std::max(1LL, ms) : 0);
}

const char* Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string Refused(const char* name, const char* value, const char* should) {
  return std::string(name) + " is \"" + value + "\": it should be " + should;
}

std::optional<Settings>& Configured() {
  static std::optional<Settings> settings;
  return settings;
}

}  // namespace

Settings Settings::FromEnvironment() {
  Settings settings;
  if (const char* value = Variable("WB_TRIAL")) settings.enabled = !Off(value);
  if (const char* value = Variable("WB_TRIAL_ISOLATE")) settings.isolate = !Off(value);
  if (const char* value = Variable("WB_TRIAL_TIMEOUT")) {
    if (const auto limit = Seconds(value, false)) {
      settings.timeLimit = *limit;
    } else {
      settings.error =
          Refused("WB_TRIAL_TIMEOUT", value,
                  "a number of seconds above 0 and at most 86400 (a day), such as 10 or 0.5");
    }
  }
  if (const char* value = Variable("WB_TRIAL_SETTLE")) {
    if (const auto settle = Seconds(value, true)) {
      settings.settle = *settle;
    } else {
      settings.error = Refused("WB_TRIAL_SETTLE", value,
                               "a number of seconds from 0 to 86400 (a day), such as 0 or 2");
    }
  }
  if (const char* value = Variable("WB_TRIAL_MEMORY")) {
    const std::string_view text(value);
    std::uint64_t mib = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), mib);
    // A terabyte: beyond it the limit means nothing on any machine this runs on.
    if (error != std::errc() || end != text.data() + text.size() || mib == 0 || mib > (1u << 20)) {
      settings.error = Refused("WB_TRIAL_MEMORY", value, "a number of MiB above 0, such as 1024");
    } else {
      settings.memoryLimitMiB = mib;
    }
  }
  return settings;
}

const Settings& CurrentSettings() {
  std::optional<Settings>& settings = Configured();
  if (!settings) settings = Settings::FromEnvironment();
  return *settings;
}

void Configure(const Settings& settings) {
  Configured() = settings;
}

TryRequest RequestFor(std::vector<Action> actions, bool commit) {
  const Settings& settings = CurrentSettings();
  TryRequest request;
  request.actions = std::move(actions);
  request.timeLimit = settings.timeLimit;
  request.settle = settings.settle;
  request.memoryLimitMiB = settings.memoryLimitMiB;
  request.commit = commit;
  return request;
}

}  // namespace trial
