#pragma once

// Paths as the loader names files: the folder a file is in, a file in a folder, and
// the one name of a file that two names of it share. The run-time library's own;
// tools get what they need through rtl/package_file.h.

#include <string>

namespace rtl::detail {

// "/a/b.so" -> "/a", "/b.so" -> "/", "b.so" -> ".".
std::string DirectoryOf(const std::string& path);
// The file in that folder, without doubling the slash of "/".
std::string PathIn(const std::string& directory, const std::string& file);
// With links and "." and ".." resolved, so that two names of one file compare
// equal; the name as given when it cannot be resolved (the file is gone).
std::string CanonicalPath(const std::string& path);

}  // namespace rtl::detail
