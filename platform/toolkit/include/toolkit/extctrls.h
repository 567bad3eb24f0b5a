#pragma once

#include "toolkit/controls.h"

namespace toolkit {

// A raised frame that groups controls. Its children are laid out inside the
// one-pixel bevel.
class TOOLKIT_API TPanel : public TWinControl {
  RTL_CLASS(TPanel, TWinControl)
 public:
  explicit TPanel(rtl::TComponent* owner);
};

}  // namespace toolkit
