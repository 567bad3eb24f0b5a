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
#include <optional>
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

// "name [0]" -> "name": the linker adds the namespace to each object it names.
std::string_view WithoutNamespace(std::string_view text) {
  const std::size_t bracket = text.rfind(" [");
  return bracket == std::string_view::npos ? text : text.substr(0, bracket);
}

// The payload of a line of the linker's debugging output ("  1234:\t<payload>")
// without its leading blanks; nothing for another line.
std::optional<std::string_view> DebugPayload(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  const std::size_t digits = i;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  if (i == digits || line.substr(i, 2) != ":\t") return std::nullopt;
  std::string_view payload = line.substr(i + 2);
  while (!payload.empty() && payload.front() == ' ') payload.remove_prefix(1);
  return payload;
}

// "(RUNPATH from file x)" and the like, as a report names the place.
std::string PlaceName(std::string_view what) {
  if (what == "LD_LIBRARY_PATH") return "LD_LIBRARY_PATH";
  if (what == "system search path") return "system directories";
  for (const char* kind : {"RUNPATH", "RPATH"}) {
    const std::string prefix = std::string(kind) + " from file ";
    if (what.starts_with(prefix))
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
  std::string failure;  // it could not be run, or not watched to its end
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
    if (ready < 0)
      child.failure = std::string("cannot wait for the dynamic linker: ") + std::strerror(errno);
    if (ready <= 0) {
      child.timedOut = child.failure.empty();
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
  if (child.timedOut || child.tooLong || !child.failure.empty()) ::kill(pid, SIGKILL);
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
    if (variable.starts_with("LD_") && !variable.starts_with("LD_LIBRARY_PATH=")) continue;
    environment.emplace_back(variable);
  }
  for (const char* setting :
       {"LD_TRACE_LOADED_OBJECTS=1", "LD_BIND_NOW=1", "LD_WARN=yes", "LD_DEBUG=libs,files"}) {
    environment.emplace_back(setting);
  }
  environment.push_back("LD_PRELOAD=" + preload);
  return environment;
}

// What the linker says, read line by line.
class OutputReader {
 public:
  explicit OutputReader(std::string_view program) : own_(std::string(program) + ": ") {}

  void Read(std::string_view line) {
    if (const auto payload = DebugPayload(line)) {
      ReadDebugLine(*payload);
    } else if (line.starts_with("\t")) {
      // The list of loaded objects: only what it could not find is news.
      listed_ = true;
      if (const std::size_t arrow = line.find(" => not found"); arrow != std::string_view::npos) {
        notFound_.emplace(line.substr(1, arrow - 1));
      }
    } else if (line.starts_with("undefined symbol: ")) {
      verdict_.symbols.push_back(ReadUndefined(line.substr(18)));
    } else if (line.starts_with("ERROR: ld.so: object '")) {
      ReadPreloadRefusal(line);
    } else if (line.starts_with(own_)) {
      ReadOwnMessage(line.substr(own_.size()));
    } else if (!line.empty()) {
      verdict_.errors.emplace_back(line);
    }
  }

  LinkerVerdict Verdict() && {
    for (std::size_t i = 0; i < lookups_.size(); ++i) {
      verdict_.libraries.push_back(Conclude(lookups_[i], i + 1 == lookups_.size()));
    }
    // Its list is what it stands by: a name it lists as not found that no lookup
    // accounts for is missing all the same.
    for (const std::string& name : notFound_) {
      if (std::none_of(verdict_.libraries.begin(), verdict_.libraries.end(),
                       [&](const Resolution& r) { return r.name == name && r.path.empty(); })) {
        verdict_.libraries.push_back(
            {name, "", "", "", {}, "needed library " + name + " not found"});
      }
    }
    for (const auto& [name, why] : refused_) verdict_.errors.push_back(name + ": " + why);
    if (!fatal_.empty()) verdict_.errors.insert(verdict_.errors.begin(), fatal_);
    return std::move(verdict_);
  }

 private:
  // A line of the linker's debugging output: what it looks for, where, what it tries.
  void ReadDebugLine(std::string_view payload) {
    if (payload.starts_with("file=")) {
      const std::string_view rest = payload.substr(5);
      if (const std::size_t by = rest.find(";  needed by "); by != std::string_view::npos) {
        Lookup lookup;
        lookup.library.name = WithoutNamespace(rest.substr(0, by));
        lookup.library.neededBy = WithoutNamespace(rest.substr(by + 13));
        lookups_.push_back(std::move(lookup));
        place_.clear();
      } else if (const std::size_t end = rest.find(";  generating link map");
                 end != std::string_view::npos && !lookups_.empty() &&
                 lookups_.back().library.name == WithoutNamespace(rest.substr(0, end))) {
        Lookup& lookup = lookups_.back();
        lookup.mapped = true;
        lookup.library.path = lookup.searched ? lookup.tried : lookup.library.name;
        lookup.library.how = lookup.searched ? lookup.place : "named by its path";
      }
      return;
    }
    if (lookups_.empty()) return;
    Lookup& lookup = lookups_.back();
    std::vector<std::string>& looked = lookup.library.looked;
    if (payload.starts_with("find library=")) {
      lookup.searched = true;
    } else if (payload.starts_with("search path=")) {
      const std::size_t open = payload.rfind("\t(");
      place_ = open == std::string_view::npos
                   ? std::string("search path")
                   : PlaceName(payload.substr(open + 2, payload.size() - open - 3));
      if (looked.empty() || looked.back() != place_) looked.push_back(place_);
    } else if (payload.starts_with("search cache=")) {
      place_ = "ld.so.cache";
      looked.push_back(place_);
    } else if (payload.starts_with("trying file=")) {
      lookup.tried = payload.substr(12);
      lookup.place = place_;
    }
  }

  // "ERROR: ld.so: object 'x' from LD_PRELOAD cannot be preloaded (why): ignored."
  void ReadPreloadRefusal(std::string_view line) {
    const std::string_view rest = line.substr(22);
    const std::size_t quote = rest.find("' from ");
    const std::size_t open = rest.find("cannot be preloaded (");
    const std::size_t close = rest.rfind("): ignored.");
    if (quote != std::string_view::npos && open != std::string_view::npos &&
        close != std::string_view::npos && close > open) {
      refused_[std::string(rest.substr(0, quote))] = rest.substr(open + 21, close - open - 21);
    } else {
      verdict_.errors.emplace_back(line);
    }
  }

  // What the linker says as the program: the error it stopped at, or a missing
  // version; the other two are warnings that do not stop a load.
  void ReadOwnMessage(std::string_view rest) {
    constexpr std::string_view kFatal = "error while loading shared libraries: ";
    if (rest.starts_with(kFatal)) {
      fatal_ = rest.substr(kFatal.size());
    } else if (rest.find("weak version `") == std::string_view::npos &&
               rest.find("no version information available") == std::string_view::npos) {
      verdict_.errors.emplace_back(rest);
    }
  }

  // What became of one lookup; `last` is the one the linker may have stopped at.
  Resolution Conclude(Lookup& lookup, bool last) {
    Resolution& library = lookup.library;
    if (const auto why = refused_.find(library.name); why != refused_.end()) {
      library.problem = library.name + ": " + why->second;
      if (library.path.empty()) library.path = library.name;
      refused_.erase(why);
    } else if (last && !fatal_.empty() &&
               (fatal_.starts_with(library.name + ": ") ||
                (!lookup.tried.empty() && fatal_.starts_with(lookup.tried + ": ")))) {
      // The linker stopped at this one and names it in its message ("<name or
      // path>: <why>"): it is the file it could not load.
      if (library.path.empty()) library.path = lookup.tried;
      library.problem = fatal_;
      fatal_.clear();
    } else if (!lookup.mapped) {
      // Not found, or found to be the very file of an object it had already. Its
      // list says which; when it stopped before the list, a search that tried no
      // file found nothing.
      const bool missing =
          listed_ ? notFound_.count(library.name) > 0 : lookup.searched && lookup.tried.empty();
      if (!missing) {
        library.path = lookup.searched ? lookup.tried : library.name;
        library.how = (lookup.searched ? lookup.place + ", " : "") + "already loaded";
      }
    }
    if (library.problem.empty() && library.path.empty()) {
      library.problem =
          "needed library " + library.name + " not found (needed by " + library.neededBy + ")";
    }
    if (library.problem.empty()) library.looked.clear();
    return std::move(library);
  }

  const std::string own_;
  LinkerVerdict verdict_;
  std::vector<Lookup> lookups_;
  std::set<std::string, std::less<>> notFound_;
  std::map<std::string, std::string> refused_;  // preloaded objects it would not load: why
  std::string place_, fatal_;
  bool listed_ = false;  // the list of loaded objects came: the linker got to the end
};

// The objects to preload, as LD_PRELOAD names them. It splits at blanks and colons:
// a path holding one is named through its folder, held open for the child while
// this lives. $ORIGIN of the object is then that alias, which names the same
// folder.
class Preload {
 public:
  explicit Preload(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
      const std::string name = Name(path);
      if (!error_.empty()) return;
      list_ += (list_.empty() ? "" : " ") + name;
    }
  }
  ~Preload() {
    for (const Folder& f : folders_) ::close(f.fd);
  }
  Preload(const Preload&) = delete;
  Preload& operator=(const Preload&) = delete;

  const std::string& List() const { return list_; }
  const std::string& Error() const { return error_; }  // empty when every path could be named

  // 0, or the error of the first that could not be arranged.
  int HandTo(posix_spawn_file_actions_t& actions) const {
    for (const Folder& f : folders_) {
      if (const int error = posix_spawn_file_actions_adddup2(&actions, f.fd, f.childFd)) {
        return error;
      }
    }
    return 0;
  }
  // The linker's words about the aliases, put back in terms of the folders.
  void Restore(std::string& text) const {
    for (const Folder& f : folders_) {
      const std::string alias = f.alias + "/";
      for (std::size_t at = 0; (at = text.find(alias, at)) != std::string::npos;) {
        text.replace(at, alias.size(), f.path + "/");
        at += f.path.size() + 1;
      }
    }
  }

 private:
  // A folder held open for the child, where the child finds it as /proc/self/fd/N.
  struct Folder {
    std::string path;
    std::string alias;  // "/proc/self/fd/N"
    int fd = -1;
    int childFd = -1;
  };

  std::string Name(const std::string& path) {
    if (path.find_first_of(" \t:") == std::string::npos) return path;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    const std::string file = path.substr(slash + 1);
    if (slash == std::string::npos || file.find_first_of(" \t:") != std::string::npos) {
      error_ = path + ": cannot be handed to the dynamic linker: its name holds a blank or a colon";
      return {};
    }
    const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      error_ = folder + ": cannot open: " + std::strerror(errno);
      return {};
    }
    // Above every descriptor the child is given, so no dup2 overwrites another.
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 100);
    ::close(fd);
    if (high < 0) {
      error_ = folder + ": cannot hold open: " + std::strerror(errno);
      return {};
    }
    const int childFd = 3 + static_cast<int>(folders_.size());
    const std::string alias = "/proc/self/fd/" + std::to_string(childFd);
    folders_.push_back(Folder{folder, alias, high, childFd});
    return alias + "/" + file;
  }

  std::vector<Folder> folders_;
  std::string list_;
  std::string error_;
};

