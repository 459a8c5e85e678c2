#include "service/sysinfo/wmi_data.h"

#include <algorithm>
#include <climits>
#include <cwchar>
#include <fstream>
#include <memory>
#include <new>
#include <regex>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "service/sysinfo/wmi_data_internal.h"

namespace RpcServer {

using namespace detail;

namespace {

constexpr int kMaxAttempts = 6;
constexpr DWORD kRetryDelayMs = 100;
constexpr DWORD kPassPauseMs = 3000;
constexpr int kMaxExceptionPasses = 3;
constexpr const wchar_t* kUsable = L"usable";

// The build identifier pattern, compiled once per process on first use.
const std::wregex& BuildIdPattern() {
  static const std::wregex pattern(L"\\w{10,}#{1}\\w{4}#{1}\\w{4};?", std::regex_constants::ECMAScript);
  return pattern;
}

// Whether the whole build identifier matches the pattern. The matcher recurses once
// per character of the leading \w{10,}, so a long identifier from the firmware would
// overflow the stack. That run can only end at the first non-word character, so its
// last ten characters decide exactly as the whole run does.
bool MatchesBuildIdPattern(const std::wstring& id) {
  struct WordClass {
    std::regex_traits<wchar_t> traits;
    std::regex_traits<wchar_t>::char_class_type word;
    explicit WordClass(const std::locale& locale) {
      traits.imbue(locale);
      static constexpr wchar_t kWord[] = L"w";
      word = traits.lookup_classname(kWord, kWord + 1);
    }
  };
  static const WordClass wordClass(BuildIdPattern().getloc());
  constexpr std::size_t kMinRun = 10;
  std::size_t run = 0;
  while (run < id.size() && wordClass.traits.isctype(id[run], wordClass.word)) ++run;
  const auto from = id.begin() + static_cast<std::ptrdiff_t>(run > kMinRun ? run - kMinRun : 0);
  return std::regex_match(from, id.end(), BuildIdPattern());
}

// A decimal integer the way the runtime's text-to-64-bit conversion reads one:
// leading blanks skipped, stops at the first non-digit, 0 when there is none.
long long ParseInt64(const std::wstring& text) {
  return std::wcstoll(text.c_str(), nullptr, 10);
}

// Texts end at their first NUL, as the record travels and is shown as a
// NUL-terminated string: an embedded NUL would cut off every later field.
std::wstring UpToNul(const wchar_t* text, std::size_t length) {
  return std::wstring(text, std::find(text, text + length, L'\0'));
}

std::wstring VariantText(const VARIANT& v) {
  if (v.vt != VT_BSTR || v.bstrVal == nullptr) return std::wstring();
  return UpToNul(v.bstrVal, SysStringLen(v.bstrVal));
}

// Module capacities come from the provider; a sum past the 64-bit range stays at its
// end instead of wrapping.
long long SaturatingAdd(long long a, long long b) {
  long long sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? LLONG_MAX : LLONG_MIN;
  return sum;
}

// The text after `tag` up to its first ";" (or all of it, logging `noDelimiter`).
std::wstring TaggedValue(const std::wstring& text, std::size_t tagEnd, const char* functionName,
                         const wchar_t* noDelimiter) {
  const auto end = text.find(L';', tagEnd);
  if (end == std::wstring::npos) {
    Log(LogLevel::Verbose, functionName, noDelimiter);
    return text.substr(tagEnd);
  }
  return text.substr(tagEnd, end - tagEnd);
}

// The retry scheme of both GetBIOSValue forms. `attempt` makes one read, sets `hr` and
// returns true when the read is done. Otherwise, while `keepTrying` and fewer than six
// attempts were made, it waits 100 ms and reads again; then it pauses 3000 ms, and a COM
// error exception earns up to three further passes (the attempt count goes on).
template <class Attempt>
HRESULT RetryBIOSRead(const char* kFn, bool keepTrying, Attempt&& attempt) {
  HRESULT hr = WBEM_E_FAILED;
  int count = 0;
  int extraPasses = 0;
  bool comError = false;
  for (;;) {
    try {
      do {
        Log(LogLevel::Verbose, kFn, L"Inside while");
        if (attempt(count, hr)) return hr;
        platform::Sleep(kRetryDelayMs);
        ++count;
      } while (count < kMaxAttempts && keepTrying);
    } catch (const _com_error& e) {
      hr = e.Error();
      comError = true;
      Log(LogLevel::Error, kFn, L"Exception while getting BIOS with error 0x%08X", hr);
    }
    platform::Sleep(kPassPauseMs);
    if (comError && FAILED(hr) && extraPasses < kMaxExceptionPasses) {
      ++extraPasses;
      continue;
    }
    return hr;
  }
}

// Opens one namespace with the blanket every connection of the read uses. S_FALSE when
// the connection succeeded without a services object; each failure is logged with the
// caller's text for it.
HRESULT ConnectNamespace(IWbemLocator* pLoc, const wchar_t* nameSpace, const wchar_t* connectFailure,
                         const wchar_t* blanketFailure, ComPtr<IWbemServices>& pSvc) {
  static constexpr const char* kFn = "RpcServer::WMIData::ReadSysInfo";
  HRESULT hr = pLoc->ConnectServer(BStr(nameSpace), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &pSvc);
  if (FAILED(hr)) {
    Log(LogLevel::Error, kFn, connectFailure, hr);
    return hr;
  }
  if (!pSvc) {
    Log(LogLevel::Error, kFn, L"IWbemServices  =  0x%08X", PtrValue(pSvc.Get()));
    return S_FALSE;
  }
  hr = CoSetProxyBlanket(pSvc.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr)) Log(LogLevel::Error, kFn, blanketFailure, hr);
  return hr;
}

}  // namespace

