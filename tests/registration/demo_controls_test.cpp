#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QWidget>
#include <memory>

#include "registration_test_support.h"

namespace {

using testsupport::PackageFile;
using testsupport::ScopedPackage;

// The demo packages loaded, their classes registered by their own procedures with
// no main window (so nothing is listed), and instances made through the class
// registry, as a form reader would make them.
class DemoControls : public testing::Test {
 protected:
  void SetUp() override {
    rtl::RegisterComponentsProc = &PaletteRegisterComponents;
    const std::pair<const ScopedPackage*, const char*> units[] = {{&stdreg_, "Stdreg"},
                                                                  {&extreg_, "Extreg"}};
    for (const auto& [package, unit] : units) {
      const std::string name = rtl::RegistrationProcName(unit);
      void* proc = rtl::GetProcAddress(package->Module(), name.c_str());
      ASSERT_NE(proc, nullptr) << name << " should be exported";
      reinterpret_cast<void (*)()>(proc)();
    }
  }
  void TearDown() override { made_.clear(); }

  // Raises (failing the test) when the class cannot be made into a control.
  toolkit::TControl* Make(const std::string& className) {
    const rtl::TClass cls = rtl::FindClass(className);
    if (cls->Create == nullptr) throw rtl::Exception(className + " cannot be created by class");
    made_.emplace_back(cls->Create(nullptr));
    auto* control = dynamic_cast<toolkit::TControl*>(made_.back().get());
    if (control == nullptr) throw rtl::Exception(className + " is no control");
    control->SetBounds(0, 0, 100, 20);
    return control;
  }

  ScopedPackage stdreg_{PackageFile("stdreg")};
  ScopedPackage extreg_{PackageFile("extreg")};
  std::vector<std::unique_ptr<rtl::TComponent>> made_;
};

QRgb PixelAt(toolkit::TControl* control, int x, int y) {
  return control->Widget()->grab().toImage().pixel(x, y) & 0xFFFFFF;
}

void ReleaseMouseOn(toolkit::TControl* control) {
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(control->Widget(), &release);
}

// Waits (handling events) until the condition holds or two seconds have passed.
bool WaitFor(const std::function<bool()>& condition) {
  QElapsedTimer clock;
  clock.start();
  while (!condition() && clock.elapsed() < 2000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  return condition();
}

TEST_F(DemoControls, TheSwatchPaintsTheColourItsCaptionNames) {
  toolkit::TControl* swatch = Make("TColorSwatch");
  EXPECT_EQ(swatch->Caption(), "#3366CC") << "the default colour";
  EXPECT_EQ(PixelAt(swatch, 50, 10), 0x3366CCu) << "the inside should be painted in it";
  swatch->SetCaption("#ff8000");
  EXPECT_EQ(swatch->Caption(), "#FF8000") << "a colour in lower case is taken too";
  EXPECT_EQ(PixelAt(swatch, 50, 10), 0xFF8000u);
  for (const char* bad : {"red", "#12345", "#1234567", "#GG0000", ""}) {
    EXPECT_NE(testsupport::MessageOf([&] { swatch->SetCaption(bad); }).find("#RRGGBB"),
              std::string::npos)
        << '"' << bad << "\" should be refused, naming the form a colour takes";
  }
  EXPECT_EQ(swatch->Caption(), "#FF8000") << "a refused caption leaves the colour";
}

TEST_F(DemoControls, TheRainbowSwatchStepsThroughItsColoursOnEachPress) {
  toolkit::TControl* rainbow = Make("TRainbowSwatch");
  EXPECT_TRUE(rainbow->InheritsFrom(rtl::FindClass("TColorSwatch")))
      << "extreg's swatch builds on stdreg's";
  const std::vector<std::string> expected = {"#FF0000", "#FF7F00", "#FFFF00", "#00FF00",
                                             "#0000FF", "#4B0082", "#9400D3", "#FF0000"};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(rainbow->Caption(), expected[i]) << "after " << i << " presses";
    ReleaseMouseOn(rainbow);
  }
}

TEST_F(DemoControls, TheClickCounterCountsPressesAndStillRunsOnClick) {
  auto* counter = dynamic_cast<toolkit::TButton*>(Make("TClickCounter"));
  ASSERT_NE(counter, nullptr) << "the counter should be a button";
  auto* widget = static_cast<QAbstractButton*>(counter->Widget());
  EXPECT_EQ(widget->text().toStdString(), "0");
  counter->SetCaption("Hits");
  widget->click();
  widget->click();
  EXPECT_EQ(widget->text().toStdString(), "Hits: 2") << "the caption followed by the count";
  EXPECT_EQ(counter->Caption(), "Hits") << "the caption itself stays as set";
}

TEST_F(DemoControls, TheLedBlinks) {
  toolkit::TControl* led = Make("TLedLabel");
  led->SetCaption("Ready");
  auto* label = static_cast<QLabel*>(led->Widget());
  const QString first = label->text();
  EXPECT_TRUE(first.endsWith(QStringLiteral(" Ready"))) << first.toStdString();
  EXPECT_TRUE(WaitFor([&] { return label->text() != first; })) << "the lamp should change";
  EXPECT_TRUE(label->text().endsWith(QStringLiteral(" Ready"))) << "the text stays";
}

TEST_F(DemoControls, TheGaugeFillsToItsPercentage) {
  toolkit::TControl* gauge = Make("TGauge");
  EXPECT_EQ(gauge->Caption(), "0%");
  gauge->SetCaption("40%");
  EXPECT_EQ(PixelAt(gauge, 20, 3), 0x2E8B57u) << "the first 40 pixels should be filled";
  EXPECT_EQ(PixelAt(gauge, 80, 3), 0xFFFFFFu) << "the rest should be empty";
  for (const char* bad : {"101%", "40", "4 0%", "%", "-5%"}) {
    EXPECT_THROW(gauge->SetCaption(bad), rtl::Exception) << '"' << bad << "\" should be refused";
  }
  EXPECT_EQ(gauge->Caption(), "40%");
}

}  // namespace
