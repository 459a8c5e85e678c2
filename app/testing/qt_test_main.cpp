// The main of the app's test binaries: GoogleTest inside a QCoreApplication, so that a
// test can pump the event loop of the "UI thread" (the test's main thread).
#include <QCoreApplication>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
