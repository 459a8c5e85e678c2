// USB Type-C: the support value appended to the system information record, and the
// USB Type-C information record, ready-made from the modern component or built from
// the legacy component's XML description of the ports.
#include "service/bridge/usbc_info.h"

#include <algorithm>
#include <climits>
#include <cwctype>
#include <map>

#include "platform/fs.h"
#include "platform/xml.h"
#include "service/bridge/firmware_command.h"
#include "service/bridge/hotkey_handler.h"
#include "service/bridge/hotkey_handler_internal.h"

namespace RpcServer::SysInfo {

using namespace platform;
using namespace detail;

namespace {

constexpr const wchar_t* kRecordSeparator = L"<.^.>";
constexpr const wchar_t* kUsbDataSeparator = L"|.#.$";
constexpr const wchar_t* kDataPath = L"/GetUsbCPortsConfigurationOutput/Output/Data";
constexpr const wchar_t* kConfigurationCommand = L"Platform.USBC.Configuration";

const wchar_t* SupportText(bool supported) {
  return supported ? L"Supported" : L"Not Supported";
}

// The text of the child `name` of `node`; empty when there is none.
std::wstring ChildText(IXMLDOMNode* node, const wchar_t* name) {
  ComPtr<IXMLDOMNode> child;
  if (node->selectSingleNode(BStr(name), &child) != S_OK || !child) return std::wstring();
  BStr text;
  if (FAILED(child->get_text(&text))) return std::wstring();
  return text.Str();
}

void ReadInt(IXMLDOMNode* node, const wchar_t* name, INT& field) {
  const std::wstring text = ChildText(node, name);
  if (!text.empty()) field = ParseDecimal32(text);
}

void ReadMax(IXMLDOMNode* node, const wchar_t* name, INT& field) {
  const std::wstring text = ChildText(node, name);
  if (!text.empty()) field = std::max(field, ParseDecimal32(text));
}

void ReadFlag(IXMLDOMNode* node, const wchar_t* name, bool& flag) {
  std::wstring text = ChildText(node, name);
  std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
  if (text == L"true") flag = true;
}

// The index of an element named "Port<n>" as "Port%d" writes it (no sign, no leading
// zero), or -1.
long long PortIndex(const std::wstring& name) {
  constexpr std::size_t kPrefix = 4;
  if (name.size() <= kPrefix || name.compare(0, kPrefix, L"Port") != 0) return -1;
  const std::wstring digits = name.substr(kPrefix);
  if (digits.size() > 10 || (digits.size() > 1 && digits[0] == L'0')) return -1;
  long long index = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return -1;
    index = index * 10 + (c - L'0');
  }
  return index <= INT_MAX ? index : -1;
}

}  // namespace

