#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <functional>

#include "scripted_dialogs.h"
#include "toolkit/toolkit.h"

// Every toolkit test answers its boxes from a script and leaves no form behind.
class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = toolkit::SetDialogService(&dialogs_); }
  void TearDown() override {
    toolkit::Application->DestroyComponents();
    QCoreApplication::processEvents();
    toolkit::SetDialogService(previous_);
  }

  // Runs the action from the event loop, as a user's input would arrive.
  static void Post(std::function<void()> action) {
    QTimer::singleShot(0, QCoreApplication::instance(), std::move(action));
  }
  static void Process() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }

  toolkit::ScriptedDialogService dialogs_;

 private:
  toolkit::DialogService* previous_ = nullptr;
};
