#pragma once

#include <string>

#include "rtl/package_sdk.h"
#include "toolkit/stdctrls.h"

// A label that greets: its caption starts as "Hello, world!". Other packages may
// derive from it (examples/welcome_package does): RTL_PACKAGE_API here and
// EXPORT_CLASSES in CMakeLists.txt export it.
class RTL_PACKAGE_API THelloLabel : public toolkit::TLabel {
  RTL_CLASS(THelloLabel, toolkit::TLabel)
 public:
  explicit THelloLabel(rtl::TComponent* owner);
  ~THelloLabel() override;

  // What it says: its caption. Published, so that a form description or the
  // workbench can set it by name.
  std::string Greeting() const { return Caption(); }
  void SetGreeting(const std::string& greeting) { SetCaption(greeting); }

  // How many greeting labels are alive: the unit's finalisation checks that the
  // package leaves none behind.
  static int Alive();
};
