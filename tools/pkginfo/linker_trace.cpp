#include "linker_trace.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <set>

#include "rtl/sysutils.h"

extern char** environ;

namespace pkginfo {

namespace {

#if defined(__x86_64__)
constexpr const char* kDefaultInterpreter = "/lib64/ld-linux-x86-64.so.2";
#elif defined(__aarch64__)
constexpr const char* kDefaultInterpreter = "/lib/ld-linux-aarch64.so.1";
#endif

// More output than any closure of libraries gives is a linker gone wrong.
constexpr std::size_t kMaxOutput = 16u << 20;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "name [0]" -> "name": the linker adds the namespace to each object it names.
std::string_view WithoutNamespace(std::string_view text) {
  const std::size_t bracket = text.rfind(" [");
  return bracket == std::string_view::npos ? text : text.substr(0, bracket);
}

// A line of the linker's debugging output: "  1234:\t<payload>". Sets the payload
// without its leading blanks.
bool DebugPayload(std::string_view line, std::string_view& payload) {
  std::size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  const std::size_t digits = i;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  if (i == digits || line.substr(i, 2) != ":\t") return false;
  payload = line.substr(i + 2);
  while (!payload.empty() && payload.front() == ' ') payload.remove_prefix(1);
  return true;
}

// "(RUNPATH from file x)" and the like, as a report names the place.
std::string PlaceName(std::string_view what) {
  if (what == "LD_LIBRARY_PATH") return "LD_LIBRARY_PATH";
  if (what == "system search path") return "system directories";
  for (const char* kind : {"RUNPATH", "RPATH"}) {
    const std::string prefix = std::string(kind) + " from file ";
    if (StartsWith(what, prefix))
      return std::string(kind) + " of " + std::string(what.substr(prefix.size()));
  }
  return std::string(what);
}

struct Lookup {
  Resolution library;
  std::string place;  // where the last file tried was
  std::string tried;  // the last file tried
  bool searched = false;
  bool mapped = false;
};

void ReadDebugLine(std::string_view payload, std::vector<Lookup>& lookups, std::string& place) {
  if (StartsWith(payload, "file=")) {
    const std::string_view rest = payload.substr(5);
    if (const std::size_t by = rest.find(";  needed by "); by != std::string_view::npos) {
      Lookup lookup;
      lookup.library.name = WithoutNamespace(rest.substr(0, by));
      lookup.library.neededBy = WithoutNamespace(rest.substr(by + 13));
      lookups.push_back(std::move(lookup));
      place.clear();
    } else if (const std::size_t end = rest.find(";  generating link map");
               end != std::string_view::npos && !lookups.empty() &&
               lookups.back().library.name == WithoutNamespace(rest.substr(0, end))) {
      Lookup& lookup = lookups.back();
      lookup.mapped = true;
      lookup.library.path = lookup.searched ? lookup.tried : lookup.library.name;
      lookup.library.how = lookup.searched ? lookup.place : "named by its path";
    }
    return;
  }
  if (lookups.empty()) return;
  Lookup& lookup = lookups.back();
  std::vector<std::string>& looked = lookup.library.looked;
  if (StartsWith(payload, "find library=")) {
    lookup.searched = true;
  } else if (StartsWith(payload, "search path=")) {
    const std::size_t open = payload.rfind("\t(");
    place = open == std::string_view::npos
                ? std::string("search path")
                : PlaceName(payload.substr(open + 2, payload.size() - open - 3));
    if (looked.empty() || looked.back() != place) looked.push_back(place);
  } else if (StartsWith(payload, "search cache=")) {
    place = "ld.so.cache";
    looked.push_back(place);
  } else if (StartsWith(payload, "trying file=")) {
    lookup.tried = payload.substr(12);
    lookup.place = place;
  }
}

// "undefined symbol: name[, version V]\t(object)"
UnresolvedSymbol ReadUndefined(std::string_view rest) {
  UnresolvedSymbol symbol;
  std::string_view name = rest;
  if (const std::size_t open = rest.rfind("\t("); open != std::string_view::npos) {
    name = rest.substr(0, open);
    std::string_view object = rest.substr(open + 2);
    if (!object.empty() && object.back() == ')') object.remove_suffix(1);
    symbol.neededBy = object;
  }
  if (const std::size_t comma = name.find(", version "); comma != std::string_view::npos) {
    symbol.version = name.substr(comma + 10);
    name = name.substr(0, comma);
  }
  symbol.symbol = name;
  return symbol;
}

std::string SignalText(int signal) {
  const char* name = sigabbrev_np(signal);
  return rtl::Format("SIG%s (%s)", {name ? name : "?", strsignal(signal)});
}

struct ChildOutput {
  std::string text;
  int status = 0;
  bool timedOut = false;
  bool tooLong = false;
};

ChildOutput Collect(pid_t pid, int fd, int timeoutMilliseconds) {
  ChildOutput child;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd poller{fd, POLLIN, 0};
    const int ready = left.count() > 0 ? ::poll(&poller, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      child.timedOut = true;
      break;
    }
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    child.text.append(buffer, static_cast<std::size_t>(got));
    if (child.text.size() > kMaxOutput) {
      child.tooLong = true;
      break;
    }
  }
  if (child.timedOut || child.tooLong) ::kill(pid, SIGKILL);
  while (::waitpid(pid, &child.status, 0) < 0 && errno == EINTR) {
  }
  return child;
}

// Of the linker's own variables only LD_LIBRARY_PATH comes from this process, as
// it would reach the workbench started from here; the ones that make it trace are
// set here, and the rest left out (a caller's preload or audit library is no part
// of the workbench, a caller's LD_DEBUG would garble what is read). Other
// variables, GLIBC_TUNABLES among them, pass unchanged.
std::vector<std::string> LinkerEnvironment(const std::string& preload) {
  std::vector<std::string> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view variable = *e;
    if (StartsWith(variable, "LD_") && !StartsWith(variable, "LD_LIBRARY_PATH=")) continue;
    environment.emplace_back(variable);
  }
  for (const char* setting :
       {"LD_TRACE_LOADED_OBJECTS=1", "LD_BIND_NOW=1", "LD_WARN=yes", "LD_DEBUG=libs,files"}) {
    environment.emplace_back(setting);
  }
  environment.push_back("LD_PRELOAD=" + preload);
  return environment;
}

