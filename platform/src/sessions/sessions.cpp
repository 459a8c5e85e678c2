// Terminal sessions of the machine: the profile's declarations, the session table in
// the machine root, and the terminal-services calls over them.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <system_error>

#include "platform/machine.h"
#include "platform/src/host/files.h"
#include "platform/src/sessions/sessions_internal.h"
#include "platform/text.h"

#include "platform/src/base/trace.h"

namespace platform {
namespace sessions::detail {
namespace {

using nlohmann::json;

[[noreturn]] void Bad(const std::string& origin, const std::string& path, const std::string& what) {
  throw MachineError(origin + ": " + path + ": " + what);
}

// Typed reads of one JSON object for the validation below.
class Fields {
 public:
  Fields(const json& object, std::string origin, std::string path)
      : object_(object), origin_(std::move(origin)), path_(std::move(path)) {
    if (!object_.is_object()) Bad(origin_, path_, "must be an object");
  }
  void Allow(std::initializer_list<const char*> names) const {
    for (const auto& item : object_.items()) {
      const std::string& key = item.key();
      if (std::none_of(names.begin(), names.end(), [&](const char* n) { return key == n; })) {
        Bad(origin_, path_ + "." + key, "is not a known field");
      }
    }
  }
  const json* Get(const char* name, json::value_t type, bool required) const {
    auto it = object_.find(name);
    if (it == object_.end()) {
      if (required) Bad(origin_, path_ + "." + name, "is required");
      return nullptr;
    }
    const bool ok = type == json::value_t::number_unsigned ? it->is_number_unsigned()
                    : type == json::value_t::boolean       ? it->is_boolean()
                                                           : it->type() == type;
    if (!ok) {
      const char* want = type == json::value_t::number_unsigned ? "an unsigned number"
                         : type == json::value_t::boolean       ? "true or false"
                                                                : "a string";
      Bad(origin_, path_ + "." + name, std::string("must be ") + want + ", not " + it->dump());
    }
    return &*it;
  }

 private:
  const json& object_;
  std::string origin_;
  std::string path_;
};

constexpr std::pair<const char*, WTS_CONNECTSTATE_CLASS> kStates[] = {
    {"active", WTSActive},
    {"connected", WTSConnected},
    {"connectquery", WTSConnectQuery},
    {"shadow", WTSShadow},
    {"disconnected", WTSDisconnected},
    {"idle", WTSIdle},
    {"listen", WTSListen},
    {"reset", WTSReset},
    {"down", WTSDown},
    {"init", WTSInit},
};

std::optional<WTS_CONNECTSTATE_CLASS> StateFromName(const std::string& name) {
  for (const auto& [n, s] : kStates) {
    if (name == n) return s;
  }
  return std::nullopt;
}

constexpr const char* kFaultCalls[] = {"WTSEnumerateSessions",     "WTSEnumerateProcesses", "WTSQueryUserToken",
                                       "CreateToolhelp32Snapshot", "OpenProcess",           "CreateProcessAsUser",
                                       "OpenProcessToken",         "LookupPrivilegeValue",  "AdjustTokenPrivileges",
                                       "DuplicateTokenEx",         "SetTokenInformation",   "GetTokenInformation",
                                       "CreateEnvironmentBlock"};

bool LooksLikeSid(const std::string& text) {
  return !SidBytes(text).empty();
}

std::filesystem::path SessionsFile() {
  return CurrentMachine().Root() / "sessions.json";
}

json SessionToJson(const MachineSession& s) {
  return {{"id", s.id},
          {"station", WideToUtf8(s.station)},
          {"state", SessionStateName(s.state)},
          {"user", WideToUtf8(s.user)},
          {"console", s.console},
          {"locked", s.locked}};
}

MachineSession SessionFromJson(const json& j) {
  MachineSession s;
  s.id = j.value("id", 0u);
  s.station = Utf8ToWide(j.value("station", ""));
  s.state = StateFromName(j.value("state", "down")).value_or(WTSDown);
  s.user = Utf8ToWide(j.value("user", ""));
  s.console = j.value("console", false);
  s.locked = j.value("locked", false);
  return s;
}

std::vector<MachineSession> DeclaredSessions() {
  const json& profile = CurrentMachine().Profile();
  std::vector<MachineSession> out;
  auto it = profile.find("sessions");
  if (it == profile.end()) {
    // Without a declaration the machine has only the services' session.
    out.push_back(MachineSession{0, L"Services", WTSDisconnected, L"", false, false});
    return out;
  }
  for (const auto& s : *it) out.push_back(SessionFromJson(s));
  return out;
}

std::vector<MachineSession> ParseSessions(const std::string& text, const std::filesystem::path& path) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::parse_error& e) {
    throw MachineError("the session table " + path.string() + " is damaged: " + e.what());
  }
  if (!j.is_object() || !j.contains("sessions") || !j["sessions"].is_array()) {
    throw MachineError("the session table " + path.string() + " is damaged: it needs a \"sessions\" array");
  }
  std::vector<MachineSession> out;
  for (const auto& s : j["sessions"]) out.push_back(SessionFromJson(s));
  return out;
}

}  // namespace

