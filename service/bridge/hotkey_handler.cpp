#include "service/bridge/hotkey_handler.h"

#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/scm.h"
#include "platform/sync.h"
#include "platform/version.h"
#include "service/bridge/firmware_command.h"
#include "service/bridge/hotkey_handler_internal.h"
#include "service/host/main_service.h"
#include "service/utils/service_utils.h"
#include "service/utils/version_utils.h"

namespace RpcServer::SysInfo {

using namespace platform;
using namespace detail;

namespace {

constexpr int kCreationPasses = 6;
constexpr DWORD kCreationPauseMs = 1000;
constexpr DWORD kSysInfoWaitMs = 25000;
constexpr DWORD kSingleScanCodeThreadWaitMs = 8000;
constexpr const wchar_t* kManifests[] = {L"Varnel.exe.manifest", L"KorvoMeridManager.manifest", L"Varnel_amd64.xml"};

}  // namespace

// --- COverlappedIO ----------------------------------------------------------------------

COverlappedIO::COverlappedIO() {
  m_pOverlapped = new (std::nothrow) OVERLAPPED;
  if (m_pOverlapped == nullptr) throw static_cast<DWORD>(GetLastError());
  std::memset(m_pOverlapped, 0, sizeof(OVERLAPPED));
  m_pOverlapped->hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
}

COverlappedIO::~COverlappedIO() {
  if (m_pOverlapped == nullptr) return;
  if (m_pOverlapped->hEvent != nullptr && m_pOverlapped->hEvent != INVALID_HANDLE_VALUE) {
    SetEvent(m_pOverlapped->hEvent);
    CloseHandle(m_pOverlapped->hEvent);
  }
  m_pOverlapped->hEvent = INVALID_HANDLE_VALUE;
  delete m_pOverlapped;
  m_pOverlapped = nullptr;
}

// --- Life -------------------------------------------------------------------------------

CHotKeyHandler::CHotKeyHandler(WMIData* pWMIData) : m_pWMIData(pWMIData) {
  TraceScope trace("RpcServer::SysInfo::CHotKeyHandler::CHotKeyHandler");
  AllocateHandler();
  Initialize();
}

CHotKeyHandler::~CHotKeyHandler() {
  TraceScope trace("RpcServer::SysInfo::CHotKeyHandler::~CHotKeyHandler");
  Release();
  DisableActivationContext();
  m_pMeridCommand.Reset();
  m_pVantorCommand.Reset();
}

bool CHotKeyHandler::CreateAppActivationHandler() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::CreateAppActivationHandler";
  TraceScope trace(kName);
  m_pAppActivationHandler = new (std::nothrow) AppSection::CAppActivationHandler();
  if (m_pAppActivationHandler == nullptr) {
    Log(LogLevel::Error, kName, L"CAppActivationHandler creation failed");
    return false;
  }
  return true;
}

void CHotKeyHandler::DeleteAppActivationHandler() {
  delete m_pAppActivationHandler;
  m_pAppActivationHandler = nullptr;
}

bool CHotKeyHandler::AllocateHandler() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::AllocateHandler";
  TraceScope trace(kName);
  bool result = true;
  if (!CreateAppActivationHandler()) {
    Log(LogLevel::Error, kName, L"CreateAppActivationHandler failed");
    result = false;
  }
  if (result) {
    m_hWaitForSysInfoReadCompleteEvent = CreateEvent(nullptr, TRUE, TRUE, L"SysInfoReadComplete.Event");
    if (m_hWaitForSysInfoReadCompleteEvent == nullptr) {
      Log(LogLevel::Error, kName, L"CreateEvent(m_hWaitForSysInfoReadCompleteEvent) failed to create : Error = %d",
          GetLastError());
      result = false;
    }
  }
  try {
    m_pOverlappedIO = new COverlappedIO[KVQKBFILTR_FunctionCount];
  } catch (...) {
    m_pOverlappedIO = nullptr;
    Log(LogLevel::Error, kName, L"COverlappedIO creation failed");
  }
  trace.Out(L"Return Value = %d", result ? 1 : 0);
  return result;
}

