// Unit Extreg: controls built on top of the stdreg package, registered beside its
// own on a page that stdreg also fills.

#include <QApplication>
#include <QPainter>
#include <QWidget>
#include <array>

#include "rtl/package_sdk.h"
#include "stdreg.h"
#include "toolkit/forms.h"

namespace {

template <class W>
W* NewWidget() {
  if (QApplication::instance() == nullptr) toolkit::Application->Initialize();
  return new W;
}

// A horizontal bar filled to a percentage, with the percentage written over it.
class GaugeWidget final : public QWidget {
 public:
  int percent = 0;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(rect(), Qt::white);
    QRect filled = rect();
    filled.setWidth(rect().width() * percent / 100);
    painter.fillRect(filled, QColor(0x2E, 0x8B, 0x57));
    painter.setPen(Qt::black);
    painter.drawRect(frame);
    painter.drawText(rect(), Qt::AlignCenter, QString::number(percent) + QLatin1Char('%'));
  }
};

}  // namespace

// A gauge: its caption is its filling, "0%" to "100%".
class TGauge : public toolkit::TWinControl {
  RTL_CLASS(TGauge, toolkit::TWinControl)
 public:
  explicit TGauge(rtl::TComponent* owner) : TWinControl(owner, NewWidget<GaugeWidget>()) {}

  int Percent() const noexcept { return GaugeOf()->percent; }

  std::string Caption() const override { return std::to_string(Percent()) + "%"; }
  void SetCaption(const std::string& value) override {
    int percent = 0;
    bool valid = value.size() >= 2 && value.size() <= 4 && value.back() == '%';
    for (std::size_t i = 0; valid && i + 1 < value.size(); ++i) {
      valid = value[i] >= '0' && value[i] <= '9';
      percent = percent * 10 + (value[i] - '0');
    }
    if (!valid || percent > 100) {
      throw rtl::Exception("%s %s: \"%s\" is not a filling; write it as 0%% to 100%%",
                           {ClassName(), Name(), value});
    }
    GaugeOf()->percent = percent;
    Widget()->update();
  }

 private:
  GaugeWidget* GaugeOf() const { return static_cast<GaugeWidget*>(Widget()); }
};

// A colour swatch that steps through the colours of the rainbow, one per press.
class TRainbowSwatch : public TColorSwatch {
  RTL_CLASS(TRainbowSwatch, TColorSwatch)
 public:
  static constexpr std::array<std::uint32_t, 7> Colors = {0xFF0000, 0xFF7F00, 0xFFFF00, 0x00FF00,
                                                          0x0000FF, 0x4B0082, 0x9400D3};

  explicit TRainbowSwatch(rtl::TComponent* owner) : TColorSwatch(owner) { SetColor(Colors[0]); }

 protected:
  void Pressed() override {
    next_ = (next_ + 1) % Colors.size();
    SetColor(Colors[next_]);
  }

 private:
  std::size_t next_ = 0;
};

RTL_DEFINE_CLASS(TGauge)
RTL_DEFINE_CLASS(TRainbowSwatch)

RTL_UNIT_REGISTER(Extreg) {
  rtl::RegisterComponents("Indicators", {rtl::ClassOf<TGauge>()});
  rtl::RegisterComponents("Extras", {rtl::ClassOf<TRainbowSwatch>()});
}
