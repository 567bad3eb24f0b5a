#pragma once

// When code kills the process it runs in: what the dying process writes down about
// it, and what a process that survives makes of that.
//
// A process that gets a fatal signal cannot be trusted to do anything but system
// calls: its heap, its locks and its libraries may be what broke. So the dying process
// only copies what it has at hand (the registers where it stopped, the stack above
// them, its own map of memory, what it was doing) into memory set aside beforehand,
// and writes that out as one frame. Unwinding the stack and finding functions and
// lines is done afterwards, by the reader, with elfutils.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trial/wire.h"

namespace trial {

// trial/protocol.h includes this header: an Outcome carries a CrashReport.
enum class Kind : std::uint8_t;
template <typename T>
T Decode(const wire::Frame& frame);

// What a fatal signal leaves behind, as the dying process gathered it.
struct CrashRecord {
  std::int32_t signal = 0;
  std::int32_t code = 0;      // si_code
  std::uint64_t address = 0;  // si_addr: for a fault, the address that was touched
  std::uint64_t thread = 0;   // the id of the thread that got it
  bool mainThread = false;    // that thread is the process's first
  std::string action;         // what the program was doing for package code (CrashAction)
  std::string package;        // the file of that package
  std::uint64_t pc = 0;       // the instruction it stopped at
  // The machine's registers in DWARF's numbering (x86-64: 0..16, the instruction
  // pointer last); empty where the machine is not known: then `pc` alone is a frame.
  std::vector<std::uint64_t> registers;
  std::uint64_t stackAddress = 0;  // where the copy of the stack starts
  std::string stack;               // the stack from the stack pointer upwards, a bounded copy
  // /proc/self/maps as it was, a bounded copy of whole lines; when it had to be cut,
  // its last line says so (kMapsCut).
  std::string maps;

  friend bool operator==(const CrashRecord&, const CrashRecord&) = default;
};

// One frame of a crash, with what the symbols say of it. A function inlined into
// another is a frame of its own, as a debugger shows it.
struct CrashFrame {
  std::uint64_t address = 0;
  // From the start of `function`'s symbol; with no function, from the start of the
  // module; with neither, nothing.
  std::uint64_t offset = 0;
  std::string module;  // the file of the object holding the address; empty: none
  // Demangled; empty: nothing names it. A function of internal linkage that was
  // inlined has no mangled name: its qualified name stands, without its parameters.
  std::string function;
  std::string file;  // the source file, where there is debug information
  std::uint32_t line = 0;
  bool package = false;  // the module is a package (it carries a package record)

  friend bool operator==(const CrashFrame&, const CrashFrame&) = default;
  // "Crash() at /src/faulty.cpp:35 (libfaultinit.so)", "Crash()+0x1c (libx.so)",
  // "libx.so+0x1234", "libx.so+0x1234 at /src/x.cpp:12", "0x7f12a0 (no module)": the
  // module by its file name alone.
  std::string Text() const;
};

// A crash made readable.
struct CrashReport {
  std::int32_t signal = 0;
  std::uint64_t address = 0;
  bool mainThread = false;
  std::string action;   // as recorded
  std::string package;  // as recorded
  std::string module;   // the file holding the faulting instruction; empty: none
  // The innermost frame in a package first, then up to kContextFrames of its
  // callers, the first caller outside packages the last of them; with no frame in
  // a package, the innermost frame and its callers.
  std::vector<CrashFrame> frames;

  friend bool operator==(const CrashReport&, const CrashReport&) = default;
  // The frames as lines: "in <first>", then "called from <next>" for each caller.
  std::vector<std::string> Lines() const;
  // The package file the fault lies in: the module of the first frame when that is a
  // package; else the recorded package; else empty.
  std::string FaultingPackage() const;
};

inline constexpr std::size_t kContextFrames = 4;

// "0x7f12a0": an address as the reports write it.
std::string AddressText(std::uint64_t address);
// The largest frame InstallCrashHandler's handler writes, for a reader's bound.
inline constexpr std::size_t kMaxCrashFrame = 272 * 1024;
// The line a cut copy of the map ends in.
inline constexpr std::string_view kMapsCut = "(the rest of /proc/self/maps was cut)\n";

// Unwinds the recorded stack from the recorded registers with the call-frame
// information of the mapped files, and names each frame. Reads the files named in
// the record's map; never raises: what cannot be read gives frames with less in them.
CrashReport Symbolize(const CrashRecord& record);

std::string Encode(Kind kind, std::uint64_t id, const CrashRecord&);
template <>
CrashRecord Decode<CrashRecord>(const wire::Frame&);
// A report as fields of a larger body (an Outcome carries one).
void Write(wire::Writer& writer, const CrashReport& report);
CrashReport ReadCrashReport(wire::Reader& reader);

// Installs this process's handler for the fatal signals (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGABRT, SIGTRAP, SIGSYS): on one, it writes a frame of kind `kind` with
// `id` holding the CrashRecord to `fd`, then lets the signal end the process as it
// would have. Everything it needs is set aside here: the handler allocates nothing,
// takes no lock and calls nothing but system calls. Call it again to change the
// descriptor or the id.
void InstallCrashHandler(int fd, Kind kind, std::uint64_t id);

// What the program does for package code while this lives, for the record of a
// fatal signal that comes meanwhile: "loading", with the package file. Nested ones
// restore the one before when they end. Only the main thread sets them. The record
// holds 256 bytes of the action and 4096 of the file: longer ones are cut.
class CrashAction {
 public:
  CrashAction(std::string_view action, std::string_view package);
  ~CrashAction();
  CrashAction(const CrashAction&) = delete;
  CrashAction& operator=(const CrashAction&) = delete;

 private:
  std::string previousAction_;
  std::string previousPackage_;
};

}  // namespace trial