WMIData::WMIData() {
  static constexpr const char* kFn = "RpcServer::WMIData::WMIData";
  Korvo::Shared::TraceScope trace(kFn);
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  m_bComInitialized = SUCCEEDED(hr);
  if (FAILED(hr)) Log(LogLevel::Error, kFn, L"CoInitializeEx failed.  Error: 0x%08X", hr);
  hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                            nullptr, EOAC_NONE, nullptr);
  if (FAILED(hr)) Log(LogLevel::Error, kFn, L"Failed to initialize security..  Error: 0x%08X", hr);
}

WMIData::~WMIData() {
  Korvo::Shared::TraceScope trace("RpcServer::WMIData::~WMIData");
  // Only our own join is ours to end; after a refused one the apartment is the
  // creator's.
  if (m_bComInitialized) CoUninitialize();
}

HRESULT WMIData::ReadSysInfo() {
  static constexpr const char* kFn = "RpcServer::WMIData::ReadSysInfo";
  Korvo::Shared::TraceScope trace(kFn);

  ComPtr<IWbemLocator> pLoc;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<LPVOID*>(&pLoc));
  if (FAILED(hr)) {
    Log(LogLevel::Error, kFn, L"Failed to create IWbemLocator object. [hr:0x%08X]", hr);
    trace.Out(L"hr: 0x%08X", hr);
    return hr;
  }
  Log(LogLevel::Verbose, kFn, L"Started reading from ROOT\\WMI");

  // S_FALSE: stopped by a connection or query that succeeded without an object.
  hr = ReadSystemInformation(pLoc.Get());
  if (FAILED(hr) || hr == S_FALSE) {
    if (hr == S_FALSE) hr = S_OK;
    trace.Out(L"hr: 0x%08X", hr);
    return hr;
  }
  Log(LogLevel::Verbose, kFn, L"Completed reading from ROOT\\wmi");
  Log(LogLevel::Verbose, kFn, L"Started reading from ROOT\\CIMV2");

  hr = ReadCimv2(pLoc.Get());
  if (FAILED(hr) || hr == S_FALSE) {
    if (hr == S_FALSE) hr = S_OK;
    trace.Out(L"hr: 0x%08X", hr);
    return hr;
  }
  Log(LogLevel::Verbose, kFn, L"Completed reading from ROOT\\CIMV2");
  Log(LogLevel::Verbose, kFn, L"Started reading from ROOT\\korvo\\instrumentedbios");

  ComPtr<IWbemServices> pSvc;
  hr = ConnectNamespace(pLoc.Get(), L"ROOT\\korvo\\instrumentedbios",
                        L"Could not connect to ROOT\\korvo\\instrumentedbios. [hr:0x%08X]",
                        L"Could not set proxy blanket. [hr:0x%08X]", pSvc);
  if (hr != S_OK) {
    // Without the BIOS settings provider the record stays empty, and that is no error.
    Log(LogLevel::Verbose, kFn, L"Reset return code to 0.");
    trace.Out(L"hr: 0x%08X", S_OK);
    return S_OK;
  }

  ReadFeatureByte(pSvc.Get());
  hr = ReadBiosPasswordStatus(pSvc.Get());
  Log(LogLevel::Verbose, kFn, L"Completed reading from ROOT\\korvo\\instrumentedbios");
  FormatSysInfoString();
  trace.Out(L"hr: 0x%08X", hr);
  return hr;
}

