// The example packages, built against the installed SDK by their own CMake
// projects, go into the workbench's slot and their registration procedures fill the
// palette. welcome derives its control from a class of hello, in another package;
// cheers from the same class of hello as installed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>

#include "rtl/package.h"
#include "toolkit/controls.h"
#include "workbench_test_support.h"

namespace {

using Lines = std::vector<std::string>;

// The built examples, named by CI (separated by ':'); none when they were not built.
std::vector<std::string> ExamplePackages() {
  const char* list = std::getenv("WB_EXAMPLE_PACKAGES");
  std::vector<std::string> files;
  std::istringstream in(list != nullptr ? list : "");
  for (std::string file; std::getline(in, file, ':');) {
    if (!file.empty()) files.push_back(file);
  }
  return files;
}

struct Example {
  std::string file;  // the file's name
  std::string description;
  std::string procedure;
  std::string page;
  std::string className;
  std::string parentName;
  std::string caption;
};

const Example kExamples[] = {
    {"libhello.so", "Hello: a greeting label for the palette", "@HelloReg@Register$qqrv", "Hello",
     "THelloLabel", "TLabel", "Hello, world!"},
    {"libwelcome.so", "Welcome: hello's greeting label, and a welcome", "@Welcome@Register$qqrv",
     "Welcome", "TWelcomeLabel", "THelloLabel", "Hello, world! Welcome aboard."},
    // Built on the installed hello, which the loader finds in the installed packages'
    // folder beside the run-time library: run with the installed framework.
    {"libcheers.so", "Cheers: the installed hello's label, cheering", "@Cheers@Register$qqrv",
     "Cheers", "TCheersLabel", "THelloLabel", "Cheers!"},
};

TEST(SdkExample, LoadsIntoTheSlotAndFillsThePalette) {
  const std::vector<std::string> files = ExamplePackages();
  if (files.empty()) {
    GTEST_SKIP() << "WB_EXAMPLE_PACKAGES is not set: build examples/hello_package and "
                    "examples/welcome_package against an installed SDK and name their "
                    "libhello.so and libwelcome.so there";
  }
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const std::string name = std::filesystem::path(file).filename();
    const auto* example = std::find_if(std::begin(kExamples), std::end(kExamples),
                                       [&](const Example& e) { return e.file == name; });
    ASSERT_NE(std::end(kExamples), example) << "not an example package";
    wbtest::ScopedDialogs dialogs;
    wbtest::InWorkbench([&] {
      wbtest::LoadPack(dialogs, file);
      ASSERT_NE(0u, LoadedPackage)
          << file
          << " should be in the slot; errors: " << testing::PrintToString(dialogs->Exceptions());
      EXPECT_EQ(example->description, rtl::GetPackageDescription(file.c_str()))
          << "the record the installed SDK wrote";

      wbtest::NamedRun(example->procedure);
      EXPECT_EQ(Lines{example->className}, wbtest::PageLines(example->page))
          << "the package's page lists its control";
      EXPECT_TRUE(dialogs->Exceptions().empty()) << testing::PrintToString(dialogs->Exceptions());

      // The class is the package's own, and it works: made through the registry, it
      // is a toolkit control whose caption its constructors, its parent's first, set.
      const rtl::TClass cls = rtl::GetClass(example->className);
      ASSERT_NE(nullptr, cls) << "the class registry knows the control after registration";
      EXPECT_EQ(LoadedPackage, rtl::ModuleFromAddress(cls)) << "it lives in the package";
      ASSERT_NE(nullptr, cls->Parent);
      EXPECT_EQ(example->parentName, cls->Parent->Name) << "the class it derives from";
      ASSERT_NE(nullptr, cls->Create) << "a component class can be created from its reference";
      std::unique_ptr<rtl::TComponent> label(cls->Create(nullptr));
      auto* control = dynamic_cast<toolkit::TControl*>(label.get());
      ASSERT_NE(nullptr, control) << "the class is a toolkit control";
      EXPECT_EQ(example->caption, control->Caption());
    });
    EXPECT_TRUE(dialogs->Exceptions().empty())
        << "unloading finalises the package without complaint: "
        << testing::PrintToString(dialogs->Exceptions());
  }
}

}  // namespace
