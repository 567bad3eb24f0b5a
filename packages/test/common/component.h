#pragma once

// A component class that does nothing but exist: what a registration test needs
// to put on a palette page.

#include "rtl/package_sdk.h"

#define TEST_COMPONENT_CLASS(Name)      \
  class Name : public rtl::TComponent { \
    RTL_CLASS(Name, rtl::TComponent)    \
   public:                              \
    using TComponent::TComponent;       \
  };                                    \
  RTL_DEFINE_CLASS(Name)