void ValidateProfile(const json& profile, const std::string& origin) {
  std::set<std::string> users;
  if (auto it = profile.find("users"); it != profile.end()) {
    if (!it->is_object()) Bad(origin, "$.users", "must be an object of accounts");
    for (const auto& [name, user] : it->items()) {
      const std::string path = "$.users." + name;
      Fields f(user, origin, path);
      f.Allow({"sid", "domain", "administrator", "elevation", "profileFolder"});
      const json* sid = f.Get("sid", json::value_t::string, true);
      if (!LooksLikeSid(sid->get<std::string>())) Bad(origin, path + ".sid", "is not a SID: " + sid->dump());
      f.Get("domain", json::value_t::string, false);
      f.Get("administrator", json::value_t::boolean, false);
      f.Get("profileFolder", json::value_t::string, false);
      if (const json* e = f.Get("elevation", json::value_t::string, false)) {
        const auto v = e->get<std::string>();
        if (v != "default" && v != "full" && v != "limited") {
          Bad(origin, path + ".elevation", "must be \"default\", \"full\" or \"limited\", not " + e->dump());
        }
      }
      users.insert(name);
    }
  }
  if (auto it = profile.find("sessions"); it != profile.end()) {
    if (!it->is_array()) Bad(origin, "$.sessions", "must be an array of sessions");
    std::set<DWORD> ids;
    int consoles = 0;
    for (std::size_t i = 0; i < it->size(); ++i) {
      const std::string path = "$.sessions[" + std::to_string(i) + "]";
      Fields f((*it)[i], origin, path);
      f.Allow({"id", "station", "state", "user", "console", "locked", "queryUserTokenError"});
      const DWORD id = f.Get("id", json::value_t::number_unsigned, true)->get<DWORD>();
      if (!ids.insert(id).second) Bad(origin, path + ".id", "duplicate session id " + std::to_string(id));
      f.Get("station", json::value_t::string, true);
      const json* state = f.Get("state", json::value_t::string, true);
      if (!StateFromName(state->get<std::string>())) Bad(origin, path + ".state", "unknown state " + state->dump());
      if (const json* user = f.Get("user", json::value_t::string, false)) {
        const auto name = user->get<std::string>();
        if (!name.empty() && !users.count(name) && !FindBuiltinAccount(Utf8ToWide(name))) {
          Bad(origin, path + ".user", "names no account of \"users\": " + user->dump());
        }
      }
      if (const json* console = f.Get("console", json::value_t::boolean, false); console && console->get<bool>()) {
        if (++consoles > 1) Bad(origin, path + ".console", "a second console session");
      }
      f.Get("locked", json::value_t::boolean, false);
      f.Get("queryUserTokenError", json::value_t::number_unsigned, false);
    }
  }
  if (auto it = profile.find("processes"); it != profile.end()) {
    if (!it->is_array()) Bad(origin, "$.processes", "must be an array of processes");
    std::set<DWORD> pids;
    for (std::size_t i = 0; i < it->size(); ++i) {
      const std::string path = "$.processes[" + std::to_string(i) + "]";
      Fields f((*it)[i], origin, path);
      f.Allow({"name", "path", "session", "user", "pid", "parent"});
      f.Get("name", json::value_t::string, true);
      f.Get("path", json::value_t::string, false);
      f.Get("session", json::value_t::number_unsigned, true);
      f.Get("parent", json::value_t::number_unsigned, false);
      if (const json* user = f.Get("user", json::value_t::string, false)) {
        const auto name = user->get<std::string>();
        if (!users.count(name) && !FindBuiltinAccount(Utf8ToWide(name))) {
          Bad(origin, path + ".user", "names no account of \"users\": " + user->dump());
        }
      }
      if (const json* pid = f.Get("pid", json::value_t::number_unsigned, false)) {
        const DWORD id = pid->get<DWORD>();
        if (id < kFirstDeclaredProcessId) {
          Bad(origin, path + ".pid",
              "must be at least " + std::to_string(kFirstDeclaredProcessId) + " so that no host process has it");
        }
        if (!pids.insert(id).second) Bad(origin, path + ".pid", "duplicate process id " + std::to_string(id));
      }
    }
  }
  if (auto it = profile.find("faults"); it != profile.end()) {
    if (!it->is_object()) Bad(origin, "$.faults", "must be an object of call names and error codes");
    for (const auto& item : it->items()) {
      const std::string& call = item.key();
      const auto& error = item.value();
      // Other areas keep their own faults in their own sections; here only calls of ours.
      if (std::none_of(std::begin(kFaultCalls), std::end(kFaultCalls), [&](const char* c) { return call == c; })) {
        continue;
      }
      if (!error.is_number_unsigned() || error.get<std::uint64_t>() == 0) {
        Bad(origin, "$.faults." + call, "must be a non-zero Win32 error code, not " + error.dump());
      }
    }
  }
}

