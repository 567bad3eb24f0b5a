#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "rtl/package_sdk.h"
#include "toolkit/controls.h"

// A rectangle filled with one colour. Its caption is that colour as "#RRGGBB";
// setting the caption to such a text sets the colour, any other text raises.
// Offered to packages that build on stdreg (EXPORT_CLASSES in its add_package).
class RTL_PACKAGE_API TColorSwatch : public toolkit::TWinControl {
  RTL_CLASS(TColorSwatch, toolkit::TWinControl)
 public:
  explicit TColorSwatch(rtl::TComponent* owner);
  ~TColorSwatch() override;

  // 0xRRGGBB.
  std::uint32_t Color() const noexcept { return color_; }
  void SetColor(std::uint32_t rgb);

  std::string Caption() const override;
  void SetCaption(const std::string& value) override;

 protected:
  // The user pressed and released the mouse on the swatch.
  virtual void Pressed() {}

 private:
  std::uint32_t color_ = 0x3366CC;
};
