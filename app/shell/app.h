// The application object of Korvo Tallisk: opens the main page in the window on a
// launch and on every activation through the "korvovesk:" URI scheme, logs the app's
// version, and waits briefly on suspension so pending work can finish.
#pragma once

#include <chrono>

#include <QObject>
#include <QString>

#include "app/runtime/activation.h"
#include "app/runtime/event.h"
#include "app/runtime/lifecycle.h"

namespace app_runtime {
class Frame;
class NavigationFailedEventArgs;
}  // namespace app_runtime

namespace Korvo_Tallisk {

class App : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kScheme = "korvovesk";

  // How long the app holds the UI thread: after a launch or activation, before the
  // page reads, and on suspension. Tests shorten them.
  struct Waits {
    std::chrono::milliseconds initialise{1000};
    std::chrono::milliseconds suspend{2000};
  };

  // Makes the app's pages known to its frames by type name.
  static void RegisterPageTypes();

  App();
  explicit App(Waits waits, app_runtime::Lifecycle& lifecycle = app_runtime::Lifecycle::Current());
  ~App() override;

  void OnLaunched(const app_runtime::LaunchActivatedEventArgs& e);
  void OnActivated(const app_runtime::ActivatedEventArgs& e);

  // Runs a command line's activation: a launch or an activation through the URI.
  void Activate(const app_runtime::Activation& activation);

  // The message of the last page that failed to load ("" when none did).
  const QString& LastNavigationFailure() const { return m_lastNavigationFailure; }

 private:
  void OnSuspending(const app_runtime::SuspendingEventArgs& e);
  void OnNavigationFailed(app_runtime::Frame& sender, const app_runtime::NavigationFailedEventArgs& e);
  void InitialiseMainViewModel();
  void GetAppVersion();
  void ApplyLayoutDirection(app_runtime::Frame& frame);
  app_runtime::Frame* NewRootFrame();

  Waits m_waits;
  app_runtime::Lifecycle& m_lifecycle;
  app_runtime::event_token m_suspendingToken;
  QString m_lastNavigationFailure;
};

}  // namespace Korvo_Tallisk