std::optional<DWORD> InjectedFault(const char* call) {
  const json& profile = CurrentMachine().Profile();
  auto faults = profile.find("faults");
  if (faults == profile.end() || !faults->is_object()) return std::nullopt;
  auto it = faults->find(call);
  if (it == faults->end() || !it->is_number_unsigned()) return std::nullopt;
  return it->get<DWORD>();
}

// The built-in accounts every machine has, under their names and short forms. Needs
// no machine, so the profile's own check can use it while that machine is loading.
std::optional<Account> FindBuiltinAccount(const std::wstring& name) {
  const std::wstring upper = ToUpper(name);
  struct Builtin {
    const wchar_t* name;
    const wchar_t* shortName;
    const char* sid;
    bool administrator;
    const wchar_t* profileFolder;
  };
  static constexpr Builtin kBuiltins[] = {
      {L"SYSTEM", L"LOCALSYSTEM", "S-1-5-18", true, L"C:\\Windows\\System32\\config\\systemprofile"},
      {L"LOCAL SERVICE", L"LOCALSERVICE", "S-1-5-19", false, L"C:\\Windows\\ServiceProfiles\\LocalService"},
      {L"NETWORK SERVICE", L"NETWORKSERVICE", "S-1-5-20", false, L"C:\\Windows\\ServiceProfiles\\NetworkService"},
  };
  for (const auto& b : kBuiltins) {
    if (upper == b.name || upper == b.shortName) {
      return Account{b.name, L"NT AUTHORITY", b.sid, b.administrator, TokenElevationTypeDefault, true, b.profileFolder};
    }
  }
  return std::nullopt;
}

std::optional<Account> FindAccount(const std::wstring& name) {
  if (auto builtin = FindBuiltinAccount(name)) return builtin;
  const std::wstring upper = ToUpper(name);
  const json& profile = CurrentMachine().Profile();
  auto users = profile.find("users");
  if (users == profile.end() || !users->is_object()) return std::nullopt;
  for (const auto& [key, user] : users->items()) {
    if (ToUpper(Utf8ToWide(key)) != upper) continue;
    Account a;
    a.name = Utf8ToWide(key);
    a.domain = Utf8ToWide(user.value("domain", profile.value("computerName", std::string("KORVO-PC"))));
    a.sid = user.value("sid", "");
    a.administrator = user.value("administrator", false);
    const std::string elevation = user.value("elevation", a.administrator ? "limited" : "default");
    a.elevation = elevation == "limited" ? TokenElevationTypeLimited
                  : elevation == "full"  ? TokenElevationTypeFull
                                         : TokenElevationTypeDefault;
    a.profileFolder = Utf8ToWide(user.value("profileFolder", "C:\\Users\\" + key));
    return a;
  }
  return std::nullopt;
}

