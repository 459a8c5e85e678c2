// vesk-sc: the machine's service controller on the command line, with sc-like verbs.
//
//   vesk-sc [--root DIR] [--timeout MS] VERB [ARGS...]
//
// Exit codes: 0 done, 1 the operation failed (refused by the service controller, the
// service ended up stopped, the database cannot be read, ...), 2 usage error. Each
// verb is one entry of the table in Run() below. StartService makes the calling
// program the service's supervisor in a process of its own (see platform/scm.h).
#include "tools/vesk-sc/vesk_sc.h"

#include <algorithm>
#include <cwchar>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <fmt/ostream.h>

#include "platform/errors.h"
#include "platform/scm.h"
#include "platform/text.h"

namespace tools::vesk_sc {
namespace {

using namespace platform;
using cli::Args;
using cli::ParseDword;
using cli::Usage;

constexpr int kOk = cli::kExitOk;
constexpr int kFailed = cli::kExitFailed;

// --- Texts ---------------------------------------------------------------------------

// The system's message for `code`, or "Error N." for a code it has none for.
std::string ErrorText(DWORD code) {
  const std::wstring text = SystemMessageText(code);
  return text.empty() ? fmt::format("Error {}.", code) : WideToUtf8(text);
}

// "[SC] Call FAILED code:\n\ntext" on the error stream, plus what the platform adds; exit 1.
int Failed(std::string_view call, std::ostream& err) {
  const DWORD code = GetLastError();
  const std::string detail = GetServiceControlErrorDetail();
  fmt::print(err, "[SC] {} FAILED {}:\n\n{}\n", call, code, ErrorText(code));
  if (!detail.empty()) fmt::print(err, "{}\n", detail);
  return kFailed;
}

std::string TypeText(DWORD type) {
  std::string name;
  switch (type & ~SERVICE_INTERACTIVE_PROCESS) {
    case SERVICE_KERNEL_DRIVER:
      name = "KERNEL_DRIVER";
      break;
    case SERVICE_FILE_SYSTEM_DRIVER:
      name = "FILE_SYSTEM_DRIVER";
      break;
    case SERVICE_WIN32_OWN_PROCESS:
      name = "WIN32_OWN_PROCESS";
      break;
    case SERVICE_WIN32_SHARE_PROCESS:
      name = "WIN32_SHARE_PROCESS";
      break;
    default:
      name = "UNKNOWN";
      break;
  }
  if ((type & SERVICE_INTERACTIVE_PROCESS) != 0) name += " (interactive)";
  return fmt::format("{:x}  {}", type, name);
}

std::string StartTypeText(DWORD start) {
  static constexpr const char* kNames[] = {"BOOT_START", "SYSTEM_START", "AUTO_START", "DEMAND_START", "DISABLED"};
  return fmt::format("{:<3} {}", start, start < 5 ? kNames[start] : "UNKNOWN");
}

std::string ErrorControlText(DWORD error) {
  static constexpr const char* kNames[] = {"IGNORE", "NORMAL", "SEVERE", "CRITICAL"};
  return fmt::format("{:<3} {}", error, error < 4 ? kNames[error] : "UNKNOWN");
}

std::string AcceptedText(DWORD accepted) {
  std::vector<std::string> parts = {
      (accepted & SERVICE_ACCEPT_STOP) != 0 ? "STOPPABLE" : "NOT_STOPPABLE",
      (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0 ? "PAUSABLE" : "NOT_PAUSABLE",
      (accepted & SERVICE_ACCEPT_SHUTDOWN) != 0 ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN"};
  if ((accepted & SERVICE_ACCEPT_PRESHUTDOWN) != 0) parts.emplace_back("ACCEPTS_PRESHUTDOWN");
  if ((accepted & SERVICE_ACCEPT_POWEREVENT) != 0) parts.emplace_back("ACCEPTS_POWEREVENT");
  if ((accepted & SERVICE_ACCEPT_SESSIONCHANGE) != 0) parts.emplace_back("ACCEPTS_SESSIONCHANGE");
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : ", ") + p;
  return "(" + out + ")";
}

void PrintStatus(std::ostream& out, std::string_view name, const SERVICE_STATUS_PROCESS& s, bool extended) {
  fmt::print(out, "\nSERVICE_NAME: {}\n", name);
  fmt::print(out, "        TYPE               : {}\n", TypeText(s.dwServiceType));
  fmt::print(out, "        STATE              : {}  {}\n", s.dwCurrentState, ServiceStateName(s.dwCurrentState));
  fmt::print(out, "                                {}\n", AcceptedText(s.dwControlsAccepted));
  fmt::print(out, "        WIN32_EXIT_CODE    : {}  (0x{:x})\n", s.dwWin32ExitCode, s.dwWin32ExitCode);
  fmt::print(out, "        SERVICE_EXIT_CODE  : {}  (0x{:x})\n", s.dwServiceSpecificExitCode,
             s.dwServiceSpecificExitCode);
  fmt::print(out, "        CHECKPOINT         : 0x{:x}\n", s.dwCheckPoint);
  fmt::print(out, "        WAIT_HINT          : 0x{:x}\n", s.dwWaitHint);
  if (extended) {
    fmt::print(out, "        PID                : {}\n", s.dwProcessId);
    fmt::print(out, "        FLAGS              : {}\n",
               (s.dwServiceFlags & SERVICE_RUNS_IN_SYSTEM_PROCESS) != 0 ? "RUNS_IN_SYSTEM_PROCESS" : "");
  }
}

// One line per status change, for start and stop.
std::string TransitionText(std::string_view name, const SERVICE_STATUS_PROCESS& s) {
  switch (s.dwCurrentState) {
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING:
    case SERVICE_PAUSE_PENDING:
    case SERVICE_CONTINUE_PENDING:
      return fmt::format("{}: {} (checkpoint {}, wait hint {} ms)", name, ServiceStateName(s.dwCurrentState),
                         s.dwCheckPoint, s.dwWaitHint);
    case SERVICE_STOPPED:
      if (s.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
        return fmt::format("{}: STOPPED (service-specific exit code {})", name, s.dwServiceSpecificExitCode);
      }
      if (s.dwWin32ExitCode != NO_ERROR) {
        return fmt::format("{}: STOPPED (exit code {}: {})", name, s.dwWin32ExitCode, ErrorText(s.dwWin32ExitCode));
      }
      return fmt::format("{}: STOPPED", name);
    default:
      return fmt::format("{}: {}", name, ServiceStateName(s.dwCurrentState));
  }
}

// The same report seen twice (a control's answer and then the watch): the process id
// is left out, since a control's answer has none.
bool SameReport(const SERVICE_STATUS_PROCESS& a, const SERVICE_STATUS_PROCESS& b) {
  return a.dwCurrentState == b.dwCurrentState && a.dwCheckPoint == b.dwCheckPoint && a.dwWaitHint == b.dwWaitHint &&
         a.dwWin32ExitCode == b.dwWin32ExitCode;
}

// --- Arguments ------------------------------------------------------------------------

std::wstring Wide(std::string_view s) {
  return Utf8ToWide(s);
}

std::string_view NameArg(Args args, std::string_view verb) {
  if (args.empty()) Usage(fmt::format("{} needs a service name", verb));
  return args[0];
}

// sc's "key= value" pairs (also "key=value" in one argument); keys without regard to case.
struct KeyValues {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::optional<std::string> Get(std::string_view key) const {
    for (const auto& [k, v] : pairs) {
      if (EqualsNoCase(Wide(k), Wide(key))) return v;
    }
    return std::nullopt;
  }
};

KeyValues ParseKeyValues(Args args, std::initializer_list<std::string_view> allowed) {
  KeyValues out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    const auto eq = a.find('=');
    if (eq == std::string_view::npos || eq == 0) Usage(fmt::format("expected KEY= VALUE, got \"{}\"", a));
    std::string key(a.substr(0, eq));
    std::string value(a.substr(eq + 1));
    if (value.empty()) {
      if (i + 1 >= args.size()) Usage(fmt::format("{}= needs a value", key));
      value = std::string(args[++i]);
    }
    if (std::none_of(allowed.begin(), allowed.end(),
                     [&](std::string_view k) { return EqualsNoCase(Wide(k), Wide(key)); })) {
      Usage(fmt::format("unknown option {}=", key));
    }
    out.pairs.emplace_back(std::move(key), std::move(value));
  }
  return out;
}

// --- Handles ---------------------------------------------------------------------------

struct Handle {
  SC_HANDLE h = nullptr;
  ~Handle() {
    if (h != nullptr) CloseServiceHandle(h);
  }
};

// Opens the manager and the service, or prints why not. nullopt: print and exit 1.
bool OpenBoth(std::ostream& err, std::string_view name, DWORD access, Handle* manager, Handle* service,
              DWORD managerAccess = SC_MANAGER_CONNECT) {
  manager->h = OpenSCManager(nullptr, nullptr, managerAccess);
  if (manager->h == nullptr) {
    Failed("OpenSCManager", err);
    return false;
  }
  service->h = OpenService(manager->h, Wide(name).c_str(), access);
  if (service->h == nullptr) {
    Failed("OpenService", err);
    return false;
  }
  return true;
}

bool QueryEx(SC_HANDLE service, SERVICE_STATUS_PROCESS* s) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(s), sizeof(*s), &needed) !=
         FALSE;
}

