#pragma once

// The pkginfo tool run as a user runs it, and its JSON lines read back.

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

namespace pktest {

using Json = nlohmann::json;
inline const auto Package = testsupport::PackageFile;

inline testsupport::ToolRun RunPkginfo(const std::vector<std::string>& args) {
  return testsupport::RunTool(PKGINFO_TOOL, args);
}

inline std::vector<std::string> Lines(const std::string& text) {
  return testsupport::Split(text, '\n');
}

// The one JSON value in this text, read strictly (no raw control characters, no
// invalid UTF-8, nothing after the value); a refusal names the text.
inline nlohmann::json ParseJson(const std::string& text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    throw std::runtime_error(std::string(e.what()) + " in: " + text);
  }
}

}  // namespace pktest
