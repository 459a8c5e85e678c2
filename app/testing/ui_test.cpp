#include "app/testing/ui_test.h"

#include <QCoreApplication>
#include <QEvent>

#include "app/runtime/app_data.h"
#include "app/runtime/window.h"

namespace app_runtime::testing {

void UiTest::SetUp() {
  MachineTest::SetUp();
  ApplicationData::UseRoot(QString::fromStdString(dataRoot_.path().string()));
}

void UiTest::TearDown() {
  Window::ResetCurrentForTesting();
  RunDeferredDeletes();
  MachineTest::TearDown();
}

void UiTest::RunDeferredDeletes() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QStringList UiTest::DebugOutput() {
  QStringList lines;
  for (const std::wstring& line : machine().CapturedDebugOutput()) lines.append(QString::fromStdWString(line));
  return lines;
}

}  // namespace app_runtime::testing
