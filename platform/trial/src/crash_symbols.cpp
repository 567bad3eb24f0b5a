// A crash record made readable: the recorded stack unwound with the call-frame
// information of the files the record's map names, and each frame named from their
// symbols and debug information, all by elfutils. The record came from a process
// that ran package code, so it is read as hostile: only regular files named in it are
// opened, memory is read from the recorded stack alone, and the walk is bounded.

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rtl/package_file.h"
#include "trial/crash.h"

namespace trial {

namespace {

constexpr std::size_t kMaxFrames = 64;

struct DwflEnd {
  void operator()(Dwfl* dwfl) const { dwfl_end(dwfl); }
};
using DwflPtr = std::unique_ptr<Dwfl, DwflEnd>;

std::string Demangle(const char* name) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (demangled == nullptr) return name;
  std::string text = demangled;
  std::free(demangled);
  return text;
}

// The lines of a map that name a regular file by its full path, for libdwfl: it gives
// up on a line it cannot parse, and would open whatever a line names (a pipe that
// never answers among them).
std::string UsableMaps(const std::string& maps) {
  std::map<std::string, bool> regular;
  std::string usable;
  std::size_t at = 0;
  while (at < maps.size()) {
    std::size_t end = maps.find('\n', at);
    if (end == std::string::npos) break;  // a cut line
    const std::string line = maps.substr(at, end - at);
    at = end + 1;
    std::uint64_t low = 0, high = 0, offset = 0, inode = 0;
    unsigned major = 0, minor = 0;
    int path = -1;
    if (line.find('\0') != std::string::npos ||
        std::sscanf(line.c_str(), "%" SCNx64 "-%" SCNx64 " %*s %" SCNx64 " %x:%x %" SCNu64 " %n",
                    &low, &high, &offset, &major, &minor, &inode, &path) < 6 ||
        path <= 0 || line.compare(static_cast<std::size_t>(path), 1, "/") != 0) {
      continue;
    }
    const std::string file = line.substr(static_cast<std::size_t>(path));
    auto known = regular.find(file);
    if (known == regular.end()) {
      struct stat status {};
      known =
          regular.emplace(file, stat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode)).first;
    }
    if (known->second) usable += line + '\n';
  }
  return usable;
}

DwflPtr ReportModules(std::string& maps) {
  // Separate debug information is looked for by build id on this machine only: the
  // standard search would go on to ask debuginfod servers, when the environment
  // names some, for files of any size, while a user waits for the report.
  static char* debuginfoPath = nullptr;
  static const Dwfl_Callbacks kCallbacks = {dwfl_linux_proc_find_elf, dwfl_build_id_find_debuginfo,
                                            nullptr, &debuginfoPath};
  if (maps.empty()) return nullptr;
  DwflPtr dwfl(dwfl_begin(&kCallbacks));
  if (!dwfl) return nullptr;
  FILE* file = fmemopen(maps.data(), maps.size(), "r");
  if (file == nullptr) return nullptr;
  dwfl_report_begin(dwfl.get());
  const int reported = dwfl_linux_proc_maps_report(dwfl.get(), file);
  std::fclose(file);
  if (dwfl_report_end(dwfl.get(), nullptr, nullptr) != 0 || reported != 0) return nullptr;
  return dwfl;
}

// --- the walk --------------------------------------------------------------------

pid_t ThreadOf(const CrashRecord& record) {
  return record.thread > 0 && record.thread <= 0x7fffffff ? static_cast<pid_t>(record.thread) : 1;
}

pid_t NextThread(Dwfl*, void* record, void** thread) {
  if (*thread != nullptr) return 0;
  *thread = record;
  return ThreadOf(*static_cast<const CrashRecord*>(record));
}

bool ReadStack(Dwfl*, Dwarf_Addr address, Dwarf_Word* result, void* argument) {
  const auto& record = *static_cast<const CrashRecord*>(argument);
  const std::size_t size = record.stack.size();
  if (address < record.stackAddress || size < sizeof *result) return false;
  const std::uint64_t offset = address - record.stackAddress;
  if (offset > size - sizeof *result) return false;
  std::memcpy(result, record.stack.data() + offset, sizeof *result);
  return true;
}

bool SetInitialRegisters(Dwfl_Thread* thread, void* argument) {
  const auto& record = *static_cast<const CrashRecord*>(argument);
  if (!dwfl_thread_state_registers(thread, 0, static_cast<unsigned>(record.registers.size()),
                                   record.registers.data())) {
    return false;
  }
  dwfl_thread_state_register_pc(thread, record.pc);
  return true;
}

struct Pc {
  Dwarf_Addr address = 0;
  bool activation = false;  // where it stopped; else a return address
};

