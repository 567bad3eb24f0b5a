#include <gtest/gtest.h>

#include <QByteArray>

#include "toolkit/forms.h"

// Under the leak checker: fontconfig keeps a cache for the life of the process on
// purpose, and Qt never frees it. Nothing of ours is excused.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
  // Real windows with real sizes, and no display needed.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  toolkit::Application->Initialize();
  return RUN_ALL_TESTS();
}
