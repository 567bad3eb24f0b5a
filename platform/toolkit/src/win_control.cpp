// TWinControl: a control that holds others, their tab order and their alignment.

#include <QEvent>
#include <QRect>
#include <QWidget>
#include <algorithm>

#include "rtl/sysutils.h"
#include "toolkit/controls.h"
#include "toolkit_internal.h"

namespace toolkit {

RTL_DEFINE_CLASS(TWinControl,
                 RTL_PROPERTY(TWinControl, ClientWidth, ClientWidth, SetClientWidth, 640),
                 RTL_PROPERTY(TWinControl, ClientHeight, ClientHeight, SetClientHeight, 480))

namespace {

// Lays a control's children out again whenever its widget changes size, whoever
// resized it (the user, the window system or a layout of Qt's own).
class ResizeWatcher final : public QObject {
 public:
  explicit ResizeWatcher(TWinControl& control) : control_(control) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize) control_.Realign();
    return QObject::eventFilter(watched, event);
  }

 private:
  TWinControl& control_;
};

}  // namespace

TWinControl::TWinControl(rtl::TComponent* owner)
    : TWinControl(owner, detail::NewWidget<QWidget>()) {}

TWinControl::TWinControl(rtl::TComponent* owner, QWidget* widget) : TControl(owner, widget) {
  resizeWatcher_ = new ResizeWatcher(*this);
  widget->installEventFilter(resizeWatcher_);
}

TWinControl::~TWinControl() {
  // Children go first, while this control's widget still holds theirs: each one
  // takes its own widget out, so Qt never deletes a widget a control still owns.
  while (!controls_.empty()) delete controls_.back();
  if (Widget() != nullptr) Widget()->removeEventFilter(resizeWatcher_);
  delete resizeWatcher_;
  resizeWatcher_ = nullptr;
}

TControl* TWinControl::Controls(int index) const {
  if (index < 0 || index >= ControlCount()) {
    throw rtl::Exception("Control index out of bounds (%d)", {index});
  }
  return controls_[static_cast<std::size_t>(index)];
}

QWidget* TWinControl::ClientWidget() const {
  return Widget();
}

int TWinControl::ClientWidth() const {
  return ClientWidget()->contentsRect().width();
}
int TWinControl::ClientHeight() const {
  return ClientWidget()->contentsRect().height();
}
void TWinControl::SetClientWidth(int value) {
  SetWidth(value + Width() - ClientWidth());
}
void TWinControl::SetClientHeight(int value) {
  SetHeight(value + Height() - ClientHeight());
}

void TWinControl::InsertControl(TControl* control) {
  controls_.push_back(control);
  control->parent_ = this;
  control->Widget()->setParent(ClientWidget());
  const int wanted = control->tabOrder_;
  const auto at =
      wanted < 0
          ? tabList_.size()
          : static_cast<std::size_t>(std::clamp(wanted, 0, static_cast<int>(tabList_.size())));
  tabList_.insert(tabList_.begin() + static_cast<std::ptrdiff_t>(at), control);
  ControlInserted(control);
  if (at + 1 == tabList_.size()) {
    // Qt puts a widget that joins a window at the end of its focus chain already.
    control->tabOrder_ = static_cast<int>(at);
  } else {
    UpdateTabOrder();
  }
}

void TWinControl::RemoveControl(TControl* control) {
  ControlRemoving(control);
  std::erase(controls_, control);
  std::erase(tabList_, control);
  control->parent_ = nullptr;
}

void TWinControl::ControlInserted(TControl* /*control*/) {}
void TWinControl::ControlRemoving(TControl* /*control*/) {}

void TWinControl::UpdateShowing() {
  TControl::UpdateShowing();
}

void TWinControl::UpdateTabOrder() {
  for (std::size_t i = 0; i < tabList_.size(); ++i) tabList_[i]->tabOrder_ = static_cast<int>(i);
  if (tabList_.size() < 2) return;
  // Each control is put straight after the first one, last first. Qt cannot put a
  // widget after the one that ends its window's focus chain, so the first one is
  // moved off that end before anything is put after it.
  QWidget* first = tabList_.front()->Widget();
  if (first->nextInFocusChain() == first->window()) {
    QWidget::setTabOrder(tabList_[1]->Widget(), first);
  }
  for (std::size_t i = tabList_.size() - 1; i >= 1; --i) {
    QWidget::setTabOrder(first, tabList_[i]->Widget());
  }
}

void TWinControl::Realign() {
  if (aligning_) return;
  aligning_ = true;
  QRect free = ClientWidget()->contentsRect();
  auto place = [](TControl* control, const QRect& rect) {
    QWidget* widget = control->Widget();
    const QRect bounds(rect.x(), rect.y(), std::max(rect.width(), 0), std::max(rect.height(), 0));
    if (widget->geometry() != bounds) widget->setGeometry(bounds);
    if (auto* container = dynamic_cast<TWinControl*>(control)) container->Realign();
  };
  // Edges first, in child order within each edge, and the rest last, so a client
  // control gets what the strips leave whatever order they were created in.
  for (TAlign edge : {alTop, alBottom, alLeft, alRight, alClient}) {
    for (TControl* control : controls_) {
      if (control->align_ != edge || !control->visible_) continue;
      const int h = control->Height();
      const int w = control->Width();
      switch (edge) {
        case alTop:
          place(control, QRect(free.x(), free.y(), free.width(), h));
          free.setTop(free.top() + h);
          break;
        case alBottom:
          place(control, QRect(free.x(), free.bottom() + 1 - h, free.width(), h));
          free.setBottom(free.bottom() - h);
          break;
        case alLeft:
          place(control, QRect(free.x(), free.y(), w, free.height()));
          free.setLeft(free.left() + w);
          break;
        case alRight:
          place(control, QRect(free.right() + 1 - w, free.y(), w, free.height()));
          free.setRight(free.right() - w);
          break;
        case alClient:
          place(control, free);
          break;
        case alNone:
          break;
      }
    }
  }
  aligning_ = false;
}

}  // namespace toolkit
