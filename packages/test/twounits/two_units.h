#pragma once

#include "rtl/classes.h"

class TTwoWidget : public rtl::TComponent {
  RTL_CLASS(TTwoWidget, rtl::TComponent)
 public:
  using TComponent::TComponent;
};

class TTwoGadget : public rtl::TComponent {
  RTL_CLASS(TTwoGadget, rtl::TComponent)
 public:
  using TComponent::TComponent;
};
