#pragma once

// The pre-flight check behind `pkginfo --check`: would LoadPackage succeed on this
// file, and if not, why? It resolves required packages the way the package loader
// does and needed libraries the way the dynamic linker does, and finds undefined
// symbols that nothing in reach defines. It reads files only; it runs none of
// their code.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pkginfo {

// Where the loader and the dynamic linker look.
struct SearchPaths {
  std::vector<std::string> ldLibraryPath;
  // The dynamic linker's cache: soname and path, in the cache's order of preference.
  std::vector<std::pair<std::string, std::string>> cache;
  std::vector<std::string> defaultDirectories;
  // Where the program's own librtl.so is: the framework's packages there are
  // loaded with the program, and the loader looks there for required packages.
  std::string frameworkDirectory;

  // The paths this process would use: LD_LIBRARY_PATH, `ldconfig -p`, the system's
  // directories, and the directory of the librtl.so this program runs with.
  static SearchPaths FromProcess();
};

// One required package or needed library, found or not.
struct Resolution {
  std::string name;
  std::string neededBy;  // the file that asks for it
  std::string path;      // empty when not found
  std::string how;       // where it was found: "RUNPATH", "ld.so.cache", "framework", ...
  std::vector<std::string> looked;  // what was tried, when not found
  std::string problem;              // empty when it is usable
};

struct UnresolvedSymbol {
  std::string symbol;
  std::string neededBy;
};

struct CheckReport {
  std::string file;
  std::string package;  // the package's name; empty when the file is none
  std::string problem;  // the file itself cannot be loaded
  std::vector<Resolution> packages;
  std::vector<Resolution> libraries;
  std::vector<UnresolvedSymbol> symbols;

  // One line per reason the load would fail; empty when nothing is missing.
  std::vector<std::string> Problems() const;
};

CheckReport CheckPackage(const std::string& file, const SearchPaths& paths);

// The directory of the librtl.so this process runs with; empty when unknown.
std::string FrameworkDirectory();

// "$ORIGIN" and "${ORIGIN}" in a search path entry become the directory of the
// object that holds the entry; "$LIB" and "$PLATFORM" what this system's dynamic
// linker puts there.
std::string ExpandSearchEntry(std::string_view entry, std::string_view objectPath);

// The entries of `ldconfig -p` output for this machine's word size and architecture,
// in order: lines like "\tlibz.so.1 (libc6,x86-64) => /lib/x86_64-linux-gnu/libz.so.1".
std::vector<std::pair<std::string, std::string>> ParseLdconfigOutput(std::string_view text);

}  // namespace pkginfo
