#include "toolkit/controls.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
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

}  // namespace toolkit
