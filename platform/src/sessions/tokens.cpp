// Access tokens: the program's own process token, users' log-on tokens, privileges,
// duplication, impersonation and the user's environment block.
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_set>

#include "platform/fs.h"
#include "platform/machine.h"
#include "platform/memory.h"
#include "platform/security.h"
#include "platform/src/sessions/sessions_internal.h"
#include "platform/sync.h"
#include "platform/text.h"

extern char** environ;

#include "platform/src/base/trace.h"

namespace platform {
namespace sessions::detail {
namespace {

struct PrivilegeName {
  const wchar_t* name;
  DWORD luid;
};

constexpr PrivilegeName kPrivileges[] = {
    {L"SeCreateTokenPrivilege", 2},
    {L"SeAssignPrimaryTokenPrivilege", SE_ASSIGNPRIMARYTOKEN_PRIVILEGE},
    {L"SeLockMemoryPrivilege", 4},
    {L"SeIncreaseQuotaPrivilege", SE_INCREASE_QUOTA_PRIVILEGE},
    {L"SeMachineAccountPrivilege", 6},
    {L"SeTcbPrivilege", SE_TCB_PRIVILEGE},
    {L"SeSecurityPrivilege", SE_SECURITY_PRIVILEGE},
    {L"SeTakeOwnershipPrivilege", SE_TAKE_OWNERSHIP_PRIVILEGE},
    {L"SeLoadDriverPrivilege", SE_LOAD_DRIVER_PRIVILEGE},
    {L"SeSystemProfilePrivilege", 11},
    {L"SeSystemtimePrivilege", SE_SYSTEMTIME_PRIVILEGE},
    {L"SeProfileSingleProcessPrivilege", 13},
    {L"SeIncreaseBasePriorityPrivilege", 14},
    {L"SeCreatePagefilePrivilege", 15},
    {L"SeCreatePermanentPrivilege", 16},
    {L"SeBackupPrivilege", SE_BACKUP_PRIVILEGE},
    {L"SeRestorePrivilege", SE_RESTORE_PRIVILEGE},
    {L"SeShutdownPrivilege", SE_SHUTDOWN_PRIVILEGE},
    {L"SeDebugPrivilege", SE_DEBUG_PRIVILEGE},
    {L"SeAuditPrivilege", 21},
    {L"SeSystemEnvironmentPrivilege", 22},
    {L"SeChangeNotifyPrivilege", SE_CHANGE_NOTIFY_PRIVILEGE},
    {L"SeRemoteShutdownPrivilege", 24},
    {L"SeUndockPrivilege", SE_UNDOCK_PRIVILEGE},
    {L"SeSyncAgentPrivilege", 26},
    {L"SeEnableDelegationPrivilege", 27},
    {L"SeManageVolumePrivilege", 28},
    {L"SeImpersonatePrivilege", SE_IMPERSONATE_PRIVILEGE},
    {L"SeCreateGlobalPrivilege", SE_CREATE_GLOBAL_PRIVILEGE},
    {L"SeTrustedCredManAccessPrivilege", 31},
    {L"SeRelabelPrivilege", 32},
    {L"SeIncreaseWorkingSetPrivilege", SE_INC_WORKING_SET_PRIVILEGE},
    {L"SeTimeZonePrivilege", SE_TIME_ZONE_PRIVILEGE},
    {L"SeCreateSymbolicLinkPrivilege", 35},
    {L"SeDelegateSessionUserImpersonatePrivilege", 36},
};

constexpr DWORD kOn = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
constexpr DWORD kGroupOn = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

constexpr const char* kEveryone = "S-1-1-0";
constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kAuthenticatedUsers = "S-1-5-11";
constexpr const char* kInteractive = "S-1-5-4";
constexpr const char* kLocalSystem = "S-1-5-18";

// What a token of the machine's local system account holds.
std::shared_ptr<Token> MakeSystemToken(const Account& account) {
  auto t = std::make_shared<Token>();
  t->account = account;
  t->groups = {{kAdministrators, kGroupOn | SE_GROUP_OWNER}, {kEveryone, kGroupOn}, {kAuthenticatedUsers, kGroupOn}};
  t->ownerSid = kAdministrators;
  t->primaryGroupSid = kLocalSystem;
  t->elevated = true;
  t->privileges = {{SE_TCB_PRIVILEGE, kOn},          {SE_ASSIGNPRIMARYTOKEN_PRIVILEGE, 0},
                   {SE_INCREASE_QUOTA_PRIVILEGE, 0}, {SE_SECURITY_PRIVILEGE, 0},
                   {SE_TAKE_OWNERSHIP_PRIVILEGE, 0}, {SE_LOAD_DRIVER_PRIVILEGE, 0},
                   {SE_SYSTEMTIME_PRIVILEGE, 0},     {SE_BACKUP_PRIVILEGE, 0},
                   {SE_RESTORE_PRIVILEGE, 0},        {SE_SHUTDOWN_PRIVILEGE, 0},
                   {SE_DEBUG_PRIVILEGE, kOn},        {SE_CHANGE_NOTIFY_PRIVILEGE, kOn},
                   {SE_IMPERSONATE_PRIVILEGE, kOn},  {SE_CREATE_GLOBAL_PRIVILEGE, kOn}};
  return t;
}

// The domain's ordinary users group ("...-513") of an account SID.
std::string DomainUsersGroup(const std::string& userSid) {
  const auto dash = userSid.rfind('-');
  return dash == std::string::npos ? kUsers : userSid.substr(0, dash) + "-513";
}

struct ThreadTokenSlot {
  std::shared_ptr<Token> token;
};
thread_local ThreadTokenSlot t_impersonation;

struct ProcessTokenState {
  std::mutex lock;
  std::shared_ptr<Token> token;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The environment blocks made and not yet destroyed, in this process (they are its
// memory, whatever machine made them).
struct EnvironmentBlocks {
  std::mutex lock;
  std::unordered_set<void*> blocks;
};
EnvironmentBlocks& LiveBlocks() {
  static auto* live = new EnvironmentBlocks;  // blocks may be destroyed while statics go away
  return *live;
}

// Copies `bytes` into the caller's buffer when it is large enough; the two-call size
// protocol of every token query.
BOOL Deliver(const std::vector<BYTE>& bytes, void* info, DWORD length, DWORD* returnLength) {
  if (returnLength != nullptr) *returnLength = static_cast<DWORD>(bytes.size());
  if (info == nullptr || length < bytes.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(info, bytes.data(), bytes.size());
  return TRUE;
}

template <class T>
std::vector<BYTE> BytesOf(const T& value) {
  std::vector<BYTE> out(sizeof(T));
  std::memcpy(out.data(), &value, sizeof(T));
  return out;
}

// A structure of `header` bytes followed by SIDs; `place` gets the buffer being built
// and the offset of each SID so that it can write the pointers once the buffer is in
// its final place.
std::vector<BYTE> WithSids(std::size_t header, const std::vector<std::string>& sids,
                           std::vector<std::size_t>* offsets) {
  std::vector<BYTE> out(header, 0);
  for (const auto& sid : sids) {
    const auto bytes = SidBytes(sid);
    while (out.size() % sizeof(DWORD) != 0) out.push_back(0);
    offsets->push_back(out.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

// Token information that holds SIDs points into the caller's buffer.
BOOL DeliverWithSids(TOKEN_INFORMATION_CLASS infoClass, const Token& t, void* info, DWORD length, DWORD* returnLength) {
  std::vector<std::size_t> offsets;
  std::vector<BYTE> bytes;
  std::size_t count = 0;
  switch (infoClass) {
    case TokenUser:
      bytes = WithSids(sizeof(TOKEN_USER), {t.account.sid}, &offsets);
      break;
    case TokenOwner:
      bytes = WithSids(sizeof(TOKEN_OWNER), {t.ownerSid}, &offsets);
      break;
    case TokenPrimaryGroup:
      bytes = WithSids(sizeof(TOKEN_PRIMARY_GROUP), {t.primaryGroupSid}, &offsets);
      break;
    default: {  // TokenGroups
      std::vector<std::string> sids;
      for (const auto& g : t.groups) sids.push_back(g.sid);
      count = sids.size();
      const std::size_t header =
          offsetof(TOKEN_GROUPS, Groups) + sizeof(SID_AND_ATTRIBUTES) * std::max<std::size_t>(count, 1);
      bytes = WithSids(header, sids, &offsets);
      break;
    }
  }
  if (returnLength != nullptr) *returnLength = static_cast<DWORD>(bytes.size());
  if (info == nullptr || length < bytes.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  auto* out = static_cast<BYTE*>(info);
  std::memcpy(out, bytes.data(), bytes.size());
  switch (infoClass) {
    case TokenUser: {
      auto* u = reinterpret_cast<TOKEN_USER*>(out);
      u->User.Sid = out + offsets[0];
      u->User.Attributes = 0;
      break;
    }
    case TokenOwner:
      reinterpret_cast<TOKEN_OWNER*>(out)->Owner = out + offsets[0];
      break;
    case TokenPrimaryGroup:
      reinterpret_cast<TOKEN_PRIMARY_GROUP*>(out)->PrimaryGroup = out + offsets[0];
      break;
    default: {
      auto* g = reinterpret_cast<TOKEN_GROUPS*>(out);
      g->GroupCount = static_cast<DWORD>(count);
      for (std::size_t i = 0; i < count; ++i) {
        g->Groups[i].Sid = out + offsets[i];
        g->Groups[i].Attributes = t.groups[i].attributes;
      }
      break;
    }
  }
  return TRUE;
}

// The other half of a split administrator log-on: the full token of a limited one and
// the limited token of a full one.
std::shared_ptr<Token> LinkedTwin(const Token& t) {
  const TOKEN_ELEVATION_TYPE other =
      t.elevationType == TokenElevationTypeLimited ? TokenElevationTypeFull : TokenElevationTypeLimited;
  DWORD session = 0;
  {
    std::lock_guard guard(t.lock);
    session = t.sessionId;
  }
  return MakeLogonToken(t.account, session, other);
}

void AddVariable(std::map<std::wstring, std::wstring>& vars, std::map<std::wstring, std::wstring>& upperNames,
                 const std::wstring& name, const std::wstring& value, bool replace) {
  const std::wstring upper = ToUpper(name);
  auto it = upperNames.find(upper);
  if (it != upperNames.end()) {
    if (!replace) return;
    vars.erase(it->second);
  }
  upperNames[upper] = name;
  vars[name] = value;
}

}  // namespace

std::vector<BYTE> SidBytes(const std::string& sid) {
  // Only the numeric form: the profile names accounts by their SIDs, not by the short
  // names ("SY", "BA") the string parser also knows.
  if (sid.rfind("S-", 0) != 0) return {};
  PSID binary = nullptr;
  if (!ConvertStringSidToSid(Utf8ToWide(sid).c_str(), &binary)) return {};
  const auto* bytes = static_cast<const BYTE*>(binary);
  std::vector<BYTE> out(bytes, bytes + GetLengthSid(binary));
  LocalFree(binary);
  return out;
}

std::shared_ptr<Token> Token::Clone() const {
  auto t = std::make_shared<Token>();
  t->account = account;
  t->groups = groups;
  t->ownerSid = ownerSid;
  t->primaryGroupSid = primaryGroupSid;
  t->type = type;
  t->level = level;
  t->elevationType = elevationType;
  t->elevated = elevated;
  t->appContainer = appContainer;
  std::lock_guard guard(lock);
  t->privileges = privileges;
  t->sessionId = sessionId;
  t->uiAccess = uiAccess;
  return t;
}

std::shared_ptr<Token> MakeLogonToken(const Account& account, DWORD sessionId, TOKEN_ELEVATION_TYPE elevation) {
  if (account.sid == kLocalSystem) {
    auto t = MakeSystemToken(account);
    t->sessionId = sessionId;
    return t;
  }
  auto t = std::make_shared<Token>();
  t->account = account;
  t->sessionId = sessionId;
  t->elevationType = account.administrator ? elevation : TokenElevationTypeDefault;
  const bool full = account.administrator && t->elevationType != TokenElevationTypeLimited;
  t->elevated = full;
  t->groups = {{kEveryone, kGroupOn}, {kUsers, kGroupOn}, {kAuthenticatedUsers, kGroupOn}};
  if (sessionId != 0) t->groups.push_back({kInteractive, kGroupOn});
  if (account.administrator) {
    // A limited token keeps the group only to deny access through it.
    t->groups.push_back(
        {kAdministrators, full ? (kGroupOn | SE_GROUP_OWNER) : static_cast<DWORD>(SE_GROUP_USE_FOR_DENY_ONLY)});
  }
  t->ownerSid = full ? kAdministrators : account.sid;
  t->primaryGroupSid = DomainUsersGroup(account.sid);
  t->privileges = {{SE_SHUTDOWN_PRIVILEGE, 0},
                   {SE_CHANGE_NOTIFY_PRIVILEGE, kOn},
                   {SE_UNDOCK_PRIVILEGE, 0},
                   {SE_INC_WORKING_SET_PRIVILEGE, 0},
                   {SE_TIME_ZONE_PRIVILEGE, 0}};
  if (full) {
    for (DWORD p : {SE_SECURITY_PRIVILEGE, SE_TAKE_OWNERSHIP_PRIVILEGE, SE_LOAD_DRIVER_PRIVILEGE,
                    SE_SYSTEMTIME_PRIVILEGE, SE_BACKUP_PRIVILEGE, SE_RESTORE_PRIVILEGE, SE_DEBUG_PRIVILEGE}) {
      t->privileges.push_back({p, 0});
    }
    t->privileges.push_back({SE_IMPERSONATE_PRIVILEGE, kOn});
    t->privileges.push_back({SE_CREATE_GLOBAL_PRIVILEGE, kOn});
  }
  return t;
}

std::shared_ptr<Token> ProcessToken() {
  auto& state = CurrentMachine().State<ProcessTokenState>();
  std::lock_guard guard(state.lock);
  if (!state.token) {
    const auto& account = CurrentMachine().Account();
    auto found = FindAccount(account.userName);
    if (!found) {
      found = Account{account.userName,          account.domain, "S-1-5-18",           true,
                      TokenElevationTypeDefault, true,           account.profileFolder};
    }
    state.token = MakeLogonToken(*found, 0, TokenElevationTypeFull);
  }
  return state.token;
}

bool CallerHasPrivilege(DWORD privilegeLuid) {
  auto token = ProcessToken();
  std::lock_guard guard(token->lock);
  for (const auto& p : token->privileges) {
    if (p.luid == privilegeLuid) return (p.attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  return false;
}

HANDLE NewTokenHandle(std::shared_ptr<Token> token, DWORD access) {
  auto object = std::make_shared<TokenHandle>();
  object->token = std::move(token);
  object->access = (access & MAXIMUM_ALLOWED) != 0 ? TOKEN_ALL_ACCESS : access;
  return base::detail::InsertHandle(std::move(object));
}

std::shared_ptr<TokenHandle> LookupToken(HANDLE handle) {
  return base::detail::LookupHandleAs<TokenHandle>(handle);
}

}  // namespace sessions::detail

using namespace sessions::detail;

BOOL LookupPrivilegeValue(LPCWSTR systemName, LPCWSTR name, LUID* luid) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "LookupPrivilegeValue", [&]() -> BOOL {
    if (name == nullptr || luid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (systemName != nullptr && *systemName != L'\0') return Fail(ERROR_INVALID_PARAMETER);
    if (auto fault = InjectedFault("LookupPrivilegeValue")) return Fail(*fault);
    for (const auto& p : kPrivileges) {
      if (ToUpper(p.name) == ToUpper(name)) {
        *luid = LUID{p.luid, 0};
        return TRUE;
      }
    }
    return Fail(ERROR_NO_SUCH_PRIVILEGE);
  });
}

BOOL LookupPrivilegeName(LPCWSTR systemName, const LUID* luid, wchar_t* name, DWORD* length) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "LookupPrivilegeName", [&]() -> BOOL {
    if (luid == nullptr || length == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (systemName != nullptr && *systemName != L'\0') return Fail(ERROR_INVALID_PARAMETER);
    for (const auto& p : kPrivileges) {
      if (luid->HighPart != 0 || luid->LowPart != p.luid) continue;
      const DWORD size = static_cast<DWORD>(std::wcslen(p.name));
      if (name == nullptr || *length <= size) {
        *length = size + 1;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
      }
      std::wmemcpy(name, p.name, size + 1);
      *length = size;
      return TRUE;
    }
    return Fail(ERROR_NO_SUCH_PRIVILEGE);
  });
}

BOOL OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL /*openAsSelf*/, HANDLE* token) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "OpenThreadToken", [&]() -> BOOL {
    if (token == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *token = nullptr;
    if (thread != GetCurrentThread()) return Fail(ERROR_INVALID_HANDLE);
    if (!t_impersonation.token) return Fail(ERROR_NO_TOKEN);
    if (t_impersonation.token->level == SecurityAnonymous) return Fail(ERROR_CANT_OPEN_ANONYMOUS);
    *token = NewTokenHandle(t_impersonation.token, desiredAccess);
    return TRUE;
  });
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info, DWORD length,
                         DWORD* returnLength) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "GetTokenInformation", [&]() -> BOOL {
    auto h = LookupToken(token);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    if ((h->access & TOKEN_QUERY) == 0) return Fail(ERROR_ACCESS_DENIED);
    if (auto fault = InjectedFault("GetTokenInformation")) return Fail(*fault);
    const Token& t = *h->token;
    switch (infoClass) {
      case TokenUser:
      case TokenGroups:
      case TokenOwner:
      case TokenPrimaryGroup:
        return DeliverWithSids(infoClass, t, info, length, returnLength);
      case TokenPrivileges: {
        std::vector<Privilege> privileges;
        {
          std::lock_guard guard(t.lock);
          for (const auto& p : t.privileges) {
            if ((p.attributes & SE_PRIVILEGE_REMOVED) == 0) privileges.push_back(p);
          }
        }
        std::vector<BYTE> bytes(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                sizeof(LUID_AND_ATTRIBUTES) * std::max<std::size_t>(privileges.size(), 1));
        auto* out = reinterpret_cast<TOKEN_PRIVILEGES*>(bytes.data());
        out->PrivilegeCount = static_cast<DWORD>(privileges.size());
        for (std::size_t i = 0; i < privileges.size(); ++i) {
          out->Privileges[i] = LUID_AND_ATTRIBUTES{LUID{privileges[i].luid, 0}, privileges[i].attributes};
        }
        return Deliver(bytes, info, length, returnLength);
      }
      case TokenType:
        return Deliver(BytesOf(static_cast<DWORD>(t.type)), info, length, returnLength);
      case TokenImpersonationLevel:
        if (t.type != TokenImpersonation) return Fail(ERROR_INVALID_PARAMETER);
        return Deliver(BytesOf(static_cast<DWORD>(t.level)), info, length, returnLength);
      case TokenSessionId: {
        std::lock_guard guard(t.lock);
        return Deliver(BytesOf(t.sessionId), info, length, returnLength);
      }
      case TokenElevationType:
        return Deliver(BytesOf(static_cast<DWORD>(t.elevationType)), info, length, returnLength);
      case TokenElevation:
        return Deliver(BytesOf(TOKEN_ELEVATION{t.elevated ? 1u : 0u}), info, length, returnLength);
      case TokenUIAccess: {
        std::lock_guard guard(t.lock);
        return Deliver(BytesOf(static_cast<DWORD>(t.uiAccess ? 1 : 0)), info, length, returnLength);
      }
      case TokenIsAppContainer:
        return Deliver(BytesOf(static_cast<DWORD>(t.appContainer ? 1 : 0)), info, length, returnLength);
      case TokenLinkedToken: {
        if (t.elevationType == TokenElevationTypeDefault) return Fail(ERROR_NO_SUCH_LOGON_SESSION);
        if (returnLength != nullptr) *returnLength = sizeof(TOKEN_LINKED_TOKEN);
        if (info == nullptr || length < sizeof(TOKEN_LINKED_TOKEN)) return Fail(ERROR_INSUFFICIENT_BUFFER);
        // A caller that holds SeTcbPrivilege gets a usable primary token; anyone else only
        // an identification token of the other half.
        auto twin = LinkedTwin(t);
        if (!CallerHasPrivilege(SE_TCB_PRIVILEGE)) {
          twin->type = TokenImpersonation;
          twin->level = SecurityIdentification;
        }
        static_cast<TOKEN_LINKED_TOKEN*>(info)->LinkedToken = NewTokenHandle(std::move(twin), TOKEN_ALL_ACCESS);
        return TRUE;
      }
    }
    return Fail(ERROR_INVALID_PARAMETER);
  });
}

BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, const void* info, DWORD length) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "SetTokenInformation", [&]() -> BOOL {
    auto h = LookupToken(token);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    if (info == nullptr || length < sizeof(DWORD)) return Fail(ERROR_BAD_LENGTH);
    if (infoClass != TokenUIAccess && infoClass != TokenSessionId) return Fail(ERROR_INVALID_PARAMETER);
    if (auto fault = InjectedFault("SetTokenInformation")) return Fail(*fault);
    DWORD value = 0;
    std::memcpy(&value, info, sizeof(DWORD));
    switch (infoClass) {
      case TokenUIAccess:
        if ((h->access & TOKEN_ADJUST_DEFAULT) == 0) return Fail(ERROR_ACCESS_DENIED);
        if (value != 0 && !CallerHasPrivilege(SE_TCB_PRIVILEGE)) return Fail(ERROR_PRIVILEGE_NOT_HELD);
        {
          std::lock_guard guard(h->token->lock);
          h->token->uiAccess = value != 0;
        }
        return TRUE;
      case TokenSessionId:
        if ((h->access & TOKEN_ADJUST_SESSIONID) == 0) return Fail(ERROR_ACCESS_DENIED);
        if (!CallerHasPrivilege(SE_TCB_PRIVILEGE)) return Fail(ERROR_PRIVILEGE_NOT_HELD);
        {
          std::lock_guard guard(h->token->lock);
          h->token->sessionId = value;
        }
        return TRUE;
      default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
  });
}

BOOL DuplicateTokenEx(HANDLE existing, DWORD desiredAccess, LPSECURITY_ATTRIBUTES /*attributes*/,
                      SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, HANDLE* newToken) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "DuplicateTokenEx", [&]() -> BOOL {
    if (newToken == nullptr || level > SecurityDelegation || (type != TokenPrimary && type != TokenImpersonation)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    *newToken = nullptr;
    auto h = LookupToken(existing);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    if ((h->access & TOKEN_DUPLICATE) == 0) return Fail(ERROR_ACCESS_DENIED);
    if (auto fault = InjectedFault("DuplicateTokenEx")) return Fail(*fault);
    const Token& source = *h->token;
    // An impersonation token cannot be raised above its own level, nor can an
    // identification-level one become a primary token.
    if (source.type == TokenImpersonation &&
        (level > source.level || (type == TokenPrimary && source.level < SecurityImpersonation))) {
      return Fail(ERROR_BAD_IMPERSONATION_LEVEL);
    }
    auto copy = source.Clone();
    copy->type = type;
    copy->level = type == TokenImpersonation ? level : SecurityAnonymous;
    *newToken = NewTokenHandle(std::move(copy), desiredAccess);
    return TRUE;
  });
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, const TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "AdjustTokenPrivileges", [&]() -> BOOL {
    auto h = LookupToken(token);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    if ((h->access & TOKEN_ADJUST_PRIVILEGES) == 0) return Fail(ERROR_ACCESS_DENIED);
    if (previousState != nullptr && (h->access & TOKEN_QUERY) == 0) return Fail(ERROR_ACCESS_DENIED);
    if (!disableAll && newState == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (auto fault = InjectedFault("AdjustTokenPrivileges")) return Fail(*fault);
    Token& t = *h->token;
    std::lock_guard guard(t.lock);
    // Work out the changes first: nothing changes when the previous state does not fit.
    std::vector<std::pair<std::size_t, DWORD>> changes;  // index into t.privileges, new attributes
    bool allAssigned = true;
    if (disableAll) {
      for (std::size_t i = 0; i < t.privileges.size(); ++i) {
        if ((t.privileges[i].attributes & SE_PRIVILEGE_ENABLED) != 0) {
          changes.emplace_back(i, t.privileges[i].attributes & ~SE_PRIVILEGE_ENABLED);
        }
      }
    } else {
      for (DWORD n = 0; n < newState->PrivilegeCount; ++n) {
        const auto& wanted = newState->Privileges[n];
        std::size_t i = 0;
        while (i < t.privileges.size() && (t.privileges[i].luid != wanted.Luid.LowPart || wanted.Luid.HighPart != 0 ||
                                           (t.privileges[i].attributes & SE_PRIVILEGE_REMOVED) != 0)) {
          ++i;
        }
        if (i == t.privileges.size()) {
          allAssigned = false;
          continue;
        }
        DWORD attributes = t.privileges[i].attributes;
        if ((wanted.Attributes & SE_PRIVILEGE_REMOVED) != 0) {
          attributes = SE_PRIVILEGE_REMOVED;
        } else if ((wanted.Attributes & SE_PRIVILEGE_ENABLED) != 0) {
          attributes |= SE_PRIVILEGE_ENABLED;
        } else {
          attributes &= ~SE_PRIVILEGE_ENABLED;
        }
        if (attributes != t.privileges[i].attributes) changes.emplace_back(i, attributes);
      }
    }
    if (previousState != nullptr) {
      const DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                              sizeof(LUID_AND_ATTRIBUTES) * std::max<std::size_t>(changes.size(), 1));
      if (returnLength != nullptr) *returnLength = needed;
      if (bufferLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
      previousState->PrivilegeCount = static_cast<DWORD>(changes.size());
      for (std::size_t n = 0; n < changes.size(); ++n) {
        const auto& before = t.privileges[changes[n].first];
        previousState->Privileges[n] = LUID_AND_ATTRIBUTES{LUID{before.luid, 0}, before.attributes};
      }
    }
    for (const auto& [i, attributes] : changes) t.privileges[i].attributes = attributes;
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
  });
}

BOOL ImpersonateLoggedOnUser(HANDLE token) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "ImpersonateLoggedOnUser", [&]() -> BOOL {
    auto h = LookupToken(token);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    if ((h->access & (TOKEN_QUERY | TOKEN_DUPLICATE)) != (TOKEN_QUERY | TOKEN_DUPLICATE)) {
      return Fail(ERROR_ACCESS_DENIED);
    }
    auto copy = h->token->Clone();
    if (copy->type == TokenPrimary) {
      copy->type = TokenImpersonation;
      copy->level = SecurityImpersonation;
    }
    t_impersonation.token = std::move(copy);
    return TRUE;
  });
}

