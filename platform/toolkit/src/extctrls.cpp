#include "toolkit/extctrls.h"

#include <QEvent>
#include <QFrame>
#include <QPainter>

#include "toolkit_internal.h"

namespace toolkit {

// Its client area is inside the bevel.
RTL_DEFINE_CLASS(TPanel, RTL_PROPERTY(TPanel, Caption, Caption, SetCaption),
                 RTL_PROPERTY(TPanel, ClientWidth, ClientWidth, SetClientWidth, 638),
                 RTL_PROPERTY(TPanel, ClientHeight, ClientHeight, SetClientHeight, 478))

namespace {

// A raised one-pixel frame with its caption drawn in the middle. The caption is
// kept as the widget's window title, which a child widget does not show otherwise.
class PanelWidget final : public QFrame {
 public:
  PanelWidget() {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QFrame::paintEvent(event);
    if (windowTitle().isEmpty()) return;
    QPainter painter(this);
    painter.drawText(contentsRect(), Qt::AlignCenter, windowTitle());
  }
  void changeEvent(QEvent* event) override {
    if (event->type() == QEvent::WindowTitleChange) update();
    QFrame::changeEvent(event);
  }
};

}  // namespace

TPanel::TPanel(rtl::TComponent* owner) : TWinControl(owner, detail::NewWidget<PanelWidget>()) {}

}  // namespace toolkit
