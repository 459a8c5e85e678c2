// The BIOS settings provider's part of the read: the feature byte and the two halves
// of the BIOS password state.

#include <fmt/printf.h>
#include <fmt/xchar.h>

#include "service/sysinfo/wmi_data.h"
#include "service/sysinfo/wmi_data_internal.h"

namespace RpcServer {

using namespace detail;

HRESULT WMIData::ReadFeatureByteFrom(IEnumWbemClassObject* pEnum) {
  static constexpr const char* kFn = "RpcServer::WMIData::ReadFeatureByte";
  HRESULT readHr = S_OK;
  HRESULT hr = ForEachObject(kFn, pEnum, [&](IWbemClassObject* pclsObj) {
    m_csFeatureByte = L" ";
    readHr = GetBIOSValue(pclsObj, L"Value", m_csFeatureByte, true);
    if (FAILED(readHr)) Log(LogLevel::Error, kFn, L"Failed to get Feature Byte");
  });
  // The enumeration's end (or failure) is the last result.
  return pEnum != nullptr ? hr : readHr;
}

HRESULT WMIData::ReadFeatureByte(IWbemServices* pSvc) {
  static constexpr const char* kFn = "RpcServer::WMIData::ReadFeatureByte";
  Korvo::Shared::TraceScope trace(kFn);
  if (pSvc == nullptr) {
    trace.Out(L"hr: 0x%08X", E_FAIL);
    return E_FAIL;
  }
  bool fallbackFailed = false;
  ComPtr<IEnumWbemClassObject> pEnum;
  HRESULT hr = ExecWql(pSvc, L"SELECT * FROM KorvoBIOS_BIOSString  WHERE Name='Feature Byte'", pEnum);
  if (SUCCEEDED(hr)) {
    hr = ReadFeatureByteFrom(pEnum.Get());
  } else {
    Log(LogLevel::Warning, kFn,
        L"Query for KorvoBIOS_BIOSString Feature Byte failed with error [hr:0x%08X]. Trying with Korvo_BIOSSetting",
        hr);
    hr = ExecWql(pSvc, L"SELECT * FROM Korvo_BIOSSetting  WHERE Name='Feature Byte'", pEnum);
    if (SUCCEEDED(hr)) {
      hr = ReadFeatureByteFrom(pEnum.Get());
    } else {
      Log(LogLevel::Error, kFn, L"Query for Korvo_BIOSSetting Feature Byte failed. [hr:0x%08X]", hr);
      fallbackFailed = true;
    }
  }
  if (!fallbackFailed)
    Log(LogLevel::Verbose, kFn, L"Completed reading feature byte from ROOT\\korvo\\instrumentedbios");
  Log(LogLevel::Verbose, kFn, L"Completed reading from ROOT\\korvo\\instrumentedbios");
  if (hr == WBEM_S_FALSE) hr = S_OK;
  trace.Out(L"hr: 0x%08X", hr);
  return hr;
}

HRESULT WMIData::ReadBiosPasswordStatusLegacy(IWbemServices* pSvc, std::uint8_t& status) {
  static constexpr const char* kFn = "RpcServer::WMIData::ReadBiosPasswordStatusLegacy";
  Korvo::Shared::TraceScope trace(kFn);
  status = 0;
  if (pSvc == nullptr) {
    trace.Out(L"hr: 0x%08X", E_FAIL);
    return E_FAIL;
  }
  ComPtr<IEnumWbemClassObject> pEnum;
  HRESULT hr = ExecWql(pSvc, L" SELECT IsSet FROM KorvoBIOS_BIOSPassword WHERE Name='Setup Password'", pEnum);
  if (FAILED(hr)) {
    Log(LogLevel::Error, kFn, L"Query for Legacy BIOS Password value failed. [hr:0x%08X]", hr);
    trace.Out(L"hr: 0x%08X", hr);
    return hr;
  }
  if (!pEnum) {
    Log(LogLevel::Error, kFn, L"IEnumWbemClassObject = 0x%08X", PtrValue(pEnum.Get()));
    trace.Out(L"hr: 0x%08X", hr);
    return hr;
  }
  // The result is the query's or the last failed read's; the end of the enumeration
  // only counts when it is a failure.
  const HRESULT endHr = ForEachObject(kFn, pEnum.Get(), [&](IWbemClassObject* pclsObj) {
    std::int32_t isSet = 0;
    const HRESULT readHr = GetBIOSValue(pclsObj, L"IsSet", isSet);
    if (FAILED(readHr)) {
      Log(LogLevel::Error, kFn, L"Failed to get BIOS Credential State");
      hr = readHr;
      return;
    }
    status = static_cast<std::uint8_t>(isSet != 0 ? status * 2 + 1 : status * 2);
  });
  if (FAILED(endHr)) hr = endHr;
  Log(LogLevel::Verbose, kFn, L"Completed reading legacy BIOS password state from ROOT\\korvo\\instrumentedbios");
  trace.Out(L"hr: 0x%08X", hr);
  return hr;
}

HRESULT WMIData::ReadBiosPasswordStatusStellgard(IWbemServices* pSvc, std::uint8_t& status) {
  static constexpr const char* kFn = "RpcServer::WMIData::ReadBiosPasswordStatusStellgard";
  Korvo::Shared::TraceScope trace(kFn);
  status = 0;
  if (pSvc == nullptr) {
    trace.Out(L"hr: 0x%08X", E_FAIL);
    return E_FAIL;
  }
  ComPtr<IEnumWbemClassObject> pEnum;
  HRESULT hr = ExecWql(
      pSvc, L"SELECT Value FROM KorvoBIOS_BIOSString where Name='Enhanced BIOS Authentication Mode Local Access Key 1'",
      pEnum);
  if (FAILED(hr)) {
    Log(LogLevel::Error, kFn, L"Query for Stellgard BIOS Password status failed. [hr:0x%08X]", hr);
    trace.Out(L"hr: 0x%08X", hr);
    return hr;
  }
  if (!pEnum) {
    Log(LogLevel::Error, kFn, L"IEnumWbemClassObject = 0x%08X", PtrValue(pEnum.Get()));
    trace.Out(L"hr: 0x%08X", hr);
    return hr;
  }
  int settings = 0;
  const HRESULT endHr = ForEachObject(kFn, pEnum.Get(), [&](IWbemClassObject* pclsObj) {
    ++settings;
    std::wstring value;
    const HRESULT readHr = GetBIOSValue(pclsObj, L"Value", value, false);
    if (FAILED(readHr)) {
      Log(LogLevel::Error, kFn, L"Failed to get BIOS Credential State");
      hr = readHr;
      return;
    }
    status = static_cast<std::uint8_t>(value.empty() ? status * 2 : (status | 0x10) * 2);
  });
  if (FAILED(endHr)) hr = endHr;
  if (settings == 0) {
    Log(LogLevel::Information, kFn,
        L"Could not found Stellgard Settings. This is expected from old BIOS and old platforms");
  }
  Log(LogLevel::Verbose, kFn, L"Total Settings fetched for Stellgard = %d", settings);
  trace.Out(L"hr: 0x%08X", hr);
  return hr;
}

HRESULT WMIData::ReadBiosPasswordStatus(IWbemServices* pSvc) {
  Korvo::Shared::TraceScope trace("RpcServer::WMIData::ReadBiosPasswordStatus");
  std::uint8_t legacy = 0;
  std::uint8_t stellgard = 0;
  const HRESULT legacyHr = ReadBiosPasswordStatusLegacy(pSvc, legacy);
  const HRESULT stellgardHr = ReadBiosPasswordStatusStellgard(pSvc, stellgard);
  m_csPasswordStatus = fmt::sprintf(L"0x%X", static_cast<unsigned>((legacy & 0x0F) | (stellgard & 0xF0)));
  trace.Out(L"Password Return Value = 0x%x, Stellgard Return Value = 0x%x", legacyHr, stellgardHr);
  return legacyHr | stellgardHr;
}

}  // namespace RpcServer
