// The machine's process table and the process calls over it: snapshots, opening and
// terminating processes, their tokens and sessions, and starting programs as a user.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/fs.h"
#include "platform/machine.h"
#include "platform/src/base/command_line.h"
#include "platform/src/host/fd.h"
#include "platform/src/host/files.h"
#include "platform/src/sessions/sessions_internal.h"
#include "platform/text.h"

extern char** environ;

#include "platform/src/base/trace.h"

namespace platform {
namespace sessions::detail {
namespace {

using nlohmann::json;

std::filesystem::path ProcessesFile() {
  return CurrentMachine().Root() / "processes.json";
}

json RecordToJson(const ProcessRecord& r) {
  const MachineProcess& p = r.process;
  return {{"pid", p.processId},
          {"parent", p.parentProcessId},
          {"session", p.sessionId},
          {"name", WideToUtf8(p.name)},
          {"path", WideToUtf8(p.path)},
          {"user", WideToUtf8(p.user)},
          {"commandLine", WideToUtf8(p.commandLine)},
          {"desktop", WideToUtf8(p.desktop)},
          {"real", p.real},
          {"uiAccess", p.uiAccess},
          {"elevation", p.elevationType ? json(ElevationTypeName(*p.elevationType)) : json(nullptr)},
          {"hostStartTime", r.hostStartTime}};
}

// Tables written before the elevation was recorded have no "elevation": unknown.
std::optional<TOKEN_ELEVATION_TYPE> ElevationFromJson(const json& j) {
  const auto it = j.find("elevation");
  if (it == j.end() || !it->is_string()) return std::nullopt;
  for (auto type : {TokenElevationTypeDefault, TokenElevationTypeFull, TokenElevationTypeLimited}) {
    if (*it == ElevationTypeName(type)) return type;
  }
  return std::nullopt;
}

ProcessRecord RecordFromJson(const json& j) {
  ProcessRecord r;
  MachineProcess& p = r.process;
  p.processId = j.value("pid", 0u);
  p.parentProcessId = j.value("parent", 0u);
  p.sessionId = j.value("session", 0u);
  p.name = Utf8ToWide(j.value("name", ""));
  p.path = Utf8ToWide(j.value("path", ""));
  p.user = Utf8ToWide(j.value("user", ""));
  p.commandLine = Utf8ToWide(j.value("commandLine", ""));
  p.desktop = Utf8ToWide(j.value("desktop", ""));
  p.real = j.value("real", false);
  p.uiAccess = j.value("uiAccess", false);
  p.elevationType = ElevationFromJson(j);
  r.hostStartTime = j.value("hostStartTime", std::uint64_t{0});
  return r;
}

// The table as the profile declares it, before anything ran.
std::vector<ProcessRecord> DeclaredProcesses(DWORD* nextId) {
  std::vector<ProcessRecord> out;
  const json& profile = CurrentMachine().Profile();
  DWORD next = kFirstDeclaredProcessId;
  if (auto it = profile.find("processes"); it != profile.end()) {
    for (const auto& p : *it) {
      if (p.contains("pid")) next = std::max(next, p["pid"].get<DWORD>() + 4);
    }
    for (const auto& p : *it) {
      ProcessRecord r;
      r.process.name = Utf8ToWide(p.value("name", ""));
      r.process.path = Utf8ToWide(p.value("path", ""));
      r.process.sessionId = p.value("session", 0u);
      r.process.user = Utf8ToWide(p.value("user", ""));
      r.process.parentProcessId = p.value("parent", 0u);
      // A declared process runs with its user's log-on token (see OpenProcessToken).
      if (const auto account = r.process.user.empty() ? std::nullopt : FindAccount(r.process.user)) {
        r.process.elevationType = MakeLogonToken(*account, r.process.sessionId, account->elevation)->elevationType;
      }
      if (p.contains("pid")) {
        r.process.processId = p["pid"].get<DWORD>();
      } else {
        r.process.processId = next;
        next += 4;
      }
      out.push_back(std::move(r));
    }
  }
  *nextId = next;
  return out;
}

struct Table {
  std::vector<ProcessRecord> processes;
  DWORD nextId = kFirstDeclaredProcessId;
};

Table ParseTable(const std::string& text, const std::filesystem::path& path) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::parse_error& e) {
    throw MachineError("the process table " + path.string() + " is damaged: " + e.what());
  }
  if (!j.is_object() || !j.contains("processes") || !j["processes"].is_array()) {
    throw MachineError("the process table " + path.string() + " is damaged: it needs a \"processes\" array");
  }
  Table t;
  t.nextId = j.value("nextId", kFirstDeclaredProcessId);
  for (const auto& p : j["processes"]) t.processes.push_back(RecordFromJson(p));
  return t;
}

// The table in `text` (nullopt or empty: none yet, the profile's processes).
Table TableFrom(const std::optional<std::string>& text, const std::filesystem::path& path) {
  Table t;
  if (!text || text->empty()) {
    t.processes = DeclaredProcesses(&t.nextId);
  } else {
    t = ParseTable(*text, path);
  }
  return t;
}

Table LoadTable() {
  const auto path = ProcessesFile();
  return TableFrom(host::ReadFile(path), path);
}

bool Alive(const ProcessRecord& r) {
  if (!r.process.real) return true;
  const auto start = HostStartTime(static_cast<int>(r.process.processId));
  return start && *start == r.hostStartTime;
}

bool PruneEnded(std::vector<ProcessRecord>& processes) {
  const auto before = processes.size();
  processes.erase(std::remove_if(processes.begin(), processes.end(), [](const ProcessRecord& r) { return !Alive(r); }),
                  processes.end());
  return processes.size() != before;
}

}  // namespace

