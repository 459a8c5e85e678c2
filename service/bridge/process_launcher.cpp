// Starting a program on the interactive user's desktop with the user's (or the
// elevated) token, and finding the USB-C configuration program.
#include <cwchar>

#include "platform/fs.h"
#include "platform/sessions.h"
#include "platform/sync.h"
#include "service/bridge/keyboard_bridge.h"
#include "service/logging/korvo_log.h"
#include "service/utils/session_utils.h"

namespace RpcServer {

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::Log;
using Korvo::Shared::LogLevel;
using Korvo::Shared::TraceScope;

namespace {

// Closes a handle when it goes, unless it was never opened.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  ~ScopedHandle() { Close(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE* Out() { return &h_; }
  HANDLE Get() const { return h_; }
  void Reset(HANDLE h) {
    Close();
    h_ = h;
  }
  void Close() {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

constexpr DWORD kServiceTokenRights = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;          // 0x28
constexpr DWORD kCreationFlags = CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS;  // 0x420

}  // namespace

INT CKeyBoardBridge::LaunchProcess(const std::wstring& application, const std::wstring& arguments, int tokenSource) {
  constexpr const char* kName = "RpcServer::CKeyBoardBridge::LaunchProcess";
  TraceScope trace(kName);
  // One launch at a time: each enables "SeTcbPrivilege" on the service's token and
  // restores what it found, which must not happen under another launch's feet.
  std::lock_guard launchGuard(s_launchLock);
  Log(LogLevel::Information, kName, L"Process to launch = %s", application);

  INT result = 0;
  ScopedHandle serviceToken;
  if (!OpenProcessToken(GetCurrentProcess(), kServiceTokenRights, serviceToken.Out())) {
    Log(LogLevel::Error, kName, L"OpenProcessToken failed. Error: 0x%08X", GetLastError());
    trace.Out(L"Return: 0x%08X", result);
    return result;
  }
  TOKEN_PRIVILEGES enable{};
  if (!LookupPrivilegeValue(nullptr, L"SeTcbPrivilege", &enable.Privileges[0].Luid)) {
    Log(LogLevel::Error, kName, L"LookupPrivilegeValue failed. Error: 0x%08X", GetLastError());
    trace.Out(L"Return: 0x%08X", result);
    return result;
  }
  enable.PrivilegeCount = 1;
  enable.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  TOKEN_PRIVILEGES previous{};
  DWORD previousLength = 0;
  if (!AdjustTokenPrivileges(serviceToken.Get(), FALSE, &enable, sizeof(previous), &previous, &previousLength)) {
    Log(LogLevel::Error, kName, L"AdjustTokenPrivileges failed. Error: 0x%08X", GetLastError());
    trace.Out(L"Return: 0x%08X", result);
    return result;
  }
  if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
    Log(LogLevel::Warning, kName,
        L"AdjustTokenPrivileges failed with a warning. No problem in executing other codes. Error: 0x%08X",
        ERROR_NOT_ALL_ASSIGNED);
  }
  // From here on every way out puts the service's privilege back as it was.
  auto restore = [&]() -> BOOL {
    return AdjustTokenPrivileges(serviceToken.Get(), FALSE, &previous, 0, nullptr, nullptr);
  };

  ScopedHandle userToken;
  bool ok = true;
  if (tokenSource == kActiveSessionToken) {
    const DWORD session = Utils::GetCurrentSessionID();
    if (session == 0) {
      Log(LogLevel::Error, kName, L"WTSGetActiveConsoleSessionId failed. Error: 0x%08X", session);
      ok = false;
    } else {
      Log(LogLevel::Verbose, kName, L"Current Session ID = %d", session);
      HANDLE token = Utils::GetActiveSessionToken(session);
      if (token == INVALID_HANDLE_VALUE) {
        Log(LogLevel::Error, kName, L"GetActiveSessionToken failed");
        ok = false;
      } else {
        userToken.Reset(token);
      }
    }
  } else {
    HANDLE elevated = nullptr;
    if (Utils::GetElevatedUserToken(elevated) != ERROR_SUCCESS) {
      Log(LogLevel::Error, kName, L"GetElevatedUserToken failed");
      ok = false;
    } else {
      userToken.Reset(elevated);
    }
  }

  ScopedHandle newToken;
  if (ok && !DuplicateTokenEx(userToken.Get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                              newToken.Out())) {
    Log(LogLevel::Error, kName, L"DuplicateTokenEx failed. Error: 0x%08X", GetLastError());
    ok = false;
  }
  if (ok) {
    DWORD uiAccess = 1;
    if (!SetTokenInformation(newToken.Get(), TokenUIAccess, &uiAccess, sizeof(uiAccess))) {
      Log(LogLevel::Error, kName, L"SetTokenInformation (TokenUIAccess) failed. Error: 0x%08X", GetLastError());
      ok = false;
    }
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  wchar_t desktop[] = L"winsta0\\default";
  startup.lpDesktop = desktop;
  void* environment = nullptr;
  if (ok && !CreateEnvironmentBlock(&environment, newToken.Get(), TRUE)) {
    Log(LogLevel::Error, kName, L"CreateEnvironmentBlock failed. Error: 0x%08X", GetLastError());
    environment = nullptr;
    ok = false;
  }
  if (ok) {
    std::wstring commandLine = arguments;  // the call may write into it
    PROCESS_INFORMATION process{};
    if (!CreateProcessAsUser(newToken.Get(), application.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                             kCreationFlags, environment, nullptr, &startup, &process)) {
      Log(LogLevel::Error, kName, L"CreateProcessAsUser failed. Error: 0x%08X", GetLastError());
      ok = false;
    } else {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
  }
  if (environment != nullptr) DestroyEnvironmentBlock(environment);
  newToken.Close();
  userToken.Close();

  const BOOL restored = restore();
  serviceToken.Close();
  // The restore decides the result of a launch that started the program, as it always
  // has; a launch that failed reports 0 whatever the restore did.
  result = ok ? restored : 0;
  trace.Out(L"Return: 0x%08X", result);
  return result;
}

std::wstring CKeyBoardBridge::GetUsbCAppPath() {
  constexpr const char* kName = "RpcServer::CKeyBoardBridge::GetUsbCAppPath";
  TraceScope trace(kName);
  static constexpr const wchar_t* kLogFormats[] = {L"search from this path = %s",
                                                   L"Try again to search from this path = %s"};
  std::wstring exeName;
  for (std::size_t i = 0; i < std::size(SysInfo::kUsbCAppPlaces) && exeName.empty(); ++i) {
    // The folder is asked for again before each search.
    wchar_t folder[MAX_PATH] = {};
    const HRESULT hr = SHGetFolderPath(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, folder);
    if (FAILED(hr)) {
      Log(LogLevel::Error, kName, L"SHGetFolderPathW failed.  Error: 0x%08X", hr);
      trace.Out(L"[hr:0x%08lX]", hr);
      return std::wstring();
    }
    std::wstring candidate = std::wstring(folder) + SysInfo::kUsbCAppPlaces[i];
    if (candidate.size() >= MAX_PATH) candidate.resize(MAX_PATH - 1);  // the bounded append
    Log(LogLevel::Verbose, kName, kLogFormats[i], candidate);
    if (SysInfo::FileFound(candidate)) exeName = candidate;
  }
  trace.Out(L"csExeName = %s", exeName);
  return exeName;
}

}  // namespace RpcServer