std::vector<BYTE> Config2(SC_HANDLE service, DWORD level) {
  DWORD needed = 0;
  if (!QueryServiceConfig2(service, level, nullptr, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return {};
  std::vector<BYTE> buffer(needed);
  if (!QueryServiceConfig2(service, level, buffer.data(), needed, &needed)) return {};
  return buffer;
}

// --- Verbs ---------------------------------------------------------------------------

int Query(Args args, std::ostream& out, std::ostream& err, bool extended) {
  const auto name = NameArg(args, extended ? "queryex" : "query");
  Handle m, s;
  if (!OpenBoth(err, name, SERVICE_QUERY_STATUS, &m, &s)) return kFailed;
  SERVICE_STATUS_PROCESS status{};
  if (!QueryEx(s.h, &status)) return Failed("QueryServiceStatusEx", err);
  PrintStatus(out, name, status, extended);
  return kOk;
}
int QueryVerb(Args args, std::ostream& out, std::ostream& err) {
  return Query(args, out, err, false);
}
int QueryExVerb(Args args, std::ostream& out, std::ostream& err) {
  return Query(args, out, err, true);
}

int QueryConfig(Args args, std::ostream& out, std::ostream& err) {
  const auto name = NameArg(args, "qc");
  Handle m, s;
  if (!OpenBoth(err, name, SERVICE_QUERY_CONFIG, &m, &s)) return kFailed;
  DWORD needed = 0;
  QueryServiceConfig(s.h, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  auto* c = reinterpret_cast<QUERY_SERVICE_CONFIG*>(buffer.data());
  if (!QueryServiceConfig(s.h, c, needed, &needed)) return Failed("QueryServiceConfig", err);
  fmt::print(out, "[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: {}\n", name);
  fmt::print(out, "        TYPE               : {}\n", TypeText(c->dwServiceType));
  fmt::print(out, "        START_TYPE         : {}\n", StartTypeText(c->dwStartType));
  fmt::print(out, "        ERROR_CONTROL      : {}\n", ErrorControlText(c->dwErrorControl));
  fmt::print(out, "        BINARY_PATH_NAME   : {}\n", WideToUtf8(c->lpBinaryPathName));
  fmt::print(out, "        LOAD_ORDER_GROUP   : {}\n", WideToUtf8(c->lpLoadOrderGroup));
  fmt::print(out, "        TAG                : {}\n", c->dwTagId);
  fmt::print(out, "        DISPLAY_NAME       : {}\n", WideToUtf8(c->lpDisplayName));
  std::string deps;
  for (LPCWSTR p = c->lpDependencies; p != nullptr && *p != L'\0'; p += std::wcslen(p) + 1) {
    deps += (deps.empty() ? "" : "\n                           : ") + WideToUtf8(p);
  }
  fmt::print(out, "        DEPENDENCIES       : {}\n", deps);
  fmt::print(out, "        SERVICE_START_NAME : {}\n", WideToUtf8(c->lpServiceStartName));
  return kOk;
}

const char* ActionName(SC_ACTION_TYPE type) {
  switch (type) {
    case SC_ACTION_RESTART:
      return "RESTART";
    case SC_ACTION_REBOOT:
      return "REBOOT";
    case SC_ACTION_RUN_COMMAND:
      return "RUN PROCESS";
    default:
      return "NONE";
  }
}

int QueryFailure(Args args, std::ostream& out, std::ostream& err) {
  const auto name = NameArg(args, "qfailure");
  Handle m, s;
  if (!OpenBoth(err, name, SERVICE_QUERY_CONFIG, &m, &s)) return kFailed;
  auto buffer = Config2(s.h, SERVICE_CONFIG_FAILURE_ACTIONS);
  if (buffer.empty()) return Failed("QueryServiceConfig2", err);
  const auto* fa = reinterpret_cast<const SERVICE_FAILURE_ACTIONS*>(buffer.data());
  fmt::print(out, "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: {}\n", name);
  fmt::print(out, "        RESET_PERIOD (in seconds)    : {}\n", fa->dwResetPeriod);
  fmt::print(out, "        REBOOT_MESSAGE               : {}\n", fa->lpRebootMsg ? WideToUtf8(fa->lpRebootMsg) : "");
  fmt::print(out, "        COMMAND_LINE                 : {}\n", fa->lpCommand ? WideToUtf8(fa->lpCommand) : "");
  for (DWORD i = 0; i < fa->cActions; ++i) {
    fmt::print(out, "{}{} -- Delay = {} milliseconds.\n",
               i == 0 ? "        FAILURE_ACTIONS              : " : "                                       ",
               ActionName(fa->lpsaActions[i].Type), fa->lpsaActions[i].Delay);
  }
  return kOk;
}

int QueryFailureFlag(Args args, std::ostream& out, std::ostream& err) {
  const auto name = NameArg(args, "qfailureflag");
  Handle m, s;
  if (!OpenBoth(err, name, SERVICE_QUERY_CONFIG, &m, &s)) return kFailed;
  auto buffer = Config2(s.h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG);
  if (buffer.empty()) return Failed("QueryServiceConfig2", err);
  const auto* flag = reinterpret_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(buffer.data());
  fmt::print(out, "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: {}\n", name);
  fmt::print(out, "        FAILURE_ACTIONS_ON_NONCRASH_FAILURES: {}\n",
             flag->fFailureActionsOnNonCrashFailures ? "TRUE" : "FALSE");
  return kOk;
}

int QueryDescription(Args args, std::ostream& out, std::ostream& err) {
  const auto name = NameArg(args, "qdescription");
  Handle m, s;
  if (!OpenBoth(err, name, SERVICE_QUERY_CONFIG, &m, &s)) return kFailed;
  auto buffer = Config2(s.h, SERVICE_CONFIG_DESCRIPTION);
  if (buffer.empty()) return Failed("QueryServiceConfig2", err);
  const auto* d = reinterpret_cast<const SERVICE_DESCRIPTION*>(buffer.data());
  fmt::print(out, "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: {}\nDESCRIPTION:  {}\n", name,
             d->lpDescription ? WideToUtf8(d->lpDescription) : "");
  return kOk;
}

// Prints the reports of `watch` (leaving out the first with `skipFirst`, and a repeat
// of `shown`) until the service is `success` (kOk) or STOPPED (kFailed).
int FollowTransitions(std::ostream& out, std::ostream& err, DWORD timeoutMs, std::string_view name,
                      ServiceStatusWatch& watch, std::optional<SERVICE_STATUS_PROCESS> shown, DWORD success,
                      bool skipFirst) {
  bool first = true;
  for (;;) {
    SERVICE_STATUS_PROCESS s{};
    if (!watch.Next(&s, timeoutMs)) {
      const DWORD error = GetLastError();
      if (error == ERROR_TIMEOUT) {
        fmt::print(err, "vesk-sc: {} did not change its status within {} ms\n", name, timeoutMs);
      } else {
        fmt::print(err, "vesk-sc: the status reports of {} ended before it was {}\n", name, ServiceStateName(success));
      }
      return kFailed;
    }
    if (first && skipFirst) {
      first = false;
      continue;  // the status before the control
    }
    first = false;
    if (!shown || !SameReport(*shown, s)) fmt::print(out, "{}\n", TransitionText(name, s));
    out.flush();  // each change as it happens, for a person watching
    shown = s;
    if (s.dwCurrentState == success) return kOk;
    if (s.dwCurrentState == SERVICE_STOPPED) return kFailed;
  }
}

int Start(Args args, std::ostream& out, std::ostream& err, DWORD timeoutMs) {
  const auto name = NameArg(args, "start");
  Handle m, s;
  if (!OpenBoth(err, name, SERVICE_START | SERVICE_QUERY_STATUS, &m, &s)) return kFailed;
  std::vector<std::wstring> startArgs;
  for (std::size_t i = 1; i < args.size(); ++i) startArgs.push_back(Wide(args[i]));
  std::vector<LPCWSTR> pointers;
  for (const auto& a : startArgs) pointers.push_back(a.c_str());
  if (!StartService(s.h, static_cast<DWORD>(pointers.size()), pointers.empty() ? nullptr : pointers.data())) {
    return Failed("StartService", err);
  }
  ServiceStatusWatch watch(s.h, ServiceStatusWatch::From::Launch);
  return FollowTransitions(out, err, timeoutMs, name, watch, std::nullopt, SERVICE_RUNNING, false);
}

int Stop(Args args, std::ostream& out, std::ostream& err, DWORD timeoutMs) {
  const auto name = NameArg(args, "stop");
  if (args.size() > 1) Usage("stop takes only the service name");
  Handle m, s;
  if (!OpenBoth(err, name, SERVICE_STOP | SERVICE_QUERY_STATUS, &m, &s)) return kFailed;
  // Watching first, so that no report between the control and the watch is missed.
  ServiceStatusWatch watch(s.h, ServiceStatusWatch::From::Now);
  SERVICE_STATUS status{};
  if (!ControlService(s.h, SERVICE_CONTROL_STOP, &status)) return Failed("ControlService", err);
  // Every report comes from the watch, also those the handler made before it returned
  // (a service may report STOP_PENDING and STOPPED within its handler).
  return FollowTransitions(out, err, timeoutMs, name, watch, std::nullopt, SERVICE_STOPPED, true);
}

std::optional<DWORD> ControlCode(std::string_view text) {
  if (auto n = ParseDword(text)) return n;
  static constexpr std::pair<std::string_view, DWORD> kNames[] = {{"stop", SERVICE_CONTROL_STOP},
                                                                  {"pause", SERVICE_CONTROL_PAUSE},
                                                                  {"continue", SERVICE_CONTROL_CONTINUE},
                                                                  {"interrogate", SERVICE_CONTROL_INTERROGATE},
                                                                  {"shutdown", SERVICE_CONTROL_SHUTDOWN},
                                                                  {"paramchange", SERVICE_CONTROL_PARAMCHANGE},
                                                                  {"power", SERVICE_CONTROL_POWEREVENT},
                                                                  {"powerevent", SERVICE_CONTROL_POWEREVENT},
                                                                  {"session", SERVICE_CONTROL_SESSIONCHANGE},
                                                                  {"sessionchange", SERVICE_CONTROL_SESSIONCHANGE},
                                                                  {"preshutdown", SERVICE_CONTROL_PRESHUTDOWN}};
  for (const auto& [n, code] : kNames) {
    if (EqualsNoCase(Wide(n), Wide(text))) return code;
  }
  return std::nullopt;
}

std::optional<DWORD> EventType(DWORD control, std::string_view text) {
  if (auto n = ParseDword(text)) return n;
  static constexpr std::pair<std::string_view, DWORD> kPower[] = {
      {"suspend", 0x4}, {"resumesuspend", 0x7}, {"powerstatuschange", 0xA}, {"resumeautomatic", 0x12}};
  static constexpr std::pair<std::string_view, DWORD> kSession[] = {{"consoleconnect", 1}, {"consoledisconnect", 2},
                                                                    {"remoteconnect", 3},  {"remotedisconnect", 4},
                                                                    {"logon", 5},          {"logoff", 6},
                                                                    {"lock", 7},           {"unlock", 8}};
  std::span<const std::pair<std::string_view, DWORD>> names;
  if (control == SERVICE_CONTROL_POWEREVENT) names = kPower;
  if (control == SERVICE_CONTROL_SESSIONCHANGE) names = kSession;
  for (const auto& [n, code] : names) {
    if (EqualsNoCase(Wide(n), Wide(text))) return code;
  }
  return std::nullopt;
}

int SendControl(std::ostream& out, std::ostream& err, std::string_view name, DWORD control, DWORD eventType,
                DWORD sessionId) {
  Handle m, s;
  const DWORD access =
      SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS;
  if (!OpenBoth(err, name, access, &m, &s)) return kFailed;
  SERVICE_STATUS status{};
  if (!ControlServiceWithEvent(s.h, control, eventType, sessionId, &status)) return Failed("ControlService", err);
  SERVICE_STATUS_PROCESS ex{};
  if (!QueryEx(s.h, &ex)) return Failed("QueryServiceStatusEx", err);
  // The status the control left, with the process id as of now.
  const DWORD pid = ex.dwProcessId;
  ex = SERVICE_STATUS_PROCESS{status.dwServiceType,
                              status.dwCurrentState,
                              status.dwControlsAccepted,
                              status.dwWin32ExitCode,
                              status.dwServiceSpecificExitCode,
                              status.dwCheckPoint,
                              status.dwWaitHint,
                              pid,
                              0};
  PrintStatus(out, name, ex, false);
  return kOk;
}

int Interrogate(Args args, std::ostream& out, std::ostream& err) {
  const auto name = NameArg(args, "interrogate");
  if (args.size() > 1) Usage("interrogate takes only the service name");
  return SendControl(out, err, name, SERVICE_CONTROL_INTERROGATE, 0, 0);
}

int Control(Args args, std::ostream& out, std::ostream& err) {
  if (args.size() < 2) Usage("control needs a service name and a control code");
  if (args.size() > 4) Usage("control takes at most NAME CODE EVENT_TYPE SESSION_ID");
  const auto code = ControlCode(args[1]);
  if (!code) Usage(fmt::format("control code \"{}\" is neither a number nor a known control name", args[1]));
  DWORD eventType = 0, sessionId = 0;
  if (args.size() > 2) {
    auto e = EventType(*code, args[2]);
    if (!e) Usage(fmt::format("event type \"{}\" is neither a number nor a known event name", args[2]));
    eventType = *e;
  }
  if (args.size() > 3) {
    auto sid = ParseDword(args[3]);
    if (!sid) Usage(fmt::format("session id \"{}\" is not a number", args[3]));
    sessionId = *sid;
  }
  return SendControl(out, err, args[0], *code, eventType, sessionId);
}

int Create(Args args, std::ostream& out, std::ostream& err) {
  const auto name = NameArg(args, "create");
  const KeyValues kv =
      ParseKeyValues(args.subspan(1), {"binPath", "DisplayName", "start", "type", "error", "depend", "obj", "group"});
  const auto binPath = kv.Get("binPath");
  if (!binPath) Usage("create needs binPath= PATH");
  DWORD start = SERVICE_DEMAND_START;
  if (auto v = kv.Get("start")) {
    static constexpr std::pair<std::string_view, DWORD> kStarts[] = {{"boot", SERVICE_BOOT_START},
                                                                     {"system", SERVICE_SYSTEM_START},
                                                                     {"auto", SERVICE_AUTO_START},
                                                                     {"demand", SERVICE_DEMAND_START},
                                                                     {"disabled", SERVICE_DISABLED}};
    auto it = std::find_if(std::begin(kStarts), std::end(kStarts), [&](const auto& p) { return p.first == *v; });
    if (it == std::end(kStarts))
      Usage(fmt::format("start= must be boot, system, auto, demand or disabled, not {}", *v));
    start = it->second;
  }
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  if (auto v = kv.Get("type")) {
    if (*v == "own") {
      type = SERVICE_WIN32_OWN_PROCESS;
    } else if (*v == "share") {
      type = SERVICE_WIN32_SHARE_PROCESS;
    } else if (*v == "kernel") {
      type = SERVICE_KERNEL_DRIVER;
    } else {
      Usage(fmt::format("type= must be own, share or kernel, not {}", *v));
    }
  }
  DWORD error = SERVICE_ERROR_NORMAL;
  if (auto v = kv.Get("error")) {
    static constexpr std::string_view kErrors[] = {"ignore", "normal", "severe", "critical"};
    auto it = std::find(std::begin(kErrors), std::end(kErrors), *v);
    if (it == std::end(kErrors)) Usage(fmt::format("error= must be ignore, normal, severe or critical, not {}", *v));
    error = static_cast<DWORD>(it - std::begin(kErrors));
  }
  std::wstring deps;
  if (auto v = kv.Get("depend")) {
    for (wchar_t c : Wide(*v)) deps.push_back(c == L'/' ? L'\0' : c);
    deps.push_back(L'\0');
  }
  deps.push_back(L'\0');
  const auto display = kv.Get("DisplayName");
  const auto account = kv.Get("obj");
  const auto group = kv.Get("group");
  const std::wstring displayW = display ? Wide(*display) : L"", accountW = account ? Wide(*account) : L"",
                     groupW = group ? Wide(*group) : L"";
  Handle m;
  m.h = OpenSCManager(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (m.h == nullptr) return Failed("OpenSCManager", err);
  Handle s;
  s.h = CreateService(m.h, Wide(name).c_str(), display ? displayW.c_str() : nullptr, SERVICE_ALL_ACCESS, type, start,
                      error, Wide(*binPath).c_str(), group ? groupW.c_str() : nullptr, nullptr, deps.c_str(),
                      account ? accountW.c_str() : nullptr, nullptr);
  if (s.h == nullptr) return Failed("CreateService", err);
  fmt::print(out, "[SC] CreateService SUCCESS\n");
  return kOk;
}

int Failure(Args args, std::ostream& out, std::ostream& err) {
  const auto name = NameArg(args, "failure");
  const KeyValues kv = ParseKeyValues(args.subspan(1), {"reset", "actions", "reboot", "command"});
  const auto reset = kv.Get("reset");
  const auto actionsText = kv.Get("actions");
  if (actionsText && !reset) Usage("failure needs reset= SECONDS with actions=");
  if (!reset && !actionsText && !kv.Get("reboot") && !kv.Get("command")) {
    Usage("failure needs reset= and actions=, reboot= or command=");
  }
  std::vector<SC_ACTION> actions;
  DWORD resetSeconds = 0;
  if (reset) {
    auto n = (*reset == "infinite" || *reset == "INFINITE") ? std::optional<DWORD>(INFINITE) : ParseDword(*reset);
    if (!n) Usage(fmt::format("reset= takes seconds, not {}", *reset));
    resetSeconds = *n;
  }
  if (actionsText) {
    std::vector<std::string> parts;
    std::string_view rest = *actionsText;
    while (!rest.empty()) {
      const auto slash = rest.find('/');
      parts.emplace_back(rest.substr(0, slash));
      if (slash == std::string_view::npos) break;
      rest = rest.substr(slash + 1);
    }
    if (parts.size() % 2 != 0) Usage("actions= takes ACTION/DELAY pairs, e.g. restart/60000/restart/60000/none/0");
    for (std::size_t i = 0; i < parts.size(); i += 2) {
      SC_ACTION a{SC_ACTION_NONE, 0};
      const std::string& type = parts[i];
      if (type == "restart") {
        a.Type = SC_ACTION_RESTART;
      } else if (type == "run") {
        a.Type = SC_ACTION_RUN_COMMAND;
      } else if (type == "reboot") {
        a.Type = SC_ACTION_REBOOT;
      } else if (type != "none" && !type.empty()) {
        Usage(fmt::format("unknown failure action \"{}\" (restart, run, reboot, none)", type));
      }
      auto delay = ParseDword(parts[i + 1]);
      if (!delay) Usage(fmt::format("failure action delay \"{}\" is not a number", parts[i + 1]));
      a.Delay = *delay;
      actions.push_back(a);
    }
  }
  const auto reboot = kv.Get("reboot");
  const auto command = kv.Get("command");
  const std::wstring rebootW = reboot ? Wide(*reboot) : L"", commandW = command ? Wide(*command) : L"";
  Handle m, s;
  if (!OpenBoth(err, name, SERVICE_CHANGE_CONFIG | SERVICE_START, &m, &s)) return kFailed;
  SERVICE_FAILURE_ACTIONS fa{resetSeconds, reboot ? const_cast<LPWSTR>(rebootW.c_str()) : nullptr,
                             command ? const_cast<LPWSTR>(commandW.c_str()) : nullptr,
                             static_cast<DWORD>(actions.size()), actionsText ? actions.data() : nullptr};
  SC_ACTION none{SC_ACTION_NONE, 0};
  if (actionsText && actions.empty()) fa.lpsaActions = &none;  // "actions= " clears them
  if (!ChangeServiceConfig2(s.h, SERVICE_CONFIG_FAILURE_ACTIONS, &fa)) return Failed("ChangeServiceConfig2", err);
  fmt::print(out, "[SC] ChangeServiceConfig2 SUCCESS\n");
  return kOk;
}

int FailureFlag(Args args, std::ostream& out, std::ostream& err) {
  const auto name = NameArg(args, "failureflag");
  if (args.size() != 2 || (args[1] != "0" && args[1] != "1")) Usage("failureflag needs NAME 0|1");
  Handle m, s;
  if (!OpenBoth(err, name, SERVICE_CHANGE_CONFIG, &m, &s)) return kFailed;
  SERVICE_FAILURE_ACTIONS_FLAG flag{args[1] == "1" ? TRUE : FALSE};
  if (!ChangeServiceConfig2(s.h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
    return Failed("ChangeServiceConfig2", err);
  fmt::print(out, "[SC] ChangeServiceConfig2 SUCCESS\n");
  return kOk;
}

int Description(Args args, std::ostream& out, std::ostream& err) {
  const auto name = NameArg(args, "description");
  if (args.size() != 2) Usage("description needs NAME TEXT (\"\" removes it)");
  Handle m, s;
  if (!OpenBoth(err, name, SERVICE_CHANGE_CONFIG, &m, &s)) return kFailed;
  std::wstring text = Wide(args[1]);
  SERVICE_DESCRIPTION d{text.data()};
  if (!ChangeServiceConfig2(s.h, SERVICE_CONFIG_DESCRIPTION, &d)) return Failed("ChangeServiceConfig2", err);
  fmt::print(out, "[SC] ChangeServiceConfig2 SUCCESS\n");
  return kOk;
}

int Delete(Args args, std::ostream& out, std::ostream& err) {
  const auto name = NameArg(args, "delete");
  if (args.size() > 1) Usage("delete takes only the service name");
  Handle m, s;
  if (!OpenBoth(err, name, DELETE, &m, &s)) return kFailed;
  if (!DeleteService(s.h)) return Failed("DeleteService", err);
  fmt::print(out, "[SC] DeleteService SUCCESS\n");
  return kOk;
}

int List(Args args, std::ostream& out, std::ostream& err) {
  if (!args.empty()) Usage("list takes no arguments");
  Handle m;
  m.h = OpenSCManager(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
  if (m.h == nullptr) return Failed("OpenSCManager", err);
  DWORD needed = 0, count = 0;
  std::vector<BYTE> buffer;
  while (!EnumServicesStatusEx(m.h, SC_ENUM_PROCESS_INFO, SERVICE_TYPE_ALL, SERVICE_STATE_ALL, buffer.data(),
                               static_cast<DWORD>(buffer.size()), &needed, &count, nullptr, nullptr)) {
    if (GetLastError() != ERROR_MORE_DATA) return Failed("EnumServicesStatusEx", err);
    buffer.resize(buffer.size() + needed);
  }
  const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESS*>(buffer.data());
  fmt::print(out, "{:<24} {:<16} {:>8}  {}\n", "SERVICE_NAME", "STATE", "PID", "DISPLAY_NAME");
  for (DWORD i = 0; i < count; ++i) {
    const auto& s = entries[i].ServiceStatusProcess;
    fmt::print(out, "{:<24} {:<16} {:>8}  {}\n", WideToUtf8(entries[i].lpServiceName),
               ServiceStateName(s.dwCurrentState), s.dwProcessId, WideToUtf8(entries[i].lpDisplayName));
  }
  return kOk;
}

struct Settings {
  DWORD timeoutMs = 30000;  // longest wait for the next status change
};

void PrintUsage(std::span<const cli::Verb> verbs, std::ostream& out) {
  fmt::print(out,
             "usage: vesk-sc [--root DIR] [--timeout MS] VERB [ARGS...]\n"
             "The service controller of a simulated machine: the one at --root DIR, else\n"
             "$KORVO_MACHINE_ROOT, else the per-user default.\n\nverbs:\n");
  for (const auto& v : verbs) fmt::print(out, "  {:<20}{}\n", v.name, v.summary);
  fmt::print(out,
             "\noptions:\n"
             "  --root DIR          use the machine at DIR\n"
             "  --timeout MS        how long start and stop wait for the next status change (default 30000)\n"
             "  --help              print this text\n"
             "\nexit codes: 0 done, 1 the operation failed or the service did not reach the state asked for,\n"
             "            2 usage error\n");
}

int Help(std::span<const cli::Verb> verbs, Args args, std::ostream& out) {
  if (args.empty()) {
    PrintUsage(verbs, out);
    return kOk;
  }
  const cli::Verb* verb = cli::FindVerb(verbs, args[0]);
  if (verb == nullptr) Usage(fmt::format("unknown verb \"{}\"", args[0]));
  fmt::print(out, "usage: vesk-sc [--root DIR] {} {}\n  {}\n", verb->name, verb->synopsis, verb->summary);
  return kOk;
}

}  // namespace

int Run(Args args, std::ostream& out, std::ostream& err) {
  Settings settings;
  const auto waiting = [&settings](int (*verb)(Args, std::ostream&, std::ostream&, DWORD)) {
    return [&settings, verb](Args a, std::ostream& o, std::ostream& e) { return verb(a, o, e, settings.timeoutMs); };
  };
  std::vector<cli::Verb> verbs = {
      {"query", "NAME", "print the status of a service", QueryVerb},
      {"queryex", "NAME", "print the status with the process id", QueryExVerb},
      {"qc", "NAME", "print the configuration", QueryConfig},
      {"qfailure", "NAME", "print the failure actions", QueryFailure},
      {"qfailureflag", "NAME", "print whether stops with an error count as failures", QueryFailureFlag},
      {"qdescription", "NAME", "print the description", QueryDescription},
      {"start", "NAME [ARGS...]",
       "start a service (ARGS go to its service main) and print each status change until it\n"
       "                      is RUNNING (exit 0) or STOPPED (exit 1)",
       waiting(Start)},
      {"stop", "NAME", "stop a service and print each status change until it is STOPPED", waiting(Stop)},
      {"interrogate", "NAME", "ask a running service for its status", Interrogate},
      {"control", "NAME CODE [EVENT_TYPE [SESSION_ID]]",
       "send a control: CODE in decimal or 0x hex, or stop, pause, continue, shutdown (5),\n"
       "                      preshutdown (15), power (13; EVENT_TYPE e.g. 0x12 resumeautomatic, 4 suspend),\n"
       "                      session (14; EVENT_TYPE 5 logon, 6 logoff, 7 lock, 8 unlock, and SESSION_ID)",
       Control},
      {"create", "NAME binPath= PATH [DisplayName= X] [start= auto|demand|disabled] [type= own|share]",
       "install a service (also error=, depend= A/B, obj= ACCOUNT, group=)", Create},
      {"failure", "NAME reset= SECONDS actions= restart/DELAY/none/0/...",
       "set the failure actions (also reboot= MSG, command= CMD)", Failure},
      {"failureflag", "NAME 0|1", "count a stop with an error exit code as a failure (1) or not (0)", FailureFlag},
      {"description", "NAME TEXT", "set the description", Description},
      {"delete", "NAME", "remove a service (a running one when it stops)", Delete},
      {"list", "", "list every installed service", List},
      {"help", "[VERB]", "print usage", nullptr, true},
  };
  verbs.back().run = [&verbs](Args a, std::ostream& o, std::ostream&) { return Help(verbs, a, o); };
  const cli::Option options[] = {{"--timeout", [&settings](std::string_view value) {
                                    const auto ms = ParseDword(value);
                                    if (!ms) Usage(fmt::format("--timeout takes milliseconds, not {}", value));
                                    settings.timeoutMs = *ms;
                                  }}};
  const cli::Tool tool{"vesk-sc", verbs, options, [&verbs](std::ostream& o) { PrintUsage(verbs, o); }, nullptr};
  return cli::Run(tool, args, out, err);
}

}  // namespace tools::vesk_sc