std::optional<std::uint64_t> HostStartTime(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  // The command name may hold blanks and parentheses: the fields follow the last ')'.
  const auto close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 2));
  std::string state;
  fields >> state;
  if (state == "Z" || state == "X") return std::nullopt;
  std::string skip;
  for (int field = 4; field < 22; ++field) fields >> skip;  // fields 4 to 21
  std::uint64_t start = 0;
  if (!(fields >> start)) return std::nullopt;
  return start;
}

std::vector<ProcessRecord> ReadProcesses() {
  auto t = LoadTable();
  PruneEnded(t.processes);
  return t.processes;
}

void UpdateProcesses(const std::function<bool(std::vector<ProcessRecord>&, DWORD& nextDeclaredId)>& change) {
  const auto path = ProcessesFile();
  host::UpdateFile(path, CurrentMachine().Root() / "processes.lock",
                   [&](const std::optional<std::string>& text) -> std::optional<std::string> {
                     Table t = TableFrom(text, path);
                     const bool pruned = PruneEnded(t.processes);
                     if (!change(t.processes, t.nextId) && !pruned) return std::nullopt;
                     json all = json::array();
                     for (const auto& r : t.processes) all.push_back(RecordToJson(r));
                     return json{{"nextId", t.nextId}, {"processes", all}}.dump(2) + "\n";
                   });
}

}  // namespace sessions::detail

using namespace sessions::detail;

