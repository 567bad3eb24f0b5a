#include "toolkit/comctrls.h"

#include <QTabWidget>
#include <algorithm>

#include "rtl/sysutils.h"
#include "toolkit_internal.h"

namespace toolkit {

RTL_DEFINE_CLASS(TPageControl, RTL_PROPERTY(TPageControl, TabStop, TabStop, SetTabStop, true))
RTL_DEFINE_CLASS(TTabSheet, RTL_PROPERTY(TTabSheet, Caption, Caption, SetCaption))

namespace {

QTabWidget* TabsOf(const TPageControl& pageControl) {
  return static_cast<QTabWidget*>(pageControl.Widget());
}

}  // namespace

TPageControl::TPageControl(rtl::TComponent* owner)
    : TWinControl(owner, detail::NewWidget<QTabWidget>()) {}

TPageControl::~TPageControl() {
  // The pages leave through ControlRemoving, which only this class has: free them
  // here, before the base class frees what is left.
  while (!pages_.empty()) delete pages_.back();
}

TTabSheet* TPageControl::GetPage(int index) const {
  if (index < 0 || index >= PageCount()) {
    throw rtl::Exception("Page index out of bounds (%d): %s has %d pages",
                         {index, Name(), PageCount()});
  }
  return pages_[static_cast<std::size_t>(index)];
}

TTabSheet* TPageControl::ActivePage() const {
  const int index = TabsOf(*this)->currentIndex();
  return index < 0 ? nullptr : GetPage(index);
}

void TPageControl::SetActivePage(TTabSheet* page) {
  if (page == nullptr) return;
  if (page->pageControl_ != this) {
    throw rtl::Exception("%s is not a page of %s", {page->Name(), Name()});
  }
  TabsOf(*this)->setCurrentWidget(page->Widget());
}

void TPageControl::ControlInserted(TControl* control) {
  auto* sheet = dynamic_cast<TTabSheet*>(control);
  if (sheet == nullptr) return;
  pages_.push_back(sheet);
  sheet->pageControl_ = this;
  TabsOf(*this)->addTab(sheet->Widget(), detail::ToQt(sheet->caption_));
}

void TPageControl::ControlRemoving(TControl* control) {
  // Compared as controls: a sheet on its way out may no longer be a TTabSheet.
  auto page = std::find_if(pages_.begin(), pages_.end(), [control](TTabSheet* p) {
    return static_cast<TControl*>(p) == control;
  });
  if (page == pages_.end()) return;
  TTabSheet* sheet = *page;
  QTabWidget* tabs = TabsOf(*this);
  const int index = tabs->indexOf(sheet->Widget());
  if (index >= 0) tabs->removeTab(index);
  std::erase(pages_, sheet);
  sheet->pageControl_ = nullptr;
}

TTabSheet::TTabSheet(rtl::TComponent* owner) : TWinControl(owner) {}

TTabSheet::~TTabSheet() {
  // Leave the page control while still a whole sheet.
  if (pageControl_ != nullptr) TWinControl::SetParent(nullptr);
}

void TTabSheet::SetPageControl(TPageControl* pageControl) {
  SetParent(pageControl);
}

void TTabSheet::SetParent(TWinControl* parent) {
  if (parent != nullptr && dynamic_cast<TPageControl*>(parent) == nullptr) {
    throw rtl::Exception("A TTabSheet can only be placed on a TPageControl, not on a %s",
                         {parent->ClassName()});
  }
  TWinControl::SetParent(parent);
}

std::string TTabSheet::Caption() const {
  return caption_;
}

void TTabSheet::SetCaption(const std::string& value) {
  caption_ = value;
  if (pageControl_ == nullptr) return;
  QTabWidget* tabs = TabsOf(*pageControl_);
  tabs->setTabText(tabs->indexOf(Widget()), detail::ToQt(value));
}

int TTabSheet::TabIndex() const {
  if (pageControl_ == nullptr) return -1;
  const auto& pages = pageControl_->pages_;
  return static_cast<int>(std::find(pages.begin(), pages.end(), this) - pages.begin());
}

void TTabSheet::UpdateShowing() {
  // On a page control the tab widget decides which page is on screen.
  if (pageControl_ != nullptr) return;
  TWinControl::UpdateShowing();
}

}  // namespace toolkit
