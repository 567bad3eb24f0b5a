#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "toolkit/forms.h"

int main(int argc, char** argv) {
  // No display is needed: the windows are real, drawn off screen.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  testing::InitGoogleTest(&argc, argv);
  // Made here, it ends before the libraries unload; the toolkit then uses it instead
  // of making its own.
  QApplication qt(argc, argv);
  toolkit::Application->Initialize();
  return RUN_ALL_TESTS();
}
