#include "service/host/main_service.h"

#include <cstdlib>
#include <string>

#include "platform/eventlog.h"
#include "platform/sessions.h"
#include "platform/version.h"
#include "service/bridge/keyboard_bridge.h"
#include "service/logging/korvo_log.h"
#include "service/rpc/rpc_server.h"
#include "service/utils/korvo_process.h"
#include "service/utils/service_utils.h"
#include "service/utils/session_utils.h"
#include "service/utils/version_utils.h"

namespace RpcServer {

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::Log;
using Korvo::Shared::LogLevel;
using Korvo::Shared::TraceScope;

namespace {

constexpr const wchar_t* kNotificationProgram = L"KorvoPeltry.exe";
constexpr int kLaunchNotificationCommand = 2;

constexpr DWORD PBT_APMSUSPEND = 0x4;
constexpr DWORD PBT_APMSTANDBY = 0x5;
constexpr DWORD PBT_APMRESUMEAUTOMATIC = 0x12;

constexpr DWORD WTS_SESSION_LOGON = 0x5;
constexpr DWORD WTS_SESSION_LOGOFF = 0x6;
constexpr DWORD WTS_SESSION_LOCK = 0x7;
constexpr DWORD WTS_SESSION_UNLOCK = 0x8;

}  // namespace

CMainService::CMainService(const wchar_t* serviceName, BOOL canStop, BOOL canShutdown, BOOL canPauseContinue)
    : CServiceBase(serviceName, canStop, canShutdown, canPauseContinue) {
  TraceScope trace("RpcServer::CMainService::CMainService");
  InitializeCriticalSection(&m_csNotification);
  m_pWMIData = std::make_unique<WMIData>();
  SetWMIData(m_pWMIData.get());
}

CMainService::~CMainService() {
  TraceScope trace("RpcServer::CMainService::~CMainService");
  // The work item reports on the service and writes to the event log after the server
  // stopped listening: the object must not go before it has returned. Only the stop
  // path ends the server, and it has run by the time the dispatcher returns.
  if (PTP_WORK work = m_pRpcWork.exchange(nullptr)) {
    WaitForThreadpoolWorkCallbacks(work, TRUE);
    CloseThreadpoolWork(work);
  }
  // Unpublished first: nobody may find the instance while it is being deleted.
  SetWMIData(nullptr);
  m_pWMIData.reset();
  DeleteCriticalSection(&m_csNotification);
  CloseReadSysInfoThread();
  m_bLoggedOff = false;
}

CKeyBoardBridge* CMainService::KeyBoardBridge(WMIData* pWMIData) {
  return CKeyBoardBridge::getInstance(pWMIData);
}

void CMainService::OnStart(DWORD /*argc*/, LPWSTR* /*argv*/) {
  constexpr const char* kName = "RpcServer::CMainService::OnStart";
  TraceScope trace(kName);

  wchar_t path[MAX_PATH] = {};
  if (GetModuleFileName(nullptr, path, MAX_PATH) == 0) {
    Log(LogLevel::Error, kName, L"GetModuleFileName failed w/err 0x%08lx", GetLastError());
    return;
  }
  Log(LogLevel::Information, kName, L"%s", path);
  std::wstring folder(path);
  if (const auto slash = folder.rfind(L'\\'); slash != std::wstring::npos) folder.resize(slash);
  Log(LogLevel::Information, kName, L"Path: (%s)", folder);

  const std::wstring version = Utils::GetBinaryVersion();
  WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, L"Korvo Vesk Service (%s) in OnStart", version);
  Log(LogLevel::Information, kName, L"Korvo Vesk Service (%s) in OnStart", version);

  const int recovery = Utils::SetServiceRestartRecoveryOnFailure(L"Varnel");
  Log(LogLevel::Information, kName, L"Korvo Vesk Service Restart Recovery On Failure set status : %d", recovery);

  const DWORD sessionId = Utils::GetCurrentSessionID();
  if (sessionId != 0) {
    Log(LogLevel::Information, kName, L"Launch Hotkey notification from the session id : %d", sessionId);
    RunNotificationApplication();
  }

  PTP_WORK work = CreateThreadpoolWork(&CMainService::RpcServerMonitoringThread, this, nullptr);
  if (work == nullptr) {
    const DWORD error = GetLastError();
    WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"CreateThreadpoolWorkfailed w/err 0x%08lx", error);
    Log(LogLevel::Error, kName, L"CreateThreadpoolWorkfailed w/err 0x%08lx", error);
  } else {
    m_pRpcWork.store(work);
    SubmitThreadpoolWork(work);
  }
}

void CMainService::RpcServerMonitoringThread(PTP_CALLBACK_INSTANCE /*instance*/, PVOID context, PTP_WORK /*work*/) {
  constexpr const char* kName = "RpcServer::CMainService::RpcServerMonitoringThread";
  WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, L"RpcServerMonitoringThread - Entry");
  Log(LogLevel::TraceIn, kName, L"RpcServerMonitoringThread - Entry");

  const DWORD status = RpcServerStart(FALSE);
  if (status != 0) {
    Log(LogLevel::Information, kName, L"RpcServerStart Failed to start with return status %d", status);
    // Without its endpoint the service has nothing to offer: it stops the normal way.
    if (auto* service = static_cast<CMainService*>(context)) service->Stop();
  }

  WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, L"RpcServerMonitoringThread - Exit");
  Log(LogLevel::TraceOut, kName, L"RpcServerMonitoringThread - Exit");
}

