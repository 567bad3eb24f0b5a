// Where the loader finds a required package: one rule, used by LoadPackage and by
// pkginfo's check, so that the check cannot say anything the loader would not do.

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

#include "module_internal.h"
#include "paths.h"
#include "rtl/package.h"
#include "rtl/package_file.h"
#include "rtl/sysutils.h"

namespace rtl {

namespace {

// The framework's own libraries by their sonames, each numbered by the build.
constexpr std::pair<std::string_view, std::string_view> kFrameworkSonames[] = {
    {"rtl", "librtl.so." RTL_SOVERSION}, {"toolkit", "libtoolkit.so." TOOLKIT_SOVERSION}};
static_assert(std::size(kFrameworkSonames) == std::size(kFrameworkPackages));

}  // namespace

TRequiredPackageSearch FindRequiredPackage(const std::string& name,
                                           const std::string& requirerDirectory,
                                           const std::string& runtimeDirectory) {
  if (!IsPackageName(name)) {
    throw Exception("required package name of %d bytes is not a package name", {name.size()});
  }
  const std::string file = "lib" + name + ".so";
  TRequiredPackageSearch search;
  search.looked.push_back(detail::PathIn(requirerDirectory, file));
  if (!runtimeDirectory.empty() && runtimeDirectory != requirerDirectory) {
    search.looked.push_back(detail::PathIn(runtimeDirectory, file));
  }
  // The framework's own libraries may be installed under their soname alone, without
  // the development link. Only they: the run-time library's folder is the system's
  // library folder once installed, where lib<name>.so.<soversion> is some other library.
  const auto framework = std::ranges::find(kFrameworkSonames, std::string_view(name),
                                           &std::pair<std::string_view, std::string_view>::first);
  if (!runtimeDirectory.empty() && framework != std::ranges::end(kFrameworkSonames)) {
    search.looked.push_back(detail::PathIn(runtimeDirectory, std::string(framework->second)));
  }
  // Where install_package puts packages that others build on: the installed
  // packages' folder of the framework's own prefix.
  const std::size_t installed = search.looked.size();
  if (!runtimeDirectory.empty()) {
    search.looked.push_back(
        detail::PathIn(runtimeDirectory, std::string(kInstalledPackagesFolder) + "/" + file));
  }
  for (std::size_t i = 0; i < search.looked.size(); ++i) {
    if (access(search.looked[i].c_str(), F_OK) == 0) {
      search.path = search.looked[i];
      search.how = i == 0           ? "beside the requiring package"
                   : i == installed ? "in the installed packages' folder"
                                    : "beside the run-time library";
      break;
    }
  }
  return search;
}

std::string RuntimeLibraryDirectory() {
  // Looked up once: the run-time library is never unloaded, so it never moves.
  static const std::string directory = [] {
    const auto object = detail::FindMappedObject(
        ModuleFromAddress(reinterpret_cast<const void*>(&RuntimeLibraryDirectory)));
    if (!object) return std::string();
    return detail::DirectoryOf(detail::MappedObjectPath(*object));
  }();
  return directory;
}

}  // namespace rtl