bool FileFound(const std::wstring& path) {
  WIN32_FIND_DATA found{};
  HANDLE search = FindFirstFile(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

INT ParseDecimal32(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && std::iswspace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  long long value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;  // saturates below
  }
  if (negative) value = -value;
  return static_cast<INT>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

INT MaxPowerWatts(INT maxDownstreamPower) {
  return static_cast<INT>(static_cast<long long>(maxDownstreamPower) * 250 / 1000);
}

// --- CUsbCBiosInfo ----------------------------------------------------------------------

CUsbCBiosInfo::CUsbCBiosInfo() : m_hrCoInit(CoInitialize(nullptr)) {}

CUsbCBiosInfo::~CUsbCBiosInfo() {
  if (SUCCEEDED(m_hrCoInit)) CoUninitialize();
}

HRESULT CUsbCBiosInfo::GetConfigDataFromVantor(std::wstring& text) {
  constexpr const char* kName = "RpcServer::SysInfo::CUsbCBiosInfo::GetConfigDataFromVantor";
  TraceScope trace(kName);
  text.clear();
  ComPtr<IVantorCommand> command;
  HRESULT hr = CreateVantorCommand(command);
  if (FAILED(hr)) {
    trace.Out(L"hr: 0x%08X", hr);
    return hr;
  }
  try {
    Variant value;
    hr = VantorGet(command.Get(), kConfigurationCommand, &value);
    if (SUCCEEDED(hr) && value.vt == VT_BSTR && value.bstrVal != nullptr) {
      text.assign(value.bstrVal, SysStringLen(value.bstrVal));
    }
  } catch (const _com_error& e) {
    hr = e.Error();
    if (hr == VANTOR_E_INVALID_COMMAND) {
      Log(LogLevel::Information, kName, L"Invalid Command Platform.USBC.Configuration. hr = 0x%X", hr);
    } else {
      Log(LogLevel::Information, kName, L"Exception occurred during Platform.USBC.Configuration. hr = 0x%X", hr);
    }
  }
  command.Reset();
  trace.Out(L"hr: 0x%08X", hr);
  return hr;
}

void CUsbCBiosInfo::ParseUsbCConfiguration() {
  TraceScope trace("RpcServer::SysInfo::CUsbCBiosInfo::ParseUsbCConfiguration");
  std::wstring xml;
  if (FAILED(GetConfigDataFromVantor(xml))) return;
  ParseConfiguration(xml, m_config);
}

UsbCConfigInfo CUsbCBiosInfo::GetUsbCConfigInfo() {
  ParseUsbCConfiguration();
  return m_config;
}

void CUsbCBiosInfo::ParseConfiguration(const std::wstring& xml, UsbCConfigInfo& config) {
  ComPtr<IXMLDOMDocument2> document;
  if (FAILED(CoCreateInstance(CLSID_DOMDocument30, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                              reinterpret_cast<LPVOID*>(&document)))) {
    return;
  }
  document->put_async(VARIANT_FALSE);
  document->put_validateOnParse(VARIANT_FALSE);
  document->put_resolveExternals(VARIANT_FALSE);
  document->put_preserveWhiteSpace(VARIANT_TRUE);
  VARIANT_BOOL loaded = VARIANT_FALSE;
  document->loadXML(BStr(xml), &loaded);  // a failed load leaves the document empty

  ComPtr<IXMLDOMNode> data;
  if (document->selectSingleNode(BStr(kDataPath), &data) == S_OK && data) {
    ReadInt(data.Get(), L"NumberOfPorts", config.NumberOfPorts);
    ReadInt(data.Get(), L"SizeOfPort", config.SizeOfPort);
  }
  if (config.NumberOfPorts <= 0) return;

  // Port i is the first element "/.../Data/Port<i>" in document order. The firmware's
  // count is not trusted to bound the work: the port elements the document really has
  // are listed once, and each index below the count takes its first element.
  ComPtr<IXMLDOMNodeList> children;
  if (document->selectNodes(BStr(std::wstring(kDataPath) + L"/*"), &children) != S_OK || !children) return;
  LONG length = 0;
  children->get_length(&length);
  std::map<long long, ComPtr<IXMLDOMNode>> ports;
  for (LONG i = 0; i < length; ++i) {
    ComPtr<IXMLDOMNode> child;
    if (FAILED(children->get_item(i, &child)) || !child) continue;
    BStr name;
    if (FAILED(child->get_nodeName(&name))) continue;
    const long long index = PortIndex(name.Str());
    if (index < 0 || index >= config.NumberOfPorts) continue;
    ports.try_emplace(index, std::move(child));
  }
  for (const auto& [index, port] : ports) {
    IXMLDOMNode* node = port.Get();
    ReadFlag(node, L"SupportBasicUsb", config.SupportBasicUsb);
    ReadFlag(node, L"SupportUsb31Gen2", config.SupportUsb31Gen2);
    ReadFlag(node, L"SupportUpstreamPowerDelivery", config.SupportUpstreamPowerDelivery);
    ReadFlag(node, L"SupportDownstreamPowerDelivery", config.SupportDownstreamPowerDelivery);
    ReadFlag(node, L"SupportDisplayPortAlternateMode", config.SupportDisplayPortAlternateMode);
    ReadFlag(node, L"SupportThunderboltAlternateMode", config.SupportThunderboltAlternateMode);
    ReadFlag(node, L"DisplayPortLaneX2", config.DisplayPortLaneX2);
    ReadFlag(node, L"DisplayPortLaneX4", config.DisplayPortLaneX4);
    ReadMax(node, L"MaxUpstreamPower", config.MaxUpstreamPower);
    ReadMax(node, L"MaxDownstreamPower", config.MaxDownstreamPower);
  }
}

// --- The handler's USB Type-C operations ------------------------------------------------

bool CHotKeyHandler::IsUSBCSupported() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::IsUSBCSupported";
  TraceScope trace(kName);
  if (!m_pMeridCommand && !m_pVantorCommand) {
    Log(LogLevel::Error, kName, L"VantorCommand Instance is NULL");
    trace.Out(L"USB Type C Support: 0x%08X", 0);
    return false;
  }
  bool supported = false;
  try {
    HRESULT hr = S_OK;
    if (m_pMeridCommand) {
      Log(LogLevel::Verbose, kName, L"Trying to Get USB Type C Support using Merid");
      VARIANT_BOOL flag = VARIANT_FALSE;
      hr = m_pMeridCommand->GetUsbTypeCSupported(&flag);
      supported = SUCCEEDED(hr) && flag == VARIANT_TRUE;
    } else {
      Log(LogLevel::Verbose, kName, L"Trying to Get USB Type C Support using Vantor");
      Variant value;
      hr = VantorGet(m_pVantorCommand.Get(), L"Platform.USBC.Supported", &value);
      supported = SUCCEEDED(hr) && value.vt == VT_BOOL && value.boolVal == VARIANT_TRUE;
    }
    if (SUCCEEDED(hr)) {
      Log(LogLevel::Verbose, kName, L"USB TypeC Support : %d", supported ? 1 : 0);
    } else {
      Log(LogLevel::Error, kName, L"Failed to get Platform.USBC.Supported [hr:0x%08X]", hr);
      supported = false;
    }
  } catch (const _com_error& e) {
    Log(LogLevel::Error, kName, L"Exception occurred when calling Platform.USBC.Supported [hr:0x%08X]", e.Error());
    supported = false;
  }
  trace.Out(L"USB Type C Support: 0x%08X", supported ? 1 : 0);
  return supported;
}

std::wstring CHotKeyHandler::GetUsbCAppPath() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::GetUsbCAppPath";
  TraceScope trace(kName);
  wchar_t folder[MAX_PATH] = {};
  std::wstring exeName;
  if (SUCCEEDED(SHGetFolderPath(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, folder))) {
    static constexpr const wchar_t* kLogFormats[] = {L"Search 'USB TypeC App' in this path = %s",
                                                     L"Try again 'USB TypeC App' search in this path = %s"};
    for (std::size_t i = 0; i < std::size(kUsbCAppPlaces) && exeName.empty(); ++i) {
      const std::wstring candidate = std::wstring(folder) + kUsbCAppPlaces[i];
      Log(LogLevel::Verbose, kName, kLogFormats[i], candidate);
      if (FileFound(candidate)) exeName = candidate;
    }
  }
  if (exeName.empty()) Log(LogLevel::Error, kName, L"Failed to find Rennet.exe in the system");
  trace.Out(L"csExeName = %s", exeName);
  return exeName;
}

