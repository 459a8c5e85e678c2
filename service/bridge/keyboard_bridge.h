// The one object through which the RPC procedures and the main service reach the
// hotkey handler and start companion programs on the interactive user's desktop: a
// process-wide singleton that owns the handler, can throw it away and build a new one,
// and dispatches a few numbered commands.
//
// The handler is shared between the bridge and every passthrough that is using it: a
// release (the service's stop path, which can overlap RPC calls) drops the bridge's
// share, and the handler is destroyed when the last running passthrough is done with it.
// Launches are serialised, so that one launch cannot restore the service's privilege
// state while another still needs "SeTcbPrivilege".
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/types.h"
#include "service/bridge/hotkey_handler.h"
#include "service/sysinfo/wmi_data.h"

namespace RpcServer {

class CKeyBoardBridge {
 public:
  // Token sources of LaunchProcess.
  enum TokenSource : int { kActiveSessionToken = 0, kElevatedUserToken = 1 };

  // Builds the bridge on the first call with `pWMIData`; later calls ignore it.
  static CKeyBoardBridge* getInstance(WMIData* pWMIData);

  void CreateHotKeyHandlerInstance();
  void ReleaseHotKeyHandlerInstance();

  std::wstring GetSysInfo();
  std::wstring GetUSBTypeCInfo();
  platform::INT GetPrivacyPanelState();
  platform::HRESULT ActivateSingleScanCode();
  bool CreateAppActivationHandler();

  void ProcessCommand(int command);
  void LaunchUsbCApp();

  // Starts `application` with `arguments` on the interactive user's desktop; non-zero
  // when it was started.
  platform::INT LaunchProcess(const std::wstring& application, const std::wstring& arguments, int tokenSource);
  // The USB-C configuration program, under either of its folders; empty when absent.
  std::wstring GetUsbCAppPath();

  // What tests look at: whether a handler is held, and the WMIData it is built with.
  bool HasHotKeyHandler() const { return Handler() != nullptr; }
  WMIData* SysInfoData() const { return m_pWMIData; }

 protected:
  // Only getInstance builds the process's bridge; tests build bridges of their own.
  explicit CKeyBoardBridge(WMIData* pWMIData);

 private:
  // The handler as a share of its ownership, or null. m_pointerLock guards only the
  // pointer itself, never a call of the handler: it is not the handler lock.
  std::shared_ptr<SysInfo::CHotKeyHandler> Handler() const {
    std::lock_guard guard(m_pointerLock);
    return m_pHotKeyHandler;
  }
  std::shared_ptr<SysInfo::CHotKeyHandler> ExchangeHandler(std::shared_ptr<SysInfo::CHotKeyHandler> handler) {
    std::lock_guard guard(m_pointerLock);
    m_pHotKeyHandler.swap(handler);
    return handler;
  }

  std::wstring m_csUsbCAppPath;  // filled once, kept for the process
  std::shared_ptr<SysInfo::CHotKeyHandler> m_pHotKeyHandler;
  WMIData* m_pWMIData;
  mutable std::mutex m_pointerLock;
  std::mutex m_usbCAppPathLock;

  static std::atomic<CKeyBoardBridge*> s_pInstance;
  static std::mutex s_instanceLock;
  static std::mutex s_handlerLock;
  static std::mutex s_launchLock;
};

}  // namespace RpcServer
