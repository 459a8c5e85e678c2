#include "app/shell/app.h"

#include <thread>

#include "app/pages/content_dialog_msg.h"
#include "app/pages/custom_title_bar.h"
#include "app/pages/main_page.h"
#include "app/pages/usb_type_c_page.h"
#include "app/runtime/frame.h"
#include "app/runtime/package.h"
#include "app/runtime/resources.h"
#include "app/runtime/window.h"
#include "app/shell/logging_handler.h"

namespace Korvo_Tallisk {

using namespace app_runtime;

namespace {

void Line(const char* operation, const QString& text, LoggingLevel level = LoggingLevel::Verbose) {
  Log(QStringLiteral("Korvo_Tallisk::App::") + QString::fromLatin1(operation), text, level);
}

}  // namespace

void App::RegisterPageTypes() {
  Frame::RegisterPageType<MainPage>(QString::fromLatin1(MainPage::kTypeName));
  Frame::RegisterPageType<USBTypeCPage>(QString::fromLatin1(USBTypeCPage::kTypeName));
}

App::App() : App(Waits{}) {}

App::App(Waits waits, Lifecycle& lifecycle) : m_waits(waits), m_lifecycle(lifecycle) {
  // The first line makes the log handler, whose own suspension handler so comes first.
  Line("App", QStringLiteral("Entry"));
  m_suspendingToken = m_lifecycle.Suspending([this](const SuspendingEventArgs& e) { OnSuspending(e); });
  Line("App", QStringLiteral("Exit"));
}

App::~App() {
  Line("~App", QStringLiteral("Entry"));
  m_lifecycle.Suspending(m_suspendingToken);
  Line("~App", QStringLiteral("Exit"));
}

void App::Activate(const Activation& activation) {
  if (activation.kind == ActivationKind::Protocol) {
    OnActivated({ActivationKind::Protocol, Uri(activation.arguments)});
  } else {
    OnLaunched({activation.arguments, false});
  }
}

Frame* App::NewRootFrame() {
  auto* frame = new Frame();
  // A page that cannot be made is reported, on every frame of the app.
  frame->NavigationFailed([this](Frame& sender, const NavigationFailedEventArgs& e) { OnNavigationFailed(sender, e); });
  return frame;
}

void App::OnLaunched(const LaunchActivatedEventArgs& e) {
  Line("OnLaunched", QStringLiteral("Entry"));
  GetAppVersion();
  InitialiseMainViewModel();
  Window& window = Window::Current();
  auto* rootFrame = qobject_cast<Frame*>(window.Content());
  if (rootFrame != nullptr) {
    if (!e.PrelaunchActivated) {
      if (rootFrame->Content() == nullptr) rootFrame->Navigate(QString::fromLatin1(MainPage::kTypeName), e.Arguments);
      window.Activate();
    }
  } else {
    rootFrame = NewRootFrame();
    if (!e.PrelaunchActivated) {
      if (rootFrame->Content() == nullptr) rootFrame->Navigate(QString::fromLatin1(MainPage::kTypeName), e.Arguments);
      window.SetContent(rootFrame);
      window.Activate();
    } else {
      rootFrame->deleteLater();  // a prelaunch keeps its frame out of the window
      rootFrame = nullptr;
    }
  }
  if (rootFrame != nullptr) ApplyLayoutDirection(*rootFrame);
  Line("OnLaunched", QStringLiteral("Exit"));
}

void App::OnActivated(const ActivatedEventArgs& e) {
  Line("OnActivated", QStringLiteral("Entry"));
  if (e.Kind == ActivationKind::Protocol) {
    InitialiseMainViewModel();
    Line("OnActivated", QStringLiteral("URI Scheme = ") + e.uri.SchemeName(), LoggingLevel::Error);
    if (e.uri.SchemeName() == QString::fromLatin1(kScheme)) {
      // Every activation gets a fresh frame and page, also while the app runs.
      Frame* rootFrame = NewRootFrame();
      rootFrame->Navigate(QString::fromLatin1(MainPage::kTypeName), e.uri.Query());
      ApplyLayoutDirection(*rootFrame);
      Window::Current().SetContent(rootFrame);
      Window::Current().Activate();
    }
  }
  Line("OnActivated", QStringLiteral("Exit"));
}

void App::ApplyLayoutDirection(Frame& frame) {
  const QString direction =
      ResourceContext::GetForCurrentView().QualifierValues().value(QStringLiteral("LayoutDirection"));
  frame.SetFlowDirection(direction == QStringLiteral("LTR") ? FlowDirection::LeftToRight : FlowDirection::RightToLeft);
}

void App::OnSuspending(const SuspendingEventArgs&) {
  Line("OnSuspending", QStringLiteral("Entry"));
  Line("OnSuspending", QStringLiteral("Waiting for 2 sec before exiting app to release any pending resource"));
  std::this_thread::sleep_for(m_waits.suspend);
  Line("OnSuspending", QStringLiteral("Exit"));
}

void App::OnNavigationFailed(Frame&, const NavigationFailedEventArgs& e) {
  Line("OnNavigationFailed", QStringLiteral("Entry"));
  Line("OnNavigationFailed", QStringLiteral("Exit"));
  // Ending the app with an exception nobody catches would take the user's window away
  // without a word; the failure is logged and said instead, and the window stays.
  m_lastNavigationFailure = QStringLiteral("Failed to load Page ") + e.SourcePageType();
  Line("OnNavigationFailed", m_lastNavigationFailure + QStringLiteral(": ") + e.Message(), LoggingLevel::Critical);
  auto* dialog = new ContentDialogMsg(&Window::Current());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->SetMessage(m_lastNavigationFailure);
  dialog->show();
}

void App::InitialiseMainViewModel() {
  Line("InitialiseMainViewModel", QStringLiteral("Entry"));
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + m_waits.initialise);
  Line("InitialiseMainViewModel", QStringLiteral("Exit"));
}

void App::GetAppVersion() {
  Line("GetAppVersion", QStringLiteral("Entry"));
  const PackageVersion v = Package::Current().Id().Version();
  Line("GetAppVersion",
       QStringLiteral("Korvo Tallisk App version = %1.%2.%3.%4").arg(v.Major).arg(v.Minor).arg(v.Build).arg(v.Revision),
       LoggingLevel::Information);
  Line("GetAppVersion", QStringLiteral("Exit"));
}

}  // namespace Korvo_Tallisk
