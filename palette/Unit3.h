#pragma once

#include "toolkit/toolkit.h"

// The component palette: a passive window holding one page control. Its pages and
// their memos are made by the registration hook.
class TForm3 : public toolkit::TForm {
  RTL_CLASS(TForm3, toolkit::TForm)
 public:
  explicit TForm3(rtl::TComponent* owner);
  ~TForm3() override;

  toolkit::TPageControl* pcPallete = Field<toolkit::TPageControl>("pcPallete");
};

extern TForm3* Form3;
