#pragma once

// The workbench's package state as the shadow and the trial children keep it: the
// slot, the packages condemned (out of the slot, never finalised), and the actions
// that change them, carried out as the workbench carries them out. Every stage of
// package code is told to a Reporter, which a trial child turns into its reports.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rtl/classes.h"
#include "rtl/package.h"
#include "trial/protocol.h"

namespace trialhost {

namespace wire = trial::wire;

class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void Entered(const trial::Stage& stage) = 0;
  virtual void Registered(const trial::Registration& registration) = 0;
  virtual void Raised(const trial::ActionRaised& raised) = 0;
  virtual void Changed(const std::string& detail) = 0;
};

// Tells nobody anything.
class SilentReporter final : public Reporter {
 public:
  void Entered(const trial::Stage&) override {}
  void Registered(const trial::Registration&) override {}
  void Raised(const trial::ActionRaised&) override {}
  void Changed(const std::string&) override {}
};

class Session {
 public:
  // Tells the stages of package code to `reporter` from now on; one session a process.
  explicit Session(Reporter& reporter);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void SetReporter(Reporter& reporter) noexcept { reporter_ = &reporter; }
  // While set, every stage told is marked as part of rebuilding the workbench's state.
  void SetReplay(bool replay) noexcept { replay_ = replay; }

  enum class Result {
    Done,     // carried out
    Raised,   // raised, as it will in the workbench: a list of actions stops here
    Changed,  // the file is not the one the workbench looked at: nothing more may run
  };
  Result Take(const trial::Action& action);

  // Runs what package code has queued for the event loop (posted events, deferred
  // deletions, timers that are due), as the workbench's loop does when the action has
  // returned; with a settle period, runs the loop that long.
  void RunEvents(std::chrono::milliseconds settle = std::chrono::milliseconds(0));

  // Writes what the event loop writes, without running anything (see child.cpp).
  void WarmUp();

  // The last stage in which package code ran, the event loop aside.
  const trial::Stage& LastCodeStage() const noexcept { return lastCodeStage_; }
  // What package code ran last as a package was unloaded: the last unit finalised
  // when there was one, so that what is left behind is told with the unit.
  const trial::Stage& LastUnloadStage() const noexcept {
    return lastFinalisation_ ? *lastFinalisation_ : lastCodeStage_;
  }
  rtl::HMODULE Slot() const noexcept { return slot_; }

 private:
  friend void TellStage(rtl::TPackageStage, const std::string&, const std::string&);
  friend void RecordingHook(const std::string&, const rtl::TClass*, std::int32_t);
  void Enter(trial::Stage stage);
  void Tell(const trial::Registration& registration);
  void Tell(const trial::ActionRaised& raised);
  Result Load(const trial::Action& action);
  Result Unload();
  Result Run(const trial::Action& action);
  Result Preview(const trial::Action& action);  // preview.cpp

  Reporter* reporter_;
  bool replay_ = false;
  trial::Stage lastCodeStage_;
  std::optional<trial::Stage> lastFinalisation_;
  rtl::HMODULE slot_ = 0;
  std::string slotFile_;
  std::vector<rtl::HMODULE> condemned_;
};

// The message of the exception being handled.
std::string CurrentError();

// The loaded module whose file is this, 0 when none is.
rtl::HMODULE ModuleOfFile(const std::string& file);

}  // namespace trialhost