std::vector<MachineSession> ReadSessions() {
  const auto path = SessionsFile();
  const std::string text = host::ReadFileIfExists(path);
  if (text.empty()) return DeclaredSessions();
  return ParseSessions(text, path);
}

void UpdateSessions(const std::function<bool(std::vector<MachineSession>&)>& change) {
  const auto path = SessionsFile();
  host::UpdateFile(path, CurrentMachine().Root() / "sessions.lock",
                   [&](const std::optional<std::string>& text) -> std::optional<std::string> {
                     auto sessions = text && !text->empty() ? ParseSessions(*text, path) : DeclaredSessions();
                     if (!change(sessions)) return std::nullopt;
                     json all = json::array();
                     for (const auto& s : sessions) all.push_back(SessionToJson(s));
                     return json{{"sessions", all}}.dump(2) + "\n";
                   });
}

}  // namespace sessions::detail

using namespace sessions::detail;

namespace {

bool RefuseServer(HANDLE server, DWORD reserved, DWORD version) {
  if (server != WTS_CURRENT_SERVER_HANDLE || reserved != 0 || version != 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return true;
  }
  return false;
}

std::vector<MachineSession> SessionsOrEmpty(DWORD* error) {
  try {
    *error = NO_ERROR;
    return ReadSessions();
  } catch (const std::exception&) {
    *error = ERROR_INVALID_DATA;
    return {};
  }
}

}  // namespace

BOOL WTSEnumerateSessions(HANDLE server, DWORD reserved, DWORD version, WTS_SESSION_INFOW** sessions, DWORD* count) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "WTSEnumerateSessions", [&]() -> BOOL {
    if (sessions == nullptr || count == nullptr || RefuseServer(server, reserved, version)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (auto fault = InjectedFault("WTSEnumerateSessions")) {
      SetLastError(*fault);
      return FALSE;
    }
    DWORD error = NO_ERROR;
    const auto list = SessionsOrEmpty(&error);
    if (error != NO_ERROR) {
      SetLastError(error);
      return FALSE;
    }
    std::size_t bytes = sizeof(WTS_SESSION_INFOW) * list.size();
    for (const auto& s : list) bytes += (s.station.size() + 1) * sizeof(wchar_t);
    auto* block = static_cast<BYTE*>(std::calloc(1, bytes + 1));
    if (block == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    auto* entries = reinterpret_cast<WTS_SESSION_INFOW*>(block);
    auto* text = reinterpret_cast<wchar_t*>(block + sizeof(WTS_SESSION_INFOW) * list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
      entries[i].SessionId = list[i].id;
      entries[i].State = list[i].state;
      entries[i].pWinStationName = text;
      std::memcpy(text, list[i].station.c_str(), (list[i].station.size() + 1) * sizeof(wchar_t));
      text += list[i].station.size() + 1;
    }
    *sessions = entries;
    *count = static_cast<DWORD>(list.size());
    return TRUE;
  });
}

BOOL WTSEnumerateProcesses(HANDLE server, DWORD reserved, DWORD version, WTS_PROCESS_INFOW** processes, DWORD* count) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "WTSEnumerateProcesses", [&]() -> BOOL {
    if (processes == nullptr || count == nullptr || RefuseServer(server, reserved, version)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (auto fault = InjectedFault("WTSEnumerateProcesses")) {
      SetLastError(*fault);
      return FALSE;
    }
    std::vector<ProcessRecord> list;
    try {
      list = ReadProcesses();
    } catch (const std::exception&) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    std::vector<std::vector<BYTE>> sids;
    std::size_t bytes = sizeof(WTS_PROCESS_INFOW) * list.size();
    for (const auto& r : list) {
      const auto account = FindAccount(r.process.user);
      sids.push_back(account ? SidBytes(account->sid) : std::vector<BYTE>{});
      bytes += (r.process.name.size() + 1) * sizeof(wchar_t) + sids.back().size() + sizeof(DWORD);
    }
    auto* block = static_cast<BYTE*>(std::calloc(1, bytes + 1));
    if (block == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    auto* entries = reinterpret_cast<WTS_PROCESS_INFOW*>(block);
    BYTE* cursor = block + sizeof(WTS_PROCESS_INFOW) * list.size();
    for (std::size_t i = 0; i < list.size(); ++i) {
      entries[i].SessionId = list[i].process.sessionId;
      entries[i].ProcessId = list[i].process.processId;
      entries[i].pProcessName = reinterpret_cast<wchar_t*>(cursor);
      const std::size_t nameBytes = (list[i].process.name.size() + 1) * sizeof(wchar_t);
      std::memcpy(cursor, list[i].process.name.c_str(), nameBytes);
      cursor += nameBytes;
      // SIDs are read as DWORDs: keep them aligned.
      cursor += (sizeof(DWORD) - reinterpret_cast<std::uintptr_t>(cursor) % sizeof(DWORD)) % sizeof(DWORD);
      if (!sids[i].empty()) {
        std::memcpy(cursor, sids[i].data(), sids[i].size());
        entries[i].pUserSid = cursor;
        cursor += sids[i].size();
      }
    }
    *processes = entries;
    *count = static_cast<DWORD>(list.size());
    return TRUE;
  });
}

