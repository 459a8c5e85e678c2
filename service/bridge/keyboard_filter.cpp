// The keyboard filter driver: found through its device interface, opened for
// overlapped I/O, its button queue flushed and button repeat turned on.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/devices.h"
#include "platform/sync.h"
#include "service/bridge/hotkey_handler.h"
#include "service/bridge/hotkey_handler_internal.h"

namespace RpcServer::SysInfo {

using namespace platform;
using namespace detail;

namespace {

constexpr DWORD kMaxInterfaces = 10;

}  // namespace

const wchar_t* KeyboardFilterIoctlName(DWORD ioctlCode) {
  static constexpr const wchar_t* kNames[KVQKBFILTR_FunctionCount] = {
      L"KVQKBFILTR_FilterOn",         L"KVQKBFILTR_FilterOff",   L"KVQKBFILTR_GetButton",       L"KVQKBFILTR_AddButton",
      L"KVQKBFILTR_FlushButtonQueue", L"KVQKBFILTR_InitButtons", L"KVQKBFILTR_SetRepeatButton",
  };
  for (int function = 0; function < KVQKBFILTR_FunctionCount; ++function) {
    if (KeyboardFilterIoctl(static_cast<DWORD>(function)) == ioctlCode) return kNames[function];
  }
  return L"Unknown IOCTL";
}

HRESULT CHotKeyHandler::GetKeyboardFilter(std::wstring& path) {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::GetKeyboardFilter";
  TraceScope trace(kName);
  HDEVINFO devices =
      SetupDiGetClassDevs(&GUID_DEVINTERFACE_KEYBOARD_FILTER, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devices == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    Log(LogLevel::Error, kName, L"SetupDiGetClassDevs failed with error: 0x%08X", error);
    const HRESULT hr = HRESULT_FROM_WIN32(error);
    trace.Out(L"hr: 0x%08X", hr);
    return hr;
  }
  Log(LogLevel::Verbose, kName, L"CHotKeyHandler::GetKeyboardFilter : SetupDiGetClassDevs succeeded");

  HRESULT hr = S_OK;
  for (DWORD index = 0; index < kMaxInterfaces; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(devices, nullptr, &GUID_DEVINTERFACE_KEYBOARD_FILTER, index, &interfaceData)) {
      const DWORD error = GetLastError();
      Log(LogLevel::Verbose, kName, L"SetupDiEnumDeviceInterfaces dwError: %d, items, %d", error, index);
      if (error == ERROR_NO_MORE_ITEMS) {
        if (SUCCEEDED(hr)) hr = HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
        break;
      }
      continue;
    }
    Log(LogLevel::Verbose, kName, L"SetupDiEnumDeviceInterfaces succeeded, device: %d", index);

    DWORD requiredLength = 0;
    if (SetupDiGetDeviceInterfaceDetail(devices, &interfaceData, nullptr, 0, &requiredLength, nullptr)) {
      Log(LogLevel::Verbose, kName,
          L"SetupDiGetDeviceInterfaceDetail unexpectedly returned TRUE. Error: 0x%08X, device: %d", GetLastError(),
          index);
      continue;
    }
    const DWORD sizeError = GetLastError();
    if (sizeError != ERROR_INSUFFICIENT_BUFFER) {
      hr = HRESULT_FROM_WIN32(sizeError);
      Log(LogLevel::Verbose, kName, L"SetupDiGetDeviceInterfaceDetail Error: 0x%08X, device: %d", sizeError, index);
      continue;
    }
    if (requiredLength == 0) {
      Log(LogLevel::Verbose, kName,
          L"Required length is zero after SetupDiGetDeviceInterfaceDetail returned ERROR_INSUFFICIENT_BUFFER");
      continue;
    }
    Log(LogLevel::Verbose, kName, L"requiredLength: %d", requiredLength);

    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA*>(std::malloc(requiredLength));
    if (detail == nullptr) {
      hr = E_OUTOFMEMORY;
      Log(LogLevel::Error, kName, L"pDeviceInterfaceDetail allocation failed: [hr:0x%08X]", hr);
      break;
    }
    std::memset(detail, 0, requiredLength);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
    const BOOL ok = SetupDiGetDeviceInterfaceDetail(devices, &interfaceData, detail, requiredLength, nullptr, nullptr);
    if (ok && detail->DevicePath[0] != L'\0') {
      path = detail->DevicePath;
      std::free(detail);
      Log(LogLevel::Verbose, kName, L"Found sKeyboardFilterPath: %s", path);
      hr = S_OK;
      break;
    }
    const DWORD error = GetLastError();
    Log(LogLevel::Verbose, kName, L"SetupDiGetDeviceInterfaceDetail did not return a path. GetLastError(): %d", error);
    hr = error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);
    std::free(detail);
  }
  SetupDiDestroyDeviceInfoList(devices);
  trace.Out(L"hr: 0x%08X", hr);
  return hr;
}

