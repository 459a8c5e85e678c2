#include "service/utils/device_utils.h"

#include "platform/devices.h"
#include "service/logging/korvo_log.h"

namespace Utils {

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::LogLevel;
using Korvo::Shared::TraceScope;

int IsHardwareNodePresent(const wchar_t* pszEnumerator) {
  constexpr const char* kFunction = "Utils::IsHardwareNodePresent";
  TraceScope trace(kFunction, L"Node = %s", pszEnumerator);

  HDEVINFO hDevInfo = SetupDiGetClassDevs(nullptr, pszEnumerator, nullptr, DIGCF_ALLCLASSES);
  if (hDevInfo == INVALID_HANDLE_VALUE) {
    GetLogger()->Log(LogLevel::Error, kFunction,
                     L"SetupDiGetClassDevs failed (may due to non-availability of node) with error: %x",
                     GetLastError());
    trace.Out(L"Node - %s is not present", pszEnumerator);
    return -1;
  }

  int result = 0;
  SP_DEVINFO_DATA devInfoData{};
  devInfoData.cbSize = sizeof devInfoData;
  if (!SetupDiEnumDeviceInfo(hDevInfo, 0, &devInfoData)) {
    GetLogger()->Log(LogLevel::Error, kFunction,
                     L"SetupDiEnumDeviceInfo failed (may due to non-availability of node) with error: %x",
                     GetLastError());
    trace.Out(L"Node - %s is not present", pszEnumerator);
    result = -1;
  } else if (!SetupDiBuildDriverInfoList(hDevInfo, &devInfoData, SPDIT_COMPATDRIVER)) {
    GetLogger()->Log(LogLevel::Warning, kFunction,
                     L"SetupDiBuildDriverInfoList failed (may due to non-availability of driver in Node - %s) with "
                     L"error: %x",
                     pszEnumerator, GetLastError());
    trace.Out(L"Node - %s is present", pszEnumerator);
    result = 0;
  } else {
    SP_DRVINFO_DATA driverInfo{};
    driverInfo.cbSize = sizeof driverInfo;
    if (SetupDiEnumDriverInfo(hDevInfo, &devInfoData, SPDIT_COMPATDRIVER, 0, &driverInfo)) {
      const DWORDLONG v = driverInfo.DriverVersion;
      GetLogger()->Log(
          LogLevel::Verbose, kFunction,
          L"Driver Found : Description: %s, MfgName : %s, ProviderName : %s, Driver Type : %d, Version : "
          L"%d.%d.%d.%d",
          static_cast<const wchar_t*>(driverInfo.Description), static_cast<const wchar_t*>(driverInfo.MfgName),
          static_cast<const wchar_t*>(driverInfo.ProviderName), driverInfo.DriverType, static_cast<WORD>(v >> 48),
          static_cast<WORD>(v >> 32), static_cast<WORD>(v >> 16), static_cast<WORD>(v));
      result = 1;
    } else {
      const DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_ITEMS) {
        GetLogger()->Log(LogLevel::Warning, kFunction, L"No driver installed in this Node %s\n", pszEnumerator);
      } else {
        GetLogger()->Log(LogLevel::Error, kFunction, L"SetupDiEnumDriverInfo failed with error %d", error);
      }
      result = 0;
    }
    trace.Out(L"Node - %s is present", pszEnumerator);
  }

  SetupDiDestroyDeviceInfoList(hDevInfo);
  return result;
}

}  // namespace Utils
