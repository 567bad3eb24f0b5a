#include "preflight.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>
#include <unordered_set>

#include "elf_dynamic.h"
#include "elf_reader.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"

namespace pkginfo {

namespace {

#if defined(__x86_64__)
constexpr std::string_view kCacheArchitecture = "x86-64";
constexpr std::string_view kLibExpansion = "lib/x86_64-linux-gnu";
constexpr std::string_view kPlatformExpansion = "x86_64";
#elif defined(__aarch64__)
constexpr std::string_view kCacheArchitecture = "AArch64";
constexpr std::string_view kLibExpansion = "lib/aarch64-linux-gnu";
constexpr std::string_view kPlatformExpansion = "aarch64";
#endif

// The packages the program brings along: a package requiring them finds them loaded.
constexpr const char* kFrameworkPackages[] = {"rtl", "toolkit"};

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> SplitList(std::string_view list, std::string_view separators) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find_first_of(separators, start);
    if (end == std::string_view::npos) end = list.size();
    if (end > start) parts.emplace_back(list.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Reads each library once, however many objects need it.
class Libraries {
 public:
  // Null when the file is no shared object for this machine; the reason is kept.
  const DynamicInfo* Read(const std::string& path) {
    auto it = infos_.find(path);
    if (it == infos_.end()) {
      Entry entry;
      try {
        entry.info = ReadDynamicFile(path);
        entry.ok = true;
      } catch (const rtl::Exception& e) {
        entry.error = e.Message();
      }
      it = infos_.emplace(path, std::move(entry)).first;
    }
    return it->second.ok ? &it->second.info : nullptr;
  }
  const std::string& Error(const std::string& path) { return infos_[path].error; }

 private:
  struct Entry {
    bool ok = false;
    DynamicInfo info;
    std::string error;
  };
  std::map<std::string, Entry> infos_;
};

class Checker {
 public:
  Checker(const SearchPaths& paths, CheckReport& report) : paths_(paths), report_(report) {}

  void Run(const std::string& file) {
    const std::string absolute = Absolute(file);
    rtl::detail::ElfPackageInfo info;
    try {
      info = rtl::detail::ReadPackageFile(file);
    } catch (const rtl::Exception& e) {
      report_.problem = e.Message();
      return;
    }
    if (!info.hasRecord) {
      report_.problem = "not a package (the file carries no package information)";
      return;
    }
    report_.package = info.record.name;
    FindFramework();
    std::vector<std::string> chain{info.record.name};
    ResolveRequired(absolute, info.record, chain);

    // The program and its framework libraries are there before any package, and
    // so is everything they need.
    std::vector<std::string> programScope;
    for (const auto& [name, path] : frameworkPackages_) programScope.push_back(path);
    const std::unordered_set<std::string> programSymbols = DefinedSymbols(programScope, false);

    std::vector<std::string> objects{absolute};
    objects.insert(objects.end(), requiredFiles_.begin(), requiredFiles_.end());
    for (const std::string& object : objects) CheckLibraries(object, programSymbols);
  }

 private:
  void FindFramework() {
    if (paths_.frameworkDirectory.empty()) return;
    for (const char* name : kFrameworkPackages) {
      // By soname: packages need them by that name, and a run-time install has no
      // other.
      const std::string soname = "lib" + std::string(name) + ".so." RTL_FRAMEWORK_SOVERSION;
      const std::string path = paths_.frameworkDirectory + "/" + soname;
      try {
        const auto info = rtl::detail::ReadPackageFile(path);
        if (info.hasRecord && info.record.name == name) {
          frameworkPackages_[name] = path;
          loaded_[soname] = path;
          frameworkSonames_.insert(soname);
        }
      } catch (const rtl::Exception&) {
        // Not there, or not usable: then it is not loaded with the program either.
      }
    }
  }

  // As LoadPackage does: a package already loaded counts; otherwise beside the
  // package that requires it, then beside the run-time library.
  void ResolveRequired(const std::string& requirer, const rtl::detail::PackageRecord& record,
                       std::vector<std::string>& chain) {
    for (const std::string& name : record.requiredPackages) {
      Resolution r;
      r.name = name;
      r.neededBy = requirer;
      if (name == record.name) {
        r.problem = "package " + name + " requires itself";
        report_.packages.push_back(std::move(r));
        continue;
      }
      if (const auto framework = frameworkPackages_.find(name);
          framework != frameworkPackages_.end()) {
        r.path = framework->second;
        r.how = "framework";
        report_.packages.push_back(std::move(r));
        continue;
      }
      if (const auto done = resolvedPackages_.find(name); done != resolvedPackages_.end()) {
        r.path = done->second;
        r.how = "loaded before";
        report_.packages.push_back(std::move(r));
        continue;
      }
      std::vector<std::string> candidates{DirectoryOf(requirer) + "/lib" + name + ".so"};
      if (!paths_.frameworkDirectory.empty() &&
          paths_.frameworkDirectory != DirectoryOf(requirer)) {
        candidates.push_back(paths_.frameworkDirectory + "/lib" + name + ".so");
      }
      for (std::size_t i = 0; i < candidates.size() && r.path.empty(); ++i) {
        if (Exists(candidates[i])) {
          r.path = candidates[i];
          r.how = i == 0 ? "beside the requiring package" : "beside the run-time library";
        }
      }
      if (r.path.empty()) {
        r.looked = candidates;
        r.problem = "required package " + name + " not found";
        report_.packages.push_back(std::move(r));
        continue;
      }
      if (std::find(chain.begin(), chain.end(), name) != chain.end()) {
        std::string cycle;
        for (const std::string& link : chain) cycle += link + " -> ";
        r.problem = "package " + name + " requires itself (" + cycle + name + ")";
        report_.packages.push_back(std::move(r));
        continue;
      }
      rtl::detail::ElfPackageInfo info;
      try {
        info = rtl::detail::ReadPackageFile(r.path);
      } catch (const rtl::Exception& e) {
        r.problem = e.Message();
      }
      if (r.problem.empty() && !info.hasRecord) {
        r.problem = r.path + " is not a package";
      } else if (r.problem.empty() && info.record.name != name) {
        r.problem = r.path + " holds package " + info.record.name + ", not " + name;
      }
      const std::string path = r.path;
      const bool usable = r.problem.empty();
      report_.packages.push_back(std::move(r));
      if (!usable) continue;
      resolvedPackages_[name] = path;
      requiredFiles_.push_back(path);
      // Loaded before the package that requires it, so the dynamic linker finds it
      // by its soname when that package names it as a needed library.
      const std::string soname =
          info.record.buildArtifact.empty() ? "lib" + name + ".so" : info.record.buildArtifact;
      loaded_.emplace(soname, path);
      chain.push_back(name);
      ResolveRequired(path, info.record, chain);
      chain.pop_back();
    }
  }

  // The search order of the dynamic linker for one object's needed library.
  std::string FindLibrary(const std::string& name, const std::string& object,
                          const DynamicInfo& info, const std::vector<std::string>& inheritedRpath,
                          Resolution& r) {
    if (name.find('/') != std::string::npos) {
      r.how = "path";
      const std::string path = Absolute(name);
      r.looked.push_back(path);
      return Exists(path) && libraries_.Read(path) ? path : std::string();
    }
    struct Place {
      std::string directory;
      const char* how;
    };
    std::vector<Place> places;
    if (info.runpath.empty()) {
      for (const std::string& entry : info.rpath) {
        places.push_back({ExpandSearchEntry(entry, object), "RPATH"});
      }
      for (const std::string& entry : inheritedRpath) places.push_back({entry, "RPATH"});
    }
    for (const std::string& entry : paths_.ldLibraryPath) {
      places.push_back({entry, "LD_LIBRARY_PATH"});
    }
    for (const std::string& entry : info.runpath) {
      places.push_back({ExpandSearchEntry(entry, object), "RUNPATH"});
    }
    for (const Place& place : places) {
      const std::string path = place.directory + "/" + name;
      r.looked.push_back(path);
      // A library of another word size or machine is passed over, as ld.so does.
      if (Exists(path) && libraries_.Read(path)) {
        r.how = place.how;
        return path;
      }
    }
    for (const auto& [soname, path] : paths_.cache) {
      if (soname == name && libraries_.Read(path)) {
        r.how = "ld.so.cache";
        return path;
      }
    }
    r.looked.push_back("ld.so.cache");
    for (const std::string& directory : paths_.defaultDirectories) {
      const std::string path = directory + "/" + name;
      r.looked.push_back(path);
      if (Exists(path) && libraries_.Read(path)) {
        r.how = "system directory";
        return path;
      }
    }
    return {};
  }

  // Breadth first from the roots, as the dynamic linker loads dependencies.
  // Reports what it resolves when `report` is set. Returns every object reached.
  std::vector<std::string> Closure(const std::vector<std::string>& roots, bool report) {
    struct Pending {
      std::string path;
      std::vector<std::string> rpath;  // inherited from the objects that loaded it
    };
    std::deque<Pending> queue;
    std::set<std::string> seen;
    std::map<std::string, std::string> byName = loaded_;
    std::vector<std::string> reached;
    for (const std::string& root : roots) {
      if (seen.insert(root).second) queue.push_back({root, {}});
    }
    while (!queue.empty()) {
      Pending current = std::move(queue.front());
      queue.pop_front();
      reached.push_back(current.path);
      const DynamicInfo* info = libraries_.Read(current.path);
      if (info == nullptr) continue;
      std::vector<std::string> rpath = current.rpath;
      if (info->runpath.empty()) {
        for (const std::string& entry : info->rpath) {
          rpath.push_back(ExpandSearchEntry(entry, current.path));
        }
      }
      for (const std::string& name : info->needed) {
        Resolution r;
        r.name = name;
        r.neededBy = current.path;
        if (const auto known = byName.find(name); known != byName.end()) {
          r.path = known->second;
          r.how = !loaded_.count(name)            ? "already needed"
                  : frameworkSonames_.count(name) ? "framework"
                                                  : "required package";
        } else {
          r.path = FindLibrary(name, current.path, *info, current.rpath, r);
          if (r.path.empty()) {
            r.problem = "needed library " + name + " not found";
          } else {
            r.looked.clear();
            byName[name] = r.path;
          }
        }
        if (!r.path.empty() && seen.insert(r.path).second) {
          queue.push_back({r.path, rpath});
        }
        if (report && (r.how != "already needed" || !r.problem.empty())) {
          report_.libraries.push_back(std::move(r));
        }
      }
    }
    return reached;
  }

  std::unordered_set<std::string> DefinedSymbols(const std::vector<std::string>& roots,
                                                 bool report) {
    std::unordered_set<std::string> defined;
    for (const std::string& path : Closure(roots, report)) {
      if (const DynamicInfo* info = libraries_.Read(path)) {
        for (const DynamicSymbol& symbol : info->symbols) {
          if (symbol.defined) defined.insert(symbol.name);
        }
      }
    }
    return defined;
  }

  void CheckLibraries(const std::string& object,
                      const std::unordered_set<std::string>& programSymbols) {
    const DynamicInfo* info = libraries_.Read(object);
    if (info == nullptr) {
      report_.libraries.push_back(Resolution{object, object, "", "", {}, libraries_.Error(object)});
      return;
    }
    const std::unordered_set<std::string> defined = DefinedSymbols({object}, true);
    for (const DynamicSymbol& symbol : info->symbols) {
      // A weak reference left unresolved is null at run time, not an error.
      if (symbol.defined || symbol.weak) continue;
      if (defined.count(symbol.name) || programSymbols.count(symbol.name)) continue;
      report_.symbols.push_back({symbol.name, object});
    }
  }

  const SearchPaths& paths_;
  CheckReport& report_;
  Libraries libraries_;
  std::map<std::string, std::string> frameworkPackages_;  // name -> path
  std::map<std::string, std::string> resolvedPackages_;   // name -> path
  std::vector<std::string> requiredFiles_;                // outside the framework
  std::map<std::string, std::string> loaded_;             // soname -> path, in before the file
  std::set<std::string> frameworkSonames_;
};

}  // namespace

std::string FrameworkDirectory() {
  const rtl::HMODULE module =
      rtl::ModuleFromAddress(reinterpret_cast<const void*>(&rtl::LoadPackage));
  char path[PATH_MAX];
  if (module == 0 || rtl::GetModuleFileNameA(module, path, sizeof path) == 0) return {};
  return DirectoryOf(path);
}

std::vector<std::string> CheckReport::Problems() const {
  std::vector<std::string> problems;
  if (!problem.empty()) problems.push_back(problem);
  for (const Resolution& r : packages) {
    if (!r.problem.empty()) problems.push_back(r.problem);
  }
  for (const Resolution& r : libraries) {
    if (!r.problem.empty()) problems.push_back(r.problem);
  }
  for (const UnresolvedSymbol& s : symbols) {
    problems.push_back("undefined symbol " + s.symbol + " of " + s.neededBy +
                       " is defined by no library in reach");
  }
  return problems;
}

CheckReport CheckPackage(const std::string& file, const SearchPaths& paths) {
  CheckReport report;
  report.file = file;
  Checker(paths, report).Run(file);
  return report;
}

std::string ExpandSearchEntry(std::string_view entry, std::string_view objectPath) {
  const std::string origin = DirectoryOf(std::string(objectPath));
  const std::pair<std::string_view, std::string_view> variables[] = {
      {"ORIGIN", origin}, {"LIB", kLibExpansion}, {"PLATFORM", kPlatformExpansion}};
  std::string out;
  for (std::size_t i = 0; i < entry.size();) {
    if (entry[i] != '$') {
      out += entry[i++];
      continue;
    }
    bool replaced = false;
    for (const auto& [name, value] : variables) {
      const bool braced = entry.substr(i + 1, 1) == "{";
      const std::size_t at = i + 1 + (braced ? 1 : 0);
      if (entry.substr(at, name.size()) != name) continue;
      std::size_t end = at + name.size();
      if (braced) {
        if (entry.substr(end, 1) != "}") continue;
        ++end;
      } else if (end < entry.size() &&
                 (std::isalnum(static_cast<unsigned char>(entry[end])) || entry[end] == '_')) {
        continue;  // "$ORIGINAL" is not "$ORIGIN" followed by "AL"
      }
      out += value;
      i = end;
      replaced = true;
      break;
    }
    if (!replaced) out += entry[i++];
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ParseLdconfigOutput(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string& line : SplitList(text, "\n")) {
    const std::size_t open = line.find(" (");
    const std::size_t close = line.find(") => ", open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) continue;
    const std::string flags = line.substr(open + 2, close - open - 2);
    bool ours = false;
    for (const std::string& flag : SplitList(flags, ",")) ours = ours || flag == kCacheArchitecture;
    if (!ours) continue;
    const std::string name = rtl::Trim(line.substr(0, open));
    const std::string path = line.substr(close + 5);
    if (!name.empty() && !path.empty()) entries.emplace_back(name, path);
  }
  return entries;
}

SearchPaths SearchPaths::FromProcess() {
  SearchPaths paths;
  if (const char* list = std::getenv("LD_LIBRARY_PATH")) {
    paths.ldLibraryPath = SplitList(list, ":;");
  }
  for (const char* ldconfig : {"/sbin/ldconfig", "/usr/sbin/ldconfig"}) {
    if (access(ldconfig, X_OK) != 0) continue;
    const std::string command = std::string(ldconfig) + " -p 2>/dev/null";
    if (FILE* pipe = popen(command.c_str(), "r")) {
      std::string text;
      char buffer[4096];
      std::size_t got = 0;
      while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
      pclose(pipe);
      paths.cache = ParseLdconfigOutput(text);
    }
    break;
  }
  const std::string lib(kLibExpansion);
  paths.defaultDirectories = {"/" + lib, "/usr/" + lib, "/lib", "/usr/lib"};
  paths.frameworkDirectory = FrameworkDirectory();
  return paths;
}

}  // namespace pkginfo