// A folder held open for the child, where the child finds it as /proc/self/fd/N.
struct OpenFolder {
  std::string path;
  std::string alias;  // "/proc/self/fd/N"
  int fd = -1;
  int childFd = -1;
};

}  // namespace

LinkerVerdict ParseLinkerOutput(std::string_view output, std::string_view program) {
  LinkerVerdict verdict;
  std::vector<Lookup> lookups;
  std::set<std::string, std::less<>> notFound;
  std::map<std::string, std::string> refused;  // preloaded objects it would not load: why
  std::string place, fatal;
  bool listed = false;  // the list of loaded objects came: the linker got to the end
  const std::string own = std::string(program) + ": ";
  for (std::size_t start = 0; start < output.size();) {
    std::size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    const std::string_view line = output.substr(start, end - start);
    start = end + 1;
    std::string_view payload;
    if (DebugPayload(line, payload)) {
      ReadDebugLine(payload, lookups, place);
    } else if (StartsWith(line, "\t")) {
      // The list of loaded objects: only what it could not find is news.
      listed = true;
      if (const std::size_t arrow = line.find(" => not found"); arrow != std::string_view::npos) {
        notFound.emplace(line.substr(1, arrow - 1));
      }
    } else if (StartsWith(line, "undefined symbol: ")) {
      verdict.symbols.push_back(ReadUndefined(line.substr(18)));
    } else if (StartsWith(line, "ERROR: ld.so: object '")) {
      // "ERROR: ld.so: object 'x' from LD_PRELOAD cannot be preloaded (why): ignored."
      const std::string_view rest = line.substr(22);
      const std::size_t quote = rest.find("' from ");
      const std::size_t open = rest.find("cannot be preloaded (");
      const std::size_t close = rest.rfind("): ignored.");
      if (quote != std::string_view::npos && open != std::string_view::npos &&
          close != std::string_view::npos && close > open) {
        refused[std::string(rest.substr(0, quote))] = rest.substr(open + 21, close - open - 21);
      } else {
        verdict.errors.emplace_back(line);
      }
    } else if (StartsWith(line, own)) {
      const std::string_view rest = line.substr(own.size());
      constexpr std::string_view kFatal = "error while loading shared libraries: ";
      if (StartsWith(rest, kFatal)) {
        fatal = rest.substr(kFatal.size());
      } else if (rest.find("weak version `") == std::string_view::npos &&
                 rest.find("no version information available") == std::string_view::npos) {
        // A missing version; the other two are warnings that do not stop a load.
        verdict.errors.emplace_back(rest);
      }
    } else if (!line.empty()) {
      verdict.errors.emplace_back(line);
    }
  }
  for (std::size_t i = 0; i < lookups.size(); ++i) {
    Lookup& lookup = lookups[i];
    Resolution& library = lookup.library;
    const bool last = i + 1 == lookups.size();
    if (const auto why = refused.find(library.name); why != refused.end()) {
      library.problem = library.name + ": " + why->second;
      if (library.path.empty()) library.path = library.name;
      refused.erase(why);
    } else if (last && !fatal.empty() &&
               (StartsWith(fatal, library.name + ": ") ||
                (!lookup.tried.empty() && StartsWith(fatal, lookup.tried + ": ")))) {
      // The linker stopped at this one and names it in its message ("<name or
      // path>: <why>"): it is the file it could not load.
      if (library.path.empty()) library.path = lookup.tried;
      library.problem = fatal;
      fatal.clear();
    } else if (!lookup.mapped) {
      // Not found, or found to be the very file of an object it had already. Its
      // list says which; when it stopped before the list, a search that tried no
      // file found nothing.
      const bool missing =
          listed ? notFound.count(library.name) > 0 : lookup.searched && lookup.tried.empty();
      if (missing) {
        library.problem =
            "needed library " + library.name + " not found (needed by " + library.neededBy + ")";
      } else {
        library.path = lookup.searched ? lookup.tried : library.name;
        library.how = (lookup.searched ? lookup.place + ", " : "") + "already loaded";
      }
    }
    if (library.problem.empty() && library.path.empty()) {
      library.problem =
          "needed library " + library.name + " not found (needed by " + library.neededBy + ")";
    }
    if (library.problem.empty()) library.looked.clear();
    verdict.libraries.push_back(std::move(library));
  }
  // Its list is what it stands by: a name it lists as not found that no lookup
  // accounts for is missing all the same.
  for (const std::string& name : notFound) {
    if (std::none_of(verdict.libraries.begin(), verdict.libraries.end(),
                     [&](const Resolution& r) { return r.name == name && r.path.empty(); })) {
      verdict.libraries.push_back({name, "", "", "", {}, "needed library " + name + " not found"});
    }
  }
  for (const auto& [name, why] : refused) verdict.errors.push_back(name + ": " + why);
  if (!fatal.empty()) verdict.errors.insert(verdict.errors.begin(), fatal);
  return verdict;
}