int OnFrame(Dwfl_Frame* frame, void* argument) noexcept {
  auto& pcs = *static_cast<std::vector<Pc>*>(argument);
  Pc pc;
  if (!dwfl_frame_pc(frame, &pc.address, &pc.activation) || pc.address == 0) return DWARF_CB_ABORT;
  try {
    pcs.push_back(pc);
  } catch (...) {
    return DWARF_CB_ABORT;
  }
  return pcs.size() < kMaxFrames ? DWARF_CB_OK : DWARF_CB_ABORT;
}

std::vector<Pc> Walk(Dwfl* dwfl, const CrashRecord& record) {
  static const Dwfl_Thread_Callbacks kThread = {NextThread,          nullptr, ReadStack,
                                                SetInitialRegisters, nullptr, nullptr};
  std::vector<Pc> pcs;
  if (!record.registers.empty() && dwfl_attach_state(dwfl, nullptr, ThreadOf(record), &kThread,
                                                     const_cast<CrashRecord*>(&record))) {
    // An error is also how some walks end: what was found until then stands.
    dwfl_getthread_frames(dwfl, ThreadOf(record), OnFrame, &pcs);
  }
  if (pcs.empty()) pcs.push_back(Pc{record.pc, true});
  return pcs;
}

// --- names -----------------------------------------------------------------------

// The DIE that declares what `die` is an instance or a definition of.
Dwarf_Die* Declaration(Dwarf_Die* die, Dwarf_Die* memory) {
  for (int depth = 0; depth < 4; ++depth) {
    Dwarf_Attribute attribute;
    Dwarf_Attribute* reference = dwarf_attr(die, DW_AT_abstract_origin, &attribute);
    if (reference == nullptr) reference = dwarf_attr(die, DW_AT_specification, &attribute);
    if (reference == nullptr || dwarf_formref_die(reference, memory) == nullptr) break;
    die = memory;
  }
  return die;
}

// A name with the namespaces and classes around it, for a function that has no
// linkage name to demangle (one of internal linkage).
std::string Qualified(Dwarf_Die* die, std::string name) {
  Dwarf_Die memory;
  Dwarf_Die* scopes = nullptr;
  const int count = dwarf_getscopes_die(Declaration(die, &memory), &scopes);
  for (int i = 1; i < count; ++i) {
    const int tag = dwarf_tag(&scopes[i]);
    const char* scope = dwarf_diename(&scopes[i]);
    if (tag == DW_TAG_namespace) {
      name = (scope != nullptr ? scope : "(anonymous namespace)") + ("::" + name);
    } else if ((tag == DW_TAG_class_type || tag == DW_TAG_structure_type ||
                tag == DW_TAG_union_type) &&
               scope != nullptr) {
      name = scope + ("::" + name);
    }
  }
  std::free(scopes);
  return name;
}

std::string NameOf(Dwarf_Die* die) {
  Dwarf_Attribute attribute;
  for (const int name : {DW_AT_linkage_name, DW_AT_MIPS_linkage_name}) {
    if (dwarf_attr_integrate(die, name, &attribute) != nullptr) {
      if (const char* text = dwarf_formstring(&attribute)) return Demangle(text);
    }
  }
  if (dwarf_attr_integrate(die, DW_AT_name, &attribute) != nullptr) {
    if (const char* text = dwarf_formstring(&attribute)) return Qualified(die, text);
  }
  return {};
}

// Where a function inlined as `scope` was called from.
void CallSite(Dwarf_Die* unit, Dwarf_Die* scope, CrashFrame& caller) {
  Dwarf_Attribute attribute;
  Dwarf_Word value = 0;
  caller.line = dwarf_formudata(dwarf_attr(scope, DW_AT_call_line, &attribute), &value) == 0
                    ? static_cast<std::uint32_t>(value)
                    : 0;
  caller.file.clear();
  Dwarf_Files* files = nullptr;
  std::size_t count = 0;
  if (dwarf_formudata(dwarf_attr(scope, DW_AT_call_file, &attribute), &value) == 0 &&
      dwarf_getsrcfiles(unit, &files, &count) == 0 && value < count) {
    if (const char* file = dwarf_filesrc(files, value, nullptr, nullptr)) caller.file = file;
  }
}

