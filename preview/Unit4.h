#pragma once

#include <string>
#include <vector>

#include "PropertyGrid.h"
#include "toolkit/toolkit.h"
#include "trial/protocol.h"

// The preview of a registered class: a live instance, owned by the window and shown
// at its own size, and a grid of its published properties and methods. Making the
// instance, each write and each call run package code, so each is tried in the trial
// host first, with every write and call the instance has taken before it; one that
// fails there is shown and not done.
class TForm4 : public toolkit::TForm {
  RTL_CLASS(TForm4, toolkit::TForm)
 public:
  // Builds the window for the class and, once its trial has passed, the instance.
  // Raises when the trial fails or the constructor raises; nothing is left open.
  TForm4(rtl::TComponent* owner, rtl::TClass cls);
  ~TForm4() override;

  toolkit::TPanel* pnlStage = Field<toolkit::TPanel>("pnlStage");
  toolkit::TLabel* lblNote = Field<toolkit::TLabel>("lblNote");
  TPropertyGrid* Grid = Field<TPropertyGrid>("Grid");

  rtl::TClass PreviewedClass() const noexcept { return class_; }
  // Kept apart from the class's descriptor, which lives in the package's memory: a
  // package file written over in place changes that memory under the workbench.
  const std::string& PreviewedName() const noexcept { return className_; }
  // Null when the class cannot be made from an owner.
  rtl::TComponent* Instance() const noexcept { return instance_; }

  // What the grid does with an edit: tries it, then writes the text to the property.
  // Whatever refuses it (the trial, the value's type, the setter) is shown, and the
  // grid goes back to the instance's real values.
  void WriteProperty(const std::string& name, const std::string& text);
  // What a method's button does, likewise.
  void CallMethod(const std::string& name);

  // Published: the description binds it. Frees the window and the instance.
  void FormClose(rtl::TObject* sender, toolkit::TCloseAction& action);

 private:
  void Place(rtl::TComponent* instance);
  void Take(const trial::PreviewStep& step);
  std::vector<TPropertyGrid::Method> Methods() const;
  void FreeInstance() noexcept;

  rtl::TClass class_;
  std::string className_;
  std::string file_;  // of the module the class lives in
  rtl::TComponent* instance_ = nullptr;
  std::vector<trial::PreviewStep> steps_;  // every write and call the instance took
};

// Opens the preview of the registered class of that name, or brings its open one to
// the front. Raises when no class of that name is registered or the preview cannot
// be made.
TForm4* OpenPreview(const std::string& className);
// The previews open now, oldest first.
const std::vector<TForm4*>& Previews();
// Frees every preview and its instance at once: called before package code is
// unloaded, since an instance must never outlive the code that it runs.
void ClosePreviews() noexcept;

// A double-click on a line of the memo, or Enter on it, opens the preview of the
// class named there.
void OpenPreviewsFrom(toolkit::TMemo& memo);
