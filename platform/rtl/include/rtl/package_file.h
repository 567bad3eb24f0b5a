#pragma once

// Reading a package file without loading it: the record and the export table that
// the SDK puts into the file's package notes, read by the same reader LoadPackage
// uses, and the loader's rules about what it finds there, down to the plan of a
// whole load. None of the file's code runs. Tools that tell about package files
// (pkginfo) build on this.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/export.h"

namespace rtl {

// One entry of a package's export table: the name GetProcAddress is asked for (it
// need not be a valid ELF symbol name: "@Stdreg@Register$qqrv") and the ELF symbol
// that implements it.
struct TPackageExport {
  std::string name;
  std::string symbol;

  friend bool operator==(const TPackageExport&, const TPackageExport&) = default;
};

// What a package says about itself. Names (the package's, its units', its required
// packages') are identifiers of at most 255 bytes; the description and the
// build-artifact name are UTF-8 without control characters.
struct TPackageRecord {
  std::uint8_t version = 1;
  std::uint8_t flags = 0;
  std::string name;
  std::string description;
  std::vector<std::string> units;             // in the order the package initialises them
  std::vector<std::string> requiredPackages;  // ("requires" is a keyword in C++20)
  std::string buildArtifact;
  std::vector<TPackageExport> exports;  // in the order of the notes

  friend bool operator==(const TPackageRecord&, const TPackageRecord&) = default;
};

// What tells one content of a file from another: writing to the file, cutting it
// short or putting another file in its place changes at least one of these.
struct TFileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::int64_t changed = 0;   // nanoseconds, of the inode
  friend bool operator==(const TFileIdentity&, const TFileIdentity&) = default;
};
// The identity of the regular file at that path; nothing for anything else.
RTL_API std::optional<TFileIdentity> IdentityOfFile(const std::string& fileName);
// How the file changed since it had the identity `then`, as the end of a sentence
// ("another file has taken its place", "it was written to", "it is gone"); empty
// when `now` is the same.
RTL_API std::string FileChange(const TFileIdentity& then, const std::optional<TFileIdentity>& now);

// How much of the file ReadPackageFile checks.
enum class TFileCheck {
  Complete,  // every header, segment and section inside the file
  // Only what LoadPackage checks: the headers and what the dynamic linker maps or
  // reads. A damaged section stops no load, so a tool that says whether the file
  // loads must not count it.
  Loading,
};

// Checks that the file is an ELF shared object this process could map (class, byte
// order, machine, type, and as much inside the file as asked) and reads its package
// notes. Nothing when it is such a file without package information (an ordinary
// shared library). Raises Exception "<fileName>: <reason>" otherwise: the file
// cannot be opened, is not ELF, is damaged, or carries notes the SDK could not have
// written ("... record entry 4 at offset 30: required package name 'a/../b' is not an
// identifier ...").
RTL_API std::optional<TPackageRecord> ReadPackageFile(const std::string& fileName,
                                                      TFileCheck check = TFileCheck::Complete);

// A name as the SDK writes it for a package, a unit or a required package: a letter
// or '_', then letters, digits or '_'; at most 255 bytes. The reader takes no other
// name from a file, so a name from a record never makes a path go elsewhere.
RTL_API bool IsPackageName(std::string_view name);

// The framework's own packages, which the program brings along: a package requiring
// them finds them loaded.
inline constexpr const char* kFrameworkPackages[] = {"rtl", "toolkit"};

// The installed packages' folder, relative to the run-time library's: where the demo
// packages and the packages of install_package (cmake/PackageSdk.cmake) go.
inline constexpr const char* kInstalledPackagesFolder = "package-workbench/packages";

// Where the loader finds a required package that is not loaded yet: lib<name>.so
// beside the package that requires it, else beside the run-time library, where a
// framework library may also be there only by its soname (lib<name>.so.<version>),
// else in the installed packages' folder.
struct TRequiredPackageSearch {
  std::string path;                 // the first candidate that exists; empty when none does
  std::string how;                  // where it was found, for reports
  std::vector<std::string> looked;  // every candidate, in order
};
// Raises for a name that is not a package name instead of making a path of it.
RTL_API TRequiredPackageSearch FindRequiredPackage(const std::string& name,
                                                   const std::string& requirerDirectory,
                                                   const std::string& runtimeDirectory);
// The directory of the run-time library this process runs with; empty when unknown.
RTL_API std::string RuntimeLibraryDirectory();

// As LoadPackage hands a file to dlopen: absolute, links not resolved, so that
// $ORIGIN comes out the same.
RTL_API std::string AbsolutePath(const std::string& fileName);

// One file a load needs, found or not: a package of a load plan, or a library as the
// system's dynamic linker finds it. Each reads in the same terms.
struct TResolution {
  std::string name;
  std::string neededBy;             // the file that asks for it; empty for the file loaded
  std::string path;                 // empty when not found
  std::string how;                  // where it was found: "beside the run-time library", ...
  std::vector<std::string> looked;  // the places searched, when not found
  std::string problem;              // empty when it is usable
};

// A package the process holds already: the file it was loaded from, and how a plan
// tells that ("already loaded").
struct TLoadedPackage {
  std::string path;
  std::string how;
};
// Asked by package name; nothing when no package of that name is loaded.
using TLoadedPackages = std::function<std::optional<TLoadedPackage>(const std::string& name)>;

// One step of a load: a package the load opens, or one it takes a reference on
// (held already, or opened by an earlier step), or why it cannot be either.
struct TLoadStep : TResolution {
  bool readable = false;                         // the reader took the file, a package or not
  std::shared_ptr<const TPackageRecord> record;  // null when it is no package or unreadable
  bool opens = false;                            // a file to open, not a reference
};

// What LoadPackage would do with a file, found without running any of its code: the
// steps in the order it takes them, the packages each package requires before it
// (each requirement a step, so a package required twice is referred to again), and
// the file's own step last. The plan goes on past a problem, so that every one is
// told; LoadPackage stops at the first.
struct TLoadPlan {
  std::vector<TLoadStep> steps;
  // What LoadPackage raises about the first problem ("<file>: cannot load required
  // package base: <base's file>: required package gauge not found (looked for ...)");
  // empty when the packages would load.
  std::string error;
};

// Reads the file and the files of the packages it requires, finding each by the rule
// of FindRequiredPackage; a package `loaded` holds is taken as it is.
RTL_API TLoadPlan PlanLoad(const std::string& fileName, const TLoadedPackages& loaded,
                           const std::string& runtimeDirectory);

}  // namespace rtl
