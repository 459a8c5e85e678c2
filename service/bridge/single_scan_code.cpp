// The hotkey's single-scan-code mode: a firmware setting that holds 110 when the mode
// is on, read and written through the component the handler chose.
#include "platform/clock.h"
#include "service/bridge/firmware_command.h"
#include "service/bridge/hotkey_handler.h"
#include "service/bridge/hotkey_handler_internal.h"

namespace RpcServer::SysInfo {

using namespace platform;
using namespace detail;

namespace {

constexpr int kAttempts = 5;
constexpr DWORD kFailurePauseMs = 100;
constexpr DWORD kExceptionPauseMs = 1000;
constexpr const wchar_t* kSingleScanCodeCommand = L"HotKeys.SingleScanCode";
constexpr const wchar_t* kSupportedCommand = L"HotKeys.SingleScanCode.Supported";

}  // namespace

bool CHotKeyHandler::Is_HK_SingleScanCode_Supported() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::Is_HK_SingleScanCode_Supported";
  TraceScope trace(kName);
  bool supported = false;
  if (!m_pMeridCommand && !m_pVantorCommand) {
    Log(LogLevel::Error, kName, L"VantorCommand Instance is NULL");
    trace.Out(L"SingleScanCode Support = %d", 0);
    return false;
  }
  try {
    HRESULT hr = S_OK;
    if (m_pMeridCommand) {
      Log(LogLevel::Verbose, kName, L"Trying to Get Single Scan Code Support using Merid");
      VARIANT_BOOL flag = VARIANT_FALSE;
      hr = m_pMeridCommand->GetSingleScanCodeSupported(&flag);
      Log(LogLevel::Verbose, kName, L"GetSingleScanCodeSupported : Return %d", flag);
      supported = SUCCEEDED(hr) && flag == VARIANT_TRUE;
    } else {
      Log(LogLevel::Verbose, kName, L"Trying to Get Single Scan Code Support using Vantor");
      Variant value;
      hr = VantorGet(m_pVantorCommand.Get(), kSupportedCommand, &value);
      supported = SUCCEEDED(hr);  // the answer alone says it is supported
    }
    if (FAILED(hr)) {
      Log(LogLevel::Error, kName,
          L"CHotKeyHandler::Is_HK_SingleScanCode_Supported : Failed to get hotkey single scan code supported in BIOS: "
          L"0x%08X.  This means not supported.",
          hr);
      supported = false;
    }
  } catch (const _com_error& e) {
    Log(LogLevel::Information, kName, L"Exception occurred when calling HotKeys.SingleScanCode.Supported, [hr:0x%08X]",
        e.Error());
    supported = false;
  }
  trace.Out(L"SingleScanCode Support = %d", supported ? 1 : 0);
  return supported;
}

HRESULT CHotKeyHandler::GetHotkeySingleScanCode(DWORD& value) {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::GetHotkeySingleScanCode";
  TraceScope trace(kName);
  if (!m_pMeridCommand && !m_pVantorCommand) {
    Log(LogLevel::Error, kName, L"VantorCommand Instance is NULL");
    trace.Out(L"hr: 0x%08X", E_FAIL);
    return E_FAIL;
  }
  HRESULT hr = E_FAIL;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (attempt > 1) Log(LogLevel::Verbose, kName, L"Retry Get HotKeys.SingleScanCode # %d", attempt);
    try {
      if (m_pMeridCommand) {
        Log(LogLevel::Verbose, kName, L"Trying to Get Single Scan Code using Merid");
        LONG mode = 0;
        hr = m_pMeridCommand->GetSingleScanCode(&mode);
        if (SUCCEEDED(hr)) value = static_cast<DWORD>(mode);
      } else {
        Log(LogLevel::Verbose, kName, L"Trying to Get Single Scan Code using Vantor");
        Variant mode;
        hr = VantorGet(m_pVantorCommand.Get(), kSingleScanCodeCommand, &mode);
        // A value that does not convert leaves the caller's value as it was.
        if (SUCCEEDED(hr) && SUCCEEDED(VariantChangeType(&mode, &mode, 0, VT_UINT))) value = mode.uintVal;
      }
      if (SUCCEEDED(hr)) {
        Log(LogLevel::Verbose, kName, L"Get hotkey single scan code (%d) passed after retry %d times", value, attempt);
        break;
      }
      Log(LogLevel::Information, kName, L"Failed to get hotkey single scan code in BIOS: 0x%08X", hr);
      Sleep(kFailurePauseMs);
    } catch (const _com_error& e) {
      hr = e.Error();
      Log(LogLevel::Information, kName, L"Exception occurred when call Get HotKeys.SingleScanCode: 0x%08X", hr);
      Sleep(kExceptionPauseMs);
    }
    if (attempt == kAttempts) {
      Log(LogLevel::Information, kName,
          L"Failed to Get hotkey single scan code in BIOS after retry %d times, hr = 0x%08X", kAttempts, hr);
    }
  }
  trace.Out(L"hr: 0x%08X", hr);
  return hr;
}