void CHotKeyHandler::Initialize() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::Initialize";
  TraceScope trace(kName);

  m_hKeyboardFilter = INVALID_HANDLE_VALUE;
  if (FAILED(InitializeKeyboardFilter())) {
    Log(LogLevel::Warning, kName, L"Keyboard driver initialization failed. This warning applicable only to Notebooks");
  }

  const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hrCom) && hrCom != RPC_E_CHANGED_MODE) {
    Log(LogLevel::Error, kName, L"Failed to initialize COM library failed with Error: %u", GetLastError());
    return;
  }

  VS_FIXEDFILEINFO version{};
  const int framework = Utils::IsServicePresent(L"kvqvantorwmiex", version, TRUE, TRUE, SC_MANAGER_ALL_ACCESS);
  if (framework >= 0) {
    Log(LogLevel::Verbose, kName, L"Korvo Vantor Framework Service Version Installed = %s with Running Status = %d",
        Utils::FormatFileVersion(version), framework);
  }
  version = {};
  const int sysInfoCap = Utils::IsServicePresent(L"KorvoSysInfoCap", version, TRUE, TRUE, SC_MANAGER_ALL_ACCESS);
  const bool sysInfoCapInstalled = sysInfoCap >= 0;
  if (sysInfoCapInstalled) {
    Log(LogLevel::Verbose, kName, L"Korvo System Info Kesa Service Version Installed = %s with Running Status = %d",
        Utils::FormatFileVersion(version), sysInfoCap);
  }

  bool created = false;
  HRESULT hr = S_OK;
  for (int pass = 1; pass <= kCreationPasses && !created; ++pass) {
    Log(LogLevel::Verbose, kName, L"Trying to initialize with legacy Vantor");
    m_pVantorCommand.Reset();
    hr = CreateVantorCommand(m_pVantorCommand);
    if (SUCCEEDED(hr)) {
      created = true;
      break;
    }
    m_pVantorCommand.Reset();
    Log(LogLevel::Verbose, kName,
        L"Vantor Initialization failed with Error : %u, HRESULT : 0x%08X. Trying to initialize with modern Merid",
        GetLastError(), hr);

    if (sysInfoCapInstalled) {
      Log(LogLevel::Verbose, kName, L"Korvo System Info Kesa Service is installed. Trying to initialize with Merid");
      for (const wchar_t* manifest : kManifests) {
        if (!EnableActivationContext(manifest)) {
          Log(LogLevel::Error, kName, L"EnableActivationContext. So there is a chance of 'Class Not Registered' Error");
          continue;
        }
        Log(LogLevel::Verbose, kName, L"Trying to initialize with Merid using the manifest %s", manifest);
        m_pMeridCommand.Reset();
        hr = CreateMeridSdkVantorCommand(m_pMeridCommand);
        if (SUCCEEDED(hr)) {
          created = true;  // the context stays active until the end of Initialize
          break;
        }
        m_pMeridCommand.Reset();
        Log(LogLevel::Error, kName, L"Failed to Create Instance of Merid / Vantor (%s) Error: %u, HRESULT : 0x%08X",
            manifest, GetLastError(), hr);
        DisableActivationContext();
      }
      if (created) break;
    }
    Sleep(kCreationPauseMs);
  }

  if (created) {
    Log(LogLevel::Information, kName, L"Vantor/Merid initialization is success");
    Log(LogLevel::Information, kName, L"Trying to activate single Scan Code");
    hr = ActivateSingleScanCode();
    if (FAILED(hr)) {
      Log(LogLevel::Error, kName, L"ActivateSingleScanCode() failed with Error: %u, HRESULT : 0x%08X", GetLastError(),
          hr);
    }
  } else {
    Log(LogLevel::Error, kName, L"Failed to CreateInstance of Merid / Vantor Error: %u, HRESULT : 0x%08X",
        GetLastError(), hr);
  }

  DisableActivationContext();
  // Only a join of our own is balanced: a thread that was already in another kind of
  // apartment keeps it.
  if (SUCCEEDED(hrCom)) CoUninitialize();
}