namespace {

const HANDLE kCurrentProcessPseudoHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

struct ProcessObject : base::detail::KernelObject {
  DWORD processId = 0;
  DWORD access = 0;
  std::uint64_t hostStartTime = 0;
  bool real = false;
  std::mutex lock;
  std::optional<DWORD> exitCode;  // known once this process ended it
};

struct ThreadObject : base::detail::KernelObject {
  DWORD threadId = 0;
};

struct SnapshotObject : base::detail::KernelObject {
  std::mutex lock;
  std::vector<ProcessRecord> processes;
  std::size_t next = 0;
};

// Guards the calls that read the table: a damaged table fails them with
// ERROR_INVALID_DATA instead of an exception.
template <class F>
bool TableCall(F&& body) {
  try {
    body();
    return true;
  } catch (const std::exception&) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
}

std::optional<ProcessRecord> FindProcess(DWORD processId) {
  for (auto& r : ReadProcesses()) {
    if (r.process.processId == processId) return r;
  }
  return std::nullopt;
}

BOOL FillEntry(const std::shared_ptr<SnapshotObject>& snap, PROCESSENTRY32W* entry, bool first) {
  if (entry == nullptr || entry->dwSize != sizeof(PROCESSENTRY32W)) return Fail(ERROR_BAD_LENGTH);
  std::lock_guard guard(snap->lock);
  if (first) snap->next = 0;
  if (snap->next >= snap->processes.size()) return Fail(ERROR_NO_MORE_FILES);
  const MachineProcess& p = snap->processes[snap->next++].process;
  const DWORD size = entry->dwSize;
  std::memset(entry, 0, sizeof(*entry));
  entry->dwSize = size;
  entry->th32ProcessID = p.processId;
  entry->th32ParentProcessID = p.parentProcessId;
  entry->cntThreads = 1;
  entry->pcPriClassBase = 8;
  const std::wstring name = p.name.substr(0, MAX_PATH - 1);
  std::wmemcpy(entry->szExeFile, name.c_str(), name.size() + 1);
  return TRUE;
}

std::wstring FileNameOf(const std::wstring& path) {
  const auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The host environment of a started program: the block given, else the caller's own;
// always on this machine.
std::vector<std::string> HostEnvironment(const void* block, DWORD flags) {
  std::vector<std::string> out;
  if (block != nullptr) {
    if ((flags & CREATE_UNICODE_ENVIRONMENT) != 0) {
      const auto* p = static_cast<const char16_t*>(block);
      while (*p != u'\0') {
        const std::u16string_view entry(p);
        out.push_back(Utf16ToUtf8(entry));
        p += entry.size() + 1;
      }
    } else {
      const auto* p = static_cast<const char*>(block);
      while (*p != '\0') {
        out.emplace_back(p);
        p += out.back().size() + 1;
      }
    }
  } else {
    for (char** e = environ; *e != nullptr; ++e) out.emplace_back(*e);
  }
  out.erase(std::remove_if(out.begin(), out.end(),
                           [](const std::string& e) { return e.rfind("KORVO_MACHINE_ROOT=", 0) == 0; }),
            out.end());
  out.push_back("KORVO_MACHINE_ROOT=" + CurrentMachine().Root().string());
  return out;
}

// Starts `host` detached (the machine's processes outlive whoever started them, and
// nobody has to reap them): a first child starts the program in a new session and ends
// at once. Returns the program's pid, or -1 with errno.
pid_t SpawnDetached(const std::filesystem::path& host, const std::vector<std::string>& args,
                    const std::vector<std::string>& env) {
  std::vector<char*> argv;
  std::vector<std::string> argStore = args;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore = env;
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string path = host.string();

  int pidPipe[2];
  int execPipe[2];
  if (::pipe2(pidPipe, O_CLOEXEC) != 0) return -1;
  if (::pipe2(execPipe, O_CLOEXEC) != 0) {
    ::close(pidPipe[0]);
    ::close(pidPipe[1]);
    return -1;
  }
  const pid_t first = ::fork();
  if (first < 0) {
    const int err = errno;
    for (int fd : {pidPipe[0], pidPipe[1], execPipe[0], execPipe[1]}) ::close(fd);
    errno = err;
    return -1;
  }
  if (first == 0) {
    // Only async-signal-safe calls from here on.
    ::setsid();
    const pid_t program = ::fork();
    if (program == 0) {
      const int devNull = ::open("/dev/null", O_RDONLY);
      if (devNull >= 0) ::dup2(devNull, 0);
      ::execve(path.c_str(), argv.data(), envp.data());
      const int err = errno;
      (void)!::write(execPipe[1], &err, sizeof(err));
      ::_exit(127);
    }
    (void)!::write(pidPipe[1], &program, sizeof(program));
    ::_exit(program < 0 ? 1 : 0);
  }
  ::close(pidPipe[1]);
  ::close(execPipe[1]);
  int status = 0;
  host::RetryOnEintr([&] { return ::waitpid(first, &status, 0); });
  pid_t program = -1;
  const bool gotPid = ::read(pidPipe[0], &program, sizeof(program)) == sizeof(program) && program > 0;
  ::close(pidPipe[0]);
  int execError = 0;
  // Closed without a word when exec succeeded (the pipe is close-on-exec).
  const bool execFailed = ::read(execPipe[0], &execError, sizeof(execError)) == sizeof(execError);
  ::close(execPipe[0]);
  if (!gotPid) {
    errno = EAGAIN;
    return -1;
  }
  if (execFailed) {
    errno = execError;
    return -1;
  }
  return program;
}

}  // namespace

HANDLE GetCurrentProcess() {
  return base::detail::Traced<HANDLE>(base::detail::kTraceSessions, "GetCurrentProcess",
                                      [&]() -> HANDLE { return kCurrentProcessPseudoHandle; });
}

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "OpenProcessToken", [&]() -> BOOL {
    if (token == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *token = nullptr;
    std::shared_ptr<ProcessObject> object;
    if (process != kCurrentProcessPseudoHandle) {
      object = base::detail::LookupHandleAs<ProcessObject>(process);
      if (!object) return Fail(ERROR_INVALID_HANDLE);
      if ((object->access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0) {
        return Fail(ERROR_ACCESS_DENIED);
      }
    }
    if (auto fault = InjectedFault("OpenProcessToken")) return Fail(*fault);
    if (!object) {
      *token = NewTokenHandle(ProcessToken(), desiredAccess);
      return TRUE;
    }
    std::optional<ProcessRecord> record;
    if (!TableCall([&] { record = FindProcess(object->processId); })) return FALSE;
    if (!record) return Fail(ERROR_INVALID_HANDLE);  // it ended
    const auto account = FindAccount(record->process.user);
    if (!account) return Fail(ERROR_NO_TOKEN);
    // A process runs with a log-on token of its user of the elevation it was started
    // with; declared ones with their user's own log-on token.
    auto t =
        MakeLogonToken(*account, record->process.sessionId, record->process.elevationType.value_or(account->elevation));
    t->uiAccess = record->process.uiAccess;
    *token = NewTokenHandle(std::move(t), desiredAccess);
    return TRUE;
  });
}

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD /*processId*/) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceSessions, "CreateToolhelp32Snapshot", [&]() -> HANDLE {
    if ((flags & TH32CS_SNAPPROCESS) == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    if (auto fault = InjectedFault("CreateToolhelp32Snapshot")) {
      SetLastError(*fault);
      return INVALID_HANDLE_VALUE;
    }
    auto snap = std::make_shared<SnapshotObject>();
    if (!TableCall([&] { snap->processes = ReadProcesses(); })) return INVALID_HANDLE_VALUE;
    return base::detail::InsertHandle(std::move(snap));
  });
}

