#include "Unit3.h"

TForm3* Form3 = nullptr;

RTL_DEFINE_CLASS(TForm3)

TForm3::TForm3(rtl::TComponent* owner) : TForm(owner, StaticClass()) {}

TForm3::~TForm3() {
  // The global would otherwise outlive the window in a process that goes on.
  if (Form3 == this) Form3 = nullptr;
}
