#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "rtl/classes.h"
#include "toolkit/export.h"

namespace toolkit {

class TOpenDialog;

// Everything the toolkit asks the user in a modal box goes through one service:
// Qt's message boxes and file dialog by default. A test puts a scripted service in
// its place, since a real modal box cannot be answered from inside a test.
class TOOLKIT_API DialogService {
 public:
  virtual ~DialogService();
  // A box with the text and one button; returns when it is dismissed.
  virtual void ShowMessage(const std::string& text) = 0;
  // The exception display: a box with the exception's message.
  virtual void ShowException(const std::string& message) = 0;
  // The chosen file's path, or nothing when the user cancelled.
  virtual std::optional<std::string> OpenFile(const TOpenDialog& dialog) = 0;
  // The colour chosen (0xRRGGBB), starting from `initial`, or nothing when the user
  // cancelled. Qt's colour dialog unless a service puts something else in its place.
  virtual std::optional<std::uint32_t> ChooseColor(std::uint32_t initial, const std::string& title);
};

// The service in use (the Qt one unless another was set).
TOOLKIT_API DialogService& GetDialogService();
// Puts a service in place (null: the Qt one again) and returns the one that was in
// use before. The caller keeps ownership and keeps the service alive while set.
TOOLKIT_API DialogService* SetDialogService(DialogService* service);

// Shows a message box with the text and waits until it is dismissed.
TOOLKIT_API void ShowMessage(const std::string& text);

// The open-file dialog. A non-visual component: it has an owner but no widget of its
// own until it runs.
class TOOLKIT_API TOpenDialog : public rtl::TComponent {
  RTL_CLASS(TOpenDialog, rtl::TComponent)
 public:
  explicit TOpenDialog(rtl::TComponent* owner);

  // Asks the user for a file: true and FileName set when one was chosen, false (and
  // FileName unchanged) when the user cancelled.
  bool Execute();

  const std::string& FileName() const noexcept { return fileName_; }
  void SetFileName(std::string value) { fileName_ = std::move(value); }
  // Empty: no title of our own, no filter, the current directory.
  const std::string& Title() const noexcept { return title_; }
  void SetTitle(std::string value) { title_ = std::move(value); }
  // Qt's filter syntax, e.g. "Packages (*.so);;All files (*)".
  const std::string& Filter() const noexcept { return filter_; }
  void SetFilter(std::string value) { filter_ = std::move(value); }
  const std::string& InitialDir() const noexcept { return initialDir_; }
  void SetInitialDir(std::string value) { initialDir_ = std::move(value); }
  // Where a designer shows the component's icon: nothing on screen here.
  int Left() const noexcept { return left_; }
  void SetLeft(int value) { left_ = value; }
  int Top() const noexcept { return top_; }
  void SetTop(int value) { top_ = value; }

 private:
  std::string fileName_;
  std::string title_;
  std::string filter_;
  std::string initialDir_;
  int left_ = 0;
  int top_ = 0;
};

}  // namespace toolkit
