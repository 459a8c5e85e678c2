// What the session, token and process parts of the platform share.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sessions.h"
#include "platform/src/base/handles.h"

namespace platform::sessions::detail {

// Checks the profile's "users", "sessions", "processes" and "faults"; throws
// MachineError naming `origin`, the JSON path and what is wrong.
void ValidateProfile(const nlohmann::json& profile, const std::string& origin);

// The Win32 error the profile's "faults" object injects into `call`, if any.
std::optional<DWORD> InjectedFault(const char* call);

// An account of the machine: a built-in one (SYSTEM, LOCAL SERVICE, NETWORK SERVICE)
// or one of the profile's "users".
struct Account {
  std::wstring name;
  std::wstring domain;
  std::string sid;
  bool administrator = false;
  TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
  bool builtin = false;
  std::wstring profileFolder;  // machine path
};
std::optional<Account> FindBuiltinAccount(const std::wstring& name);  // SYSTEM, LOCAL SERVICE, NETWORK SERVICE
std::optional<Account> FindAccount(const std::wstring& name);

struct Privilege {
  DWORD luid = 0;
  DWORD attributes = 0;
};

struct Group {
  std::string sid;
  DWORD attributes = 0;
};

// A token object. Tokens are shared by every handle that names them; a lock guards the
// parts that can change (privileges, UI access, session id).
struct Token {
  Account account;
  std::vector<Group> groups;
  std::string ownerSid;
  std::string primaryGroupSid;
  TOKEN_TYPE type = TokenPrimary;
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  TOKEN_ELEVATION_TYPE elevationType = TokenElevationTypeDefault;
  bool elevated = false;
  bool appContainer = false;

  mutable std::mutex lock;
  std::vector<Privilege> privileges;
  DWORD sessionId = 0;
  bool uiAccess = false;

  std::shared_ptr<Token> Clone() const;
};

// The log-on token of `account` in `sessionId`: the limited one for an administrator
// whose elevation is limited, else the full or default one.
std::shared_ptr<Token> MakeLogonToken(const Account& account, DWORD sessionId, TOKEN_ELEVATION_TYPE elevation);

// The calling process's own token (one per machine and process).
std::shared_ptr<Token> ProcessToken();
// True when the caller's process token has `privilegeLuid` enabled.
bool CallerHasPrivilege(DWORD privilegeLuid);

// The token behind a handle with the access the handle was opened with.
struct TokenHandle : base::detail::KernelObject {
  std::shared_ptr<Token> token;
  DWORD access = 0;
};
HANDLE NewTokenHandle(std::shared_ptr<Token> token, DWORD access);
std::shared_ptr<TokenHandle> LookupToken(HANDLE handle);

// The binary form of a "S-1-..." SID; empty when the text is not a SID.
std::vector<BYTE> SidBytes(const std::string& sid);

// The privilege numbers the original assigns.
inline constexpr DWORD SE_ASSIGNPRIMARYTOKEN_PRIVILEGE = 3;
inline constexpr DWORD SE_INCREASE_QUOTA_PRIVILEGE = 5;
inline constexpr DWORD SE_TCB_PRIVILEGE = 7;
inline constexpr DWORD SE_SECURITY_PRIVILEGE = 8;
inline constexpr DWORD SE_TAKE_OWNERSHIP_PRIVILEGE = 9;
inline constexpr DWORD SE_LOAD_DRIVER_PRIVILEGE = 10;
inline constexpr DWORD SE_SYSTEMTIME_PRIVILEGE = 12;
inline constexpr DWORD SE_BACKUP_PRIVILEGE = 17;
inline constexpr DWORD SE_RESTORE_PRIVILEGE = 18;
inline constexpr DWORD SE_SHUTDOWN_PRIVILEGE = 19;
inline constexpr DWORD SE_DEBUG_PRIVILEGE = 20;
inline constexpr DWORD SE_CHANGE_NOTIFY_PRIVILEGE = 23;
inline constexpr DWORD SE_UNDOCK_PRIVILEGE = 25;
inline constexpr DWORD SE_IMPERSONATE_PRIVILEGE = 29;
inline constexpr DWORD SE_CREATE_GLOBAL_PRIVILEGE = 30;
inline constexpr DWORD SE_INC_WORKING_SET_PRIVILEGE = 33;
inline constexpr DWORD SE_TIME_ZONE_PRIVILEGE = 34;

// --- The machine's tables ------------------------------------------------------------------

// One row of <root>/processes.json.
struct ProcessRecord {
  MachineProcess process;
  std::uint64_t hostStartTime = 0;  // of a real process: /proc/<pid>/stat field 22
};

// Reads the process table under its lock, dropping real processes that ended, lets
// `change` edit it and writes it back when `change` returns true. Seeds the table from
// the profile on first use.
void UpdateProcesses(const std::function<bool(std::vector<ProcessRecord>&, DWORD& nextDeclaredId)>& change);
std::vector<ProcessRecord> ReadProcesses();

// Host facts of a live process: its start time, or nothing when it is gone or a zombie.
std::optional<std::uint64_t> HostStartTime(int pid);

void UpdateSessions(const std::function<bool(std::vector<MachineSession>&)>& change);
std::vector<MachineSession> ReadSessions();

// Process ids the profile does not give are assigned from here on, above any host pid.
inline constexpr DWORD kFirstDeclaredProcessId = 0x00800000;

}  // namespace platform::sessions::detail
