// Renders the app's window with a page wrapped in the custom title bar to a PNG, for a
// look at it as a user sees it:
//
//   title_bar_demo <file.png> [language]     (en, de or ar; ar lays it out right to left)
//
// Run it under xvfb-run (or with QT_QPA_PLATFORM=offscreen).
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include "app/pages/custom_title_bar.h"
#include "app/runtime/frame.h"
#include "app/runtime/resources.h"
#include "app/runtime/value_box.h"
#include "app/runtime/window.h"

namespace {

// A stand-in for a page: a caption and two value boxes.
class PlaceholderPage : public app_runtime::Page {
 public:
  PlaceholderPage() {
    const auto loader = app_runtime::ResourceLoader::GetForCurrentView();
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(24, 16, 24, 16);
    auto* label = new QLabel(QStringLiteral("Page content goes here"));
    label->setObjectName(QStringLiteral("Placeholder"));
    layout->addWidget(label);
    layout->addWidget(new app_runtime::ValueBox(QStringLiteral("8.00 GB (7.80 GB ") +
                                                loader.GetString(QStringLiteral("Usable/Text")) + u')'));
    layout->addWidget(new app_runtime::ValueBox(loader.GetString(QStringLiteral("USB31Gen2/Text"))));
    layout->addStretch();
    SetContent(content);
    m_titleBar = new Korvo_Tallisk::CustomTitleBar;
    m_titleBar->EnableControlsInTitleBar(true);
    m_titleBar->AddCustomTitleBar(this);
    m_titleBar->ShowStatusLine(QStringLiteral("Reading the system information from the service"));
  }

 private:
  Korvo_Tallisk::CustomTitleBar* m_titleBar;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) return 2;
  const QString output = QString::fromLocal8Bit(argv[1]);
  if (argc > 2) app_runtime::ResourceContext::SetLanguageForTesting(QString::fromLocal8Bit(argv[2]));

  auto& window = app_runtime::Window::Current();
  window.SetPreferredMinSize(640, 460);
  auto* frame = new app_runtime::Frame;
  frame->SetFlowDirection(app_runtime::ResourceContext::GetForCurrentView().LayoutDirection() == Qt::RightToLeft
                              ? app_runtime::FlowDirection::RightToLeft
                              : app_runtime::FlowDirection::LeftToRight);
  frame->Navigate([] { return std::make_unique<PlaceholderPage>(); });
  window.SetContent(frame);
  window.Activate();

  int result = 1;
  QTimer::singleShot(500, [&] {
    result = window.grab().save(output) ? 0 : 1;
    app.quit();
  });
  app.exec();
  return result;
}
