#include "toolkit/controls.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPointer>
#include <QWidget>
#include <algorithm>
#include <functional>

#include "rtl/sysutils.h"
#include "toolkit_internal.h"

namespace toolkit {

// A new control is a hidden window of Qt's default size until it is placed.
RTL_DEFINE_CLASS(TControl, RTL_PROPERTY(TControl, Left, Left, SetLeft, 0),
                 RTL_PROPERTY(TControl, Top, Top, SetTop, 0),
                 RTL_PROPERTY(TControl, Width, Width, SetWidth, 640),
                 RTL_PROPERTY(TControl, Height, Height, SetHeight, 480),
                 RTL_PROPERTY(TControl, Align, Align, SetAlign, alNone),
                 RTL_PROPERTY(TControl, Enabled, Enabled, SetEnabled, true),
                 RTL_PROPERTY(TControl, Visible, Visible, SetVisible, true),
                 RTL_PROPERTY(TControl, TabOrder, TabOrder, SetTabOrder, -1),
                 RTL_PROPERTY(TControl, TabStop, TabStop, SetTabStop, false),
                 RTL_PROPERTY(TControl, Hint, Hint, SetHint),
                 RTL_PROPERTY(TControl, Color, Color, SetColor, TControl::kFaceColour),
                 RTL_PROPERTY(TControl, ParentColor, ParentColor, SetParentColor, true),
                 RTL_PROPERTY(TControl, ParentFont, ParentFont, SetParentFont, true),
                 RTL_PROPERTY_NAMED(TControl, "Font.Name", FontName, SetFontName),
                 RTL_PROPERTY_NAMED(TControl, "Font.Height", FontHeight, SetFontHeight, 0),
                 RTL_PROPERTY_NAMED(TControl, "Font.Color", FontColor, SetFontColor,
                                    TControl::kTextColour),
                 RTL_PROPERTY_NAMED(TControl, "Font.Charset", FontCharset, SetFontCharset,
                                    kDefaultCharset),
                 RTL_PROPERTY_NAMED(TControl, "Font.Style", FontStyle, SetFontStyle))
RTL_DEFINE_CLASS(TWinControl,
                 RTL_PROPERTY(TWinControl, ClientWidth, ClientWidth, SetClientWidth, 640),
                 RTL_PROPERTY(TWinControl, ClientHeight, ClientHeight, SetClientHeight, 480))

// ---------------------------------------------------------------------------
// TStrings

TStrings::~TStrings() = default;

void TStrings::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) {
    throw rtl::Exception("List index out of bounds (%d)", {index});
  }
}

std::string TStrings::Text() const {
  std::string text;
  const int count = Count();
  for (int i = 0; i < count; ++i) {
    text += Strings(i);
    text += '\n';
  }
  return text;
}

void TStrings::SetText(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    lines.emplace_back(text.substr(start, stop - start));
    start = end + 1;
  }
  Assign(lines);
}

void TStrings::Assign(const std::vector<std::string>& items) {
  Clear();
  for (const std::string& item : items) Add(item);
}

std::vector<std::string> TStrings::ToVector() const {
  std::vector<std::string> items;
  const int count = Count();
  items.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) items.push_back(Strings(i));
  return items;
}

// ---------------------------------------------------------------------------
// TControl

TControl::TControl(rtl::TComponent* owner) : TControl(owner, detail::NewWidget<QWidget>()) {}

TControl::TControl(rtl::TComponent* owner, QWidget* widget)
    : rtl::TComponent(owner), widget_(widget) {
  // A widget without a parent is a window of its own: keep it off the screen until
  // the control is placed somewhere.
  widget_->hide();
}

TControl::~TControl() {
  if (parent_ != nullptr) parent_->RemoveControl(this);
  if (widget_ != nullptr) {
    // The handlers connected to the widget's signals belong to the control, which is
    // already half gone: nothing the widget says while it dies may reach them.
    widget_->blockSignals(true);
    delete widget_;
    widget_ = nullptr;
  }
}

