#pragma once

// The workbench while a trial runs: its windows keep painting and a busy cursor shows
// at once; after half a second a small window names the package and the stage the
// trial is in, with a Stop button that ends the trial as failed.

#include <chrono>
#include <memory>
#include <string>

#include "trial/client.h"

class QLabel;
class QWidget;

class TrialWaiter final : public trial::Waiter {
 public:
  explicit TrialWaiter(std::string file);
  ~TrialWaiter() override;
  TrialWaiter(const TrialWaiter&) = delete;
  TrialWaiter& operator=(const TrialWaiter&) = delete;

  Woken Wait(int fd, std::chrono::milliseconds timeout) override;
  void Entered(const trial::Stage& stage) override;

  // The delay before the progress window shows.
  static constexpr std::chrono::milliseconds kPatience{500};

 private:
  void ShowProgress();
  std::string Text() const;

  std::string file_;
  std::string stage_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::unique_ptr<QWidget> window_;
  QLabel* label_ = nullptr;
  bool stopAsked_ = false;
};