BOOL Process32First(HANDLE snapshot, PROCESSENTRY32W* entry) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "Process32First", [&]() -> BOOL {
    auto snap = base::detail::LookupHandleAs<SnapshotObject>(snapshot);
    if (!snap) return Fail(ERROR_INVALID_HANDLE);
    return FillEntry(snap, entry, true);
  });
}

BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32W* entry) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "Process32Next", [&]() -> BOOL {
    auto snap = base::detail::LookupHandleAs<SnapshotObject>(snapshot);
    if (!snap) return Fail(ERROR_INVALID_HANDLE);
    return FillEntry(snap, entry, false);
  });
}

HANDLE OpenProcess(DWORD desiredAccess, BOOL /*inheritHandle*/, DWORD processId) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceSessions, "OpenProcess", [&]() -> HANDLE {
    if (auto fault = InjectedFault("OpenProcess")) {
      SetLastError(*fault);
      return nullptr;
    }
    std::optional<ProcessRecord> record;
    if (!TableCall([&] { record = FindProcess(processId); })) return nullptr;
    if (!record) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    auto object = std::make_shared<ProcessObject>();
    object->processId = processId;
    object->access = (desiredAccess & MAXIMUM_ALLOWED) != 0 ? PROCESS_ALL_ACCESS : desiredAccess;
    object->real = record->process.real;
    object->hostStartTime = record->hostStartTime;
    return base::detail::InsertHandle(std::move(object));
  });
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "TerminateProcess", [&]() -> BOOL {
    auto object = base::detail::LookupHandleAs<ProcessObject>(process);
    if (!object) return Fail(ERROR_INVALID_HANDLE);
    if ((object->access & PROCESS_TERMINATE) == 0) return Fail(ERROR_ACCESS_DENIED);
    bool found = false;
    const bool ok = TableCall([&] {
      UpdateProcesses([&](std::vector<ProcessRecord>& processes, DWORD&) {
        auto it = std::find_if(processes.begin(), processes.end(), [&](const ProcessRecord& r) {
          return r.process.processId == object->processId && r.hostStartTime == object->hostStartTime;
        });
        if (it == processes.end()) return false;
        found = true;
        if (it->process.real) ::kill(static_cast<pid_t>(it->process.processId), SIGKILL);
        processes.erase(it);
        return true;
      });
    });
    if (!ok) return FALSE;
    // Ending a process that already ended fails as on the original.
    if (!found) return Fail(ERROR_ACCESS_DENIED);
    std::lock_guard guard(object->lock);
    object->exitCode = exitCode;
    return TRUE;
  });
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "GetExitCodeProcess", [&]() -> BOOL {
    if (exitCode == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    auto object = base::detail::LookupHandleAs<ProcessObject>(process);
    if (!object) return Fail(ERROR_INVALID_HANDLE);
    std::optional<ProcessRecord> record;
    if (!TableCall([&] { record = FindProcess(object->processId); })) return FALSE;
    if (record && record->hostStartTime == object->hostStartTime) {
      *exitCode = STILL_ACTIVE;
      return TRUE;
    }
    // A host process that ended on its own is not our child: its code is unknown here.
    std::lock_guard guard(object->lock);
    *exitCode = object->exitCode.value_or(0);
    return TRUE;
  });
}

