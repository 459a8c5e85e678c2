// Sessions, tokens and processes of the machine.
//
// Sessions. The profile's "sessions" array declares the terminal sessions (id, station
// name, state, the user logged on, which one is attached to the console); on first use
// they are copied to <root>/sessions.json, which `vesk-machine session ...` changes at
// run time. Every process of the machine reads the same table.
//
// Users and tokens. The profile's "users" object declares the accounts (SID, domain,
// administrator or not, elevation type of their log-on token). A token is an object of
// this process: user and group SIDs, privileges, type, impersonation level, elevation
// type with a linked token, UI access and session id. The program's own process token
// belongs to the account the machine says it runs as (LocalSystem for the service), with
// the privileges that account has; changing a token changes only this model, never the
// host's users or privileges.
//
// Processes. The machine's process table, <root>/processes.json, is shared by every
// process of the machine. It holds the processes the profile's "processes" array
// declares (their ids are given by the profile or assigned above the host's pid range,
// so they never clash with a real one) and the processes started on the machine with
// CreateProcessAsUser: a program whose file on the machine is executable on this host
// runs as a real host process (its id is the host pid, and terminating it ends that
// process); any other existing file starts a declared-style entry that lives until it
// is terminated. Entries of real processes that ended are dropped whenever the table
// is read (a pid that the host reused is recognised by its start time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/security.h"
#include "platform/sync.h"
#include "platform/types.h"

namespace platform {

// --- Terminal sessions ------------------------------------------------------------------

enum WTS_CONNECTSTATE_CLASS : DWORD {
  WTSActive = 0,
  WTSConnected = 1,
  WTSConnectQuery = 2,
  WTSShadow = 3,
  WTSDisconnected = 4,
  WTSIdle = 5,
  WTSListen = 6,
  WTSReset = 7,
  WTSDown = 8,
  WTSInit = 9,
};

struct WTS_SESSION_INFOW {
  DWORD SessionId;
  LPWSTR pWinStationName;
  WTS_CONNECTSTATE_CLASS State;
};
using WTS_SESSION_INFO = WTS_SESSION_INFOW;

struct WTS_PROCESS_INFOW {
  DWORD SessionId;
  DWORD ProcessId;
  LPWSTR pProcessName;
  void* pUserSid;  // the owner's SID (a SID structure), null when it has none
};
using WTS_PROCESS_INFO = WTS_PROCESS_INFOW;

inline const HANDLE WTS_CURRENT_SERVER_HANDLE = nullptr;

// Session-change event types (the event type of SERVICE_CONTROL_SESSIONCHANGE).
inline constexpr DWORD WTS_CONSOLE_CONNECT = 0x1;
inline constexpr DWORD WTS_CONSOLE_DISCONNECT = 0x2;
inline constexpr DWORD WTS_REMOTE_CONNECT = 0x3;
inline constexpr DWORD WTS_REMOTE_DISCONNECT = 0x4;
inline constexpr DWORD WTS_SESSION_LOGON = 0x5;
inline constexpr DWORD WTS_SESSION_LOGOFF = 0x6;
inline constexpr DWORD WTS_SESSION_LOCK = 0x7;
inline constexpr DWORD WTS_SESSION_UNLOCK = 0x8;

// Version 1 only; the list is freed with WTSFreeMemory. Fails with the profile's fault
// "WTSEnumerateSessions" when one is set.
BOOL WTSEnumerateSessions(HANDLE server, DWORD reserved, DWORD version, WTS_SESSION_INFOW** sessions, DWORD* count);
// The processes of the machine with their session and owner; freed with WTSFreeMemory.
BOOL WTSEnumerateProcesses(HANDLE server, DWORD reserved, DWORD version, WTS_PROCESS_INFOW** processes, DWORD* count);
void WTSFreeMemory(void* memory);
// "active", "connected", ..., "init": the state names the profile and the tools use.
const char* SessionStateName(WTS_CONNECTSTATE_CLASS state);
// The session attached to the console, 0xFFFFFFFF when there is none.
DWORD WTSGetActiveConsoleSessionId();
// A primary token of the user logged on in `sessionId`. The caller's process token must
// hold SeTcbPrivilege (ERROR_PRIVILEGE_NOT_HELD); ERROR_FILE_NOT_FOUND for a session
// that does not exist, ERROR_NO_TOKEN when nobody is logged on in it.
BOOL WTSQueryUserToken(ULONG sessionId, HANDLE* token);

// --- Tokens and privileges ------------------------------------------------------------------

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];  // PrivilegeCount entries
};

struct SID_AND_ATTRIBUTES {
  void* Sid;  // a SID structure
  DWORD Attributes;
};

struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};

