#pragma once

// What the workbench (or pkginfo), the trial host, the shadow and the trial children
// say to each other, as types: each message kind has one struct and one pair of
// Encode/Decode functions, so no field is ever read by its position elsewhere.
//
// The trial host keeps a shadow of the workbench's package state: a process that
// has loaded the same files and made the same calls, in the same order. Each action
// the workbench is about to take (a load, a procedure run, an unload, closing) is
// first tried in a fork of that shadow, a trial child; only when the child passes
// does the shadow take the action too, and then the workbench.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rtl/package_file.h"
#include "trial/crash.h"
#include "trial/signals.h"
#include "trial/wire.h"

namespace trial {

enum class Kind : std::uint8_t {
  // client -> host
  Try = 1,      // TryRequest: try these actions; id: the client's request id
  Stop = 2,     // stop the trial with this id: it fails as stopped
  Reset = 3,    // the workbench starts anew: forget every action taken
  Restore = 4,  // CommitRequest: a new host takes over what the last one had taken
  // host -> client
  Hello = 10,     // HostHello: ready
  Progress = 11,  // Stage: the trial with this id entered a stage
  Answer = 12,    // Outcome: how the trial with this id ended
  ResetDone = 13,
  // trial child -> host; id: the nonce the host gave the child
  Ready = 20,       // Number: its process id; it waits for its request (a replay of the
                    // log, if any, is done)
  Entered = 21,     // Stage
  Registered = 22,  // Registration
  Raised = 23,      // ActionRaised: the action in hand raised (or named a missing procedure)
  Left = 24,        // Leftovers
  OutOfMemory = 25,
  Changed = 26,  // Text: the file of the slot is no longer the one tried
  Done = 27,     // ChildDone: everything returned; the last report
  Begin = 28,    // Number: the index of the action it begins; the count of actions for
                 // what follows them (the settle period and the final unload)
  Crashed = 29,  // CrashRecord: it got a fatal signal, and dies of it now
  // host <-> shadow
  Commit = 30,     // CommitRequest
  Committed = 31,  // ShadowState
  Spawn = 32,      // a trial child, its pipes passed along; id: its nonce
  Spawned = 33,    // Number: its process id; the host is its parent
  // the workbench -> the process that would restart it; id 0
  Session = 40,  // Text: the workbench's session as it is now
  // and Crashed, as a trial child sends it
};

// A registration procedure of a loaded module, named by the module's file.
struct Call {
  std::string file;
  std::string name;

  friend bool operator==(const Call&, const Call&) = default;
};

// A step of a component's preview: a published property written, or a published
// method without parameters called.
struct PreviewStep {
  enum class Type : std::uint8_t { Write, Call };
  Type type = Type::Write;
  std::string name;   // the property or the method
  std::string value;  // Write: the value as rtl::ToText writes it

  friend bool operator==(const PreviewStep&, const PreviewStep&) = default;
};

// One step of the workbench's package state. A list of them stops at the first that
// raises, in the workbench as in its trial.
struct Action {
  enum class Type : std::uint8_t {
    Load,     // unloaded slot: load `file` into it
    Unload,   // unload the package in the slot, if any
    Run,      // call `calls` in order under the palette hook; the first that raises ends them
    Close,    // the program closes: the slot's package is unloaded
    Condemn,  // the slot's package leaves the slot and is never finalised (no code runs)
    // an instance of the registered class `className` is made with a blank form as its
    // owner (and parent, when it is a control), takes `steps` in order and is freed;
    // the first step that raises ends them. It changes no package state: a preview
    // is never committed, each is tried with every step before it again
    Preview,
  };
  Type type = Type::Load;
  std::string file;  // Load
  // Load: the file as the workbench saw it when it asked; a file that is no longer
  // this one is refused. Nothing when there was no regular file to look at.
  std::optional<rtl::TFileIdentity> identity;
  std::vector<Call> calls;         // Run
  std::string className;           // Preview
  std::vector<PreviewStep> steps;  // Preview

  friend bool operator==(const Action&, const Action&) = default;
};

struct TryRequest {
  std::vector<Action> actions;
  std::chrono::milliseconds timeLimit{10000};
  std::chrono::milliseconds settle{0};  // the event loop runs this long before the unload
  std::uint64_t memoryLimitMiB = 1024;
  bool commit = true;  // a pass is taken by the shadow (pkginfo's one-off trials are not)