HRESULT CHotKeyHandler::SetHotkeySingleScanCode() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::SetHotkeySingleScanCode";
  TraceScope trace(kName);
  if (!m_pMeridCommand && !m_pVantorCommand) {
    Log(LogLevel::Error, kName, L"VantorCommand Instance is NULL");
    trace.Out(L"hr: 0x%08X", E_FAIL);
    return E_FAIL;
  }
  HRESULT hr = E_FAIL;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt >= 2) Log(LogLevel::Verbose, kName, L"Retry Set HotKeys.SingleScanCode # %d", attempt);
    try {
      VARIANT_BOOL success = VARIANT_TRUE;
      if (m_pMeridCommand) {
        Log(LogLevel::Verbose, kName, L"Trying to Set Single Scan Code using Merid");
        hr = m_pMeridCommand->SetSingleScanCode(static_cast<LONG>(kSingleScanCode), &success);
      } else {
        Log(LogLevel::Verbose, kName, L"Trying to Set Single Scan Code using Vantor");
        Variant mode;
        mode.vt = VT_UI4;
        mode.ulVal = kSingleScanCode;
        hr = VantorSet(m_pVantorCommand.Get(), kSingleScanCodeCommand, mode);
      }
      if (SUCCEEDED(hr) && success != VARIANT_FALSE) {
        Log(LogLevel::Verbose, kName, L"Set hotkey single scan code passed after retry %d times", attempt + 1);
        break;
      }
      Log(LogLevel::Warning, kName, L"Failed to set hotkey single scan code in BIOS: 0x%08X", hr);
      Sleep(kFailurePauseMs);
    } catch (const _com_error& e) {
      hr = e.Error();
      Log(LogLevel::Information, kName, L"Exception occurred when call Set HotKeys.SingleScanCode: 0x%08X", hr);
      Sleep(kExceptionPauseMs);
    }
    if (attempt == kAttempts - 1) {
      Log(LogLevel::Information, kName,
          L"Failed to set hotkey single scan code in BIOS after retry %d times, hr = 0x%08X", kAttempts, hr);
    }
  }
  trace.Out(L"hr: 0x%08X", hr);
  return hr;
}

HRESULT CHotKeyHandler::EnableSingleScanCode() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::EnableSingleScanCode";
  TraceScope trace(kName);
  Log(LogLevel::Verbose, kName, L"Single Scan Code Set Status = %d", m_bSingleScanCodeSet ? 1 : 0);
  if (m_bSingleScanCodeSet) {
    trace.Out(L"hr: 0x%08X", S_OK);
    return S_OK;
  }
  const bool supported = Is_HK_SingleScanCode_Supported();
  Log(LogLevel::Verbose, kName, L"Single Scan Code Support = %d", supported ? 1 : 0);
  HRESULT hr = E_FAIL;
  if (supported) {
    DWORD mode = 0;
    hr = GetHotkeySingleScanCode(mode);
    if (FAILED(hr) || mode != kSingleScanCode) {
      hr = SetHotkeySingleScanCode();
      if (SUCCEEDED(hr)) m_bSingleScanCodeSet = true;
    }
  }
  Log(LogLevel::Verbose, kName, L"Single Scan Code Set Status = %d", m_bSingleScanCodeSet ? 1 : 0);
  trace.Out(L"hr: 0x%08X", hr);
  return hr;
}

HRESULT CHotKeyHandler::ActivateSingleScanCode() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::ActivateSingleScanCode";
  TraceScope trace(kName);
  DWORD mode = 0;
  HRESULT hr = GetHotkeySingleScanCode(mode);
  if (FAILED(hr) || mode != kSingleScanCode) {
    m_bSingleScanCodeSet = false;
    hr = EnableSingleScanCode();
  }
  trace.Out(L"hr: 0x%08X", hr);
  return hr;
}

}  // namespace RpcServer::SysInfo
