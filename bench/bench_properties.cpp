// Writing a published property by name, as the form reader and the property editor
// do, against calling the control's setter. The by-name write looks the property up,
// checks the value against the property's type and calls the setter through the
// class's table; the aim is to stay within 3x of the direct call. Each iteration
// alternates between two values, so neither path meets a setter that returns early
// because nothing changed.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <string>

#include "rtl/properties.h"
#include "toolkit/toolkit.h"

namespace {

void PrepareQt() {
  if (QApplication::instance() == nullptr) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    toolkit::Application->Initialize();
  }
}

// A label placed on a form, as a description leaves it.
struct PlacedLabel {
  PlacedLabel() : form(nullptr), label(&form) { label.SetParent(&form); }
  toolkit::TForm form;
  toolkit::TLabel label;
};

void BM_SetCaptionDirect(benchmark::State& state) {
  PrepareQt();
  PlacedLabel placed;
  const std::string captions[] = {"Label one", "Label two"};
  std::size_t n = 0;
  for (auto _ : state) placed.label.SetCaption(captions[n++ & 1]);
}
BENCHMARK(BM_SetCaptionDirect);

void BM_SetCaptionByName(benchmark::State& state) {
  PrepareQt();
  PlacedLabel placed;
  const rtl::TValue captions[] = {std::string("Label one"), std::string("Label two")};
  std::size_t n = 0;
  for (auto _ : state) rtl::SetPropValue(placed.label, "Caption", captions[n++ & 1]);
}
BENCHMARK(BM_SetCaptionByName);

// An integer inherited from TControl, on a button placed on a form.
struct PlacedButton {
  PlacedButton() : form(nullptr), button(&form) { button.SetParent(&form); }
  toolkit::TForm form;
  toolkit::TButton button;
};

void BM_SetLeftDirect(benchmark::State& state) {
  PrepareQt();
  PlacedButton placed;
  std::size_t n = 0;
  for (auto _ : state) placed.button.SetLeft(n++ & 1 ? 8 : 16);
}
BENCHMARK(BM_SetLeftDirect);

void BM_SetLeftByName(benchmark::State& state) {
  PrepareQt();
  PlacedButton placed;
  const rtl::TValue lefts[] = {16, 8};
  std::size_t n = 0;
  for (auto _ : state) rtl::SetPropValue(placed.button, "Left", lefts[n++ & 1]);
}
BENCHMARK(BM_SetLeftByName);

}  // namespace