bool CHotKeyHandler::EnableActivationContext(const wchar_t* manifestFileName) {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::EnableActivationContext";
  TraceScope trace(kName);
  wchar_t path[MAX_PATH] = {};
  if (GetModuleFileName(nullptr, path, MAX_PATH) == 0) {
    Log(LogLevel::Error, kName, L"Could not find Executable file path.");
    return false;
  }
  const std::wstring fullName(path);
  Log(LogLevel::Information, kName, L"Executable file complete name is: %s", fullName);
  const auto slash = fullName.rfind(L'\\');
  const std::wstring folder = slash == std::wstring::npos ? fullName : fullName.substr(0, slash);
  Log(LogLevel::Information, kName, L"Executable file complete path is: %s", folder);

  ACTCTXW actCtx{};
  actCtx.cbSize = sizeof(actCtx);
  actCtx.dwFlags = ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
  actCtx.lpSource = manifestFileName;
  actCtx.lpAssemblyDirectory = folder.c_str();
  m_hActCtx = CreateActCtx(&actCtx);
  if (m_hActCtx == INVALID_HANDLE_VALUE) {
    Log(LogLevel::Error, kName, L"CreateActCtx failed with Error: %u", GetLastError());
    return false;
  }
  if (!ActivateActCtx(m_hActCtx, &m_ulActCtxCookie)) {
    Log(LogLevel::Error, kName, L"ActivateActCtx failed with Error: %u,", GetLastError());
    return false;
  }
  return true;
}

void CHotKeyHandler::DisableActivationContext() {
  TraceScope trace("RpcServer::SysInfo::CHotKeyHandler::DisableActivationContext");
  if (m_ulActCtxCookie != 0 && DeactivateActCtx(0, m_ulActCtxCookie)) m_ulActCtxCookie = 0;
  if (m_hActCtx != INVALID_HANDLE_VALUE && m_hActCtx != nullptr) {
    ReleaseActCtx(m_hActCtx);
    m_hActCtx = INVALID_HANDLE_VALUE;
  }
}

// --- Serving ----------------------------------------------------------------------------

std::wstring CHotKeyHandler::GetSysInfo() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::GetSysInfo";
  TraceScope trace(kName);
  if (m_hWaitForSysInfoReadCompleteEvent != nullptr && !ResetEvent(m_hWaitForSysInfoReadCompleteEvent)) {
    Log(LogLevel::Error, kName, L"Reset Event for m_hWaitForSysInfoReadCompleteEvent failed with error %d",
        GetLastError());
  }

  std::wstring record;
  WMIData* data = m_pWMIData.load();
  // The record is written by the reading thread; it is looked at only while that
  // thread is not running, and otherwise waited for below.
  if (data != nullptr && !CMainService::IsReadSysInfoThreadRunning()) record = data->m_csSysInfo;
  if (!record.empty()) {
    Log(LogLevel::Verbose, kName, L"System Info String is not empty. Value  = %s", record);
    std::lock_guard guard(m_cacheLock);
    if (m_csUsbTypeCSupport.empty()) CheckAndAddUsbTypeCSupportLocked();
  } else if (!CMainService::ReadSysInfo()) {
    Log(LogLevel::Error, kName, L"ReadSysInfo thread launch failed");
  } else {
    {
      std::lock_guard guard(m_cacheLock);
      if (!m_csUsbTypeCSupport.empty()) {
        Log(LogLevel::Verbose, kName, L"USB Type C Present string not empty. Value = %s", m_csUsbTypeCSupport);
      } else {
        CheckAndAddUsbTypeCSupportLocked();
      }
    }
    if (CMainService::IsReadSysInfoReadCompleted(kSysInfoWaitMs)) {
      data = CMainService::GetWMIData();
      m_pWMIData.store(data);
      if (data != nullptr) {
        record = data->m_csSysInfo;
      } else {
        Log(LogLevel::Error, kName, L"WMIData pointer is NULL");
      }
    } else {
      Log(LogLevel::Warning, kName, L"Reading System information from BIOS is not completed.");
    }
  }

  std::wstring result;
  if (!record.empty()) {
    std::lock_guard guard(m_cacheLock);
    result = record + kSysInfoSeparator + m_csUsbTypeCSupport;
  } else {
    Log(LogLevel::Error, kName, L"System Info String is empty");
  }

  if (m_hWaitForSysInfoReadCompleteEvent != nullptr && !SetEvent(m_hWaitForSysInfoReadCompleteEvent)) {
    Log(LogLevel::Error, kName, L"SetEvent for m_hWaitForSysInfoReadCompleteEvent failed with error %d",
        GetLastError());
  }
  trace.Out(L"Complete SysInfo = %s", result);
  return result;
}