HRESULT CHotKeyHandler::InitializeKeyboardFilter() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::InitializeKeyboardFilter";
  TraceScope trace(kName);
  std::wstring path;
  HRESULT hr = GetKeyboardFilter(path);
  if (FAILED(hr)) {
    Log(LogLevel::Error, kName, L"Keyboard filter driver not found. Error code - 0x%08X", hr);
    trace.Out(L"Keyboard filter driver initialization completed successfully with hr :  0x%08X", hr);
    return hr;
  }
  m_hKeyboardFilter =
      CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (m_hKeyboardFilter == nullptr || m_hKeyboardFilter == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    Log(LogLevel::Error, kName, L"CreateFile(%s) returns : m_hKeyboardFilter : 0x%08X, GetLastError() : %d", path,
        static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(m_hKeyboardFilter)), error);
    m_hKeyboardFilter = INVALID_HANDLE_VALUE;
    hr = HRESULT_FROM_WIN32(error);
    trace.Out(L"Keyboard filter driver initialization completed successfully with hr :  0x%08X", hr);
    return hr;
  }
  if (!SendIOCTL(KVQKBFILTR_FlushButtonQueue, KeyboardFilterIoctl(KVQKBFILTR_FlushButtonQueue), false, nullptr, 0)) {
    Log(LogLevel::Warning, kName, L"DeviceIoControl failed to set KVQKBFILTR_FlushButtonQueue");
  }
  DWORD repeat = 1;
  if (!SendIOCTL(KVQKBFILTR_SetRepeatButton, KeyboardFilterIoctl(KVQKBFILTR_SetRepeatButton), false, &repeat,
                 sizeof(repeat))) {
    Log(LogLevel::Warning, kName, L"DeviceIoControl failed to set KVQKBFILTR_SetRepeatButton");
  }
  trace.Out(L"Keyboard filter driver initialization completed successfully with hr :  0x%08X", hr);
  return hr;
}

BOOL CHotKeyHandler::SendIOCTL(int functionId, DWORD ioctlCode, bool wait, LPVOID inputBuffer, DWORD inputBufferSize) {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::SendIOCTL";
  TraceScope trace(
      kName, L"FunctionID = %d, IOCTL Code = %d, Wait = %d, InputBuffer Address = %x, InputBufferSize = %d", functionId,
      ioctlCode, wait ? 1 : 0, static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(inputBuffer)), inputBufferSize);
  BOOL result = FALSE;
  // A slot per function; a function outside the table, or a handler whose slots could
  // not be made, has none to send with.
  OVERLAPPED* overlapped = nullptr;
  if (m_pOverlappedIO != nullptr && functionId >= 0 && functionId < KVQKBFILTR_FunctionCount) {
    overlapped = m_pOverlappedIO[functionId].Get();
  }
  if (m_hKeyboardFilter == INVALID_HANDLE_VALUE || overlapped == nullptr) {
    trace.Out(L"Return = %d", result);
    return result;
  }
  const wchar_t* name = KeyboardFilterIoctlName(ioctlCode);
  Log(LogLevel::Verbose, kName, L"IOCTL - %s sending", name);
  DWORD bytes = 0;
  const BOOL sent =
      DeviceIoControl(m_hKeyboardFilter, ioctlCode, inputBuffer, inputBufferSize, nullptr, 0, &bytes, overlapped);
  Log(LogLevel::Verbose, kName, L"DeviceIoControl Return = %d, Bytes Returned = %d", sent, bytes);
  if (sent) {
    result = sent;
  } else if (GetLastError() == ERROR_IO_PENDING) {
    DWORD transferred = 0;
    const BOOL done = GetOverlappedResult(m_hKeyboardFilter, overlapped, &transferred, wait ? TRUE : FALSE);
    Log(LogLevel::Verbose, kName, L"GetOverlappedResult Return = %d, Bytes Read = %d", done, transferred);
    if (done) {
      ResetEvent(overlapped->hEvent);
      result = 1;
    } else {
      Log(LogLevel::Error, kName, L"GetOverlappedResult for %s failed with error code = %u", name, GetLastError());
    }
  } else {
    Log(LogLevel::Error, kName, L"%s failed with error code = %u", name, GetLastError());
  }
  trace.Out(L"Return = %d", result);
  return result;
}

}  // namespace RpcServer::SysInfo
