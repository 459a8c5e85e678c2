// The service's one gateway to the firmware: chooses and creates a firmware command
// component, opens the keyboard filter driver, switches the hotkey to single-scan-code
// mode, answers for the USB Type-C data, and hands the system information record to the
// RPC layer with the USB Type-C support value appended.
//
// The keyboard bridge owns one handler at a time and replaces it instead of
// re-initialising it. RPC call threads reach one handler at the same time; what they
// share is guarded as follows:
// - the first-use computations of the USB Type-C support value and of the USB Type-C
//   record run under m_cacheLock, so two first callers compute each once and a later
//   caller sees the finished text (the lock is never held while GetSysInfo waits for
//   the reading thread);
// - m_pWMIData is atomic, because every GetSysInfo may set it;
// - the single-scan-code operations and GetPrivacyPanelState run only from the handler's
//   own initialisation and from the bridge, which serialises them under its handler lock.
//
// Release closes the keyboard filter device: it is opened without sharing, so the
// handler that replaces this one could not open it otherwise.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/com.h"
#include "platform/devices.h"
#include "platform/firmware.h"
#include "platform/types.h"
#include "service/bridge/app_activation_handler.h"
#include "service/sysinfo/wmi_data.h"

namespace RpcServer::SysInfo {

// The keyboard filter driver's control requests: device type 0x9300, functions 0 to 6,
// buffered, any access.
inline constexpr platform::DWORD kKeyboardFilterDeviceType = 0x9300;
inline constexpr platform::DWORD KeyboardFilterIoctl(platform::DWORD function) {
  return platform::CTL_CODE(kKeyboardFilterDeviceType, function, platform::METHOD_BUFFERED, platform::FILE_ANY_ACCESS);
}
enum KeyboardFilterFunction : int {
  KVQKBFILTR_FilterOn = 0,
  KVQKBFILTR_FilterOff = 1,
  KVQKBFILTR_GetButton = 2,
  KVQKBFILTR_AddButton = 3,
  KVQKBFILTR_FlushButtonQueue = 4,
  KVQKBFILTR_InitButtons = 5,
  KVQKBFILTR_SetRepeatButton = 6,
  KVQKBFILTR_FunctionCount = 7,
};
// The name a control code has in the log ("Unknown IOCTL" for any other code).
const wchar_t* KeyboardFilterIoctlName(platform::DWORD ioctlCode);

// {3569DBE5-FA4F-4E7E-96EC-540202073739}
inline constexpr platform::GUID GUID_DEVINTERFACE_KEYBOARD_FILTER = {
    0x3569DBE5, 0xFA4F, 0x4E7E, {0x96, 0xEC, 0x54, 0x02, 0x02, 0x07, 0x37, 0x39}};

// The USB-C configuration program's places below the 32-bit programs folder, in the
// order they are searched.
inline constexpr const wchar_t* kUsbCAppPlaces[] = {L"\\Korvo\\Chimewell\\Rennet.exe",
                                                    L"\\Korvoline\\Chimewell\\Rennet.exe"};
// Whether a file search finds `path`.
bool FileFound(const std::wstring& path);

// The single-scan-code mode value of the hotkey setting.
inline constexpr platform::DWORD kSingleScanCode = 110;

// One overlapped I/O slot: a zero-filled OVERLAPPED whose event is a new manual-reset,
// non-signalled, unnamed event. Construction throws the last error (a DWORD) when the
// OVERLAPPED cannot be allocated.
class COverlappedIO {
 public:
  COverlappedIO();
  ~COverlappedIO();
  COverlappedIO(const COverlappedIO&) = delete;
  COverlappedIO& operator=(const COverlappedIO&) = delete;
  platform::OVERLAPPED* Get() const { return m_pOverlapped; }

 private:
  platform::OVERLAPPED* m_pOverlapped = nullptr;
};

class CHotKeyHandler {
 public:
  explicit CHotKeyHandler(WMIData* pWMIData);
  ~CHotKeyHandler();
  CHotKeyHandler(const CHotKeyHandler&) = delete;
  CHotKeyHandler& operator=(const CHotKeyHandler&) = delete;

  bool AllocateHandler();
  bool CreateAppActivationHandler();
  // Deletes the current app activation handler (the bridge renews it with
  // CreateAppActivationHandler).
  void DeleteAppActivationHandler();
  void Initialize();
  bool EnableActivationContext(const wchar_t* manifestFileName);
  void DisableActivationContext();
  std::wstring GetSysInfo();
  platform::INT GetPrivacyPanelState();
  platform::DWORD WaitForHandleToComplete(platform::HANDLE handle, platform::DWORD milliseconds);
  void Release();

  // Single scan code.
  bool Is_HK_SingleScanCode_Supported();
  platform::HRESULT GetHotkeySingleScanCode(platform::DWORD& value);
  platform::HRESULT SetHotkeySingleScanCode();
  platform::HRESULT EnableSingleScanCode();
  platform::HRESULT ActivateSingleScanCode();

  // Keyboard filter driver.
  platform::HRESULT GetKeyboardFilter(std::wstring& path);
  platform::HRESULT InitializeKeyboardFilter();
  platform::BOOL SendIOCTL(int functionId, platform::DWORD ioctlCode, bool wait, platform::LPVOID inputBuffer,
                           platform::DWORD inputBufferSize);

  // USB Type-C.
  bool IsUSBCSupported();
  std::wstring GetUsbCAppPath();
  void CheckAndAddUsbTypeCSupport();
  std::wstring GetUSBTypeCInfo();
  std::wstring GetUSBTypeCInfoUsingVantor();

  // What tests and the bridge may look at.
  bool HasMeridCommand() const { return static_cast<bool>(m_pMeridCommand); }
  bool HasVantorCommand() const { return static_cast<bool>(m_pVantorCommand); }
  bool IsSingleScanCodeSet() const { return m_bSingleScanCodeSet; }
  platform::HANDLE KeyboardFilterHandle() const { return m_hKeyboardFilter; }
  bool HasAppActivationHandler() const { return m_pAppActivationHandler != nullptr; }
  platform::HANDLE SysInfoReadCompleteEvent() const { return m_hWaitForSysInfoReadCompleteEvent; }

 private:
  void CheckAndAddUsbTypeCSupportLocked();
  void CloseKeyboardFilter();

  platform::HANDLE m_hKeyboardFilter = platform::INVALID_HANDLE_VALUE;
  platform::HANDLE m_hActCtx = platform::INVALID_HANDLE_VALUE;
  platform::ULONG_PTR m_ulActCtxCookie = 0;
  platform::ComPtr<platform::IMeridSdkVantorCommand> m_pMeridCommand;
  platform::ComPtr<platform::IVantorCommand> m_pVantorCommand;
  AppSection::CAppActivationHandler* m_pAppActivationHandler = nullptr;
  std::atomic<WMIData*> m_pWMIData{nullptr};
  std::wstring m_csUsbTypeCSupport;
  bool m_bSingleScanCodeSet = false;
  platform::HANDLE m_hWaitAndSetSingleScancodeThread = nullptr;
  platform::HANDLE m_hWaitForSysInfoReadCompleteEvent = nullptr;
  COverlappedIO* m_pOverlappedIO = nullptr;  // KVQKBFILTR_FunctionCount slots
  std::wstring m_sUsbTypeCInfo;
  std::mutex m_cacheLock;  // the first-use computations, see above
};

}  // namespace RpcServer::SysInfo
