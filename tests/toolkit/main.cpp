#include <gtest/gtest.h>

#include <QByteArray>

#include "toolkit/forms.h"

int main(int argc, char** argv) {
  // Real windows with real sizes, and no display needed.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  toolkit::Application->Initialize();
  return RUN_ALL_TESTS();
}