  friend bool operator==(const TryRequest&, const TryRequest&) = default;
};

enum class StageKind : std::uint8_t {
  Starting,  // before any package's code
  StaticConstructors,
  UnitInitialization,
  UnitFinalization,
  StaticDestructors,
  Procedure,
  Events,  // the event loop: what package code queued
  // a component's preview: its constructor, a property's setter, a published method,
  // its destructor; `name` says which ("the setter of TGauge.Value")
  Component,
};

struct Stage {
  StageKind kind = StageKind::Starting;
  std::string package;  // the package whose code runs; empty for a procedure
  std::string name;     // the unit or procedure; for Events, the stage they follow
  bool replay = false;  // rebuilding the workbench's state, before the actions tried

  friend bool operator==(const Stage&, const Stage&) = default;
};

// "the initialisation of unit Main of package demo", "procedure @Main@Register$qqrv",
// "the event loop after procedure @Main@Register$qqrv".
std::string Describe(const Stage& stage);

// A property a registered class publishes, as a reader of the palette sees it.
struct PublishedProperty {
  std::string name;
  std::string type;         // as rtl::TypeName words it: "Integer", "set of TAnchorKind"
  std::string defaultText;  // its default as rtl::ToText writes it

  friend bool operator==(const PublishedProperty&, const PublishedProperty&) = default;
};

// What a registered class publishes: every property, inherited ones first (as
// rtl::GetPropList lists them), and the names of its published methods and its
// ancestors', each once, the most distant ancestor's first.
struct RegisteredClass {
  std::string name;
  std::vector<PublishedProperty> properties;
  std::vector<std::string> methods;

  friend bool operator==(const RegisteredClass&, const RegisteredClass&) = default;
};

struct Registration {
  std::string page;
  std::vector<std::string> classes;
  // What each of `classes` publishes, in the same order: one for each, of that name.
  std::vector<RegisteredClass> published;

  friend bool operator==(const Registration&, const Registration&) = default;
};

struct ActionRaised {
  std::string message;   // what it raised; for a missing procedure, its name
  bool missing = false;  // a procedure the module does not export: nothing was called

  friend bool operator==(const ActionRaised&, const ActionRaised&) = default;
};

struct Leftovers {
  std::vector<std::string> items;  // "1 thread running", "an alarm pending"
  Stage stage;                     // the last stage of package code before they were seen

  friend bool operator==(const Leftovers&, const Leftovers&) = default;
};

struct ChildDone {
  std::uint32_t actionsDone = 0;  // the actions carried out, one that raised included

  friend bool operator==(const ChildDone&, const ChildDone&) = default;
};

struct CommitRequest {
  std::vector<Action> actions;

  friend bool operator==(const CommitRequest&, const CommitRequest&) = default;
};

struct ShadowState {
  std::uint32_t threads = 1;  // a shadow with more cannot be forked faithfully

  friend bool operator==(const ShadowState&, const ShadowState&) = default;
};

struct HostHello {
  std::uint64_t pid = 0;

  friend bool operator==(const HostHello&, const HostHello&) = default;
};

struct ProcedureRun {
  std::string name;
  std::vector<Registration> registrations;
  std::string error;     // what it raised
  bool missing = false;  // not exported: not called

  friend bool operator==(const ProcedureRun&, const ProcedureRun&) = default;
};

// How a trial ended, as the host tells the client.
struct Outcome {
  enum class End : std::uint8_t {
    Passed,       // everything returned, left nothing behind, and the child exited 0
    Signal,       // died of `signal`
    Exit,         // ended itself early or with another status: `exitStatus`
    TimeLimit,    // overran `limit`
    MemoryLimit,  // ran out of `memoryLimitMiB`
    Leftovers,    // left `leftovers` behind at an unload
    Changed,      // the file was not the one the workbench looked at: `detail`
    Stopped,      // the user stopped it
    Violation,    // broke its channel to the host: `detail`
    HostError,    // the trial host could not run it: `detail`
  };
  End end = End::Passed;
  std::int32_t signal = 0;
  std::int32_t exitStatus = 0;
  std::chrono::milliseconds limit{0};
  std::uint64_t memoryLimitMiB = 0;
  Stage stage;                     // the last stage entered
  std::uint32_t actionsDone = 0;   // carried out, one that raised included
  std::uint32_t failedAction = 0;  // where it ended, when it did not pass; == actions at the end
  std::string raised;              // the last action carried out raised this
  std::vector<ProcedureRun> procedures;
  std::vector<std::string> leftovers;
  std::string detail;
  std::string output;      // what package code printed, at most kMaxOutput bytes of it
  bool outputCut = false;  // it printed more
  std::string isolation;   // as the host said in its hello
  CrashReport crash;       // Signal: where, when the child could say (no frames: it could not)