struct TOKEN_GROUPS {
  DWORD GroupCount;
  SID_AND_ATTRIBUTES Groups[1];  // GroupCount entries
};

struct TOKEN_OWNER {
  void* Owner;
};

struct TOKEN_PRIMARY_GROUP {
  void* PrimaryGroup;
};

struct TOKEN_LINKED_TOKEN {
  HANDLE LinkedToken;
};

struct TOKEN_ELEVATION {
  DWORD TokenIsElevated;
};

enum TOKEN_INFORMATION_CLASS : DWORD {
  TokenUser = 1,
  TokenGroups = 2,
  TokenPrivileges = 3,
  TokenOwner = 4,
  TokenPrimaryGroup = 5,
  TokenType = 8,
  TokenImpersonationLevel = 9,
  TokenSessionId = 12,
  TokenElevationType = 18,
  TokenLinkedToken = 19,
  TokenElevation = 20,
  TokenUIAccess = 26,
  TokenIsAppContainer = 29,
};

enum TOKEN_TYPE : DWORD {
  TokenPrimary = 1,
  TokenImpersonation = 2,
};

enum SECURITY_IMPERSONATION_LEVEL : DWORD {
  SecurityAnonymous = 0,
  SecurityIdentification = 1,
  SecurityImpersonation = 2,
  SecurityDelegation = 3,
};

enum TOKEN_ELEVATION_TYPE : DWORD {
  TokenElevationTypeDefault = 1,
  TokenElevationTypeFull = 2,
  TokenElevationTypeLimited = 3,
};

// "default", "full" or "limited": the names the profile and the tools use.
const char* ElevationTypeName(TOKEN_ELEVATION_TYPE type);

inline constexpr DWORD TOKEN_ASSIGN_PRIMARY = 0x0001;
inline constexpr DWORD TOKEN_DUPLICATE = 0x0002;
inline constexpr DWORD TOKEN_IMPERSONATE = 0x0004;
inline constexpr DWORD TOKEN_QUERY = 0x0008;
inline constexpr DWORD TOKEN_QUERY_SOURCE = 0x0010;
inline constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
inline constexpr DWORD TOKEN_ADJUST_GROUPS = 0x0040;
inline constexpr DWORD TOKEN_ADJUST_DEFAULT = 0x0080;
inline constexpr DWORD TOKEN_ADJUST_SESSIONID = 0x0100;
inline constexpr DWORD TOKEN_ALL_ACCESS = 0x000F01FF;

inline constexpr DWORD SE_PRIVILEGE_ENABLED_BY_DEFAULT = 0x00000001;
inline constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
inline constexpr DWORD SE_PRIVILEGE_REMOVED = 0x00000004;

inline constexpr DWORD SE_GROUP_MANDATORY = 0x00000001;
inline constexpr DWORD SE_GROUP_ENABLED_BY_DEFAULT = 0x00000002;
inline constexpr DWORD SE_GROUP_ENABLED = 0x00000004;
inline constexpr DWORD SE_GROUP_OWNER = 0x00000008;
inline constexpr DWORD SE_GROUP_USE_FOR_DENY_ONLY = 0x00000010;
inline constexpr DWORD SE_GROUP_LOGON_ID = 0xC0000000;

inline constexpr DWORD ERROR_BAD_LENGTH = 24;
inline constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
inline constexpr DWORD ERROR_BAD_TOKEN_TYPE = 1349;
inline constexpr DWORD ERROR_CANT_OPEN_ANONYMOUS = 1347;

// Privilege names as the original spells them ("SeTcbPrivilege", ...).
BOOL LookupPrivilegeValue(LPCWSTR systemName, LPCWSTR name, LUID* luid);
BOOL LookupPrivilegeName(LPCWSTR systemName, const LUID* luid, wchar_t* name, DWORD* length);

// GetCurrentProcess() is the pseudo handle (HANDLE)-1 for the calling process.
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token);
// ERROR_NO_TOKEN when the thread does not impersonate.
BOOL OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf, HANDLE* token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info, DWORD length,
                         DWORD* returnLength);
// TokenUIAccess and TokenSessionId (both need SeTcbPrivilege enabled in the caller's
// process token, and TOKEN_ADJUST_DEFAULT / TOKEN_ADJUST_SESSIONID on the handle).
BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, const void* info, DWORD length);
BOOL DuplicateTokenEx(HANDLE existing, DWORD desiredAccess, LPSECURITY_ATTRIBUTES attributes,
                      SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, HANDLE* newToken);
// Succeeds with last error ERROR_NOT_ALL_ASSIGNED when the token lacks a privilege.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, const TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength);
// Per-thread impersonation.
BOOL ImpersonateLoggedOnUser(HANDLE token);
BOOL RevertToSelf();

