#pragma once

#include "toolkit/stdctrls.h"

// A label that greets: its caption starts as "Hello, world!".
class THelloLabel : public toolkit::TLabel {
  RTL_CLASS(THelloLabel, toolkit::TLabel)
 public:
  explicit THelloLabel(rtl::TComponent* owner);
  ~THelloLabel() override;

  // How many greeting labels are alive: the unit's finalisation checks that the
  // package leaves none behind.
  static int Alive();
};