INT CHotKeyHandler::GetPrivacyPanelState() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::GetPrivacyPanelState";
  TraceScope trace(kName);
  LONG state = 1;
  if (!m_pMeridCommand) {
    Log(LogLevel::Error, kName, L"Merid SDK Vantor Command Instance is NULL");
    return state;
  }
  try {
    Log(LogLevel::Verbose, kName, L"Trying to Privacy View Support using Merid");
    const HRESULT hr = m_pMeridCommand->GetPrivacyPanelState(&state);
    if (FAILED(hr)) {
      Log(LogLevel::Verbose, kName, L"Failed to get Privacy Panel State, [hr:0x%08X]", hr);
    } else {
      Log(LogLevel::Verbose, kName, L"Privacy Panel State = : %d", state);
    }
  } catch (const _com_error& e) {
    Log(LogLevel::Error, kName, L"Exception occurred when calling Privacy Panel State, [hr:0x%08X]", e.Error());
  }
  return state;
}

DWORD CHotKeyHandler::WaitForHandleToComplete(HANDLE handle, DWORD milliseconds) {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::WaitForHandleToComplete";
  TraceScope trace(kName, L"Handle = 0x%x, WaitTime = %d",
                   static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle)), milliseconds);
  if (handle == nullptr) return WAIT_OBJECT_0;
  const DWORD result = WaitForSingleObject(handle, milliseconds);
  switch (result) {
    case WAIT_OBJECT_0:
      Log(LogLevel::Verbose, kName, L"(WAIT_OBJECT_0) The state of the handle is signaled.");
      break;
    case WAIT_ABANDONED:
      Log(LogLevel::Error, kName,
          L"(WAIT_ABANDONED) The specified object is a mutex object that was not released by the thread that owned "
          L"the mutex object before the owning thread terminated.");
      break;
    case WAIT_TIMEOUT:
      Log(LogLevel::Error, kName,
          L"(WAIT_TIMEOUT) The time-out interval elapsed, and the handle state is non-signaled.");
      break;
    case WAIT_FAILED:
      Log(LogLevel::Error, kName, L"(WAIT_FAILED) The function has failed with error %d.", GetLastError());
      break;
    default:
      Log(LogLevel::Error, kName, L"Unknown Option");
      break;
  }
  trace.Out(L"Return = %d", result);
  return result;
}

void CHotKeyHandler::Release() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::Release";
  TraceScope trace(kName);
  DeleteAppActivationHandler();
  m_pWMIData.store(nullptr);  // the instance belongs to the main service

  const DWORD wait = WaitForHandleToComplete(m_hWaitAndSetSingleScancodeThread, kSingleScanCodeThreadWaitMs);
  Log(LogLevel::Verbose, kName, L"WaitForSingleObject(m_hWaitAndSetSingleScancodeThread) returns %d", wait);
  if (wait == WAIT_OBJECT_0 && m_hWaitAndSetSingleScancodeThread != nullptr) {
    CloseHandle(m_hWaitAndSetSingleScancodeThread);
    m_hWaitAndSetSingleScancodeThread = nullptr;
  }

  if (m_hWaitForSysInfoReadCompleteEvent != nullptr) {
    CloseHandle(m_hWaitForSysInfoReadCompleteEvent);
    m_hWaitForSysInfoReadCompleteEvent = nullptr;
  }

  // The device was opened without sharing: a replacement handler can open it only once
  // this one has let go. Closing also ends any request still pending on a slot, so the
  // slots can go after it.
  CloseKeyboardFilter();
  delete[] m_pOverlappedIO;
  m_pOverlappedIO = nullptr;
}

void CHotKeyHandler::CloseKeyboardFilter() {
  if (m_hKeyboardFilter != INVALID_HANDLE_VALUE && m_hKeyboardFilter != nullptr) CloseHandle(m_hKeyboardFilter);
  m_hKeyboardFilter = INVALID_HANDLE_VALUE;
}

}  // namespace RpcServer::SysInfo