void TControl::SetParent(TWinControl* parent) {
  if (parent == parent_) return;
  for (TControl* p = parent; p != nullptr; p = p->parent_) {
    if (p == this) {
      throw rtl::Exception("A %s cannot be placed in itself or in one of its own children",
                           {ClassName()});
    }
  }
  if (parent_ != nullptr) {
    TWinControl* old = parent_;
    old->RemoveControl(this);
    widget_->setParent(nullptr);
    widget_->hide();
    old->Realign();
  }
  if (parent != nullptr) parent->InsertControl(this);
  UpdateShowing();
  if (parent_ != nullptr) parent_->Realign();
}

// A window's position and size are those of its outer edge, frame and title bar
// included; its widget is the client area inside them.
int TControl::Left() const {
  return widget_->isWindow() ? widget_->pos().x() : widget_->geometry().x();
}
int TControl::Top() const {
  return widget_->isWindow() ? widget_->pos().y() : widget_->geometry().y();
}
int TControl::Width() const {
  if (!widget_->isWindow()) return widget_->width();
  const QMargins frame = detail::WindowFrame(*widget_);
  return widget_->width() + frame.left() + frame.right();
}
int TControl::Height() const {
  if (!widget_->isWindow()) return widget_->height();
  const QMargins frame = detail::WindowFrame(*widget_);
  return widget_->height() + frame.top() + frame.bottom();
}
void TControl::SetLeft(int value) {
  SetBounds(value, Top(), Width(), Height());
}
void TControl::SetTop(int value) {
  SetBounds(Left(), value, Width(), Height());
}
void TControl::SetWidth(int value) {
  SetBounds(Left(), Top(), value, Height());
}
void TControl::SetHeight(int value) {
  SetBounds(Left(), Top(), Width(), value);
}

void TControl::SetBounds(int left, int top, int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (widget_->isWindow()) {
    const QMargins frame = detail::WindowFrame(*widget_);
    widget_->move(left, top);
    widget_->resize(std::max(width - frame.left() - frame.right(), 0),
                    std::max(height - frame.top() - frame.bottom(), 0));
  } else {
    widget_->setGeometry(left, top, width, height);
  }
  // A hidden widget hears of its new size only when it is shown; the layout of its
  // children cannot wait for that.
  if (auto* self = dynamic_cast<TWinControl*>(this)) self->Realign();
  if (parent_ != nullptr && align_ != alNone) parent_->Realign();
}

void TControl::SetAlign(TAlign value) {
  if (value < alNone || value > alClient) {
    throw rtl::Exception("Align of %s: %d is not an alignment",
                         {ClassName(), static_cast<int>(value)});
  }
  if (value == align_) return;
  align_ = value;
  if (parent_ != nullptr) parent_->Realign();
}

// The text lives in the widget, so what the user typed is what reads back.
std::string TControl::Caption() const {
  if (auto* button = dynamic_cast<QAbstractButton*>(widget_)) return detail::FromQt(button->text());
  if (auto* edit = dynamic_cast<QLineEdit*>(widget_)) return detail::FromQt(edit->text());
  if (auto* label = dynamic_cast<QLabel*>(widget_)) return detail::FromQt(label->text());
  if (auto* memo = dynamic_cast<QPlainTextEdit*>(widget_)) {
    return detail::FromQt(memo->toPlainText());
  }
  return detail::FromQt(widget_->windowTitle());
}
void TControl::SetCaption(const std::string& value) {
  const QString text = detail::ToQt(value);
  if (auto* button = dynamic_cast<QAbstractButton*>(widget_)) {
    button->setText(text);
  } else if (auto* edit = dynamic_cast<QLineEdit*>(widget_)) {
    edit->setText(text);
  } else if (auto* label = dynamic_cast<QLabel*>(widget_)) {
    label->setText(text);
  } else if (auto* memo = dynamic_cast<QPlainTextEdit*>(widget_)) {
    memo->setPlainText(text);
  } else {
    widget_->setWindowTitle(text);
  }
}

