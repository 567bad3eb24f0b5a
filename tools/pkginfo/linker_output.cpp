#include "linker_output.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

namespace pkginfo {

namespace {

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
  rtl::TResolution library;
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
      if (std::none_of(
              verdict_.libraries.begin(), verdict_.libraries.end(),
              [&](const rtl::TResolution& r) { return r.name == name && r.path.empty(); })) {
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
  rtl::TResolution Conclude(Lookup& lookup, bool last) {
    rtl::TResolution& library = lookup.library;
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

}  // namespace pkginfo
