#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Registration.h"
#include "workbench_test_support.h"

namespace regtest {

// Runs body inside the real program's message loop, with both windows up, then
// closes the main window; the run must end by itself.
void InWorkbench(const std::function<void()>& body);

// Class descriptors made by the test under the given names, taken out of the class
// registry again when the test ends.
class TestClasses {
 public:
  explicit TestClasses(std::vector<std::string> names);
  ~TestClasses();
  TestClasses(const TestClasses&) = delete;
  TestClasses& operator=(const TestClasses&) = delete;
  const rtl::TClass* Data() const noexcept { return refs_.data(); }
  std::int32_t High() const noexcept { return static_cast<std::int32_t>(refs_.size()) - 1; }
  rtl::TClass operator[](std::size_t i) const { return refs_[i]; }

 private:
  std::vector<std::string> names_;
  std::vector<rtl::TClassInfo> infos_;
  std::vector<rtl::TClass> refs_;
};

// What the palette shows: the captions of its pages, and a page's memo lines.
std::vector<std::string> PageCaptions();
std::vector<std::string> PageLines(const std::string& caption);
// Every page's caption followed by its lines, for comparing whole palettes.
std::vector<std::string> PaletteText();

}  // namespace regtest