void CMainService::RunNotificationApplication() {
  constexpr const char* kName = "RpcServer::CMainService::RunNotificationApplication";
  TraceScope trace(kName);
  CKeyBoardBridge* bridge = KeyBoardBridge(m_pWMIData.get());
  const INT privacySupport = bridge->GetPrivacyPanelState();
  Log(LogLevel::Information, kName, L"Privacy Support = %x", privacySupport);
  if (privacySupport == 0) return;

  // Start and log-on may get here at the same time: one of them launches.
  CriticalSectionLock lock(m_csNotification);
  Korvo::Shared::CKorvoProcess process;
  DWORD processId = 0;
  const HRESULT hr = process.FindProcessID(kNotificationProgram, &processId);
  Log(LogLevel::Information, kName, L"FindProcessID - HRESULT = 0x%x, ProcessID = %d", hr, processId);
  if (processId != 0) {
    const DWORD currentSessionId = Utils::GetCurrentSessionID();
    Log(LogLevel::Information, kName, L"Current SessionID = %d", currentSessionId);
    DWORD processSessionId = 0;
    const BOOL queried = ProcessIdToSessionId(processId, &processSessionId);
    Log(LogLevel::Information, kName, L"ProcessID = %d, Proc-SessionID = %d, ProcessIdToSessionId Return = %d",
        processId, processSessionId, queried);
    if (queried && processSessionId == currentSessionId) {
      Log(LogLevel::Information, kName,
          L"RunNotificationApplication - Already running or could not fetch status!!! HRESULT = 0x%x, ProcessID = %d",
          hr, processId);
      return;
    }
  }
  bridge->ProcessCommand(kLaunchNotificationCommand);
}

void CMainService::OnStop() {
  constexpr const char* kName = "RpcServer::CMainService::OnStop";
  TraceScope trace(kName);
  WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, L"Korvo Vesk Service in OnStop");
  Log(LogLevel::Information, kName, L"Korvo Vesk Service in OnStop");
  KeyBoardBridge(m_pWMIData.get())->ReleaseHotKeyHandlerInstance();
  // Ends RpcServerStart in the work item.
  RpcServerStop();
}

void CMainService::OnShutdown() {
  constexpr const char* kName = "RpcServer::CMainService::OnShutdown";
  TraceScope trace(kName);
  WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, L"CMainService in OnShutdown");
  Log(LogLevel::Information, kName, L"Korvo Vesk Service in OnShutdown");
  OnStop();
}

void CMainService::OnPreShutdown() {
  constexpr const char* kName = "RpcServer::CMainService::OnPreShutdown";
  TraceScope trace(kName);
  WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, L"CMainService in OnPreShutdown");
  Log(LogLevel::Information, kName, L"Korvo Vesk Service in OnPreShutdown");
  OnStop();
}

void CMainService::OnPowerEvent(DWORD eventType, LPVOID /*eventData*/) {
  constexpr const char* kName = "RpcServer::CMainService::OnPowerEvent";
  TraceScope trace(kName);
  Log(LogLevel::Information, kName, L"PowerEvent - 0x%x", eventType);
  switch (eventType) {
    case PBT_APMSUSPEND:
    case PBT_APMSTANDBY:
      break;
    case PBT_APMRESUMEAUTOMATIC: {
      Log(LogLevel::Information, kName,
          L"PowerEvent - PBT_APMRESUMEAUTOMATIC.System resuming from sleep/suspend/shutdown.");
      Log(LogLevel::Information, kName, L"Re-Enable Single Scan Code and Recreate App activation handler");
      // The firmware may have forgotten the hotkey mode while the machine slept.
      CKeyBoardBridge* bridge = KeyBoardBridge(nullptr);
      bridge->ActivateSingleScanCode();
      bridge->CreateAppActivationHandler();
      break;
    }
    default:
      WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, L"PowerEvent-default - 0x%x", eventType);
      break;
  }
}

void CMainService::OnSessionChange(DWORD eventType, LPVOID /*eventData*/) {
  constexpr const char* kName = "RpcServer::CMainService::OnSessionChange";
  TraceScope trace(kName);
  WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, L"OnSessionChange - Type = 0x%x", eventType);
  Log(LogLevel::Information, kName, L"OnSessionChange - 0x%x", eventType);
  switch (eventType) {
    case WTS_SESSION_LOGON:
      Log(LogLevel::Information, kName, L"WTS_SESSION_LOGON");
      Log(LogLevel::Information, kName, L"Calling CreateAppActivationHandler() from WTS_SESSION_LOGON ");
      KeyBoardBridge(nullptr)->CreateAppActivationHandler();
      RunNotificationApplication();
      break;
    case WTS_SESSION_LOGOFF:
      Log(LogLevel::Information, kName, L"WTS_SESSION_LOGOFF");
      m_bLoggedOff = true;
      break;
    case WTS_SESSION_LOCK:
      break;
    case WTS_SESSION_UNLOCK:
      Log(LogLevel::Information, kName, L"WTS_SESSION_UNLOCK");
      // Only an unlock after a log-off brings a new user session that needs its own
      // activation handler; unlocking the same session keeps the one it has.
      if (m_bLoggedOff) {
        KeyBoardBridge(m_pWMIData.get())->CreateAppActivationHandler();
        m_bLoggedOff = false;
      }
      break;
    default:
      WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, L"OnSessionChange-default type - 0x%x", eventType);
      break;
  }
}

void CMainService::ConsoleRun() {
  constexpr const char* kName = "RpcServer::CMainService::ConsoleRun";
  TraceScope trace(kName);
  const DWORD status = RpcServerStart(FALSE);
  if (status != 0) {
    Log(LogLevel::Information, kName, L"RpcServerConnect returned: 0x%x", status);
    // Whoever started the console run reads why from the exit code.
    std::exit(static_cast<int>(status));
  }
}

}  // namespace RpcServer