// The user's environment: the profile folders of the token's user and the machine's
// variables, plus the calling process's own variables when `inherit` is TRUE. A block of
// UTF-16 "NAME=value" strings, each NUL-terminated, ending with an empty one.
BOOL CreateEnvironmentBlock(void** environment, HANDLE token, BOOL inherit);
// ERROR_INVALID_PARAMETER for anything but a block CreateEnvironmentBlock made and
// nobody destroyed yet.
BOOL DestroyEnvironmentBlock(void* environment);
// The blocks CreateEnvironmentBlock made in this process that are not destroyed yet: a
// test takes it before and after the code it checks for leaked blocks.
std::size_t EnvironmentBlockCount();

// The environment this process was started with, "NAME=value" strings in the host's
// order. A program the machine started gets the block CreateProcessAsUser was given
// (or its starter's own variables) plus KORVO_MACHINE_ROOT.
std::vector<std::wstring> ProcessEnvironment();

// --- Processes ------------------------------------------------------------------------------

inline constexpr DWORD TH32CS_SNAPPROCESS = 0x00000002;

struct PROCESSENTRY32W {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  std::uintptr_t th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  WCHAR szExeFile[MAX_PATH];
};
using PROCESSENTRY32 = PROCESSENTRY32W;

// Only TH32CS_SNAPPROCESS; the snapshot is closed with CloseHandle.
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL Process32First(HANDLE snapshot, PROCESSENTRY32W* entry);  // ERROR_NO_MORE_FILES at the end
BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32W* entry);

inline constexpr DWORD PROCESS_TERMINATE = 0x0001;
inline constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
inline constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
inline constexpr DWORD PROCESS_ALL_ACCESS = 0x001FFFFF;

// ERROR_INVALID_PARAMETER for an id that no process of the machine has.
HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);
DWORD GetProcessId(HANDLE process);
BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId);

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};
using STARTUPINFO = STARTUPINFOW;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};

inline constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;
inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;

// Starts `applicationName` (a machine path) as the token's user in the token's session.
// The command line is handed to the program split the way the original's C runtime
// splits it; a first word that names the program itself is its argv[0] and not passed
// again. `environment` is a block as CreateEnvironmentBlock makes (UTF-16 with
// CREATE_UNICODE_ENVIRONMENT), or null for the caller's own. The token must be a
// primary token (ERROR_BAD_TOKEN_TYPE) opened with TOKEN_ASSIGN_PRIMARY; a missing file
// fails with ERROR_FILE_NOT_FOUND. The new process is not waited for.
BOOL CreateProcessAsUser(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                         LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                         BOOL inheritHandles, DWORD creationFlags, void* environment, LPCWSTR currentDirectory,
                         STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation);

// --- What the tools show ----------------------------------------------------------------

// One entry of the machine's process table, as `vesk-machine ps` shows it.
struct MachineProcess {
  DWORD processId = 0;
  DWORD parentProcessId = 0;
  DWORD sessionId = 0;
  std::wstring name;         // executable file name
  std::wstring path;         // machine path of the executable
  std::wstring user;         // account name, empty for none
  std::wstring commandLine;  // as given to CreateProcessAsUser
  std::wstring desktop;      // the start-up information's desktop
  bool real = false;         // a host process
  bool uiAccess = false;     // the token it was started with had UI access
  // The elevation type of the token it was started with (a declared process: its
  // user's log-on token); none for a process without a user.
  std::optional<TOKEN_ELEVATION_TYPE> elevationType;
};

// One session, as `vesk-machine sessions` shows it.
struct MachineSession {
  DWORD id = 0;
  std::wstring station;
  WTS_CONNECTSTATE_CLASS state = WTSDisconnected;
  std::wstring user;  // empty when nobody is logged on
  bool console = false;
  bool locked = false;
};

namespace machine_sessions {

// Both throw MachineError when the table in the machine root is damaged.
std::vector<MachineProcess> Processes();
std::vector<MachineSession> Sessions();

// Changes of the session table, as `vesk-machine session VERB` makes them. Each returns
// the session-change event type to deliver to the services (WTS_SESSION_LOGON, ...), or
// 0 with `*error` set to a message for a person when the change makes no sense (no
// such session, unknown user, nobody logged on, ...).
DWORD LogOn(DWORD sessionId, const std::wstring& user, std::string* error);
DWORD LogOff(DWORD sessionId, std::string* error);
DWORD Lock(DWORD sessionId, std::string* error);
DWORD Unlock(DWORD sessionId, std::string* error);
DWORD Connect(DWORD sessionId, std::string* error);
DWORD Disconnect(DWORD sessionId, std::string* error);

}  // namespace machine_sessions

}  // namespace platform
