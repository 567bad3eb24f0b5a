// Unit Stdreg: four small controls and the registration procedure that puts them
// on the palette.

#include "stdreg.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTime>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "rtl/package_sdk.h"
#include "toolkit/forms.h"
#include "toolkit/stdctrls.h"

namespace {

// No widget may exist before Qt's application object; the toolkit makes it.
template <class W, class... A>
W* NewWidget(A&&... args) {
  if (QApplication::instance() == nullptr) toolkit::Application->Initialize();
  return new W(std::forward<A>(args)...);
}

QColor ToQColor(std::uint32_t rgb) {
  return QColor(static_cast<int>((rgb >> 16) & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                static_cast<int>(rgb & 0xFF));
}

// Paints the fill with a dark frame; knows nothing of the control but what to call
// when pressed.
class SwatchWidget final : public QWidget {
 public:
  std::uint32_t color = 0;
  std::function<void()> onPressed;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), ToQColor(color));
    painter.setPen(Qt::black);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        onPressed) {
      onPressed();
    }
  }
};

SwatchWidget* SwatchOf(const TColorSwatch& swatch) {
  return static_cast<SwatchWidget*>(swatch.Widget());
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// TColorSwatch

TColorSwatch::TColorSwatch(rtl::TComponent* owner) : TWinControl(owner, NewWidget<SwatchWidget>()) {
  SwatchOf(*this)->color = color_;
  SwatchOf(*this)->onPressed = [this] { Pressed(); };
}

TColorSwatch::~TColorSwatch() {
  SwatchOf(*this)->onPressed = nullptr;
}

void TColorSwatch::SetColor(std::uint32_t rgb) {
  color_ = rgb & 0xFFFFFF;
  SwatchOf(*this)->color = color_;
  Widget()->update();
}

std::string TColorSwatch::Caption() const {
  static const char digits[] = "0123456789ABCDEF";
  std::string text = "#";
  for (int shift = 20; shift >= 0; shift -= 4) text += digits[(color_ >> shift) & 0xF];
  return text;
}

void TColorSwatch::SetCaption(const std::string& value) {
  std::uint32_t rgb = 0;
  bool valid = value.size() == 7 && value[0] == '#';
  for (std::size_t i = 1; valid && i < value.size(); ++i) {
    const int digit = HexDigit(value[i]);
    valid = digit >= 0;
    rgb = rgb << 4 | static_cast<std::uint32_t>(digit);
  }
  if (!valid) {
    throw rtl::Exception("%s %s: \"%s\" is not a colour; write it as #RRGGBB",
                         {ClassName(), Name(), value});
  }
  SetColor(rgb);
}

// ---------------------------------------------------------------------------
// A control that keeps its caption itself and shows it with something of its own
// beside it: Redraw puts both on the widget whenever either changes.

template <class Base>
class TDecoratedCaption : public Base {
 public:
  using Base::Base;
  std::string Caption() const override { return text_; }
  void SetCaption(const std::string& value) override {
    text_ = value;
    Redraw();
  }

 protected:
  virtual void Redraw() = 0;
  std::string text_;
};

// ---------------------------------------------------------------------------
// TClickCounter: a button that counts its presses and shows the count after its
// caption. Its OnClick still runs as a plain button's would.

class TClickCounter : public TDecoratedCaption<toolkit::TButton> {
  RTL_CLASS(TClickCounter, toolkit::TButton)
 public:
  explicit TClickCounter(rtl::TComponent* owner) : TDecoratedCaption(owner) {
    QObject::connect(static_cast<QPushButton*>(Widget()), &QPushButton::clicked, Widget(), [this] {
      ++count_;
      Redraw();
    });
    Redraw();
  }

  // The presses counted so far; a preview or a form may start it elsewhere.
  int Clicks() const { return count_; }
  void SetClicks(int value) {
    if (value < 0) {
      throw rtl::Exception("%s %s: a count of clicks cannot be negative (%i)",
                           {ClassName(), Name(), value});
    }
    count_ = value;
    Redraw();
  }
  void Reset() { SetClicks(0); }

 private:
  void Redraw() override {
    const QString count = QString::number(count_);
    static_cast<QPushButton*>(Widget())->setText(
        text_.empty() ? count : QString::fromStdString(text_) + QStringLiteral(": ") + count);
  }

  int count_ = 0;
};

// ---------------------------------------------------------------------------
// TLedLabel: a label with a lamp in front of its text that blinks twice a second.

class TLedLabel : public TDecoratedCaption<toolkit::TLabel> {
  RTL_CLASS(TLedLabel, toolkit::TLabel)
 public:
  static constexpr int BlinkMs = 500;

  explicit TLedLabel(rtl::TComponent* owner)
      : TDecoratedCaption(owner), timer_(std::make_unique<QTimer>()) {
    QObject::connect(timer_.get(), &QTimer::timeout, [this] {
      lit_ = !lit_;
      Redraw();
    });
    timer_->start(BlinkMs);
    Redraw();
  }

 private:
  void Redraw() override {
    const QString lamp = lit_ ? QStringLiteral("\u25CF") : QStringLiteral("\u25CB");
    static_cast<QLabel*>(Widget())->setText(lamp + QLatin1Char(' ') +
                                            QString::fromStdString(text_));
  }

  bool lit_ = true;
  std::unique_ptr<QTimer> timer_;
};

// ---------------------------------------------------------------------------
// TClockLabel: a label that shows the time of day and keeps it current.

class TClockLabel : public toolkit::TLabel {
  RTL_CLASS(TClockLabel, toolkit::TLabel)
 public:
  explicit TClockLabel(rtl::TComponent* owner) : TLabel(owner), timer_(std::make_unique<QTimer>()) {
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Tick(); });
    timer_->start(1000);
    Tick();
  }

 private:
  void Tick() {
    static_cast<QLabel*>(Widget())->setText(
        QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
  }

  std::unique_ptr<QTimer> timer_;
};

RTL_DEFINE_CLASS(TColorSwatch, RTL_PROPERTY(TColorSwatch, Caption, Caption, SetCaption, "#3366CC"))
RTL_DEFINE_CLASS(TClickCounter, RTL_PROPERTY(TClickCounter, Clicks, Clicks, SetClicks, 0),
                 RTL_PUBLISH(TClickCounter, Reset))
RTL_DEFINE_CLASS(TLedLabel)
RTL_DEFINE_CLASS(TClockLabel)

RTL_UNIT_REGISTER(Stdreg) {
  rtl::RegisterComponents("Samples", {rtl::ClassOf<TColorSwatch>(), rtl::ClassOf<TClickCounter>()});
  rtl::RegisterComponents("Indicators", {rtl::ClassOf<TLedLabel>(), rtl::ClassOf<TClockLabel>()});
}
