// Test fixture of the app's layers: every test gets a fresh app data root (settings,
// local and temporary folders) in a temporary folder, and can pump the UI thread's
// event loop (the test's main thread).
#pragma once

#include <functional>
#include <ostream>

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"

// QStrings in assertion messages and failure output, as UTF-8.
inline std::ostream& operator<<(std::ostream& out, const QString& text) {
  return out << text.toStdString();
}
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace app_runtime::testing {

class AppDataTest : public ::testing::Test {
 protected:
  void SetUp() override;

  QString DataRoot() const { return QString::fromStdString(root_.path().string()); }
  // Names of the files in a folder of the data root, sorted.
  QStringList FilesIn(const QString& relativeFolder) const;

 private:
  platform::testing::TempDir root_;
};

// Runs the UI thread's events until `done` holds; false when it still does not after
// `timeoutMs` of real time.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);

}  // namespace app_runtime::testing
