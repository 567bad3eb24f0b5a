#pragma once

#include "rtl/classes.h"

#define PKGBASE_API __attribute__((visibility("default")))

class PKGBASE_API TBaseThing : public rtl::TComponent {
  RTL_CLASS(TBaseThing, rtl::TComponent)
 public:
  using TComponent::TComponent;
  virtual int Weight() const;
};

extern "C" PKGBASE_API int pkgbase_answer();
