#include "service/host/service_base.h"

#include <atomic>
#include <exception>
#include <mutex>

namespace {

using namespace platform;

CServiceBase* g_service = nullptr;   // the instance Run registered
std::atomic<DWORD> g_checkPoint{1};  // shared by every status report of the process

constexpr const wchar_t* kEventSource = L"Varnel";

}  // namespace

DWORD EventIdForType(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
      return 0x20000000;
    case EVENTLOG_ERROR_TYPE:
      return 0xE0000000;
    case EVENTLOG_WARNING_TYPE:
      return 0xA0000000;
    default:
      return 0x60000000;
  }
}

void WriteEventLogEntryText(WORD type, const std::wstring& message) {
  // The message buffer holds 1024 characters; anything longer is cut, never overrun.
  const std::wstring text = message.size() > 1023 ? message.substr(0, 1023) : message;
  HANDLE source = RegisterEventSource(nullptr, kEventSource);
  if (source == nullptr) return;
  LPCWSTR strings[1] = {text.c_str()};
  ReportEvent(source, type, 2, EventIdForType(type), nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

void CServiceBase::PrepareServiceTable(CServiceBase& service, SERVICE_TABLE_ENTRY (&table)[2]) {
  g_service = &service;
  table[0] = SERVICE_TABLE_ENTRY{const_cast<LPWSTR>(service.m_pszServiceName), &CServiceBase::ServiceMain};
  table[1] = SERVICE_TABLE_ENTRY{nullptr, nullptr};
}

BOOL CServiceBase::Run(CServiceBase& service) {
  SERVICE_TABLE_ENTRY table[2];
  PrepareServiceTable(service, table);
  return StartServiceCtrlDispatcher(table);
}

CServiceBase::CServiceBase(const wchar_t* serviceName, BOOL canStop, BOOL canShutdown, BOOL canPauseContinue)
    : m_pszServiceName(serviceName != nullptr ? serviceName : L"") {
  m_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
  DWORD accepted = 0;
  if (canStop) accepted |= SERVICE_ACCEPT_STOP;
  if (canShutdown) accepted |= SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
  if (canPauseContinue) accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
  accepted |= SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;
  m_serviceStatus.dwControlsAccepted = accepted;
}

CServiceBase::~CServiceBase() {
  if (g_service == this) g_service = nullptr;
}

void CServiceBase::ServiceMain(DWORD argc, LPWSTR* argv) {
  CServiceBase* service = g_service;
  if (service == nullptr) return;
  const SERVICE_STATUS_HANDLE statusHandle =
      RegisterServiceCtrlHandlerEx(service->m_pszServiceName, &CServiceBase::ServiceCtrlHandler, nullptr);
  {
    std::lock_guard guard(service->m_statusLock);
    service->m_hStatusHandle = statusHandle;
  }
  if (statusHandle == nullptr) {
    // Without a status handle nothing can be reported; the service is not started and
    // never reaches running. The event log says why.
    const DWORD error = GetLastError();
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"RegisterServiceCtrlHandlerEx failed w/err 0x%08lx", error);
    Korvo::Shared::GetLogger()->Log(Korvo::Shared::Error, "CServiceBase::ServiceMain",
                                    L"RegisterServiceCtrlHandlerEx failed w/err 0x%08lx", error);
    return;
  }
  service->Start(argc, argv);
}

DWORD CServiceBase::ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID /*context*/) {
  CServiceBase* service = g_service;
  if (service == nullptr) return NO_ERROR;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      service->Stop();
      break;
    case SERVICE_CONTROL_PAUSE:
      service->Pause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      service->Continue();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      service->Shutdown();
      break;
    case SERVICE_CONTROL_POWEREVENT:
      service->PowerEvent(eventType, eventData);
      break;
    case SERVICE_CONTROL_SESSIONCHANGE:
      service->SessionChange(eventType, eventData);
      break;
    case SERVICE_CONTROL_PRESHUTDOWN:
      service->PreShutdown();
      break;
    default:
      break;  // interrogate and everything else: nothing
  }
  return NO_ERROR;
}

