// The example package, built against the installed SDK by its own CMake project,
// goes into the workbench's slot and its registration procedure fills the palette.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "registration_test_support.h"
#include "rtl/package.h"
#include "toolkit/controls.h"

namespace {

using Lines = std::vector<std::string>;

// The built example, named by CI; empty when it was not built.
std::string ExamplePackage() {
  const char* path = std::getenv("WB_EXAMPLE_PACKAGE");
  return path != nullptr ? path : "";
}

TEST(SdkExample, LoadsIntoTheSlotAndFillsThePalette) {
  const std::string file = ExamplePackage();
  if (file.empty()) {
    GTEST_SKIP() << "WB_EXAMPLE_PACKAGE is not set: build examples/hello_package against an "
                    "installed SDK and name its libhello.so there";
  }
  wbtest::ScopedDialogs dialogs;
  regtest::InWorkbench([&] {
    dialogs->AnswerOpen(file);
    wbtest::Press(Form1->LoadPack);
    ASSERT_NE(0u, LoadedPackage) << file << " should be in the slot; errors: "
                                 << testing::PrintToString(dialogs->Exceptions());
    EXPECT_EQ("Hello: a greeting label for the palette", rtl::GetPackageDescription(file.c_str()))
        << "the record the installed SDK wrote";

    Form1->Edit3->SetText("@HelloReg@Register$qqrv");
    wbtest::Press(Form1->Button8);
    EXPECT_EQ(Lines{"THelloLabel"}, regtest::PageLines("Hello"))
        << "the package's page lists its control";
    EXPECT_EQ(Lines{"BRRRRR"}, dialogs->Messages()) << "the procedure returned";
    EXPECT_TRUE(dialogs->Exceptions().empty()) << testing::PrintToString(dialogs->Exceptions());

    // The class is the package's own, and it works: made through the registry, it
    // is a toolkit label with the package's caption.
    const rtl::TClass cls = rtl::GetClass("THelloLabel");
    ASSERT_NE(nullptr, cls) << "the class registry knows the control after registration";
    EXPECT_EQ(LoadedPackage, rtl::ModuleFromAddress(cls))
        << "its descriptor lives in the loaded package";
    ASSERT_NE(nullptr, cls->Create) << "a component class can be created from its reference";
    std::unique_ptr<rtl::TComponent> label(cls->Create(nullptr));
    auto* control = dynamic_cast<toolkit::TControl*>(label.get());
    ASSERT_NE(nullptr, control) << "THelloLabel is a toolkit control";
    EXPECT_EQ("Hello, world!", control->Caption());
  });
  EXPECT_TRUE(dialogs->Exceptions().empty())
      << "unloading finalises the package without complaint: "
      << testing::PrintToString(dialogs->Exceptions());
}

}  // namespace