void CHotKeyHandler::CheckAndAddUsbTypeCSupport() {
  std::lock_guard guard(m_cacheLock);
  CheckAndAddUsbTypeCSupportLocked();
}

void CHotKeyHandler::CheckAndAddUsbTypeCSupportLocked() {
  TraceScope trace("RpcServer::SysInfo::CHotKeyHandler::CheckAndAddUsbTypeCSupport");
  if (m_csUsbTypeCSupport != L"yes") {
    const bool supported = IsUSBCSupported();
    const bool appInstalled = !GetUsbCAppPath().empty();
    if (supported && appInstalled) {
      m_csUsbTypeCSupport = L"yes";
    } else {
      m_csUsbTypeCSupport = L"0x" + std::to_wstring((supported ? 1 : 0) + (appInstalled ? 2 : 0));
    }
  }
  trace.Out(L"USB Type C Support = %s", m_csUsbTypeCSupport);
}

std::wstring CHotKeyHandler::GetUSBTypeCInfo() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::GetUSBTypeCInfo";
  TraceScope trace(kName);
  std::lock_guard guard(m_cacheLock);
  if (!m_pMeridCommand && !m_pVantorCommand) {
    Log(LogLevel::Error, kName, L"VantorCommand / MeridSdkVantorCommand Instance is NULL");
    return m_sUsbTypeCInfo;
  }
  if (m_sUsbTypeCInfo.empty()) {
    if (m_pMeridCommand) {
      Log(LogLevel::Information, kName, L"Trying to get  USB Type C Information using Merid... ");
      HRESULT hr = E_FAIL;
      try {
        BStr info;
        hr = m_pMeridCommand->GetUsbTypeCInfo(&info);
        if (SUCCEEDED(hr)) m_sUsbTypeCInfo = info.Str();
      } catch (const _com_error& e) {
        hr = e.Error();
      }
      if (FAILED(hr))
        Log(LogLevel::Information, kName, L"Failed to fetch USB Type C Information using Merid. hr = 0x%08X", hr);
    } else {
      Log(LogLevel::Information, kName, L"Trying to get  USB Type C Information using Vantor... ");
      m_sUsbTypeCInfo = GetUSBTypeCInfoUsingVantor();
    }
  }
  Log(LogLevel::Information, kName, L"USB Type C Information = %s", m_sUsbTypeCInfo);
  return m_sUsbTypeCInfo;
}

