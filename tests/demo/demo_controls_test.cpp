// The demo packages' controls, made through the class registry as a form reader
// makes them once the packages' own registration procedures have registered them.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QImage>
#include <QLabel>
#include <QTest>
#include <QWidget>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "test_support.h"
#include "toolkit/toolkit.h"

namespace {

using testsupport::PackageFile;
using testsupport::ScopedPackage;

void RegisterAll(const std::string&, const rtl::TClass* classes, std::int32_t high) {
  for (std::int32_t i = 0; i <= high; ++i) rtl::RegisterClass(classes[i]);
}

class DemoControls : public testing::Test {
 protected:
  void SetUp() override {
    const rtl::TRegisterComponentsProc previous =
        std::exchange(rtl::RegisterComponentsProc, &RegisterAll);
    for (const auto& [package, name] : {std::pair{&stdreg_, "@Stdreg@Register$qqrv"},
                                        std::pair{&extreg_, "@Extreg@Register$qqrv"}}) {
      void* proc = rtl::GetProcAddress(package->Module(), name);
      if (proc != nullptr) reinterpret_cast<void (*)()>(proc)();
      EXPECT_NE(proc, nullptr) << name << " should be exported";
    }
    rtl::RegisterComponentsProc = previous;
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

TEST_F(DemoControls, TheSwatchPaintsTheColourItsCaptionNames) {
  toolkit::TControl* swatch = Make("TColorSwatch");
  EXPECT_EQ(swatch->Caption(), "#3366CC") << "the default colour";
  EXPECT_EQ(PixelAt(swatch, 50, 10), 0x3366CCu) << "the inside should be painted in it";
  swatch->SetCaption("#ff8000");
  EXPECT_EQ(swatch->Caption(), "#FF8000") << "a colour in lower case is taken too";
  EXPECT_EQ(PixelAt(swatch, 50, 10), 0xFF8000u);
  for (const char* bad : {"red", "#12345", "#1234567", "#GG0000", ""}) {
    EXPECT_THAT(testsupport::MessageOf([&] { swatch->SetCaption(bad); }),
                testing::HasSubstr("#RRGGBB"))
        << '"' << bad << "\" should be refused, naming the form a colour takes";
  }
  EXPECT_EQ(swatch->Caption(), "#FF8000") << "a refused caption leaves the colour";
}

// Seven presses go round the rainbow: seven colours, each new and painted as named.
TEST_F(DemoControls, TheRainbowSwatchStepsThroughSevenColoursOnEachPress) {
  toolkit::TControl* rainbow = Make("TRainbowSwatch");
  EXPECT_TRUE(rainbow->InheritsFrom(rtl::FindClass("TColorSwatch"))) << "it builds on stdreg";
  const std::string first = rainbow->Caption();
  std::set<std::string> seen;
  for (int press = 0; press < 7; ++press) {
    const std::string caption = rainbow->Caption();
    EXPECT_TRUE(seen.insert(caption).second) << caption << " came twice in one round";
    EXPECT_EQ(PixelAt(rainbow, 50, 10), std::stoul(caption.substr(1), nullptr, 16)) << caption;
    QTest::mouseClick(rainbow->Widget(), Qt::LeftButton);
  }
  EXPECT_EQ(rainbow->Caption(), first) << "the eighth colour is the first again";
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
  EXPECT_TRUE(QTest::qWaitFor([&] { return label->text() != first; }, 2000)) << "it changes";
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
