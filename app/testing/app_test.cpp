#include "app/testing/app_test.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

#include "app/runtime/app_data.h"

namespace app_runtime::testing {

void AppDataTest::SetUp() {
  ApplicationData::UseRoot(DataRoot());
}

QStringList AppDataTest::FilesIn(const QString& relativeFolder) const {
  QStringList files = QDir(DataRoot() + u'/' + relativeFolder).entryList(QDir::Files);
  files.sort();
  return files;
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

}  // namespace app_runtime::testing
