// korvo-tallisk: the desktop app. Opens its window with the main page, or hands its
// activation to the instance that already runs.
//
//   korvo-tallisk [ARGUMENTS...]      a launch (non-empty arguments are shown as the record)
//   korvo-tallisk korvovesk:[?RECORD] an activation through the app's URI scheme
#include <cstdio>
#include <exception>

#include <QApplication>

#include "app/runtime/activation.h"
#include "app/runtime/errors.h"
#include "app/runtime/lifecycle.h"
#include "app/runtime/package.h"
#include "app/runtime/resources.h"
#include "app/shell/app.h"
#include "app/shell/desktop_entry.h"
#include "platform/machine.h"

namespace {

constexpr const char* kUsage =
    "Usage: korvo-tallisk [korvovesk:[?RECORD] | ARGUMENTS...]\n"
    "       korvo-tallisk --register | --help | --version\n"
    "\n"
    "Shows what this machine is, as the service Varnel reads it, on two pages.\n"
    "A second start hands its activation to the app that runs already.\n"
    "\n"
    "  korvovesk:?RECORD   show RECORD (fields joined by \"<.^.>\") as the system information\n"
    "  --register          install the desktop entry and make the app the handler of korvovesk: links\n"
    "  --version           print the package version\n"
    "\n"
    "Environment: KORVO_MACHINE_ROOT (the machine), KORVO_TALLISK_DATA (settings and logs),\n"
    "KORVO_TALLISK_PACKAGE (the package manifest; default: beside the program).\n";

bool HasDisplay() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!arguments.isEmpty() && arguments[0].startsWith(QStringLiteral("--")) &&
      arguments[0] != QStringLiteral("--register") && arguments[0] != QStringLiteral("--version")) {
    std::fprintf(stderr, "korvo-tallisk: unknown option %s\n%s", qPrintable(arguments[0]), kUsage);
    return 2;
  }
  if (arguments.value(0) != QStringLiteral("--version") && arguments.value(0) != QStringLiteral("--register") &&
      !HasDisplay()) {
    std::fputs(
        "korvo-tallisk: there is no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not set).\n"
        "Read the machine on the terminal instead: vesk-client sysinfo (and usbc).\n",
        stderr);
    return 3;
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Korvo Tallisk"));
  QApplication::setOrganizationName(QStringLiteral("korvo"));

  const app_runtime::Package* package = nullptr;
  try {
    package = &app_runtime::Package::Current();
  } catch (const app_runtime::hresult_error& e) {
    std::fprintf(stderr, "korvo-tallisk: %s\n", qPrintable(e.message()));
    return 1;
  }
  if (arguments.value(0) == QStringLiteral("--version")) {
    const auto v = package->Id().Version();
    std::printf("Korvo Tallisk %u.%u.%u.%u\n", v.Major, v.Minor, v.Build, v.Revision);
    return 0;
  }
  if (arguments.value(0) == QStringLiteral("--register")) {
    const QString result = Korvo_Tallisk::RegisterDesktopEntry(QCoreApplication::applicationFilePath());
    std::puts(qPrintable(result));
    return 0;
  }

  const app_runtime::Activation activation = app_runtime::ActivationFromCommandLine(arguments);
  app_runtime::SingleInstance instance;
  if (instance.ForwardToRunningInstance(activation)) return 0;
  if (!instance.Listen()) {
    std::fputs("korvo-tallisk: cannot listen for later activations; a second start will open a second window.\n",
               stderr);
  }

  try {
    platform::CurrentMachine();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvo-tallisk: the machine cannot be opened: %s\n", e.what());
    return 1;
  }
  // The service's endpoint checks the app as its package's app container.
  if (!app_runtime::EnterAppContainer(*package)) {
    std::fputs("korvo-tallisk: the machine did not take the app's package record; the service sees a plain process.\n",
               stderr);
  }

  app_runtime::ResourceContext::GetForCurrentView();
  app_runtime::Lifecycle::Current().WatchDesktop();
  Korvo_Tallisk::App::RegisterPageTypes();

  Korvo_Tallisk::App app;
  QObject::connect(&instance, &app_runtime::SingleInstance::activated, &app,
                   [&app](const app_runtime::Activation& next) { app.Activate(next); });
  app.Activate(activation);
  const int code = QApplication::exec();
  app_runtime::LeaveAppContainer();
  return code;
}
