#include "service/host/varnel_main.h"

#include <atomic>
#include <string>

#include "platform/clock.h"
#include "platform/scm.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/version.h"
#include "service/host/main_service.h"
#include "service/logging/korvo_log.h"
#include "service/rpc/rpc_server.h"
#include "service/utils/com_security.h"
#include "service/utils/korvo_process.h"

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::LogLevel;

namespace {

constexpr const wchar_t* kNotificationProgram = L"KorvoPeltry.exe";
constexpr int kMaxNotificationRounds = 100;
constexpr DWORD kStopPollMs = 1000;
// OpenService rights of the removal: stop, query status and delete.
constexpr DWORD kRemoveAccess = SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE;
static_assert(kRemoveAccess == 0x10024);

// Set once COM security was initialised in this process: it can be set only once.
std::atomic<bool> g_comSecurityInitialized{false};

// One write of the program's printf-style output.
template <class... Args>
void Print(std::ostream& out, const wchar_t* format, const Args&... args) {
  out << WideToUtf8(Korvo::Shared::detail::FormatMessage(
      4096, format, fmt::make_wprintf_args(Korvo::Shared::detail::LogArg(args)...)));
  out.flush();
}

void PrintUsage(std::ostream& out) {
  Print(out, L"Parameters:\n");
  Print(out, L" -install  to install the service.\n");
  Print(out, L" -remove   to remove the service.\n");
  Print(out, L" -console  to run in console mode.\n");
}

// Ends a console run when the host asks the process to end (Ctrl-C, SIGTERM): the RPC
// server stops listening as on a service stop, so its endpoint goes away, the run
// returns and the program ends normally, with the log written out, instead of dying of
// the signal.
class ConsoleEndWatcher {
 public:
  explicit ConsoleEndWatcher(std::ostream& out)
      : m_out(out), m_hEndRequest(CreateEndRequestEvent()), m_hRunEnded(CreateEvent(nullptr, TRUE, FALSE, nullptr)) {
    if (m_hEndRequest && m_hRunEnded) {
      m_hThread.reset(CreateThread(nullptr, 0, &ConsoleEndWatcher::Watch, this, 0, nullptr));
    }
    if (!m_hThread) {
      GetLogger()->Log(LogLevel::Warning, kName, L"Console mode ends only with its process: w/err 0x%08lx",
                       GetLastError());
    }
  }
  ~ConsoleEndWatcher() {
    if (!m_hThread) return;
    SetEvent(m_hRunEnded.get());
    WaitForSingleObject(m_hThread.get(), INFINITE);
  }
  ConsoleEndWatcher(const ConsoleEndWatcher&) = delete;
  ConsoleEndWatcher& operator=(const ConsoleEndWatcher&) = delete;

 private:
  static constexpr const char* kName = "ConsoleEndWatcher::Watch";
  static constexpr DWORD kRetryStopMs = 1000;

  static DWORD Watch(LPVOID parameter) {
    auto* self = static_cast<ConsoleEndWatcher*>(parameter);
    const HANDLE handles[2] = {self->m_hRunEnded.get(), self->m_hEndRequest.get()};
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return 0;
    Print(self->m_out, L"Stopping Varnel console mode...\n");
    GetLogger()->Log(LogLevel::Information, kName, L"End requested: stopping the RPC server");
    // A request that came before the server listened finds nothing to stop yet: ask
    // again until the run has ended.
    do {
      RpcServer::RpcServerStop();
    } while (WaitForSingleObject(self->m_hRunEnded.get(), kRetryStopMs) == WAIT_TIMEOUT);
    return 0;
  }

