#include "service/utils/version_utils.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "service/logging/korvo_log.h"

namespace Utils {

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::LogLevel;
using Korvo::Shared::TraceScope;

namespace {

// Reads the root block of a file's version resource into `info`, logging every
// failure under `functionName`. False (and `info` untouched) on failure.
bool ReadFixedFileInfo(const char* functionName, const wchar_t* path, VS_FIXEDFILEINFO& info) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSize(path, &handle);
  if (size == 0) {
    // The error code is appended to the text in decimal.
    const std::wstring format =
        L"GetFileVersionInfoSize Return Value  = %d Error Code = " + std::to_wstring(GetLastError());
    GetLogger()->Log(LogLevel::Error, functionName, format.c_str(), size);
    return false;
  }
  std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
  if (!block) {
    GetLogger()->Log(LogLevel::Error, functionName, L"Version String Allocation failed");
    return false;
  }
  if (!GetFileVersionInfo(path, handle, size, block.get())) {
    GetLogger()->Log(LogLevel::Error, functionName, L"GetFileVersionInfo failed with error %d", GetLastError());
    return false;
  }
  void* pFixed = nullptr;
  UINT length = 0;
  if (!VerQueryValue(block.get(), L"\\", &pFixed, &length)) {
    GetLogger()->Log(LogLevel::Error, functionName, L"VerQueryValue failed with error %d", GetLastError());
    return false;
  }
  if (length == 0) {
    GetLogger()->Log(LogLevel::Error, functionName, L"VerQueryValue returned size = %d", length);
    return false;
  }
  if (pFixed == nullptr) {
    GetLogger()->Log(LogLevel::Error, functionName, L"VS_FIXEDFILEINFO buffer is NULL");
    return false;
  }
  VS_FIXEDFILEINFO record{};
  std::memcpy(&record, pFixed, std::min<std::size_t>(length, sizeof record));
  if (record.dwSignature != VS_FFI_SIGNATURE) {
    GetLogger()->Log(LogLevel::Error, functionName, L"Signature not correct");
    return false;
  }
  info = record;
  return true;
}

}  // namespace

VS_FIXEDFILEINFO GetVersionValue(const wchar_t* pszExecutablePath) {
  constexpr const char* kFunction = "Utils::GetVersionValue";
  TraceScope trace(kFunction, L"Executable Complete Path = %s", pszExecutablePath);
  VS_FIXEDFILEINFO info{};
  ReadFixedFileInfo(kFunction, pszExecutablePath, info);
  return info;
}

std::wstring GetBinaryVersion() {
  constexpr const char* kFunction = "Utils::GetBinaryVersion";
  TraceScope trace(kFunction);
  std::wstring version = L"0.0.0.0";
  wchar_t path[MAX_PATH] = {};
  GetModuleFileName(nullptr, path, MAX_PATH);
  VS_FIXEDFILEINFO info{};
  if (ReadFixedFileInfo(kFunction, path, info)) version = FormatFileVersion(info);
  return version;
}

std::wstring FormatFileVersion(const VS_FIXEDFILEINFO& info) {
  return std::to_wstring(HIWORD(info.dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info.dwFileVersionMS)) + L"." +
         std::to_wstring(HIWORD(info.dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info.dwFileVersionLS));
}

}  // namespace Utils