std::wstring CHotKeyHandler::GetUSBTypeCInfoUsingVantor() {
  constexpr const char* kName = "RpcServer::SysInfo::CHotKeyHandler::GetUSBTypeCInfoUsingVantor";
  TraceScope trace(kName);
  UsbCConfigInfo config;
  {
    CUsbCBiosInfo reader;
    config = reader.GetUsbCConfigInfo();
  }
  const std::wstring partA = config.SupportBasicUsb ? L"USB 2.0" : L"";
  Log(LogLevel::Information, kName, L"Basic USB Device Support : %s", partA);
  const std::wstring partB = config.SupportUsb31Gen2 ? L"USB 3.1 Gen 2" : L"USB 3.1 Gen 1";
  const std::wstring usbData = partA + kUsbDataSeparator + partB;
  Log(LogLevel::Information, kName, L"Basic USB Devices Value : %s", usbData);
  const wchar_t* thunderbolt = SupportText(config.SupportThunderboltAlternateMode);
  const wchar_t* displayPort = SupportText(config.SupportDisplayPortAlternateMode);
  const wchar_t* provider = SupportText(config.SupportDownstreamPowerDelivery);
  const wchar_t* consumer = SupportText(config.SupportUpstreamPowerDelivery);
  Log(LogLevel::Information, kName, L"Thunderblot : %s", thunderbolt);
  Log(LogLevel::Information, kName, L"DisplayPort : %s", displayPort);
  Log(LogLevel::Information, kName, L"PowerProvider : %s", provider);
  Log(LogLevel::Information, kName, L"PowerConsumer : %s", consumer);
  const INT watts = MaxPowerWatts(config.MaxDownstreamPower);
  Log(LogLevel::Information, kName, L"wszMaxPowerOutput : %dW", watts);
  std::wstring record = usbData;
  for (const wchar_t* field : {thunderbolt, displayPort, provider, consumer})
    record += kRecordSeparator + std::wstring(field);
  record += kRecordSeparator + std::to_wstring(watts) + L"W";
  Log(LogLevel::Information, kName, L"USB Type C Information using Vantor : %s", record);
  return record;
}

}  // namespace RpcServer::SysInfo
