// Test fixture of the app's widgets: a fresh simulated machine (debugger output
// captured), a fresh app data root, and a fresh app window, made on first use and
// deleted after the test. The test runs inside the QApplication of
// qt_widgets_test_main.cpp.
#pragma once

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include "app/testing/app_test.h"
#include "platform/testing/machine_test.h"

namespace app_runtime::testing {

class UiTest : public platform::testing::MachineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the deletions that deleteLater() has queued.
  static void RunDeferredDeletes();
  // The debugger output of the test so far, one entry per OutputDebugString call.
  QStringList DebugOutput();

 private:
  platform::testing::TempDir dataRoot_;
};

}  // namespace app_runtime::testing