bool TControl::Enabled() const {
  return !widget_->testAttribute(Qt::WA_ForceDisabled);
}
void TControl::SetEnabled(bool value) {
  widget_->setEnabled(value);
}

void TControl::SetVisible(bool value) {
  if (value == visible_) return;
  visible_ = value;
  UpdateShowing();
  if (parent_ != nullptr && align_ != alNone) parent_->Realign();
}

void TControl::UpdateShowing() {
  widget_->setVisible(parent_ != nullptr && visible_);
}

void TControl::SetTabOrder(int value) {
  tabOrder_ = value;
  if (parent_ == nullptr) return;
  auto& list = parent_->tabList_;
  std::erase(list, this);
  const auto at = static_cast<std::size_t>(std::clamp(value, 0, static_cast<int>(list.size())));
  list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), this);
  parent_->UpdateTabOrder();
}

bool TControl::TabStop() const {
  return widget_->focusPolicy() != Qt::NoFocus;
}
void TControl::SetTabStop(bool value) {
  widget_->setFocusPolicy(value ? Qt::StrongFocus : Qt::NoFocus);
}

std::string TControl::Hint() const {
  return detail::FromQt(widget_->toolTip());
}
void TControl::SetHint(const std::string& value) {
  widget_->setToolTip(detail::ToQt(value));
}

namespace {

QColor ToQColor(rtl::TColor colour) {
  return QColor::fromRgb(static_cast<QRgb>(colour.Value & 0xFFFFFF));
}

void ChangeFont(QWidget& widget, const std::function<void(QFont&)>& change) {
  QFont font = widget.font();
  change(font);
  widget.setFont(font);
}

}  // namespace

void TControl::SetColor(rtl::TColor value) {
  color_ = value;
  QPalette palette = widget_->palette();
  for (QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button}) {
    palette.setColor(role, ToQColor(value));
  }
  widget_->setPalette(palette);
  widget_->setAutoFillBackground(true);
}

void TControl::SetFontColor(rtl::TColor value) {
  fontColor_ = value;
  QPalette palette = widget_->palette();
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    palette.setColor(role, ToQColor(value));
  }
  widget_->setPalette(palette);
}

void TControl::SetFontName(const std::string& value) {
  fontName_ = value;
  if (value.empty()) return;
  // The classic dialog face is not on this system. The descriptions' sizes were
  // measured with it, so a face of similar width stands in where one is installed;
  // otherwise Qt's default face plays its part.
  if (value == "MS Sans Serif") {
    ChangeFont(*widget_, [](QFont& font) {
      font.setFamilies({"Liberation Sans", "Arimo", "Nimbus Sans", "Arial"});
    });
    return;
  }
  ChangeFont(*widget_, [&](QFont& font) { font.setFamily(detail::ToQt(value)); });
}

void TControl::SetFontHeight(int value) {
  fontHeight_ = value;
  if (value == 0) return;
  ChangeFont(*widget_, [&](QFont& font) { font.setPixelSize(value < 0 ? -value : value); });
}

TFontStyles TControl::FontStyle() const {
  const QFont font = widget_->font();
  TFontStyles styles;
  if (font.bold()) styles.Include(fsBold);
  if (font.italic()) styles.Include(fsItalic);
  if (font.underline()) styles.Include(fsUnderline);
  if (font.strikeOut()) styles.Include(fsStrikeOut);
  return styles;
}
void TControl::SetFontStyle(TFontStyles value) {
  ChangeFont(*widget_, [&](QFont& font) {
    font.setBold(value.Contains(fsBold));
    font.setItalic(value.Contains(fsItalic));
    font.setUnderline(value.Contains(fsUnderline));
    font.setStrikeOut(value.Contains(fsStrikeOut));
  });
}

// ---------------------------------------------------------------------------
// TWinControl

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