  friend bool operator==(const Outcome&, const Outcome&) = default;
  bool Passed() const noexcept { return end == End::Passed; }
  // "died of signal SIGSEGV (Segmentation fault)", "exited with status 3", "overran
  // its time limit of 10 s", "left 1 thread running", "was stopped".
  std::string How() const;
  // "<file>: the trial run <How()> in <Describe(stage)>" ("after" for what was left
  // behind), and ", while rebuilding the package state" for a replay.
  std::string Failure(const std::string& file) const;
  // Where a child that died of a signal faulted, a line for each frame, each line
  // after a newline; empty when it could not say.
  std::string FaultPlace() const;
};

inline constexpr std::size_t kMaxOutput = 64 * 1024;
// The status a trial child ends with when package code took its channel to the host
// away (closed it, or opened something else in its place).
inline constexpr int kChannelLost = 125;

// Whether the workbench may take the tried action at that index: every action a
// trial that passed carried out, and those before the one a failed trial ended in.
bool Allows(const Outcome& outcome, std::size_t action);
// What the workbench's package state takes from a trial of `tried`: the actions it
// allows; and when the trial died in an unload or in closing, that package
// condemned instead: out of the slot, mapped, never finalised.
std::vector<Action> Taken(const std::vector<Action>& tried, const Outcome& outcome);
// Where in `tried` a trial that ended after its last action (in the settle period or
// the final unload) failed: the last action that loaded or ran package code, whose
// state could not be left.
std::uint32_t FailedActionAfterAll(const std::vector<Action>& tried);

// "2.5" for 2500 ms.
std::string SecondsText(std::chrono::milliseconds ms);

// Encode/Decode for every body. Decode throws wire::DecodeError on a body that does
// not hold exactly what its kind promises.
std::string Encode(Kind kind, std::uint64_t id, const TryRequest&);
std::string Encode(Kind kind, std::uint64_t id, const Stage&);
std::string Encode(Kind kind, std::uint64_t id, const Registration&);
std::string Encode(Kind kind, std::uint64_t id, const ActionRaised&);
std::string Encode(Kind kind, std::uint64_t id, const Leftovers&);
std::string Encode(Kind kind, std::uint64_t id, const ChildDone&);
std::string Encode(Kind kind, std::uint64_t id, const CommitRequest&);
std::string Encode(Kind kind, std::uint64_t id, const ShadowState&);
std::string Encode(Kind kind, std::uint64_t id, const HostHello&);
std::string Encode(Kind kind, std::uint64_t id, const Outcome&);
std::string EncodeText(Kind kind, std::uint64_t id, const std::string& text);
std::string EncodeNumber(Kind kind, std::uint64_t id, std::uint64_t number);
std::string EncodeEmpty(Kind kind, std::uint64_t id);

template <typename T>
T Decode(const wire::Frame& frame);
template <>
TryRequest Decode<TryRequest>(const wire::Frame&);
template <>
Stage Decode<Stage>(const wire::Frame&);
template <>
Registration Decode<Registration>(const wire::Frame&);
template <>
ActionRaised Decode<ActionRaised>(const wire::Frame&);
template <>
Leftovers Decode<Leftovers>(const wire::Frame&);
template <>
ChildDone Decode<ChildDone>(const wire::Frame&);
template <>
CommitRequest Decode<CommitRequest>(const wire::Frame&);
template <>
ShadowState Decode<ShadowState>(const wire::Frame&);
template <>
HostHello Decode<HostHello>(const wire::Frame&);
template <>
Outcome Decode<Outcome>(const wire::Frame&);
std::string DecodeText(const wire::Frame&);
std::uint64_t DecodeNumber(const wire::Frame&);
void DecodeEmpty(const wire::Frame&);

}  // namespace trial
