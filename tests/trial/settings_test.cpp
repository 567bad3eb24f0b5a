#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "test_support.h"
#include "trial/settings.h"

namespace {

const char* const kVariables[] = {"WB_TRIAL", "WB_TRIAL_TIMEOUT", "WB_TRIAL_SETTLE",
                                  "WB_TRIAL_MEMORY", "WB_TRIAL_ISOLATE"};

// The variables as the test run found them, put back however a row ends.
class SavedEnvironment {
 public:
  SavedEnvironment() {
    for (const char* name : kVariables) {
      const char* value = std::getenv(name);
      saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
  }
  ~SavedEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

std::string Show(const trial::Settings& s) {
  return std::string(s.enabled ? "on, " : "off, ") + std::to_string(s.timeLimit.count()) +
         " ms, settle " + std::to_string(s.settle.count()) + " ms, " +
         std::to_string(s.memoryLimitMiB) + " MiB, " + (s.isolate ? "isolated" : "shared");
}

// A refused value leaves what it would have set as it was.
constexpr const char* kDefaults = "on, 10000 ms, settle 0 ms, 1024 MiB, isolated";

TEST(TrialSettings, ReadFromTheEnvironmentOrRefusedNamingTheVariableAndItsValue) {
  struct Row {
    std::string_view environment;  // "NAME=value" parted by '|'; the others unset
    const char* expected;          // as Show puts it
    std::string error;             // how the error starts; empty: none
  } rows[] = {
      {"", kDefaults, ""},
      {"WB_TRIAL=|WB_TRIAL_TIMEOUT=|WB_TRIAL_MEMORY=", kDefaults, ""},
      {"WB_TRIAL=0", "off, 10000 ms, settle 0 ms, 1024 MiB, isolated", ""},
      {"WB_TRIAL=off|WB_TRIAL_ISOLATE=no", "off, 10000 ms, settle 0 ms, 1024 MiB, shared", ""},
      {"WB_TRIAL=false|WB_TRIAL_ISOLATE=0", "off, 10000 ms, settle 0 ms, 1024 MiB, shared", ""},
      {"WB_TRIAL=1|WB_TRIAL_ISOLATE=yes", kDefaults, ""},
      {"WB_TRIAL_TIMEOUT=0.5|WB_TRIAL_SETTLE=2|WB_TRIAL_MEMORY=64",
       "on, 500 ms, settle 2000 ms, 64 MiB, isolated", ""},
      {"WB_TRIAL_TIMEOUT=86400|WB_TRIAL_SETTLE=0|WB_TRIAL_MEMORY=1048576",
       "on, 86400000 ms, settle 0 ms, 1048576 MiB, isolated", ""},
      {"WB_TRIAL_TIMEOUT=0.0001|WB_TRIAL_SETTLE=1.2345",
       "on, 1 ms, settle 1235 ms, 1024 MiB, isolated", ""},
      {"WB_TRIAL_TIMEOUT=0", kDefaults, "WB_TRIAL_TIMEOUT is \"0\": it should be"},
      {"WB_TRIAL_TIMEOUT=-1", kDefaults, "WB_TRIAL_TIMEOUT is \"-1\""},
      {"WB_TRIAL_TIMEOUT=10s", kDefaults, "WB_TRIAL_TIMEOUT is \"10s\""},
      {"WB_TRIAL_TIMEOUT= 10", kDefaults, "WB_TRIAL_TIMEOUT is \" 10\""},
      {"WB_TRIAL_TIMEOUT=nan", kDefaults, "WB_TRIAL_TIMEOUT is \"nan\""},
      {"WB_TRIAL_TIMEOUT=inf", kDefaults, "WB_TRIAL_TIMEOUT is \"inf\""},
      {"WB_TRIAL_TIMEOUT=86400.5", kDefaults,
       "WB_TRIAL_TIMEOUT is \"86400.5\": it should be a number of seconds above 0 and at most "
       "86400 (a day)"},
      {"WB_TRIAL_SETTLE=-0.5", kDefaults, "WB_TRIAL_SETTLE is \"-0.5\": it should be"},
      {"WB_TRIAL_SETTLE=soon|WB_TRIAL_MEMORY=512", "on, 10000 ms, settle 0 ms, 512 MiB, isolated",
       "WB_TRIAL_SETTLE is \"soon\""},
      {"WB_TRIAL_MEMORY=0", kDefaults, "WB_TRIAL_MEMORY is \"0\": it should be"},
      {"WB_TRIAL_MEMORY=1048577", kDefaults, "WB_TRIAL_MEMORY is \"1048577\""},
      {"WB_TRIAL_MEMORY=-1", kDefaults, "WB_TRIAL_MEMORY is \"-1\""},
      {"WB_TRIAL_MEMORY=1.5", kDefaults, "WB_TRIAL_MEMORY is \"1.5\""},
      {"WB_TRIAL_MEMORY=18446744073709551617", kDefaults, "WB_TRIAL_MEMORY is \"1844674407"},
  };
  const SavedEnvironment saved;
  for (const Row& row : rows) {
    for (const char* name : kVariables) unsetenv(name);
    for (std::size_t at = 0; at < row.environment.size();) {
      const std::string setting(row.environment.substr(at, row.environment.find('|', at) - at));
      at += setting.size() + 1;
      const std::size_t equals = setting.find('=');
      setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
    SCOPED_TRACE(row.environment);
    const trial::Settings got = trial::Settings::FromEnvironment();
    EXPECT_EQ(Show(got), row.expected);
    if (row.error.empty()) {
      EXPECT_EQ(got.error, "");
    } else {
      EXPECT_TRUE(got.error.starts_with(row.error)) << got.error;
    }
  }
}

}  // namespace
