#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "rtl/sysutils.h"
#include "toolkit/dialogs.h"

namespace toolkit {

// A dialog service for tests and benchmarks: it records every box in the order shown
// and answers each open dialog with the next scripted answer. An open dialog with no
// answer left raises rtl::Exception, so a test never hangs on a missing answer.
class ScriptedDialogService : public DialogService {
 public:
  enum class BoxKind { Message, Exception };
  struct Box {
    BoxKind kind;
    std::string text;
    friend bool operator==(const Box&, const Box&) = default;
  };

  void ShowMessage(const std::string& text) override { boxes_.push_back({BoxKind::Message, text}); }
  void ShowException(const std::string& message) override {
    boxes_.push_back({BoxKind::Exception, message});
  }
  std::optional<std::string> OpenFile(const TOpenDialog& dialog) override {
    if (answers_.empty()) {
      throw rtl::Exception("The open dialog %s ran with no scripted answer",
                           {dialog.Name().empty() ? std::string("(unnamed)") : dialog.Name()});
    }
    std::optional<std::string> answer = std::move(answers_.front());
    answers_.pop_front();
    return answer;
  }

  // Scripts the next open dialog: pick this path, or cancel.
  void AnswerOpen(std::string path) { answers_.emplace_back(std::move(path)); }
  void CancelOpen() { answers_.emplace_back(std::nullopt); }

  const std::vector<Box>& Boxes() const noexcept { return boxes_; }
  // Texts of the boxes of that kind, in order.
  std::vector<std::string> Messages() const { return Texts(BoxKind::Message); }
  std::vector<std::string> Exceptions() const { return Texts(BoxKind::Exception); }
  // Forgets the boxes and the answers not yet used.
  void Reset() { *this = ScriptedDialogService(); }

 private:
  std::vector<std::string> Texts(BoxKind kind) const {
    std::vector<std::string> texts;
    for (const Box& box : boxes_) {
      if (box.kind == kind) texts.push_back(box.text);
    }
    return texts;
  }

  std::vector<Box> boxes_;
  std::deque<std::optional<std::string>> answers_;
};

}  // namespace toolkit
