#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "rtl/sysutils.h"
#include "toolkit/dialogs.h"

namespace toolkit {

// A dialog service for tests and benchmarks: it records every box, by kind, in the
// order shown, and answers each open dialog with the next scripted answer. An open
// dialog with no answer left raises rtl::Exception: a test never hangs waiting for one.
class ScriptedDialogService : public DialogService {
 public:
  void ShowMessage(const std::string& text) override { messages_.push_back(text); }
  void ShowException(const std::string& message) override { exceptions_.push_back(message); }
  std::optional<std::string> OpenFile(const TOpenDialog& dialog) override {
    if (answers_.empty()) {
      throw rtl::Exception("The open dialog %s ran with no scripted answer",
                           {dialog.Name().empty() ? std::string("(unnamed)") : dialog.Name()});
    }
    std::optional<std::string> answer = std::move(answers_.front());
    answers_.pop_front();
    return answer;
  }

  std::optional<std::uint32_t> ChooseColor(std::uint32_t, const std::string& title) override {
    if (colours_.empty())
      throw rtl::Exception("The colour dialog \"%s\" ran with no scripted answer", {title});
    const std::optional<std::uint32_t> answer = colours_.front();
    colours_.pop_front();
    return answer;
  }

  // Scripts the next open dialog: pick this path, or cancel.
  void AnswerOpen(std::string path) { answers_.emplace_back(std::move(path)); }
  void CancelOpen() { answers_.emplace_back(std::nullopt); }
  // Scripts the next colour dialog: this colour (0xRRGGBB), or cancel.
  void AnswerColor(std::optional<std::uint32_t> rgb) { colours_.push_back(rgb); }

  // Texts of the boxes of each kind, in order, and all the boxes shown.
  const std::vector<std::string>& Messages() const noexcept { return messages_; }
  const std::vector<std::string>& Exceptions() const noexcept { return exceptions_; }
  std::vector<std::string> Boxes() const {
    std::vector<std::string> boxes = messages_;
    boxes.insert(boxes.end(), exceptions_.begin(), exceptions_.end());
    return boxes;
  }
  // Forgets the boxes and the answers not yet used.
  void Reset() { *this = ScriptedDialogService(); }

 private:
  std::vector<std::string> messages_, exceptions_;
  std::deque<std::optional<std::string>> answers_;
  std::deque<std::optional<std::uint32_t>> colours_;
};

}  // namespace toolkit
