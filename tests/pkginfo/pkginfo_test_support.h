#pragma once

// The pkginfo tool run as a user runs it, and its JSON lines read back.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.h"

namespace pktest {

using testsupport::Bytes;
using testsupport::CopyFile;
using testsupport::ReadBytes;
using testsupport::TempDir;
using testsupport::ToolRun;
using testsupport::WriteBytes;

// Runs pkginfo with these arguments, and these variables added to the environment.
ToolRun RunPkginfo(const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnvironment = {});

std::vector<std::string> Lines(const std::string& text);

// The one JSON value in this text, read strictly (RFC 8259: no raw control
// characters, no invalid UTF-8, nothing after the value). What the reader refused
// raises with its message and the text.
nlohmann::json ParseJson(const std::string& text);

}  // namespace pktest
