// korvo-tallisk-screenshots: opens the app as a user would (a real window on the X
// display, the service read over RPC), waits for each page to show the machine, and
// saves what the screen shows of the window: the main page and the USB Type-C page, at
// the minimum size and at a larger one. scripts/screenshots runs it under Xvfb.
//
//   korvo-tallisk-screenshots OUTPUT_DIR LANGUAGE
#include <cstdio>

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QScreen>
#include <QThread>

#include "app/pages/custom_title_bar.h"
#include "app/pages/main_page.h"
#include "app/pages/usb_type_c_page.h"
#include "app/runtime/frame.h"
#include "app/runtime/package.h"
#include "app/runtime/resources.h"
#include "app/runtime/value_box.h"
#include "app/runtime/window.h"
#include "app/shell/app.h"

namespace {

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

app_runtime::Page* CurrentPage() {
  auto* frame = qobject_cast<app_runtime::Frame*>(app_runtime::Window::Current().Content());
  return frame != nullptr ? frame->Content() : nullptr;
}

QString Text(const char* box) {
  auto* page = CurrentPage();
  auto* value = page != nullptr ? page->findChild<app_runtime::ValueBox*>(QString::fromLatin1(box)) : nullptr;
  return value != nullptr ? value->Text() : QString();
}

// What the X server shows of the window, after the window manager-less display has
// drawn it.
bool Save(const QString& file, const QSize& size) {
  auto& window = app_runtime::Window::Current();
  window.resize(size);
  PumpUntil([] { return false; }, 600);  // layout and the repaint
  const QPixmap shot = window.screen()->grabWindow(0, window.x(), window.y(), window.width(), window.height());
  if (shot.isNull() || !shot.save(file)) {
    std::fprintf(stderr, "korvo-tallisk-screenshots: cannot save %s\n", qPrintable(file));
    return false;
  }
  std::printf("%s\n", qPrintable(file));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("Usage: korvo-tallisk-screenshots OUTPUT_DIR LANGUAGE (en, de or ar)\n", stderr);
    return 2;
  }
  QApplication application(argc, argv);
  const QString out = QString::fromLocal8Bit(argv[1]);
  const QString language = QString::fromLocal8Bit(argv[2]);
  QDir().mkpath(out);
  app_runtime::ResourceContext::SetLanguageForTesting(language);
  app_runtime::EnterAppContainer(app_runtime::Package::Current());
  Korvo_Tallisk::App::RegisterPageTypes();
  Korvo_Tallisk::App app;
  app.Activate({app_runtime::ActivationKind::Launch, QString()});
  app_runtime::Window::Current().move(0, 0);

  if (!PumpUntil(
          [] { return !Text("SerialNumberValue").isEmpty() && Text("SerialNumberValue") != QStringLiteral("-"); },
          60000)) {
    std::fputs("korvo-tallisk-screenshots: the main page did not show the machine within 60 s (is Varnel running?)\n",
               stderr);
  }
  const QSize small(640, 460);
  const QSize large(960, 640);
  bool ok = Save(QStringLiteral("%1/main-page-%2-640x460.png").arg(out, language), small);
  ok = Save(QStringLiteral("%1/main-page-%2-960x640.png").arg(out, language), large) && ok;

  auto* button = CurrentPage()->findChild<QAbstractButton*>(QStringLiteral("UsbTypeCButton"));
  if (button == nullptr || !button->isVisible()) {
    std::fputs("korvo-tallisk-screenshots: no USB Type-C button on the main page\n", stderr);
    return 1;
  }
  button->click();
  PumpUntil([] { return !Text("MaxPowerOutputValue").isEmpty(); }, 60000);
  ok = Save(QStringLiteral("%1/usb-type-c-page-%2-640x460.png").arg(out, language), small) && ok;
  ok = Save(QStringLiteral("%1/usb-type-c-page-%2-960x640.png").arg(out, language), large) && ok;
  app_runtime::LeaveAppContainer();
  return ok ? 0 : 1;
}
