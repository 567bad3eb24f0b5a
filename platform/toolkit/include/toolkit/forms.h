#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "toolkit/controls.h"

namespace toolkit {

// What a form does when it is closed; its OnClose handler may change it.
// caNone: stays open. caHide: is hidden (the default). caFree: is hidden and freed
// once control is back in the event loop. caMinimize: is minimised.
// Closing the main form ends Application->Run whatever the action, except caNone.
enum TCloseAction { caNone, caHide, caFree, caMinimize };

// A top-level window.
//
// A form class is built from its description, a text resource registered under the
// class name in upper case ("TFORM1" for TForm1, see RegisterFormResource). The
// class passes itself to the constructor, and takes its controls into its own
// fields with Field<T>() in the member initialisers, which run once the base has
// built the controls:
//
//   class TForm1 : public toolkit::TForm {
//     RTL_CLASS(TForm1, toolkit::TForm)
//    public:
//     explicit TForm1(rtl::TComponent* owner) : TForm(owner, StaticClass()) {}
//     toolkit::TButton* Button1 = Field<toolkit::TButton>("Button1");
//     void Button1Click(rtl::TObject* sender);
//     void FormClose(rtl::TObject* sender, toolkit::TCloseAction& action);
//   };
//   RTL_DEFINE_CLASS(TForm1, RTL_PUBLISH(TForm1, Button1Click), RTL_PUBLISH(TForm1, FormClose))
//
// The description's root object must be of the form's class; each child object is
// created by its class name (one of the toolkit's own control classes or a class in
// the class registry), with the form as owner and the enclosing object as parent.
// Published properties are set by name; OnClick and OnClose name published methods
// of the form's class. Every mistake (an unknown class, property or handler, a value
// of the wrong kind, a child under a control that cannot hold one) raises
// rtl::Exception "<file>:<line>:<column>: ...". A control that no field asks for is
// simply not bound; a field whose control is missing or of another class raises.
class TOOLKIT_API TForm : public TWinControl {
  RTL_CLASS(TForm, TWinControl)
 public:
  // A blank form without a description.
  explicit TForm(rtl::TComponent* owner);
  ~TForm() override;

  // The window title.
  std::string Caption() const override;
  void SetCaption(const std::string& value) override;

  // Shows the window (without waiting) and brings it to the front.
  void Show();
  // Runs OnClose with caHide and then does what the action says. An exception from
  // the handler reaches the caller; closing the window with the mouse runs the same
  // steps inside the exception guard.
  void Close();

  void SetVisible(bool value) override;

  // Sets the bounds as SetBounds does, and again once the window system has drawn
  // the window's frame. Until then a window system takes the place for the client
  // area's and the size for a frame it does not know, so a window placed before it
  // is on screen would not end up where it was put.
  void PlaceFramed(int left, int top, int width, int height);

  // What the description was drawn at: 96 pixels per inch with 13-pixel text.
  // Positions are pixels here too, so both are kept and change nothing.
  int PixelsPerInch() const noexcept;
  void SetPixelsPerInch(int value);
  int TextHeight() const noexcept;
  void SetTextHeight(int value);

  // A published method taking (rtl::TObject* sender, TCloseAction& action).
  rtl::TMethod OnClose;

 protected:
  // Builds the form from the description registered for formClass.
  TForm(rtl::TComponent* owner, rtl::TClass formClass);

  // The form's component of that name as a T; raises when there is none or it is of
  // another class.
  template <class T>
  T* Field(std::string_view name) {
    static_assert(std::is_base_of_v<rtl::TComponent, T>, "a form field holds a component");
    return static_cast<T*>(FieldComponent(name, T::StaticClass()));
  }
  rtl::TComponent* FieldComponent(std::string_view name, rtl::TClass expected) const;

  void UpdateShowing() override;

 private:
  friend class FormBuilder;
  friend class FormWidget;
  void CloseFromWindow();

  // Everything else the form keeps: behind a pointer, so that what it keeps can
  // change without changing the class's layout, which packages derive from.
  struct Private;
  std::unique_ptr<Private> private_;
};

// The application object: it owns the forms and runs the event loop.
class TOOLKIT_API TApplication : public rtl::TComponent {
  RTL_CLASS(TApplication, rtl::TComponent)
 public:
  explicit TApplication(rtl::TComponent* owner);
  ~TApplication() override;

  // Creates Qt's application object unless one exists.
  void Initialize();

  // Creates a form owned by the application and stores it in reference. The first
  // form created becomes the main form. A form whose description sets Visible is
  // shown by its constructor. If the constructor raises, reference is left null.
  template <class T>
  void CreateForm(T*& reference) {
    static_assert(std::is_base_of_v<TForm, T>, "CreateForm makes forms");
    reference = nullptr;
    T* form = new T(this);
    reference = form;
    FormCreated(form);
  }
  // The same by class reference; raises when the class is not a form class that can
  // be created with an owner.
  void CreateForm(rtl::TClass formClass, TForm** reference);

  // Shows the main form and runs the event loop until the main form is closed or
  // Terminate is called. Returns at once when there is no main form. A Terminate
  // made while no loop runs ends the next Run at once; Run consumes it.
  void Run();
  void Terminate();
  bool Terminated() const noexcept { return terminated_; }
  // Handles the events waiting now, then returns.
  void ProcessMessages();

  TForm* MainForm() const;

  // The exception display: shows the message of an rtl::Exception, the what() of
  // any other std::exception.
  void ShowException(const std::exception& error);
  // Inside a catch block: shows whatever is being handled (an exception that is no
  // std::exception shows an empty message). Never raises.
  void HandleException() noexcept;

 protected:
  void Notification(rtl::TComponent* component, rtl::TOperation operation) override;

 private:
  void FormCreated(TForm* form);

  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
  bool running_ = false;
};

// The one application object, created when the toolkit is loaded and freed (with
// every form it still owns) when it is unloaded.
extern TOOLKIT_API TApplication* Application;

// Form descriptions embedded in a module (see add_form_resources in
// cmake/FormResources.cmake). name is the form class name in upper case; fileName
// is what messages about the text call it. Registering a name again replaces the
// text. Safe to call from a static initialiser: it never raises.
struct FormResource {
  std::string name;
  std::string fileName;
  std::string text;
};
TOOLKIT_API void RegisterFormResource(const char* name, const char* fileName,
                                      std::string_view text) noexcept;
TOOLKIT_API void UnregisterFormResource(std::string_view name) noexcept;
// Null when no description is registered under that name.
TOOLKIT_API const FormResource* FindFormResource(std::string_view name);

}  // namespace toolkit