// Step 2: ROOT\wmi. Returns a failure, or S_FALSE when the read must stop with S_OK
// (a connection without a services object).
HRESULT WMIData::ReadSystemInformation(IWbemLocator* pLoc) {
  static constexpr const char* kFn = "RpcServer::WMIData::ReadSysInfo";
  ComPtr<IWbemServices> pSvc;
  HRESULT hr = ConnectNamespace(pLoc, L"ROOT\\wmi", L"Could not connect to ROOT\\wmi [hr:0x%08X]",
                                L"Could not set proxy blanket [hr:0x%08X]", pSvc);
  if (hr != S_OK) return hr;
  ComPtr<IEnumWbemClassObject> pEnum;
  hr = ExecWql(pSvc.Get(), L"Select * from MS_SystemInformation", pEnum);
  if (FAILED(hr)) {
    Log(LogLevel::Error, kFn, L"Query for system information failed. [hr:0x%08X]", hr);
    return hr;
  }
  if (!pEnum) {
    Log(LogLevel::Error, kFn, L"IEnumWbemClassObject = 0x%08X", PtrValue(pEnum.Get()));
    return S_FALSE;
  }
  ForEachObject(kFn, pEnum.Get(), [&](IWbemClassObject* pclsObj) {
    if (FAILED(GetBIOSValue(pclsObj, L"SystemProductName", m_csProductName, true))) {
      Log(LogLevel::Error, kFn, L"Failed to get SystemProductName ");
    }
    if (FAILED(GetBIOSValue(pclsObj, L"SystemSKU", m_csSKU, true))) {
      Log(LogLevel::Error, kFn, L"Failed to get SystemSKU ");
    }
    if (FAILED(GetBIOSValue(pclsObj, L"BIOSVersion", m_csBIOSVersion, true))) {
      Log(LogLevel::Error, kFn, L"Failed to get BIOSVersion ");
    }
    m_csBIOSVersion += L" - ";
    std::wstring releaseDate;
    if (FAILED(GetBIOSValue(pclsObj, L"BIOSReleaseDate", releaseDate, true))) {
      Log(LogLevel::Error, kFn, L"Failed to get BIOSReleaseDate ");
    } else {
      m_csBIOSVersion += releaseDate;
    }
    if (FAILED(GetBIOSValue(pclsObj, L"BaseBoardVersion", m_csBaseBoardVersion, true))) {
      Log(LogLevel::Error, kFn, L"Failed to get BaseBoardVersion ");
    }
  });
  return S_OK;
}

