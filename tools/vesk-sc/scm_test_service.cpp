// A small service for the controller's end-to-end tests. Install it with
//
//   vesk-sc create NAME binPath= "/path/scm_test_service [--exit-code N] [--steps N] [--accept LIST]"
//
// and it runs under the machine's service controller like any service: START_PENDING
// with check points, RUNNING, STOP_PENDING with check points on stop, shutdown or
// pre-shutdown, then STOPPED with the --exit-code (default 0). It pauses and continues
// when it accepts that. Every line it prints goes to <root>/scm/<name>.out:
//
//   process argv: a|b|...      the process's command line
//   main argv: NAME|arg|...    what the service main got (argv[0] is the service name)
//   control C event E session S
//
// --accept takes a comma list of stop, pause, shutdown, preshutdown, power, session
// (default: all but pause). Started by hand it prints the dispatcher's failure and
// ends with exit code 2.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/scm.h"
#include "platform/text.h"

namespace {

using namespace platform;

struct Options {
  DWORD exitCode = NO_ERROR;
  DWORD steps = 2;
  DWORD accepts = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN |
                  SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;
};

Options g_options;
std::mutex g_lock;
std::condition_variable g_cv;
bool g_stop = false;
SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void Report(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0) {
  std::lock_guard guard(g_lock);
  g_status.dwCurrentState = state;
  g_status.dwCheckPoint = checkPoint;
  g_status.dwWaitHint = waitHint;
  g_status.dwControlsAccepted = state == SERVICE_RUNNING || state == SERVICE_PAUSED ? g_options.accepts : 0;
  g_status.dwWin32ExitCode = state == SERVICE_STOPPED ? g_options.exitCode : NO_ERROR;
  SetServiceStatus(g_handle, &g_status);
}

DWORD Handler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  DWORD session = 0;
  if (control == SERVICE_CONTROL_SESSIONCHANGE && eventData != nullptr) {
    session = static_cast<WTSSESSION_NOTIFICATION*>(eventData)->dwSessionId;
  }
  Say("control " + std::to_string(control) + " event " + std::to_string(eventType) + " session " +
      std::to_string(session));
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN: {
      Report(SERVICE_STOP_PENDING, 1, 1000);
      std::lock_guard guard(g_lock);
      g_stop = true;
      g_cv.notify_all();
      return NO_ERROR;
    }
    case SERVICE_CONTROL_PAUSE:
      Report(SERVICE_PAUSED);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      Report(SERVICE_RUNNING);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: {
      std::lock_guard guard(g_lock);
      SetServiceStatus(g_handle, &g_status);
      return NO_ERROR;
    }
    default:
      return NO_ERROR;
  }
}

void ServiceMain(DWORD argc, LPWSTR* argv) {
  std::string line = "main argv:";
  for (DWORD i = 0; i < argc; ++i) {
    line += i == 0 ? ' ' : '|';
    line += WideToUtf8(argv[i]);
  }
  Say(line);
  g_handle = RegisterServiceCtrlHandlerEx(argv[0], Handler, nullptr);
  if (g_handle == nullptr) {
    Say("RegisterServiceCtrlHandlerEx failed: " + std::to_string(GetLastError()));
    return;
  }
  for (DWORD step = 1; step <= g_options.steps; ++step) {
    Report(SERVICE_START_PENDING, step, 1000);
    Sleep(50);
  }
  Report(SERVICE_RUNNING);
  {
    std::unique_lock guard(g_lock);
    g_cv.wait(guard, [] { return g_stop; });
  }
  for (DWORD step = 2; step <= g_options.steps + 1; ++step) {
    Sleep(50);
    Report(SERVICE_STOP_PENDING, step, 1000);
  }
  Report(SERVICE_STOPPED);
}

DWORD AcceptFlag(std::string_view name) {
  if (name == "stop") return SERVICE_ACCEPT_STOP;
  if (name == "pause") return SERVICE_ACCEPT_PAUSE_CONTINUE;
  if (name == "shutdown") return SERVICE_ACCEPT_SHUTDOWN;
  if (name == "preshutdown") return SERVICE_ACCEPT_PRESHUTDOWN;
  if (name == "power") return SERVICE_ACCEPT_POWEREVENT;
  if (name == "session") return SERVICE_ACCEPT_SESSIONCHANGE;
  std::fprintf(stderr, "scm_test_service: unknown control \"%.*s\"\n", static_cast<int>(name.size()), name.data());
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string line = "process argv:";
  for (int i = 0; i < argc; ++i) {
    line += i == 0 ? ' ' : '|';
    line += argv[i];
  }
  Say(line);
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--exit-code" && i + 1 < argc) {
      g_options.exitCode = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 0));
    } else if (arg == "--steps" && i + 1 < argc) {
      g_options.steps = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 0));
    } else if (arg == "--accept" && i + 1 < argc) {
      g_options.accepts = 0;
      std::string_view list = argv[++i];
      while (!list.empty()) {
        const auto comma = list.find(',');
        g_options.accepts |= AcceptFlag(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
      }
    }
  }
  SERVICE_TABLE_ENTRY table[] = {{const_cast<LPWSTR>(L"ScmTestService"), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcher(table)) {
    std::fprintf(stderr, "scm_test_service: StartServiceCtrlDispatcher failed: %u\n", GetLastError());
    return 2;
  }
  Say("dispatcher returned");
  return 0;
}
