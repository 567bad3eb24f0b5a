#pragma once

#include "toolkit/controls.h"

namespace toolkit {

class TTabSheet;

// A set of tabbed pages. Its pages are TTabSheet children, in the order they were
// attached; freeing the page control frees its pages.
class TOOLKIT_API TPageControl : public TWinControl {
  RTL_CLASS(TPageControl, TWinControl)
 public:
  explicit TPageControl(rtl::TComponent* owner);
  ~TPageControl() override;

  int PageCount() const noexcept { return static_cast<int>(pages_.size()); }
  TTabSheet* GetPage(int index) const;  // raises on an index out of range
  // The page whose tab is selected, null when there are no pages.
  TTabSheet* ActivePage() const;
  void SetActivePage(TTabSheet* page);  // raises for a page of another control

 protected:
  void ControlInserted(TControl* control) override;
  void ControlRemoving(TControl* control) override;

 private:
  friend class TTabSheet;
  std::vector<TTabSheet*> pages_;
};

// One page of a page control. It is created with an owner only; attaching it to a
// page control (SetPageControl, or SetParent with a page control) makes it that
// control's last page.
class TOOLKIT_API TTabSheet : public TWinControl {
  RTL_CLASS(TTabSheet, TWinControl)
 public:
  explicit TTabSheet(rtl::TComponent* owner);
  ~TTabSheet() override;

  TPageControl* PageControl() const noexcept { return pageControl_; }
  // Null detaches the sheet.
  void SetPageControl(TPageControl* pageControl);
  // A sheet's parent can only be a page control (or none).
  void SetParent(TWinControl* parent) override;

  // The tab's text.
  std::string Caption() const override;
  void SetCaption(const std::string& value) override;

  // Position among its page control's pages, -1 when not attached.
  int TabIndex() const;

 protected:
  void UpdateShowing() override;

 private:
  friend class TPageControl;
  TPageControl* pageControl_ = nullptr;
  std::string caption_;
};

}  // namespace toolkit