// Step 3: ROOT\CIMV2, with the same conventions as ReadSystemInformation.
HRESULT WMIData::ReadCimv2(IWbemLocator* pLoc) {
  static constexpr const char* kFn = "RpcServer::WMIData::ReadSysInfo";
  ComPtr<IWbemServices> pSvc;
  HRESULT hr = ConnectNamespace(pLoc, L"ROOT\\CIMV2", L"Could not connect to ROOT\\cimv2. [hr:0x%08X]",
                                L"Could not set proxy blanket. [hr:0x%08X]", pSvc);
  if (hr != S_OK) return hr;

  // Each query in turn; a failed query or a missing enumerator ends the whole read.
  auto query = [&](const wchar_t* text, auto&& each) -> HRESULT {
    ComPtr<IEnumWbemClassObject> pEnum;
    HRESULT queryHr = ExecWql(pSvc.Get(), text, pEnum);
    if (FAILED(queryHr)) {
      Log(LogLevel::Error, kFn, L"Query for system information failed. [hr:0x%08X]", queryHr);
      return queryHr;
    }
    if (!pEnum) {
      Log(LogLevel::Error, kFn, L"IEnumWbemClassObject = 0x%08X", PtrValue(pEnum.Get()));
      return S_FALSE;
    }
    ForEachObject(kFn, pEnum.Get(), each);
    return S_OK;
  };

  hr = query(L"Select * from Win32_PhysicalMemory", [&](IWbemClassObject* pclsObj) {
    std::wstring capacity;
    if (FAILED(GetBIOSValue(pclsObj, L"Capacity", capacity, true))) {
      Log(LogLevel::Error, kFn, L"Failed to get Capacity");
      return;
    }
    m_llInstalledMemory = SaturatingAdd(m_llInstalledMemory, ParseInt64(capacity));
  });
  if (hr != S_OK) return hr;

  // Every computer-system object converts the same byte sum, so a second one cannot
  // divide the installed amount twice.
  const long long installedBytes = m_llInstalledMemory;
  hr = query(L"Select * from Win32_ComputerSystem", [&](IWbemClassObject* pclsObj) {
    std::wstring total;
    if (FAILED(GetBIOSValue(pclsObj, L"TotalPhysicalMemory", total, true))) {
      Log(LogLevel::Error, kFn, L"Failed to get TotalPhysicalMemory");
    } else {
      BuildMemoryText(total, installedBytes);
    }
    Variant oemStrings;
    HRESULT oemHr = E_FAIL;
    try {
      oemHr = pclsObj->Get(L"OEMStringArray", 0, &oemStrings, nullptr, nullptr);
    } catch (const _com_error& e) {
      // Counts as a failed read; it must not end the reading thread.
      oemHr = e.Error();
      Log(LogLevel::Error, kFn, L"Exception while getting OEMStringArray with error 0x%08X", oemHr);
    }
    if (SUCCEEDED(oemHr)) ReadOEMStrings(oemStrings);
  });
  if (hr != S_OK) return hr;

  hr = query(L"Select * from Win32_Processor", [&](IWbemClassObject* pclsObj) {
    if (FAILED(GetBIOSValue(pclsObj, L"Name", m_csProcessor, true))) {
      Log(LogLevel::Error, kFn, L"Failed to get ProcessorName");
    }
  });
  if (hr != S_OK) return hr;

  return query(L"Select * from Win32_ComputerSystemProduct", [&](IWbemClassObject* pclsObj) {
    if (FAILED(GetBIOSValue(pclsObj, L"IdentifyingNumber", m_csSerialNumber, true))) {
      Log(LogLevel::Error, kFn, L"Failed to get IdentifyingNumber");
    }
  });
}

void WMIData::BuildMemoryText(const std::wstring& totalPhysicalMemory, long long installedBytes) {
  const long long usable = ParseInt64(totalPhysicalMemory) / 1024 / 1024;
  m_llInstalledMemory = installedBytes / 1048576;
  if (usable < 1024) {
    m_csMemory = fmt::sprintf(L"%lld MB (%lld MB %s)", m_llInstalledMemory, usable, kUsable);
  } else {
    m_csMemory = fmt::sprintf(L"%.2f GB (%.2f GB %s)", static_cast<double>(m_llInstalledMemory) * 0.0009765625,
                              static_cast<double>(usable) * 0.0009765625, kUsable);
  }
}

