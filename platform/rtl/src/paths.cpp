#include "paths.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "rtl/package_file.h"

namespace rtl {

namespace detail {

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string PathIn(const std::string& directory, const std::string& file) {
  return directory.ends_with('/') ? directory + file : directory + "/" + file;
}

std::string CanonicalPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

}  // namespace detail

// Not resolved further: that costs a system call per path component, and the
// dynamic linker itself looks for a package's dependencies beside the name it was
// given, not beside the link's target.
std::string AbsolutePath(const std::string& fileName) {
  if (fileName.empty() || fileName.front() == '/') return fileName;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return fileName;
  return detail::PathIn(cwd, fileName);
}

}  // namespace rtl
