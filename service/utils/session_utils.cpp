#include "service/utils/session_utils.h"

#include <cwchar>

#include "platform/sessions.h"
#include "platform/text.h"
#include "service/logging/korvo_log.h"

namespace Utils {

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::TraceScope;
namespace Level = Korvo::Shared;

DWORD GetCurrentSessionID() {
  constexpr const char* kFunction = "Utils::GetCurrentSessionID";
  TraceScope trace(kFunction);
  DWORD sessionId = 0;
  WTS_SESSION_INFO* sessions = nullptr;
  DWORD count = 0;
  if (WTSEnumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
    GetLogger()->Log(Level::Information, kFunction, L"Session Count = %d", count);
    for (DWORD i = 0; i < count; ++i) {
      GetLogger()->Log(Level::Information, kFunction, L"pWinStationName = %s, State = %d, SessionId = %d",
                       sessions[i].pWinStationName, sessions[i].State, sessions[i].SessionId);
      if (sessions[i].State == WTSActive) {
        sessionId = sessions[i].SessionId;
        GetLogger()->Log(Level::Information, kFunction, L"Session %d is the Active session", sessionId);
        break;
      }
    }
    WTSFreeMemory(sessions);
  }
  if (sessionId == 0) {
    // At the log-on screen nobody is active: the console's session is the one.
    sessionId = WTSGetActiveConsoleSessionId();
    if (sessionId == 0xFFFFFFFF) {
      GetLogger()->Log(Level::Error, kFunction, L"WTSGetActiveConsoleSessionId failed with Error: %u", GetLastError());
      sessionId = 0;
    }
  }
  trace.Out(L"Session Id = %d", sessionId);
  return sessionId;
}

HANDLE GetActiveSessionToken(DWORD sessionId) {
  constexpr const char* kFunction = "Utils::GetActiveSessionToken";
  // No trace scope: the early failures end without a TraceOut line.
  GetLogger()->Log(Level::TraceIn, kFunction, L"");
  if (sessionId == 0) {
    GetLogger()->Log(Level::Error, kFunction, L"Error : No Active sessions found.");
    return INVALID_HANDLE_VALUE;
  }
  if (!RevertToSelf()) {
    GetLogger()->Log(Level::Error, kFunction, L"RevertToSelf() failed with error: %u", GetLastError());
  }
  HANDLE token = INVALID_HANDLE_VALUE;
  HANDLE queried = nullptr;
  if (WTSQueryUserToken(sessionId, &queried)) {
    GetLogger()->Log(Level::TraceOut, kFunction, L"");
    return queried;
  }
  GetLogger()->Log(Level::Error, kFunction,
                   L"WTSQueryUserToken failed with error: %u. Bypassing to other winlogon method", GetLastError());
  // The user's shell runs with the user's token.
  const DWORD shell = GetProcessIDInCurrentLogOn(sessionId, L"explorer.exe");
  HANDLE process = OpenProcess(MAXIMUM_ALLOWED, FALSE, shell);
  if (process == nullptr) {
    GetLogger()->Log(Level::Error, kFunction, L"OpenProcess with Pid %u failed with error : %u", shell, GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  constexpr DWORD kTokenRights = READ_CONTROL | TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY |
                                 TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT |
                                 TOKEN_ADJUST_SESSIONID;  // 0x201EB
  HANDLE opened = nullptr;
  if (OpenProcessToken(process, kTokenRights, &opened)) {
    token = opened;
  } else {
    GetLogger()->Log(Level::Error, kFunction, L"Process token open Error: %u", GetLastError());
  }
  CloseHandle(process);
  GetLogger()->Log(Level::TraceOut, kFunction, L"");
  return token;
}

DWORD GetProcessIDInCurrentLogOn(DWORD sessionId, const wchar_t* exeName) {
  constexpr const char* kFunction = "Utils::GetProcessIDInCurrentLogOn";
  TraceScope trace(kFunction);
  DWORD processId = 0;
  WTS_PROCESS_INFO* processes = nullptr;
  DWORD count = 0;
  if (exeName == nullptr || !WTSEnumerateProcesses(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count)) {
    GetLogger()->Log(Level::Error, kFunction, L"Could not find the correct process id in the given session");
    return 0;
  }
  const std::size_t length = std::wcslen(exeName);
  for (DWORD i = 0; i < count; ++i) {
    if (_wcsnicmp(processes[i].pProcessName, exeName, length) != 0) continue;
    GetLogger()->Log(Level::Verbose, kFunction, L"Process Id: %ld, Session Id: %ld", processes[i].ProcessId,
                     processes[i].SessionId);
    if (processes[i].SessionId == sessionId) {
      processId = processes[i].ProcessId;
      break;
    }
  }
  WTSFreeMemory(processes);
  if (processId == 0) {
    GetLogger()->Log(Level::Error, kFunction, L"Could not find the correct process id in the given session");
  }
  trace.Out(L"Process Id = %d", processId);
  return processId;
}

DWORD GetElevatedUserToken(HANDLE& token) {
  constexpr const char* kFunction = "Utils::GetElevatedUserToken";
  TraceScope trace(kFunction);
  token = nullptr;
  HANDLE user = nullptr;
  if (!WTSQueryUserToken(GetCurrentSessionID(), &user)) {
    const DWORD error = GetLastError();
    trace.Out(L"Error: 0x%08X", error);
    return error;
  }
  TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
  DWORD length = 0;
  if (!GetTokenInformation(user, TokenElevationType, &elevation, sizeof(elevation), &length)) {
    const DWORD error = GetLastError();
    GetLogger()->Log(Level::Error, kFunction, L"GetTokenInformation with TokenElevationType failed. Error: 0x%08X",
                     error);
    if (error != ERROR_SUCCESS) {
      CloseHandle(user);
      return error;
    }
  }
  if (elevation == TokenElevationTypeLimited) {
    TOKEN_LINKED_TOKEN linked{};
    if (GetTokenInformation(user, TokenLinkedToken, &linked, sizeof(linked), &length)) {
      CloseHandle(user);
      user = linked.LinkedToken;
    } else {
      const DWORD error = GetLastError();
      GetLogger()->Log(Level::Error, kFunction, L"GetTokenInformation with TokenLinkedToken failed. Error: 0x%08X",
                       error);
      if (error != ERROR_SUCCESS) {
        CloseHandle(user);
        return error;
      }
    }
  }
  TOKEN_TYPE type = TokenImpersonation;
  if (!GetTokenInformation(user, TokenType, &type, sizeof(type), &length)) {
    const DWORD error = GetLastError();
    GetLogger()->Log(Level::Error, kFunction, L"GetTokenInformation with TokenType failed. Error: 0x%08X", error);
    CloseHandle(user);
    return error == ERROR_SUCCESS ? ERROR_INVALID_HANDLE : error;
  }
  if (type != TokenPrimary) {
    GetLogger()->Log(Level::Error, kFunction, L"GetTokenInformation failed , Invalid Handle");
    CloseHandle(user);
    return ERROR_INVALID_HANDLE;
  }
  token = user;
  return ERROR_SUCCESS;
}

}  // namespace Utils