void WMIData::ReadOEMStrings(const VARIANT& oemStrings) {
  static constexpr const char* kFn = "RpcServer::WMIData::ReadSysInfo";
  // Only string elements count: an array of anything else reads as no OEM strings.
  std::wstring all;
  if (oemStrings.vt == (VT_ARRAY | VT_BSTR) && oemStrings.parray != nullptr) {
    LONG lower = 0;
    LONG upper = -1;
    SafeArrayGetLBound(oemStrings.parray, 1, &lower);
    SafeArrayGetUBound(oemStrings.parray, 1, &upper);
    for (LONG i = lower; i <= upper; ++i) {
      BStr element;
      if (SUCCEEDED(SafeArrayGetElement(oemStrings.parray, &i, &element))) all += UpToNul(element, element.Length());
    }
  }
  if (all.empty()) return;

  static constexpr std::wstring_view kFeatureTag = L"FBYTE#";
  if (const auto pos = all.find(kFeatureTag); pos != std::wstring::npos) {
    m_csFeatureByte =
        TaggedValue(all, pos + kFeatureTag.size(), kFn, L"Do not see any semicolon delimiter after FBYTE#.");
  } else {
    Log(LogLevel::Verbose, kFn, L"Do not see FBYTE# tag.");
    m_csFeatureByte = L" ";
  }

  if (ReadBuildFromFile()) return;
  static constexpr std::wstring_view kBuildTag = L"BUILDID#";
  if (const auto pos = all.find(kBuildTag); pos != std::wstring::npos) {
    m_csBuildID = TaggedValue(all, pos + kBuildTag.size(), kFn, L"Do not see any semicolon delimiter after BUILDID#.");
    if (!MatchesBuildIdPattern(m_csBuildID)) m_csBuildID += L" (Recovery Media Used)";
  } else {
    Log(LogLevel::Verbose, kFn, L"Do not see BUILDID# tag.");
    m_csBuildID = L" ";
  }
}

HRESULT WMIData::GetBIOSValue(IWbemClassObject* pclsObj, const std::wstring& strData, std::wstring& value, bool retry) {
  static constexpr const char* kFn = "RpcServer::WMIData::GetBIOSValue";
  Korvo::Shared::TraceScope trace(kFn, L"IWbemClassObject = 0x%x, strData = %s, Retry = %d", PtrValue(pclsObj), strData,
                                  static_cast<int>(retry));
  Log(LogLevel::Verbose, kFn, L"Trying to get value of %s", strData);
  Variant vtProp;
  const HRESULT hr = RetryBIOSRead(kFn, retry, [&](int count, HRESULT& hr) {
    hr = pclsObj->Get(strData.c_str(), 0, &vtProp, nullptr, nullptr);
    if (FAILED(hr)) {
      Log(LogLevel::Error, kFn, L"Failed to get value of %s at count %d. Error = 0x%08X. Re-trying...", strData, count,
          hr);
      return false;
    }
    value = VariantText(vtProp);
    vtProp.Clear();
    Log(LogLevel::Verbose, kFn, L"The value is %s", value);
    if (!retry) {
      if (value.empty()) Log(LogLevel::Warning, kFn, L"The value for '%s' is empty. No Retrying as per flag", strData);
      return true;
    }
    if (!value.empty()) return true;
    Log(LogLevel::Warning, kFn, L"The value for '%s' is empty. So Retrying", strData);
    return false;
  });
  vtProp.Clear();
  trace.Out(L"Return Value hr = 0x%x", hr);
  return hr;
}

