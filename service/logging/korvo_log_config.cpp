#include "service/logging/korvo_log_config.h"

#include <vector>

#include "platform/version.h"
#include "service/logging/korvo_log.h"

namespace Korvo::Shared {
namespace {

using namespace platform;

constexpr const wchar_t* kPolicyRoot = L"Software\\Policies\\Korvo\\";
constexpr DWORD kLoggingTypeChars = 64;  // 63 characters and the terminator
constexpr DWORD kLevelNameChars = 128;   // 127 characters and the terminator

std::wstring ProgramPath() {
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetModuleFileName(nullptr, path, MAX_PATH);
  return n == 0 ? std::wstring() : std::wstring(path);
}

// Reads a string value into a buffer of `chars` characters. nullopt when the value
// is missing or too long. With `requireString` only REG_SZ counts.
std::optional<std::wstring> ReadString(HKEY key, const wchar_t* name, DWORD chars, bool requireString) {
  if (key == nullptr) return std::nullopt;
  std::vector<wchar_t> buffer(chars + 1, L'\0');  // one more so unterminated data still ends
  DWORD type = REG_NONE;
  DWORD size = chars * sizeof(wchar_t);
  if (RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  if (requireString && type != REG_SZ) return std::nullopt;
  buffer[std::min<DWORD>(size / sizeof(wchar_t), chars)] = L'\0';
  return std::wstring(buffer.data());
}

std::optional<DWORD> ReadDword(HKEY key, const wchar_t* name) {
  if (key == nullptr) return std::nullopt;
  DWORD value = 0;
  DWORD type = REG_NONE;
  DWORD size = sizeof(value);
  if (RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  if (type != REG_DWORD || size != sizeof(value)) return std::nullopt;
  return value;
}

}  // namespace

std::wstring GetProgramProductName() {
  const std::wstring path = ProgramPath();
  if (path.empty()) return {};
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSize(path.c_str(), &handle);
  if (size == 0) return {};
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfo(path.c_str(), handle, size, block.data())) return {};
  for (const wchar_t* subBlock :
       {L"\\StringFileInfo\\040904E4\\ProductName", L"\\StringFileInfo\\040904B0\\ProductName"}) {
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValue(block.data(), subBlock, &value, &length) && value != nullptr && length > 0) {
      std::wstring name(static_cast<const wchar_t*>(value));
      if (!name.empty()) return name;
    }
  }
  return {};
}

std::wstring GetProgramBaseName() {
  std::wstring path = ProgramPath();
  const auto slash = path.find_last_of(L"\\/");
  if (slash != std::wstring::npos) path.erase(0, slash + 1);
  const auto dot = path.find_last_of(L'.');
  if (dot != std::wstring::npos && dot != 0) path.erase(dot);
  return path;
}

CLogPolicyKeys::CLogPolicyKeys() {
  const std::wstring productKey = std::wstring(kPolicyRoot) + GetProgramProductName();
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, productKey.c_str(), 0, KEY_READ, &m_hProductKey) != ERROR_SUCCESS) {
    m_hProductKey = nullptr;
    return;
  }
  const std::wstring program = GetProgramBaseName();
  if (program.empty() || RegOpenKeyEx(m_hProductKey, program.c_str(), 0, KEY_READ, &m_hProgramKey) != ERROR_SUCCESS) {
    m_hProgramKey = nullptr;
  }
}

CLogPolicyKeys::~CLogPolicyKeys() {
  if (m_hProgramKey) RegCloseKey(m_hProgramKey);
  if (m_hProductKey) RegCloseKey(m_hProductKey);
}

std::optional<std::wstring> CLogPolicyKeys::ReadLoggingType() const {
  if (auto v = ReadString(m_hProgramKey, L"LoggingType", kLoggingTypeChars, false)) return v;
  return ReadString(m_hProductKey, L"LoggingType", kLoggingTypeChars, false);
}

std::optional<int> CLogPolicyKeys::ReadLevel(const wchar_t* valueName) const {
  if (m_hProductKey == nullptr) return std::nullopt;
  for (HKEY key : {m_hProgramKey, m_hProductKey}) {
    auto v = ReadString(key, valueName, kLevelNameChars, true);
    if (v && !v->empty()) return ParseLogLevel(v->c_str());
  }
  return std::nullopt;
}

int CLogPolicyKeys::ReadMaxLogSizeKB() const {
  for (HKEY key : {m_hProgramKey, m_hProductKey}) {
    if (auto v = ReadDword(key, L"MaxLogSize"); v && *v != 0) return static_cast<int>(*v);
  }
  return kDefaultMaxLogSizeKB;
}

std::optional<bool> CLogPolicyKeys::ReadQueuedWrites() const {
  if (auto v = ReadDword(m_hProgramKey, L"QueuedWrites")) return *v != 0;
  if (auto v = ReadDword(m_hProductKey, L"QueuedWrites")) return *v != 0;
  return std::nullopt;
}

}  // namespace Korvo::Shared
