#include "service/bridge/keyboard_bridge.h"

#include <new>

#include "platform/sync.h"
#include "platform/version.h"
#include "service/logging/korvo_log.h"
#include "service/utils/korvo_process.h"

namespace RpcServer {

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::Log;
using Korvo::Shared::LogLevel;
using Korvo::Shared::TraceScope;

std::atomic<CKeyBoardBridge*> CKeyBoardBridge::s_pInstance{nullptr};
std::mutex CKeyBoardBridge::s_instanceLock;
std::mutex CKeyBoardBridge::s_handlerLock;
std::mutex CKeyBoardBridge::s_launchLock;

namespace {}  // namespace

CKeyBoardBridge* CKeyBoardBridge::getInstance(WMIData* pWMIData) {
  TraceScope trace("RpcServer::CKeyBoardBridge::getInstance");
  std::lock_guard guard(s_instanceLock);
  CKeyBoardBridge* instance = s_pInstance.load();
  if (instance == nullptr) {
    // Published only once it is built: other callers wait on the instance lock.
    instance = new CKeyBoardBridge(pWMIData);
    s_pInstance.store(instance);
  }
  return instance;
}

CKeyBoardBridge::CKeyBoardBridge(WMIData* pWMIData) : m_pWMIData(pWMIData) {
  constexpr const char* kName = "RpcServer::CKeyBoardBridge::CKeyBoardBridge";
  TraceScope trace(kName);
  Log(LogLevel::Information, kName, L"Calling CreateHotKeyHandlerInstance() from CKeyBoardBridge::CKeyBoardBridge() ");
  CreateHotKeyHandlerInstance();
}

void CKeyBoardBridge::CreateHotKeyHandlerInstance() {
  constexpr const char* kName = "RpcServer::CKeyBoardBridge::CreateHotKeyHandlerInstance";
  TraceScope trace(kName);
  std::lock_guard guard(s_handlerLock);
  Log(LogLevel::Information, kName,
      L"Calling ReleaseHotKeyHandlerInstance() from CKeyBoardBridge::CreateHotKeyHandlerInstance() ");
  ReleaseHotKeyHandlerInstance();
  Log(LogLevel::Information, kName,
      L"Released the existing HotKeyHandler Instance...Constructing new CHotKeyHandler instance");
  std::shared_ptr<SysInfo::CHotKeyHandler> handler(new (std::nothrow) SysInfo::CHotKeyHandler(m_pWMIData));
  if (!handler) Log(LogLevel::Error, kName, L"CHotKeyHandler allocation failed");
  ExchangeHandler(std::move(handler));
}

void CKeyBoardBridge::ReleaseHotKeyHandlerInstance() {
  TraceScope trace("RpcServer::CKeyBoardBridge::ReleaseHotKeyHandlerInstance");
  // Drops the bridge's share; a passthrough still running keeps the handler until it
  // returns, and the handler goes with the last share.
  std::shared_ptr<SysInfo::CHotKeyHandler> released = ExchangeHandler(nullptr);
  released.reset();
}

std::wstring CKeyBoardBridge::GetSysInfo() {
  TraceScope trace("RpcServer::CKeyBoardBridge::GetSysInfo");
  std::wstring text;
  if (auto handler = Handler()) text = handler->GetSysInfo();
  trace.Out(L"strSysInfo = %s", text);
  return text;
}

std::wstring CKeyBoardBridge::GetUSBTypeCInfo() {
  constexpr const char* kName = "RpcServer::CKeyBoardBridge::GetUSBTypeCInfo";
  TraceScope trace(kName);
  std::wstring text;
  if (auto handler = Handler()) text = handler->GetUSBTypeCInfo();
  Log(LogLevel::Information, kName, L"USB Type C Info returned = %s , length = %d", text,
      static_cast<int>(text.size()));
  return text;
}

INT CKeyBoardBridge::GetPrivacyPanelState() {
  TraceScope trace("RpcServer::CKeyBoardBridge::GetPrivacyPanelState");
  auto handler = Handler();
  return handler ? handler->GetPrivacyPanelState() : 0;
}

HRESULT CKeyBoardBridge::ActivateSingleScanCode() {
  auto handler = Handler();
  return handler ? handler->ActivateSingleScanCode() : E_FAIL;
}

bool CKeyBoardBridge::CreateAppActivationHandler() {
  auto handler = Handler();
  if (!handler) return false;
  handler->DeleteAppActivationHandler();
  return handler->CreateAppActivationHandler();
}

void CKeyBoardBridge::ProcessCommand(int command) {
  constexpr const char* kName = "RpcServer::CKeyBoardBridge::ProcessCommand";
  // No trace scope: a failed read of the service's path ends without a TraceOut line.
  Log(LogLevel::TraceIn, kName, L"");
  switch (command) {
    case 0: {
      Korvo::Shared::CKorvoProcess process;
      const HRESULT hr = process.KillProcessByName(L"msinfo32.exe");
      Log(LogLevel::Information, kName, L"KillProcessByName (msinfo32.exe) - HRESULT = 0x%x", hr);
      Log(LogLevel::Information, kName, L"Launching MSINFO ");
      if (!LaunchProcess(L"C:\\Windows\\System32\\msinfo32.exe", L"", kActiveSessionToken)) {
        Log(LogLevel::Error, kName, L"LaunchProcess failed for - MSInfo");
      }
      break;
    }
    case 2: {
      wchar_t path[MAX_PATH] = {};
      if (GetModuleFileName(nullptr, path, MAX_PATH) == 0) {
        Log(LogLevel::Error, kName, L"Could not find Service file executable .Error: 0x%08X", GetLastError());
        return;
      }
      std::wstring folder(path);
      if (const auto slash = folder.rfind(L'\\'); slash != std::wstring::npos) folder.resize(slash);
      const std::wstring peltry = folder + L"\\KorvoPeltry.exe";
      Log(LogLevel::Information, kName, L"Launching Peltry ");
      Log(LogLevel::Information, kName, L"KorvoPeltry complete path : %s", peltry);
      if (!LaunchProcess(peltry, L"", kElevatedUserToken)) {
        Log(LogLevel::Error, kName, L"LaunchProcess With ElevatedPrivilege failed for - Peltry");
      }
      break;
    }
    case 3: {
      const std::wstring program = L"C:\\Windows\\System32\\control.exe";
      const std::wstring arguments = L" /name Microsoft.PowerOptions";
      Log(LogLevel::Information, kName, L"Launching Windows Power Options");
      Log(LogLevel::Information, kName, L"Windows Power Options complete path : %s%s", program, arguments);
      if (!LaunchProcess(program, arguments, kActiveSessionToken)) {
        Log(LogLevel::Error, kName, L"LaunchProcess failed for Windows Power Options");
      }
      break;
    }
    default:
      break;
  }
  Log(LogLevel::TraceOut, kName, L"");
}

void CKeyBoardBridge::LaunchUsbCApp() {
  TraceScope trace("RpcServer::CKeyBoardBridge::LaunchUsbCApp");
  std::wstring path;
  {
    std::lock_guard guard(m_usbCAppPathLock);
    if (m_csUsbCAppPath.empty()) m_csUsbCAppPath = GetUsbCAppPath();
    path = m_csUsbCAppPath;
  }
  if (path.empty()) return;
  LaunchProcess(path, L"", kActiveSessionToken);
}

}  // namespace RpcServer
