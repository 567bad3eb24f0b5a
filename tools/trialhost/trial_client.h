#pragma once

// Trial runs of package code in the trial host, a helper process of the project.
//
// A package's code can kill the process it runs in (a stray pointer, abort(),
// exit(), an endless loop), and none of that can be caught. So before the workbench
// or pkginfo runs such code, the trial host runs the same code in a child process of
// its own, which reports each stage it enters; a child that dies names the stage it
// died in. The host is started once and kept: it is single-threaded, so it may fork
// one child per trial, which the Qt process that asks for the trial may not.
//
// Plain POSIX: the client needs neither the framework nor Qt.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace trial {

struct Received;

enum class StageKind : std::uint8_t {
  Starting,  // before any package's code
  StaticConstructors,
  UnitInitialization,
  UnitFinalization,
  StaticDestructors,
  Procedure,
};

struct Stage {
  StageKind kind = StageKind::Starting;
  std::string package;  // empty for a procedure
  std::string name;     // the unit or the procedure; empty for the static stages
};

// "the initialisation of unit Main of package demo", "procedure @Main@Register$qqrv".
std::string Describe(const Stage& stage);
// "SIGSEGV"; the number for a signal without a name.
std::string SignalName(int signal);

struct Request {
  // Loaded in this order (as the workbench does: required packages, static
  // constructors, unit initialisations). Relative names are taken from the
  // caller's working directory, which the child also enters.
  std::vector<std::string> files;
  struct Call {
    std::size_t file = 0;  // index into files
    std::string name;      // the export to call as a registration procedure
  };
  // Called in this order under a hook that records each registration; the first
  // that raises or is not exported ends the list.
  std::vector<Call> procedures;
  // Unload the files again at the end, last first, with their finalisations.
  bool unload = false;
};

struct Registration {
  std::string page;
  std::vector<std::string> classes;
};

struct ProcedureRun {
  std::string name;
  std::vector<Registration> registrations;
  std::string error;     // the message of what it raised
  bool missing = false;  // not exported: not called
};

struct Outcome {
  enum class End { Finished, Signal, Exit, TimeLimit } end = End::Finished;
  int signal = 0;      // End::Signal
  int exitStatus = 0;  // End::Exit
  std::chrono::milliseconds limit{0};
  Stage stage;            // the last stage entered
  std::string loadError;  // loading raised this: nothing after it ran
  std::vector<ProcedureRun> procedures;
  std::string unloadError;  // the first failure of the unloading

  // Died by a signal, exited, or overran the limit before everything returned.
  bool Died() const noexcept { return end != End::Finished; }
  // "died of signal SIGSEGV (Segmentation fault)", "exited with status 3",
  // "overran its time limit of 10 s".
  std::string How() const;
  // "<file>: the trial run <How()> in <Describe(stage)>".
  std::string Failure(const std::string& file) const;
};

// Trials run unless the environment variable WB_TRIAL is 0, off, no or false.
bool Enabled();
// WB_TRIAL_TIMEOUT in seconds (a decimal number above 0), 10 s without it. Throws
// std::invalid_argument naming the variable and its value when it is no such number.
std::chrono::milliseconds TimeLimit();

// The trial host program: beside the running program (a build tree), else where
// the installed layout puts it relative to the program's folder. Empty when there is
// none; `looked` then lists the places tried.
std::string FindHost(std::string* looked = nullptr);

// One trial host process and the connection to it.
class Host {
 public:
  Host() = default;
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // The process's own host.
  static Host& Shared();

  // Starts the host unless it runs, without waiting for it to be ready. Never
  // raises: a host that cannot be started is reported by the next Run.
  void Start() noexcept;
  // Runs one trial and says how it ended. Starts the host when needed and waits for
  // it to be ready; a host that has gone away is started once more. Throws
  // std::runtime_error when no host can be started or it stops answering.
  Outcome Run(const Request& request, std::chrono::milliseconds limit);

 private:
  Outcome RunOnce(const Request& request, std::chrono::milliseconds limit);
  // Reads until one whole message is there, or the time is up.
  Received Receive(std::chrono::milliseconds wait, const char* waitingFor);
  void Stop() noexcept;

  pid_t pid_ = -1;
  int fd_ = -1;
  bool ready_ = false;
  std::string startError_;
  std::string buffer_;
};

}  // namespace trial
