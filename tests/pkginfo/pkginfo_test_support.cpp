#include "pkginfo_test_support.h"

#include <stdexcept>

namespace pktest {

ToolRun RunPkginfo(const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnvironment) {
  return testsupport::RunTool(PKGINFO_TOOL, args, extraEnvironment);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

nlohmann::json ParseJson(const std::string& text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    throw std::runtime_error(std::string(e.what()) + " in: " + text);
  }
}

}  // namespace pktest
