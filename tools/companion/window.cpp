#include "tools/companion/window.h"

#include <thread>

#include <QApplication>
#include <QLabel>
#include <QMetaObject>
#include <QVBoxLayout>
#include <QWidget>

#include "platform/sync.h"
#include "tools/companion/companion.h"

namespace tools::companion {

int ShowWindow(const nlohmann::ordered_json& record, platform::HANDLE endRequest) {
  static int argc = 1;
  static char name[] = "korvo-companion";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);

  QWidget window;
  const auto lines = WindowLines(nlohmann::json(record));
  window.setWindowTitle(QString::fromStdString(lines.front()));
  auto* layout = new QVBoxLayout(&window);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto* label = new QLabel(QString::fromStdString(lines[i]), &window);
    if (i == 0) {
      QFont font = label->font();
      font.setBold(true);
      font.setPointSizeF(font.pointSizeF() * 1.4);
      label->setFont(font);
    }
    layout->addWidget(label);
  }
  window.show();

  // The end request arrives on a platform wait, not in Qt's loop: a thread waits for it
  // (or for the window to close first) and asks the loop to quit.
  platform::UniqueHandle closed(platform::CreateEvent(nullptr, platform::TRUE, platform::FALSE, nullptr));
  std::thread watcher([&app, endRequest, closedEvent = closed.get()] {
    const platform::HANDLE both[] = {endRequest, closedEvent};
    if (platform::WaitForMultipleObjects(2, both, platform::FALSE, platform::INFINITE) == platform::WAIT_OBJECT_0) {
      QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    }
  });
  const int code = app.exec();
  platform::SetEvent(closed.get());
  watcher.join();
  return code;
}

}  // namespace tools::companion
