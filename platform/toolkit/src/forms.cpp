#include "toolkit/forms.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMoveEvent>
#include <QRect>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <cctype>
#include <memory>
#include <optional>
#include <utility>

#include "form_builder.h"
#include "form_parser.h"
#include "form_private.h"
#include "rtl/sysutils.h"
#include "toolkit_internal.h"

namespace toolkit {

RTL_DEFINE_CLASS(TForm, RTL_PROPERTY(TForm, Caption, Caption, SetCaption),
                 RTL_PROPERTY(TForm, PixelsPerInch, PixelsPerInch, SetPixelsPerInch, 96),
                 RTL_PROPERTY(TForm, TextHeight, TextHeight, SetTextHeight, 13))

namespace {

// The offscreen platform (tests, CI) draws no frame and has none to report: its
// windows get the frame of a classic desktop, the one the descriptions were made on.
const QMargins kOffscreenFrame(4, 23, 4, 4);

bool Offscreen() {
  return QGuiApplication::platformName() == QLatin1String("offscreen");
}

// The frame the window system drew around the last window it reported one for. A
// window that is not on screen yet has none to report, and is expected to get this.
QMargins& LastReportedFrame() {
  static QMargins frame;
  return frame;
}

bool Framed(const QWidget& widget) {
  const QWindow* window = widget.windowHandle();
  return window != nullptr && !window->frameMargins().isNull();
}

}  // namespace

// The form's window: its client area. Closing it (the title bar's button, Alt+F4)
// runs the form's close steps instead of Qt's.
class FormWidget final : public QWidget {
 public:
  FormWidget() : frame(Offscreen() ? kOffscreenFrame : LastReportedFrame()) {}
  TForm* form = nullptr;
  // The frame the form's outer size was worked out with.
  QMargins frame;
  // Bounds to set again once the window system has drawn the frame.
  std::optional<QRect> placeWhenFramed;

 protected:
  bool event(QEvent* event) override {
    if (placeWhenFramed && Framed(*this)) PlaceAgain(*std::exchange(placeWhenFramed, std::nullopt));
    return QWidget::event(event);
  }

  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    if (form != nullptr) form->CloseFromWindow();
  }

  // The window system reports the frame it drew once the window is on screen, and
  // the window moves then. The outer size stays: the client area gives up to the
  // frame what the frame takes beyond the one expected.
  void moveEvent(QMoveEvent* event) override {
    QWidget::moveEvent(event);
    if (Offscreen() || windowHandle() == nullptr) return;
    const QMargins reported = windowHandle()->frameMargins();
    if (reported.isNull() || reported == frame) return;
    const QSize outer = size().grownBy(frame);
    frame = reported;
    LastReportedFrame() = reported;
    resize(outer.shrunkBy(reported));
  }

 private:
  // After the window has taken in the frame it was told of: the client area is what
  // the frame leaves of the outer size, whether or not the move has reported it.
  void PlaceAgain(QRect bounds) {
    QTimer::singleShot(0, this, [this, bounds] {
      if (form == nullptr) return;
      form->SetBounds(bounds.left(), bounds.top(), bounds.width(), bounds.height());
      if (const QWindow* window = windowHandle()) {
        resize(bounds.size().shrunkBy(window->frameMargins()));
      }
    });
  }
};

namespace detail {

QMargins WindowFrame(const QWidget& window) {
  const auto* form = dynamic_cast<const FormWidget*>(&window);
  return form != nullptr ? form->frame : QMargins();
}

}  // namespace detail

namespace {

FormWidget* NewFormWidget() {
  auto* widget = detail::NewWidget<FormWidget>();
  widget->setAttribute(Qt::WA_DeleteOnClose, false);
  return widget;
}

}  // namespace

TForm::TForm(rtl::TComponent* owner)
    : TWinControl(owner, NewFormWidget()), private_(std::make_unique<Private>()) {
  static_cast<FormWidget*>(Widget())->form = this;
  TWinControl::SetVisible(false);
}