const char* SessionStateName(WTS_CONNECTSTATE_CLASS state) {
  return base::detail::Traced<const char*>(base::detail::kTraceSessions, "SessionStateName", [&]() -> const char* {
    for (const auto& [n, s] : kStates) {
      if (s == state) return n;
    }
    return "down";
  });
}

const char* ElevationTypeName(TOKEN_ELEVATION_TYPE type) {
  return base::detail::Traced<const char*>(base::detail::kTraceSessions, "ElevationTypeName", [&]() -> const char* {
    switch (type) {
      case TokenElevationTypeFull:
        return "full";
      case TokenElevationTypeLimited:
        return "limited";
      default:
        return "default";
    }
  });
}

void WTSFreeMemory(void* memory) {
  return base::detail::Traced<void>(base::detail::kTraceSessions, "WTSFreeMemory",
                                    [&]() -> void { std::free(memory); });
}

DWORD WTSGetActiveConsoleSessionId() {
  return base::detail::Traced<DWORD>(base::detail::kTraceSessions, "WTSGetActiveConsoleSessionId", [&]() -> DWORD {
    DWORD error = NO_ERROR;
    for (const auto& s : SessionsOrEmpty(&error)) {
      if (s.console) return s.id;
    }
    return 0xFFFFFFFF;
  });
}

BOOL WTSQueryUserToken(ULONG sessionId, HANDLE* token) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "WTSQueryUserToken", [&]() -> BOOL {
    if (token == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    *token = nullptr;
    if (!CallerHasPrivilege(SE_TCB_PRIVILEGE)) {
      SetLastError(ERROR_PRIVILEGE_NOT_HELD);
      return FALSE;
    }
    if (auto fault = InjectedFault("WTSQueryUserToken")) {
      SetLastError(*fault);
      return FALSE;
    }
    DWORD error = NO_ERROR;
    const auto list = SessionsOrEmpty(&error);
    auto it = std::find_if(list.begin(), list.end(), [&](const MachineSession& s) { return s.id == sessionId; });
    if (it == list.end()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    // A session may declare that the call fails for it, as it does in the middle of a
    // log-on.
    const json& profile = CurrentMachine().Profile();
    if (auto declared = profile.find("sessions"); declared != profile.end()) {
      for (const auto& s : *declared) {
        if (s.value("id", 0u) == sessionId && s.contains("queryUserTokenError")) {
          SetLastError(s["queryUserTokenError"].get<DWORD>());
          return FALSE;
        }
      }
    }
    const auto account = it->user.empty() ? std::nullopt : FindAccount(it->user);
    if (!account || sessionId == 0) {
      SetLastError(ERROR_NO_TOKEN);
      return FALSE;
    }
    *token = NewTokenHandle(MakeLogonToken(*account, sessionId, account->elevation), TOKEN_ALL_ACCESS);
    return TRUE;
  });
}

// --- Changes from the tools ---------------------------------------------------------------

