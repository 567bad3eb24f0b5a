#pragma once

// The workbench's and pkginfo's side of trials: the trial host, a helper process of
// the project, started once and kept. It runs package code on trial in children of
// its own, forked from a shadow of the caller's package state (trial/protocol.h), so
// code that would kill the caller kills only a trial child, and the caller is told
// what happened instead of running the code.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trial/protocol.h"
#include "trial/wire.h"

namespace trial {

// How a caller spends the time a trial takes: the workbench keeps its windows alive
// and offers a Stop button; pkginfo just waits.
class Waiter {
 public:
  virtual ~Waiter() = default;
  enum class Woken { Readable, TimedOut, StopAsked };
  // Returns once fd has something to read, the time is up, or the user asks to stop.
  virtual Woken Wait(int fd, std::chrono::milliseconds timeout) = 0;
  // The trial entered this stage.
  virtual void Entered(const Stage&) {}
};

// The trial host program: beside the running program (a build tree), else where the
// installed layout puts it relative to the program's folder. Empty when there is
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

  // Starts the host unless it runs, without waiting for it to be ready. Never raises:
  // a host that cannot be started is reported by the next Try.
  void Start() noexcept;
  // Tries the actions against the shadow of what this host's passed trials have
  // taken. What package code did is in the outcome, never raised. Throws
  // std::runtime_error when no host can be started, it stops answering, or a trial
  // is already running (a caller's event loop that came back in). A host that has
  // gone is started once more, and given what the last one had taken.
  Outcome Try(const TryRequest& request, Waiter* waiter = nullptr);
  // The program starts anew in this process: the shadow forgets every action.
  void Reset();
  // What keeps trial children from the caller, or why nothing does.
  const std::string& Isolation() const noexcept { return isolation_; }

 private:
  Outcome TryOnce(const TryRequest& request, Waiter* waiter);
  // Reads until a frame is there or the time is up; nothing when the waiter was asked
  // to stop first.
  std::optional<wire::Frame> Receive(std::chrono::milliseconds wait, const char* waitingFor,
                                     Waiter* waiter);
  void EnsureReady();
  void Stop() noexcept;

  pid_t pid_ = -1;
  int fd_ = -1;
  bool ready_ = false;
  bool busy_ = false;
  std::uint64_t lastId_ = 0;
  std::string startError_;
  std::string isolation_;
  wire::FrameReader reader_{64u << 20, 64u << 20};
  std::vector<Action> taken_;  // what passed trials let the caller take, in order
};

}  // namespace trial