DWORD GetProcessId(HANDLE process) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSessions, "GetProcessId", [&]() -> DWORD {
    if (process == kCurrentProcessPseudoHandle) return GetCurrentProcessId();
    auto object = base::detail::LookupHandleAs<ProcessObject>(process);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    return object->processId;
  });
}

BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "ProcessIdToSessionId", [&]() -> BOOL {
    if (sessionId == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (processId == GetCurrentProcessId()) {
      std::lock_guard guard(ProcessToken()->lock);
      *sessionId = ProcessToken()->sessionId;
      return TRUE;
    }
    std::optional<ProcessRecord> record;
    if (!TableCall([&] { record = FindProcess(processId); })) return FALSE;
    if (!record) return Fail(ERROR_INVALID_PARAMETER);
    *sessionId = record->process.sessionId;
    return TRUE;
  });
}

BOOL CreateProcessAsUser(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                         LPSECURITY_ATTRIBUTES /*processAttributes*/, LPSECURITY_ATTRIBUTES /*threadAttributes*/,
                         BOOL /*inheritHandles*/, DWORD creationFlags, void* environment, LPCWSTR /*currentDirectory*/,
                         STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSessions, "CreateProcessAsUser", [&]() -> BOOL {
    if (processInformation == nullptr || startupInfo == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    std::memset(processInformation, 0, sizeof(*processInformation));
    auto h = LookupToken(token);
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    if ((h->access & TOKEN_ASSIGN_PRIMARY) == 0) return Fail(ERROR_ACCESS_DENIED);
    if (h->token->type != TokenPrimary) return Fail(ERROR_BAD_TOKEN_TYPE);
    if (auto fault = InjectedFault("CreateProcessAsUser")) return Fail(*fault);

    const std::wstring line = commandLine != nullptr ? commandLine : L"";
    auto words = base::detail::SplitCommandLineArguments(line);
    std::wstring program = applicationName != nullptr ? applicationName : L"";
    if (program.empty()) {
      if (words.empty()) return Fail(ERROR_FILE_NOT_FOUND);
      program = words.front();
    }
    // The first word conventionally names the program itself: it is argv[0], not an
    // argument.
    if (!words.empty() && ToUpper(FileNameOf(words.front())) == ToUpper(FileNameOf(program))) {
      words.erase(words.begin());
    }
    const auto host = MapToHost(program);
    struct stat st {};
    if (!host || ::stat(host->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail(ERROR_FILE_NOT_FOUND);

    MachineProcess p;
    p.name = FileNameOf(program);
    p.path = program;
    p.commandLine = line;
    p.desktop = startupInfo->lpDesktop != nullptr ? startupInfo->lpDesktop : L"";
    p.parentProcessId = GetCurrentProcessId();
    {
      std::lock_guard guard(h->token->lock);
      p.sessionId = h->token->sessionId;
      p.uiAccess = h->token->uiAccess;
    }
    p.user = h->token->account.name;
    p.elevationType = h->token->elevationType;

    std::uint64_t startTime = 0;
    if (::access(host->c_str(), X_OK) == 0) {
      std::vector<std::string> args = {host->string()};
      for (const auto& w : words) args.push_back(WideToUtf8(w));
      const pid_t pid = SpawnDetached(*host, args, HostEnvironment(environment, creationFlags));
      if (pid < 0) return Fail(errno == EACCES || errno == ENOEXEC ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
      const auto start = HostStartTime(pid);
      p.real = true;
      p.processId = static_cast<DWORD>(pid);
      startTime = start.value_or(0);
    }
    const bool recorded = TableCall([&] {
      UpdateProcesses([&](std::vector<ProcessRecord>& processes, DWORD& nextId) {
        if (!p.real) {
          p.processId = nextId;
          nextId += 4;
        }
        processes.push_back(ProcessRecord{p, startTime});
        return true;
      });
    });
    if (!recorded) {
      if (p.real) ::kill(static_cast<pid_t>(p.processId), SIGKILL);
      return FALSE;
    }
    auto object = std::make_shared<ProcessObject>();
    object->processId = p.processId;
    object->access = PROCESS_ALL_ACCESS;
    object->real = p.real;
    object->hostStartTime = startTime;
    auto thread = std::make_shared<ThreadObject>();
    thread->threadId = p.processId + 1;
    processInformation->hProcess = base::detail::InsertHandle(std::move(object));
    processInformation->hThread = base::detail::InsertHandle(std::move(thread));
    processInformation->dwProcessId = p.processId;
    processInformation->dwThreadId = p.processId + 1;
    return TRUE;
  });
}

}  // namespace platform