namespace machine_sessions {
namespace {

// Applies `edit` to session `id`; `edit` returns the event type or 0 with *error set.
DWORD Change(DWORD id, std::string* error, const std::function<DWORD(MachineSession&)>& edit) {
  DWORD event = 0;
  try {
    UpdateSessions([&](std::vector<MachineSession>& sessions) {
      auto it = std::find_if(sessions.begin(), sessions.end(), [&](const MachineSession& s) { return s.id == id; });
      if (it == sessions.end()) {
        *error = "the machine has no session " + std::to_string(id);
        return false;
      }
      event = edit(*it);
      return event != 0;
    });
  } catch (const std::exception& e) {
    *error = e.what();
    return 0;
  }
  return event;
}

DWORD ConnectEvent(const MachineSession& s, bool connect) {
  if (s.console) return connect ? WTS_CONSOLE_CONNECT : WTS_CONSOLE_DISCONNECT;
  return connect ? WTS_REMOTE_CONNECT : WTS_REMOTE_DISCONNECT;
}

}  // namespace

std::vector<MachineProcess> Processes() {
  return base::detail::Traced<std::vector<MachineProcess>>(base::detail::kTraceSessions, "Processes",
                                                           [&]() -> std::vector<MachineProcess> {
                                                             std::vector<MachineProcess> out;
                                                             for (auto& r : ReadProcesses())
                                                               out.push_back(std::move(r.process));
                                                             return out;
                                                           });
}

std::vector<MachineSession> Sessions() {
  return base::detail::Traced<std::vector<MachineSession>>(
      base::detail::kTraceSessions, "Sessions", [&]() -> std::vector<MachineSession> { return ReadSessions(); });
}

DWORD LogOn(DWORD sessionId, const std::wstring& user, std::string* error) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSessions, "LogOn", [&]() -> DWORD {
    const auto account = FindAccount(user);
    if (!account || account->builtin) {
      *error = "the machine has no user account \"" + WideToUtf8(user) + "\"";
      return 0;
    }
    if (sessionId == 0) {
      *error = "nobody logs on to session 0, the services' session";
      return 0;
    }
    return Change(sessionId, error, [&](MachineSession& s) -> DWORD {
      if (!s.user.empty()) {
        *error = WideToUtf8(s.user) + " is already logged on in session " + std::to_string(s.id);
        return 0;
      }
      s.user = account->name;
      s.state = WTSActive;
      s.locked = false;
      return WTS_SESSION_LOGON;
    });
  });
}

DWORD LogOff(DWORD sessionId, std::string* error) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSessions, "LogOff", [&]() -> DWORD {
    return Change(sessionId, error, [&](MachineSession& s) -> DWORD {
      if (s.user.empty()) {
        *error = "nobody is logged on in session " + std::to_string(s.id);
        return 0;
      }
      s.user.clear();
      s.locked = false;
      s.state = WTSConnected;
      return WTS_SESSION_LOGOFF;
    });
  });
}

DWORD Lock(DWORD sessionId, std::string* error) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSessions, "Lock", [&]() -> DWORD {
    return Change(sessionId, error, [&](MachineSession& s) -> DWORD {
      if (s.user.empty() || s.locked) {
        *error = s.locked ? "session " + std::to_string(s.id) + " is locked already"
                          : "nobody is logged on in session " + std::to_string(s.id);
        return 0;
      }
      s.locked = true;
      return WTS_SESSION_LOCK;
    });
  });
}

DWORD Unlock(DWORD sessionId, std::string* error) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSessions, "Unlock", [&]() -> DWORD {
    return Change(sessionId, error, [&](MachineSession& s) -> DWORD {
      if (!s.locked) {
        *error = "session " + std::to_string(s.id) + " is not locked";
        return 0;
      }
      s.locked = false;
      return WTS_SESSION_UNLOCK;
    });
  });
}

DWORD Connect(DWORD sessionId, std::string* error) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSessions, "Connect", [&]() -> DWORD {
    return Change(sessionId, error, [&](MachineSession& s) -> DWORD {
      if (s.state == WTSActive || s.state == WTSConnected) {
        *error = "session " + std::to_string(s.id) + " is connected already";
        return 0;
      }
      s.state = s.user.empty() ? WTSConnected : WTSActive;
      return ConnectEvent(s, true);
    });
  });
}

DWORD Disconnect(DWORD sessionId, std::string* error) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSessions, "Disconnect", [&]() -> DWORD {
    return Change(sessionId, error, [&](MachineSession& s) -> DWORD {
      if (s.state == WTSDisconnected) {
        *error = "session " + std::to_string(s.id) + " is disconnected already";
        return 0;
      }
      s.state = WTSDisconnected;
      return ConnectEvent(s, false);
    });
  });
}

}  // namespace machine_sessions
}  // namespace platform
