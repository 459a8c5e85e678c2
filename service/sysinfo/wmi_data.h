// The machine facts the app shows on its main page, read once per service start
// through WMI (ROOT\wmi, ROOT\CIMV2, then the BIOS settings provider in
// ROOT\korvo\instrumentedbios) and the factory build file, and joined into the
// system information record.
//
// The main service creates the one instance and deletes it; ReadSysInfo runs on the
// system-information thread, which relies on the process's multithreaded apartment
// joined here in the constructor. Other threads read m_csSysInfo only after that
// thread has ended; an empty record means that none is available.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com.h"
#include "platform/wmi.h"

namespace RpcServer {

using platform::HRESULT;

// Between the fields of the system information record; fields are never escaped.
inline constexpr const wchar_t* kSysInfoSeparator = L"<.^.>";

class WMIData {
 public:
  // Joins the multithreaded apartment and sets the process's COM security; failures
  // are logged and construction goes on.
  WMIData();
  ~WMIData();
  WMIData(const WMIData&) = delete;
  WMIData& operator=(const WMIData&) = delete;

  // Reads every fact and builds the record. Returns the locator, connection or query
  // failure that stopped the read early (the record then stays empty); S_OK, with the
  // record empty as well, when a connection gave no services object, a query no
  // enumerator, or the BIOS settings namespace could not be used; and otherwise the
  // OR of the two password results.
  HRESULT ReadSysInfo();

  // One text property: up to 6 attempts 100 ms apart while reads fail or come back
  // empty (a single attempt when `retry` is not set), then a 3000 ms pause, and up to
  // 3 further passes after a COM error exception. A value that comes back at once
  // costs no wait. `value` changes only on a successful read.
  HRESULT GetBIOSValue(platform::IWbemClassObject* pclsObj, const std::wstring& strData, std::wstring& value,
                       bool retry);
  // One 32-bit integer property, with the same retry scheme for failed reads (a null
  // value is a successful read of 0).
  HRESULT GetBIOSValue(platform::IWbemClassObject* pclsObj, const std::wstring& strData, std::int32_t& value);

  // The first line of "%SystemDrive%\Korvo\support\build.txt" into m_csBuildID.
  bool ReadBuildFromFile();

  // Joins the ten facts into m_csSysInfo, writing "null" into each empty one.
  void FormatSysInfoString();

  // The BIOS settings provider (ROOT\korvo\instrumentedbios).
  HRESULT ReadFeatureByte(platform::IWbemServices* pSvc);
  HRESULT ReadBiosPasswordStatusLegacy(platform::IWbemServices* pSvc, std::uint8_t& status);
  HRESULT ReadBiosPasswordStatusStellgard(platform::IWbemServices* pSvc, std::uint8_t& status);
  // Both halves into m_csPasswordStatus; returns the OR of their results.
  HRESULT ReadBiosPasswordStatus(platform::IWbemServices* pSvc);

  // The facts, each as text ("null" after FormatSysInfoString when it was not read).
  std::wstring m_csProductName;
  std::wstring m_csSKU;
  std::wstring m_csBIOSVersion;
  std::wstring m_csBaseBoardVersion;
  std::wstring m_csMemory;
  std::wstring m_csProcessor;
  std::wstring m_csSerialNumber;
  std::wstring m_csBuildID;
  std::wstring m_csFeatureByte;
  std::wstring m_csPasswordStatus;
  long long m_llInstalledMemory = 0;  // bytes while summing, then MiB
  std::wstring m_csSysInfo;           // the record; empty until a complete read

 private:
  HRESULT ReadSystemInformation(platform::IWbemLocator* pLoc);
  HRESULT ReadCimv2(platform::IWbemLocator* pLoc);
  void BuildMemoryText(const std::wstring& totalPhysicalMemory, long long installedBytes);
  void ReadOEMStrings(const platform::VARIANT& oemStrings);
  HRESULT ReadFeatureByteFrom(platform::IEnumWbemClassObject* pEnum);

  bool m_bComInitialized = false;  // the constructor joined the apartment
};

}  // namespace RpcServer