HRESULT WMIData::GetBIOSValue(IWbemClassObject* pclsObj, const std::wstring& strData, std::int32_t& value) {
  static constexpr const char* kFn = "RpcServer::WMIData::GetBIOSValue";
  Korvo::Shared::TraceScope trace(kFn, L"IWbemClassObject = 0x%x, strData = %s", PtrValue(pclsObj), strData);
  Log(LogLevel::Verbose, kFn, L"Trying to get value of %s", strData);
  Variant vtProp;
  const HRESULT hr = RetryBIOSRead(kFn, true, [&](int count, HRESULT& hr) {
    hr = pclsObj->Get(strData.c_str(), 0, &vtProp, nullptr, nullptr);
    // A null value reads as 0, like the integer of an empty variant; other types are
    // converted, and one that is no number (text) counts as a failed read.
    if (SUCCEEDED(hr) && vtProp.vt == VT_NULL) {
      vtProp.vt = VT_I4;
      vtProp.lVal = 0;
    }
    if (SUCCEEDED(hr) && vtProp.vt != VT_I4) hr = VariantChangeType(&vtProp, &vtProp, 0, VT_I4);
    if (FAILED(hr)) {
      Log(LogLevel::Error, kFn, L"Failed to get value of %s at count %d. Error = 0x%08X. Re-trying...", strData, count,
          hr);
      vtProp.Clear();
      return false;
    }
    value = vtProp.lVal;
    Log(LogLevel::Information, kFn, L"The value is %d", value);
    vtProp.Clear();
    return true;
  });
  vtProp.Clear();
  trace.Out(L"Return Value = 0x%x", hr);
  return hr;
}

bool WMIData::ReadBuildFromFile() {
  static constexpr const char* kFn = "RpcServer::WMIData::ReadBuildFromFile";
  Korvo::Shared::TraceScope trace(kFn);
  bool result = false;
  auto finish = [&](bool r) {
    trace.Out(L"Return Value = %d", static_cast<int>(r));
    return r;
  };

  std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[MAX_PATH]);
  if (!buffer) {
    Log(LogLevel::Error, kFn, L"Memory Allocation failed : Out of memory");
    return finish(false);
  }
  DWORD length = GetEnvironmentVariable(L"SystemDrive", buffer.get(), MAX_PATH);
  if (length == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) Log(LogLevel::Error, kFn, L"Environment variable does not exist.");
    return finish(false);
  }
  if (length > MAX_PATH) {
    buffer.reset(new (std::nothrow) wchar_t[length]);
    if (!buffer) {
      Log(LogLevel::Error, kFn, L"Memory Allocation failed during resizing : Out of memory");
      return finish(false);
    }
    const DWORD needed = length;
    length = GetEnvironmentVariable(L"SystemDrive", buffer.get(), needed);
    if (length == 0 || length >= needed) {
      Log(LogLevel::Error, kFn, L"GetEnvironmentVariable failed (%d)\n", GetLastError());
      return finish(false);
    }
  }
  const std::wstring path = std::wstring(buffer.get(), length) + L"\\Korvo\\support\\build.txt";
  Log(LogLevel::Verbose, kFn, L"Build File Path = %s", path);

  try {
    std::ifstream file;
    file.exceptions(std::ifstream::failbit | std::ifstream::badbit);
    file.open(MapToHost(path).value_or(std::filesystem::path()), std::ios::in);
    std::string line;
    std::getline(file, line);
    // Text mode folds the CR of a CR LF line end.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // The build identifier ends at a NUL, as it would in any C string.
    line.erase(std::find(line.begin(), line.end(), '\0'), line.end());
    const int chars = MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(chars), L'\0');
    MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), wide.data(), chars);
    m_csBuildID = wide;
    Log(LogLevel::Verbose, kFn, L"Build = %s", m_csBuildID);
    file.close();
    result = true;
  } catch (const std::ios_base::failure&) {
    Log(LogLevel::Warning, kFn, L"Exception opening/reading/closing file. Production build this is expected");
    result = false;
  } catch (const std::exception&) {
    Log(LogLevel::Warning, kFn, L"Exception caught : Unknown");
    result = false;
  }
  return finish(result);
}

}  // namespace RpcServer