  std::ostream& m_out;
  UniqueHandle m_hEndRequest;
  UniqueHandle m_hRunEnded;
  UniqueHandle m_hThread;
};

void RunConsole(std::ostream& out) {
  RpcServer::CMainService service(kVarnelServiceName, TRUE, TRUE, FALSE);
  ConsoleEndWatcher watcher(out);
  service.ConsoleRun();
}

void RunAsService(std::ostream& out) {
  if (!g_comSecurityInitialized.load()) {
    if (SUCCEEDED(Utils::InitializeSecurity())) g_comSecurityInitialized.store(true);
  }
  RpcServer::CMainService service(kVarnelServiceName, TRUE, TRUE, FALSE);
  if (!CServiceBase::Run(service)) {
    Print(out, L"Service failed to run w/err 0x%08lx\n", GetLastError());
  }
}

// Ends every running notification program, one per round, for as long as one is found.
void EndNotificationPrograms() {
  Korvo::Shared::CKorvoProcess process;
  for (int round = 0; round < kMaxNotificationRounds; ++round) {
    process.KillProcessByName(kNotificationProgram);
    DWORD processId = 0;
    process.FindProcessID(kNotificationProgram, &processId);
    if (processId == 0) break;
  }
}

}  // namespace

void InstallService(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* description, DWORD startType,
                    const wchar_t* dependencies, const wchar_t* account, const wchar_t* password, std::ostream& out) {
  wchar_t path[MAX_PATH] = {};
  if (GetModuleFileName(nullptr, path, MAX_PATH) == 0) {
    Print(out, L"GetModuleFileName failed w/err 0x%08lx\n", GetLastError());
    return;
  }
  // Quoted, so that the folder's spaces do not split the command line.
  const std::wstring binaryPath =
      Korvo::Shared::detail::FormatMessage(262, L"\"%s\"", fmt::make_wprintf_args(std::wstring(path)));

  SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    Print(out, L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
    return;
  }
  SC_HANDLE service = CreateService(
      manager, serviceName, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
      startType, SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr, dependencies, account, password);
  if (service == nullptr) {
    Print(out, L"CreateService failed w/err 0x%08lx\n", GetLastError());
  } else {
    SERVICE_DESCRIPTION serviceDescription{const_cast<LPWSTR>(description)};
    if (!ChangeServiceConfig2(service, SERVICE_CONFIG_DESCRIPTION, &serviceDescription)) {
      Print(out, L"ChangeServiceConfig2 (SERVICE_CONFIG_DESCRIPTION) failed w/err 0x%08lx\n", GetLastError());
    }
    Print(out, L"%s is installed.\n", serviceName);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
}

void UninstallService(const wchar_t* serviceName, std::ostream& out) {
  SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = nullptr;
  if (manager == nullptr) {
    Print(out, L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
  } else {
    service = OpenService(manager, serviceName, kRemoveAccess);
    if (service == nullptr) Print(out, L"OpenService failed w/err 0x%08lx\n", GetLastError());
  }
  if (service != nullptr) {
    SERVICE_STATUS status{};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      Print(out, L"Stopping %s.", serviceName);
      Sleep(kStopPollMs);
      while (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOP_PENDING) {
        Print(out, L".");
        Sleep(kStopPollMs);
      }
      if (status.dwCurrentState == SERVICE_STOPPED) {
        Print(out, L"\n%s is stopped.\n", serviceName);
      } else {
        Print(out, L"\n%s failed to stop.\n", serviceName);
      }
    }
    if (DeleteService(service)) {
      Print(out, L"%s is removed.\n", serviceName);
    } else {
      Print(out, L"DeleteService failed w/err 0x%08lx\n", GetLastError());
    }
  }
  // A notification program left behind would talk to a service that is gone.
  EndNotificationPrograms();
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
}

int VarnelMain(int argc, wchar_t** argv, std::ostream& out) {
  if (argc > 1 && argv[1] != nullptr && (argv[1][0] == L'-' || argv[1][0] == L'/')) {
    const wchar_t* option = argv[1] + 1;
    if (_wcsicmp(L"install", option) == 0) {
      InstallService(kVarnelServiceName, kVarnelDisplayName, kVarnelDescription, SERVICE_AUTO_START, L"", nullptr,
                     nullptr, out);
    } else if (_wcsicmp(L"remove", option) == 0) {
      UninstallService(kVarnelServiceName, out);
    } else if (_wcsicmp(L"console", option) == 0) {
      RunConsole(out);
    }
    // Any other option: nothing at all.
  } else {
    // Printed on every start as a service too, where nobody sees it.
    PrintUsage(out);
    RunAsService(out);
  }
  return 0;
}