LinkerVerdict RunLinker(const LinkerRun& run) {
  // LD_PRELOAD splits at blanks and colons: a path holding one is named through
  // its folder, held open for the child. $ORIGIN of the object is then that
  // alias, which names the same folder.
  std::vector<OpenFolder> folders;
  struct Closer {
    std::vector<OpenFolder>& folders;
    ~Closer() {
      for (const OpenFolder& f : folders) ::close(f.fd);
    }
  } closer{folders};
  LinkerVerdict failed;
  std::string preload;
  for (const std::string& path : run.preload) {
    std::string name = path;
    if (path.find_first_of(" \t:") != std::string::npos) {
      const std::size_t slash = path.rfind('/');
      const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
      const std::string file = path.substr(slash + 1);
      if (slash == std::string::npos || file.find_first_of(" \t:") != std::string::npos) {
        failed.errors.push_back(path +
                                ": cannot be handed to the dynamic linker: its name holds a "
                                "blank or a colon");
        return failed;
      }
      const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) {
        failed.errors.push_back(folder + ": cannot open: " + std::strerror(errno));
        return failed;
      }
      // Above every descriptor the child is given, so no dup2 overwrites another.
      const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 100);
      ::close(fd);
      if (high < 0) {
        failed.errors.push_back(folder + ": cannot hold open: " + std::strerror(errno));
        return failed;
      }
      OpenFolder open{folder, "", high, 3 + static_cast<int>(folders.size())};
      open.alias = "/proc/self/fd/" + std::to_string(open.childFd);
      name = open.alias + "/" + file;
      folders.push_back(std::move(open));
    }
    preload += (preload.empty() ? "" : " ") + name;
  }

  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) {
    failed.errors.push_back(std::string("cannot make a pipe: ") + std::strerror(errno));
    return failed;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);
  for (const OpenFolder& f : folders) posix_spawn_file_actions_adddup2(&actions, f.fd, f.childFd);
  std::vector<std::string> environment = LinkerEnvironment(preload);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string interpreter = run.interpreter, program = run.program;
  char* argv[] = {interpreter.data(), program.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, interpreter.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  if (spawned != 0) {
    ::close(pipe[0]);
    failed.errors.push_back("cannot run the dynamic linker " + interpreter + ": " +
                            std::strerror(spawned));
    return failed;
  }
  ChildOutput child = Collect(pid, pipe[0], run.timeoutMilliseconds);
  ::close(pipe[0]);

  for (const OpenFolder& f : folders) {
    const std::string alias = f.alias + "/";
    for (std::size_t at = 0; (at = child.text.find(alias, at)) != std::string::npos;) {
      child.text.replace(at, alias.size(), f.path + "/");
      at += f.path.size() + 1;
    }
  }
  LinkerVerdict verdict = ParseLinkerOutput(child.text, run.program);
  // Where it stopped, for a message about a linker that did not finish.
  const std::string at = verdict.libraries.empty()
                             ? std::string()
                             : " while loading " + (verdict.libraries.back().path.empty()
                                                        ? verdict.libraries.back().name
                                                        : verdict.libraries.back().path);
  std::string ended;
  if (child.timedOut) {
    ended = rtl::Format("the dynamic linker did not finish within %d ms%s",
                        {run.timeoutMilliseconds, at});
  } else if (child.tooLong) {
    ended = "the dynamic linker printed more than " + std::to_string(kMaxOutput) + " bytes";
  } else if (WIFSIGNALED(child.status)) {
    // What a workbench loading the file would die of, too.
    ended = "the dynamic linker died of " + SignalText(WTERMSIG(child.status)) + at;
  } else if (WEXITSTATUS(child.status) != 0 && verdict.errors.empty() &&
             std::none_of(verdict.libraries.begin(), verdict.libraries.end(),
                          [](const Resolution& r) { return !r.problem.empty(); })) {
    ended = rtl::Format("the dynamic linker exited with status %d", {WEXITSTATUS(child.status)});
  }
  if (!ended.empty()) {
    if (!verdict.libraries.empty() && verdict.libraries.back().problem.empty() && !child.tooLong) {
      verdict.libraries.back().problem = ended;
    } else {
      verdict.errors.push_back(ended);
    }
  }
  return verdict;
}

std::string SystemInterpreter() {
  std::string interpreter;
  // The first object is the program itself; its PT_INTERP names the linker that
  // started this process.
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          if (info->dlpi_phdr[i].p_type == PT_INTERP) {
            *static_cast<std::string*>(out) =
                reinterpret_cast<const char*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
          }
        }
        return 1;
      },
      &interpreter);
  if (interpreter.empty() || ::access(interpreter.c_str(), X_OK) != 0) {
    interpreter = kDefaultInterpreter;
  }
  return interpreter;
}

}  // namespace pkginfo