void CServiceBase::SetServiceStatus(DWORD currentState, DWORD win32ExitCode, DWORD waitHint) {
  // Held while the report is made too, so the controller sees the reports in the order
  // their check points were counted. The report waits only for the controller's
  // acknowledgement, which the dispatcher's reader thread takes, never for a handler.
  std::lock_guard guard(m_statusLock);
  m_serviceStatus.dwCurrentState = currentState;
  m_serviceStatus.dwWin32ExitCode = win32ExitCode;
  m_serviceStatus.dwWaitHint = waitHint;
  m_serviceStatus.dwCheckPoint =
      (currentState == SERVICE_RUNNING || currentState == SERVICE_STOPPED) ? 0 : g_checkPoint.fetch_add(1);
  platform::SetServiceStatus(m_hStatusHandle, &m_serviceStatus);
}

// Each wrapper tells a Win32 error code thrown by the operation (a DWORD) from any other
// exception, as the table of outcomes has a row for each.
void CServiceBase::Start(DWORD argc, LPWSTR* argv) {
  try {
    SetServiceStatus(SERVICE_START_PENDING);
    OnStart(argc, argv);
    SetServiceStatus(SERVICE_RUNNING);
  } catch (DWORD error) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service Start failed w/err 0x%08lx", error);
    SetServiceStatus(SERVICE_STOPPED, error);
  } catch (...) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service failed to start.");
    SetServiceStatus(SERVICE_STOPPED);
  }
}

void CServiceBase::Stop() {
  const DWORD originalState = Status().dwCurrentState;
  try {
    SetServiceStatus(SERVICE_STOP_PENDING);
    OnStop();
    SetServiceStatus(SERVICE_STOPPED);
  } catch (DWORD error) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service Stop failed w/err 0x%08lx", error);
    SetServiceStatus(originalState);
  } catch (...) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service failed to stop.");
    SetServiceStatus(originalState);
  }
}

void CServiceBase::Pause() {
  try {
    SetServiceStatus(SERVICE_PAUSE_PENDING);
    OnPause();
    SetServiceStatus(SERVICE_PAUSED);
  } catch (DWORD error) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service Pause failed w/err 0x%08lx", error);
    SetServiceStatus(SERVICE_RUNNING);
  } catch (...) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service failed to pause.");
    SetServiceStatus(SERVICE_RUNNING);
  }
}

void CServiceBase::Continue() {
  try {
    SetServiceStatus(SERVICE_CONTINUE_PENDING);
    OnContinue();
    SetServiceStatus(SERVICE_RUNNING);
  } catch (DWORD error) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service Continue failed w/err 0x%08lx", error);
    SetServiceStatus(SERVICE_PAUSED);
  } catch (...) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service failed to resume.");
    SetServiceStatus(SERVICE_PAUSED);
  }
}

void CServiceBase::PreShutdown() {
  try {
    SetServiceStatus(SERVICE_STOP_PENDING);
    OnPreShutdown();
    SetServiceStatus(SERVICE_STOPPED);
  } catch (DWORD error) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service Shutdown failed w/err 0x%08lx", error);
  } catch (...) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service failed to shut down.");
  }
}

void CServiceBase::Shutdown() {
  try {
    SetServiceStatus(SERVICE_STOP_PENDING);
    OnShutdown();
    SetServiceStatus(SERVICE_STOPPED);
  } catch (DWORD error) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service Shutdown failed w/err 0x%08lx", error);
  } catch (...) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service failed to shut down.");
  }
}

void CServiceBase::PowerEvent(DWORD eventType, LPVOID eventData) {
  try {
    OnPowerEvent(eventType, eventData);
  } catch (DWORD error) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service PowerEvent failed w/err 0x%08lx", error);
  } catch (...) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service failed to get PowerEvent.");
  }
}

void CServiceBase::SessionChange(DWORD eventType, LPVOID eventData) {
  try {
    OnSessionChange(eventType, eventData);
  } catch (DWORD error) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service SessionChange failed w/err 0x%08lx", error);
  } catch (...) {
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"Service failed to get SessionChange.");
  }
}

void CServiceBase::OnStart(DWORD, LPWSTR*) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnPreShutdown() {}
void CServiceBase::OnShutdown() {}
void CServiceBase::OnPowerEvent(DWORD, LPVOID) {}
void CServiceBase::OnSessionChange(DWORD, LPVOID) {}
