// Pieces shared by the WMIData sources: logging shorthands and the WMI plumbing every
// step uses.
#pragma once

#include <cstdint>

#include "platform/com.h"
#include "platform/wmi.h"
#include "service/logging/korvo_log.h"

namespace RpcServer::detail {

using namespace platform;
using Korvo::Shared::Log;
using Korvo::Shared::LogLevel;

// A pointer as the "0x%08X" of the log lines shows it.
inline unsigned PtrValue(const void* p) {
  return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
}

inline constexpr LONG kQueryFlags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;

inline HRESULT ExecWql(IWbemServices* pSvc, const wchar_t* query, ComPtr<IEnumWbemClassObject>& pEnum) {
  return pSvc->ExecQuery(BStr(L"WQL"), BStr(query), kQueryFlags, nullptr, &pEnum);
}

// Calls `each` for every object, one Next at a time, until Next returns no object or
// fails; logs the end and returns Next's last result.
template <class F>
HRESULT ForEachObject(const char* functionName, IEnumWbemClassObject* pEnum, F&& each) {
  HRESULT hr = WBEM_S_NO_ERROR;
  while (pEnum != nullptr) {
    IWbemClassObject* pclsObj = nullptr;
    ULONG uReturn = 0;
    hr = pEnum->Next(WBEM_INFINITE, 1, &pclsObj, &uReturn);
    if (uReturn == 0 || FAILED(hr)) {
      Log(LogLevel::Verbose, functionName, L"IWbemClassObject = 0x%08X, uReturn = %d, [hr:0x%08X]", PtrValue(pclsObj),
          uReturn, hr);
      if (pclsObj != nullptr) pclsObj->Release();
      break;
    }
    ComPtr<IWbemClassObject> object;
    object.Attach(pclsObj);
    each(object.Get());
  }
  return hr;
}

}  // namespace RpcServer::detail
