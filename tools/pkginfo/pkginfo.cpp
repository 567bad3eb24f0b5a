// pkginfo: shows what a package file says about itself. It reads the file with the
// run-time library's ELF reader and runs none of the file's code, so it is safe on
// packages that would fail, or misbehave, when loaded.

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "elf_reader.h"
#include "rtl/sysutils.h"

namespace {

constexpr const char* kUsage =
    "Usage: pkginfo [--] FILE...\n"
    "Prints the package information of each package FILE without loading it:\n"
    "package name, description, required packages, contained units, build-artifact\n"
    "name, registration procedures and other exports.\n"
    "Exit status: 0 when every file could be read, 1 when one could not, 2 on a\n"
    "usage error.\n";

// "@<Unit>@Register$qqrv": the export a unit's registration procedure goes by.
bool IsRegistrationProcedure(std::string_view name) {
  constexpr std::string_view kSuffix = "@Register$qqrv";
  if (name.size() <= 1 + kSuffix.size() || name.front() != '@') return false;
  if (name.substr(name.size() - kSuffix.size()) != kSuffix) return false;
  const std::string_view unit = name.substr(1, name.size() - 1 - kSuffix.size());
  return unit.find('@') == std::string_view::npos;
}

std::string Join(const std::vector<std::string>& items) {
  if (items.empty()) return "(none)";
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ", ";
    out += item;
  }
  return out;
}

void PrintExports(const char* title, const std::vector<const rtl::detail::PackageExport*>& list) {
  std::printf("%s:%s\n", title, list.empty() ? " (none)" : "");
  for (const rtl::detail::PackageExport* e : list) {
    std::printf("  %s -> %s\n", e->name.c_str(), e->symbol.c_str());
  }
}

void Print(const std::string& file, const rtl::detail::ElfPackageInfo& info) {
  std::printf("file: %s\n", file.c_str());
  if (!info.hasRecord) {
    std::printf("no package information (an ordinary shared library)\n");
    return;
  }
  const rtl::detail::PackageRecord& r = info.record;
  std::printf("package: %s\n", r.name.c_str());
  std::printf("description: %s\n", r.description.c_str());
  std::printf("flags: %d\n", static_cast<int>(r.flags));
  std::printf("requires: %s\n", Join(r.requiredPackages).c_str());
  std::printf("contains: %s\n", Join(r.units).c_str());
  std::printf("build artifact: %s\n", r.buildArtifact.c_str());
  std::vector<const rtl::detail::PackageExport*> registration, other;
  for (const rtl::detail::PackageExport& e : r.exports) {
    (IsRegistrationProcedure(e.name) ? registration : other).push_back(&e);
  }
  PrintExports("registration procedures", registration);
  PrintExports("other exports", other);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && (arg == "--help" || arg == "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (options && arg.size() > 1 && arg.front() == '-') {
      std::fprintf(stderr, "pkginfo: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    } else {
      files.emplace_back(arg);
    }
  }
  if (files.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  int status = 0;
  bool first = true;
  for (const std::string& file : files) {
    try {
      const rtl::detail::ElfPackageInfo info = rtl::detail::ReadPackageFile(file);
      if (!first) std::printf("\n");
      first = false;
      Print(file, info);
    } catch (const rtl::Exception& e) {
      // Keep stdout and stderr in the order the files were named.
      std::fflush(stdout);
      std::fprintf(stderr, "pkginfo: %s\n", e.Message().c_str());
      status = 1;
    } catch (const std::exception& e) {
      std::fflush(stdout);
      std::fprintf(stderr, "pkginfo: %s: %s\n", file.c_str(), e.what());
      status = 1;
    }
  }
  return status;
}