TForm::TForm(rtl::TComponent* owner, rtl::TClass formClass) : TForm(owner) {
  if (formClass == nullptr) throw rtl::Exception("TForm: no form class given");
  std::string resourceName(rtl::ClassName(formClass).View());
  for (char& c : resourceName) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const FormResource* resource = FindFormResource(resourceName);
  if (resource == nullptr) {
    throw rtl::Exception("%s has no form description (no resource named %s)",
                         {rtl::ClassName(formClass), resourceName});
  }
  private_->resourceFile = resource->fileName;
  // Held for the whole build: a control's constructor may register descriptions too.
  const std::shared_ptr<const form::Object> tree = ParsedFormResource(*resource);
  FormBuilder(*this, formClass, resource->fileName).Build(*tree);
}

TForm::~TForm() {
  static_cast<FormWidget*>(Widget())->form = nullptr;
}

std::string TForm::Caption() const {
  return detail::FromQt(Widget()->windowTitle());
}

void TForm::SetCaption(const std::string& value) {
  Widget()->setWindowTitle(detail::ToQt(value));
}

int TForm::PixelsPerInch() const noexcept {
  return private_->pixelsPerInch;
}
void TForm::SetPixelsPerInch(int value) {
  private_->pixelsPerInch = value;
}
int TForm::TextHeight() const noexcept {
  return private_->textHeight;
}
void TForm::SetTextHeight(int value) {
  private_->textHeight = value;
}

void TForm::Show() {
  SetVisible(true);
  // Qt's offscreen platform (tests, CI) has no stacking order and says so loudly.
  if (!Offscreen()) Widget()->raise();
}

void TForm::SetVisible(bool value) {
  TWinControl::SetVisible(value);
}

void TForm::PlaceFramed(int left, int top, int width, int height) {
  SetBounds(left, top, width, height);
  auto* widget = static_cast<FormWidget*>(Widget());
  if (Offscreen() || Framed(*widget)) {
    widget->placeWhenFramed.reset();
  } else {
    widget->placeWhenFramed = QRect(left, top, width, height);
  }
}

void TForm::UpdateShowing() {
  // A form is a window of its own unless placed in another control.
  if (Parent() == nullptr) {
    Widget()->setVisible(Visible());
  } else {
    TWinControl::UpdateShowing();
  }
}

void TForm::Close() {
  TCloseAction action = caHide;
  if (OnClose.Code != nullptr) {
    rtl::InvokeMethod<rtl::TObject*, TCloseAction&>(OnClose, this, action);
  }
  if (action == caNone) return;
  if (Application != nullptr && Application->MainForm() == this) {
    Hide();
    Application->Terminate();
    return;
  }
  switch (action) {
    case caMinimize:
      Widget()->showMinimized();
      break;
    case caFree:
      Hide();
      // Freed from the event loop, not from inside the handler that closed it. If
      // someone frees it first, its widget goes with it and so does this call.
      QTimer::singleShot(0, Widget(), [this] { delete this; });
      break;
    default:
      Hide();
      break;
  }
}

void TForm::CloseFromWindow() {
  detail::Guarded([this] { Close(); });
}

rtl::TComponent* TForm::FieldComponent(std::string_view name, rtl::TClass expected) const {
  rtl::TComponent* component = FindComponent(name);
  const std::string& resourceFile = private_->resourceFile;
  const std::string file = resourceFile.empty() ? std::string("(no description)") : resourceFile;
  if (component == nullptr) {
    throw rtl::Exception("%s: %s has a field %s, but its description has no control of that name",
                         {file, ClassName(), name});
  }
  if (!component->InheritsFrom(expected)) {
    const std::string message =
        rtl::Format("%s is a %s, but %s declares its field %s as %s",
                    {name, component->ClassName(), ClassName(), name, rtl::ClassName(expected)});
    const auto place = private_->places.find(name);
    if (place == private_->places.end()) throw rtl::Exception(file + ": " + message);
    throw form::PlacedError(place->second.fileName, place->second.position, message);
  }
  return component;
}

}  // namespace toolkit