// The functions inlined at `at`, innermost first, each a frame of its own, then the
// function they are inlined into, `outer`.
void AddInlined(Dwfl_Module* module, Dwarf_Addr at, CrashFrame outer,
                std::vector<CrashFrame>& frames) {
  Dwarf_Addr bias = 0;
  Dwarf_Die* unit = dwfl_module_addrdie(module, at, &bias);
  Dwarf_Die* scopes = nullptr;
  const int count = unit != nullptr ? dwarf_getscopes(unit, at - bias, &scopes) : 0;
  for (int i = 0; i < count && frames.size() < kMaxFrames; ++i) {
    const int tag = dwarf_tag(&scopes[i]);
    if (tag == DW_TAG_subprogram) {
      // No symbol covers it, but its debug information names it.
      Dwarf_Addr low = 0;
      if (outer.function.empty() && dwarf_lowpc(&scopes[i], &low) == 0) {
        outer.function = NameOf(&scopes[i]);
        outer.offset = outer.address - (low + bias);
      }
      break;
    }
    if (tag != DW_TAG_inlined_subroutine) continue;
    CrashFrame inlined = outer;
    inlined.function = NameOf(&scopes[i]);
    inlined.offset = 0;
    frames.push_back(inlined);
    CallSite(unit, &scopes[i], outer);
  }
  std::free(scopes);
  frames.push_back(outer);
}

// Whether a module is package code: it carries a package record, and it is not one
// of the framework's own packages, which the program brings along. Read once a file.
class Packages {
 public:
  bool Is(const std::string& file) {
    const auto known = known_.find(file);
    if (known != known_.end()) return known->second;
    bool package = false;
    try {
      const auto record = rtl::ReadPackageFile(file, rtl::TFileCheck::Loading);
      package = record &&
                std::none_of(std::begin(rtl::kFrameworkPackages), std::end(rtl::kFrameworkPackages),
                             [&](const char* own) { return record->name == own; });
    } catch (...) {
      // No file of ours, or a damaged one: not a package to blame.
    }
    known_.emplace(file, package);
    return package;
  }

 private:
  std::map<std::string, bool> known_;
};

void Describe(Dwfl* dwfl, const Pc& pc, Packages& packages, std::vector<CrashFrame>& frames) {
  // A return address is the instruction after the call: the call is just before it.
  const Dwarf_Addr at = pc.activation ? pc.address : pc.address - 1;
  CrashFrame frame;
  frame.address = pc.address;
  Dwfl_Module* module = dwfl_addrmodule(dwfl, at);
  if (module == nullptr) {
    frames.push_back(frame);
    return;
  }
  Dwarf_Addr start = 0;
  if (const char* name =
          dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    frame.module = name;
  }
  frame.package = packages.Is(frame.module);
  frame.offset = pc.address - start;
  GElf_Off offset = 0;
  GElf_Sym symbol;
  if (const char* name =
          dwfl_module_addrinfo(module, at, &offset, &symbol, nullptr, nullptr, nullptr)) {
    frame.function = Demangle(name);
    frame.offset = offset + (pc.address - at);
  }
  if (Dwfl_Line* line = dwfl_module_getsrc(module, at)) {
    int number = 0;
    if (const char* file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr)) {
      frame.file = file;
      frame.line = number > 0 ? static_cast<std::uint32_t>(number) : 0;
    }
  }
  AddInlined(module, at, std::move(frame), frames);
}

std::vector<CrashFrame> Frames(const CrashRecord& record) {
  std::string maps = UsableMaps(record.maps);
  const DwflPtr dwfl = ReportModules(maps);
  std::vector<CrashFrame> frames;
  if (!dwfl) return frames;
  Packages packages;
  for (const Pc& pc : Walk(dwfl.get(), record)) {
    if (frames.size() >= kMaxFrames) break;
    Describe(dwfl.get(), pc, packages, frames);
  }
  return frames;
}

}  // namespace

CrashReport Symbolize(const CrashRecord& record) {
  CrashReport report;
  try {
    report.signal = record.signal;
    report.address = record.address;
    report.mainThread = record.mainThread;
    report.action = record.action;
    report.package = record.package;
    std::vector<CrashFrame> frames;
    try {
      frames = Frames(record);
    } catch (...) {
      frames.clear();  // what the files say is lost; the pc still stands
    }
    if (frames.empty()) frames.push_back(CrashFrame{record.pc, 0, {}, {}, {}, 0, false});
    report.module = frames.front().module;
    auto first = std::find_if(frames.begin(), frames.end(),
                              [](const CrashFrame& frame) { return frame.package; });
    if (first == frames.end()) first = frames.begin();
    auto last = first + std::min<std::ptrdiff_t>(frames.end() - first, kContextFrames + 1);
    // Past the package's own code, its callers are the program's: the first of them
    // says who called in, the rest says nothing to the package's author.
    if (first->package) {
      const auto outside =
          std::find_if(first, last, [](const CrashFrame& f) { return !f.package; });
      if (outside != last) last = outside + 1;
    }
    report.frames.assign(first, last);
  } catch (...) {
    // Out of memory: the report as far as it got.
  }
  return report;
}

}  // namespace trial