// Runs the linker in trace mode on the program with the objects preloaded and
// collects what it says, or why it could not be run.
ChildOutput Trace(const LinkerRun& run, const Preload& preload) {
  ChildOutput child;
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) {
    child.failure = std::string("cannot make a pipe: ") + std::strerror(errno);
    return child;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // A child left writing to pkginfo's own output would spoil it, JSON above all.
  int arranged = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (arranged == 0) arranged = posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
  if (arranged == 0) arranged = posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);
  if (arranged == 0) arranged = preload.HandTo(actions);
  if (arranged != 0) {
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[0]);
    ::close(pipe[1]);
    child.failure =
        std::string("cannot arrange the dynamic linker's run: ") + std::strerror(arranged);
    return child;
  }
  std::vector<std::string> environment = LinkerEnvironment(preload.List());
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
    child.failure = "cannot run the dynamic linker " + interpreter + ": " + std::strerror(spawned);
    return child;
  }
  child = Collect(pid, pipe[0], run.timeoutMilliseconds);
  ::close(pipe[0]);
  preload.Restore(child.text);
  return child;
}

// How the linker ended when it did not finish of its own accord, or exited with a
// status nothing it said accounts for; empty otherwise.
std::string HowItEnded(const ChildOutput& child, const LinkerVerdict& verdict, int timeout) {
  // Where it stopped, for a message about a linker that did not finish.
  const std::string at = verdict.libraries.empty()
                             ? std::string()
                             : " while loading " + (verdict.libraries.back().path.empty()
                                                        ? verdict.libraries.back().name
                                                        : verdict.libraries.back().path);
  if (child.timedOut) {
    return rtl::Format("the dynamic linker did not finish within %d ms%s", {timeout, at});
  }
  if (child.tooLong) {
    return "the dynamic linker printed more than " + std::to_string(kMaxOutput) + " bytes";
  }
  // What a workbench loading the file would die of, too.
  if (WIFSIGNALED(child.status)) {
    return "the dynamic linker died of " + SignalText(WTERMSIG(child.status)) + at;
  }
  if (WEXITSTATUS(child.status) != 0 && verdict.errors.empty() &&
      std::none_of(verdict.libraries.begin(), verdict.libraries.end(),
                   [](const Resolution& r) { return !r.problem.empty(); })) {
    return rtl::Format("the dynamic linker exited with status %d", {WEXITSTATUS(child.status)});
  }
  return {};
}

}  // namespace

LinkerVerdict ParseLinkerOutput(std::string_view output, std::string_view program) {
  OutputReader reader(program);
  for (std::size_t start = 0; start < output.size();) {
    std::size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    reader.Read(output.substr(start, end - start));
    start = end + 1;
  }
  return std::move(reader).Verdict();
}

LinkerVerdict RunLinker(const LinkerRun& run) {
  LinkerVerdict failed;
  const Preload preload(run.preload);
  if (!preload.Error().empty()) {
    failed.errors.push_back(preload.Error());
    return failed;
  }
  const ChildOutput child = Trace(run, preload);
  if (!child.failure.empty()) {
    failed.errors.push_back(child.failure);
    return failed;
  }
  LinkerVerdict verdict = ParseLinkerOutput(child.text, run.program);
  const std::string ended = HowItEnded(child, verdict, run.timeoutMilliseconds);
  if (ended.empty()) return verdict;
  if (!verdict.libraries.empty() && verdict.libraries.back().problem.empty() && !child.tooLong) {
    verdict.libraries.back().problem = ended;
  } else {
    verdict.errors.push_back(ended);
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