BOOL RevertToSelf() {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "RevertToSelf", [&]() -> BOOL {
    t_impersonation.token.reset();
    return TRUE;
  });
}

BOOL CreateEnvironmentBlock(void** environment, HANDLE token, BOOL inherit) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "CreateEnvironmentBlock", [&]() -> BOOL {
    if (environment == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *environment = nullptr;
    std::shared_ptr<Token> t;
    if (token != nullptr) {
      auto h = LookupToken(token);
      if (!h) return Fail(ERROR_INVALID_HANDLE);
      if ((h->access & (TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE)) !=
          (TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE)) {
        return Fail(ERROR_ACCESS_DENIED);
      }
      t = h->token;
    }
    if (auto fault = InjectedFault("CreateEnvironmentBlock")) return Fail(*fault);
    std::map<std::wstring, std::wstring> vars;
    std::map<std::wstring, std::wstring> upperNames;
    const auto& profile = CurrentMachine().Profile();
    const std::wstring computer = Utf8ToWide(profile.value("computerName", std::string("KORVO-PC")));
    auto add = [&](const std::wstring& n, const std::wstring& v) { AddVariable(vars, upperNames, n, v, true); };
    add(L"SystemDrive", L"C:");
    add(L"SystemRoot", L"C:\\Windows");
    add(L"windir", L"C:\\Windows");
    add(L"ProgramData", L"C:\\ProgramData");
    add(L"ALLUSERSPROFILE", L"C:\\ProgramData");
    add(L"ProgramFiles", L"C:\\Program Files");
    add(L"ProgramFiles(x86)", L"C:\\Program Files (x86)");
    add(L"COMPUTERNAME", computer);
    if (auto env = profile.find("environment"); env != profile.end() && env->is_object()) {
      for (const auto& [name, value] : env->items()) add(Utf8ToWide(name), Utf8ToWide(value.get<std::string>()));
    }
    if (t) {
      const std::wstring& folder = t->account.profileFolder;
      add(L"USERNAME", t->account.sid == kLocalSystem ? computer + L"$" : t->account.name);
      add(L"USERDOMAIN", t->account.domain);
      add(L"USERPROFILE", folder);
      add(L"APPDATA", folder + L"\\AppData\\Roaming");
      add(L"LOCALAPPDATA", folder + L"\\AppData\\Local");
      add(L"TEMP", folder + L"\\AppData\\Local\\Temp");
      add(L"TMP", folder + L"\\AppData\\Local\\Temp");
      if (folder.size() > 2 && folder[1] == L':') {
        add(L"HOMEDRIVE", folder.substr(0, 2));
        add(L"HOMEPATH", folder.substr(2));
      }
    }
    if (inherit) {
      // The caller's own variables, where the user's do not say otherwise.
      for (char** e = environ; *e != nullptr; ++e) {
        const std::wstring entry = Utf8ToWide(*e);
        const auto eq = entry.find(L'=');
        if (eq == std::wstring::npos || eq == 0) continue;
        AddVariable(vars, upperNames, entry.substr(0, eq), entry.substr(eq + 1), false);
      }
    }
    std::u16string block;
    for (const auto& [name, value] : vars) {
      block += WideToUtf16(name + L"=" + value);
      block.push_back(u'\0');
    }
    block.push_back(u'\0');
    auto* memory = static_cast<char16_t*>(std::malloc(block.size() * sizeof(char16_t)));
    if (memory == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(memory, block.data(), block.size() * sizeof(char16_t));
    {
      auto& live = LiveBlocks();
      std::lock_guard guard(live.lock);
      live.blocks.insert(memory);
    }
    *environment = memory;
    return TRUE;
  });
}

BOOL DestroyEnvironmentBlock(void* environment) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "DestroyEnvironmentBlock", [&]() -> BOOL {
    {
      auto& live = LiveBlocks();
      std::lock_guard guard(live.lock);
      // Only blocks of ours go back to the allocator: a stray or second destroy fails.
      if (live.blocks.erase(environment) == 0) return Fail(ERROR_INVALID_PARAMETER);
    }
    std::free(environment);
    return TRUE;
  });
}

std::size_t EnvironmentBlockCount() {
  return base::detail::Traced<std::size_t>(base::detail::kTraceSessions, "EnvironmentBlockCount", [&]() -> std::size_t {
    auto& live = LiveBlocks();
    std::lock_guard guard(live.lock);
    return live.blocks.size();
  });
}

std::vector<std::wstring> ProcessEnvironment() {
  return base::detail::Traced<std::vector<std::wstring>>(base::detail::kTraceSessions, "ProcessEnvironment",
                                                         [&]() -> std::vector<std::wstring> {
                                                           std::vector<std::wstring> out;
                                                           for (char** e = environ; *e != nullptr; ++e) {
                                                             out.push_back(Utf8ToWide(*e));
                                                           }
                                                           return out;
                                                         });
}

}  // namespace platform
