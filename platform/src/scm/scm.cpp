// The control manager's calls (see platform/scm.h): handles, the database calls, and
// the calls that reach a running service through its supervisor's control socket.
#include "platform/scm.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <fstream>
#include <thread>

#include "platform/machine.h"
#include "platform/scm_testing.h"
#include "platform/src/base/handles.h"
#include "platform/src/base/trace.h"
#include "platform/src/scm/scm_internal.h"
#include "platform/text.h"

namespace platform {
namespace {

using namespace scm::detail;

// Generic and standard rights, as the original maps them for the control manager's
// objects.
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kMaximumAllowed = 0x02000000;
constexpr DWORD kReadControl = 0x00020000;
constexpr DWORD kScManagerLock = 0x0008;
constexpr DWORD kScManagerQueryLockStatus = 0x0010;
constexpr DWORD kScManagerModifyBootConfig = 0x0020;

constexpr std::size_t kMaxNameChars = 256;
// The longest UTF-8 name whose per-service files ("<name>.status", ...) still fit a
// file name of the host.
constexpr std::size_t kMaxNameFileBytes = 240;

// How long StartService waits for the supervisor of a run that just stopped to finish
// (real time: it is another process).
constexpr auto kEndingSupervisorWait = std::chrono::seconds(5);
// How long a watch waits for the supervisor's first answer.
constexpr int kWatchStartTimeoutMs = 5000;

struct ScObject : base::detail::KernelObject {
  std::filesystem::path root;
  nlohmann::json profile;  // {"services": ...} of the machine profile, for creating the database
  DWORD access = 0;
  Database Db() const { return Database(root, profile); }
};

struct ManagerObject : ScObject {};

struct ServiceObject : ScObject {
  std::wstring name;  // as stored
  std::string id;
};

BOOL SetError(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Maps generic rights and checks that only rights of the object are asked for.
bool GrantedAccess(DWORD desired, bool service, DWORD* granted) {
  const DWORD all = service ? SERVICE_ALL_ACCESS : SC_MANAGER_ALL_ACCESS;
  DWORD g = desired & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll | kMaximumAllowed);
  if ((desired & (kGenericAll | kMaximumAllowed)) != 0) g |= all;
  if ((desired & kGenericRead) != 0) {
    g |= service ? kReadControl | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                       SERVICE_ENUMERATE_DEPENDENTS
                 : kReadControl | SC_MANAGER_ENUMERATE_SERVICE | kScManagerQueryLockStatus;
  }
  if ((desired & kGenericWrite) != 0) {
    g |= service ? kReadControl | SERVICE_CHANGE_CONFIG
                 : kReadControl | SC_MANAGER_CREATE_SERVICE | kScManagerModifyBootConfig;
  }
  if ((desired & kGenericExecute) != 0) {
    g |= service ? kReadControl | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL
                 : kReadControl | SC_MANAGER_CONNECT | kScManagerLock;
  }
  if ((g & ~all) != 0) return false;
  *granted = service ? g : g | SC_MANAGER_CONNECT;  // every manager handle may connect
  return true;
}

bool ValidServiceName(LPCWSTR name) {
  if (name == nullptr || *name == L'\0') return false;
  const std::wstring_view n(name);
  if (n.size() > kMaxNameChars || WideToUtf8(n).size() > kMaxNameFileBytes) return false;
  return std::none_of(n.begin(), n.end(), [](wchar_t c) { return c == L'/' || c == L'\\' || c < 0x20; });
}

std::vector<std::wstring> MultiString(LPCWSTR list) {
  std::vector<std::wstring> out;
  if (list == nullptr) return out;
  for (LPCWSTR p = list; *p != L'\0'; p += std::wcslen(p) + 1) out.emplace_back(p);
  return out;
}

std::shared_ptr<ManagerObject> ManagerHandle(SC_HANDLE handle) {
  auto object = base::detail::LookupHandleAs<ManagerObject>(handle);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

// The service object behind `handle` when it was opened with `right`.
std::shared_ptr<ServiceObject> ServiceHandle(SC_HANDLE handle, DWORD right) {
  auto object = base::detail::LookupHandleAs<ServiceObject>(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else if ((object->access & right) != right) {
    SetLastError(ERROR_ACCESS_DENIED);
    object.reset();
  }
  return object;
}

SC_HANDLE NewServiceHandle(const ScObject& manager, const ServiceRecord& record, DWORD access) {
  auto object = std::make_shared<ServiceObject>();
  object->root = manager.root;
  object->profile = manager.profile;
  object->access = access;
  object->name = record.name;
  object->id = record.id;
  return base::detail::InsertHandle(std::move(object));
}

// The record the handle was opened on; nullopt when that service is gone (deleted,
// perhaps re-created under the same name). *error is set when the database failed.
std::optional<ServiceRecord> RecordOf(const ServiceObject& service, DWORD* error) {
  std::optional<ServiceRecord> found;
  *error = Database::Guard([&] {
    found = service.Db().Find(service.name);
    return NO_ERROR;
  });
  if (found && found->id != service.id) found.reset();
  return found;
}

// The record in a list being changed, when it is still the handle's.
ServiceRecord* RecordIn(std::vector<ServiceRecord>& services, const ServiceObject& service) {
  ServiceRecord* s = FindIn(services, service.name);
  return s != nullptr && s->id == service.id ? s : nullptr;
}

SERVICE_STATUS_PROCESS StoppedStatus(DWORD type, DWORD exitCode = NO_ERROR) {
  return SERVICE_STATUS_PROCESS{type, SERVICE_STOPPED, 0, exitCode, 0, 0, 0, 0, 0};
}

// The current status: the declared one for the profile's services, else what the
// supervisor recorded while it lives.
SERVICE_STATUS_PROCESS StatusOf(const std::filesystem::path& root, const ServiceRecord& record) {
  if (record.declared) {
    return SERVICE_STATUS_PROCESS{record.serviceType,
                                  record.declaredState,
                                  0,
                                  NO_ERROR,
                                  0,
                                  0,
                                  0,
                                  record.declaredState == SERVICE_STOPPED ? 0 : record.declaredProcessId,
                                  0};
  }
  const ServiceFiles files = FilesFor(root, record.name);
  const bool alive = IsLockedByOther(files.lock);
  auto saved = ReadStatusFile(files.status);
  SERVICE_STATUS_PROCESS s;
  if (!saved) {
    s = StoppedStatus(record.serviceType);
    if (alive) s.dwCurrentState = SERVICE_START_PENDING;  // the supervisor is just starting
  } else if (alive || saved->status.dwCurrentState == SERVICE_STOPPED) {
    s = saved->status;
  } else {
    // The supervisor died without recording the end (killed): the service is gone.
    s = StoppedStatus(saved->status.dwServiceType, ERROR_PROCESS_ABORTED);
  }
  if (s.dwServiceType == 0) s.dwServiceType = record.serviceType;
  if (s.dwCurrentState == SERVICE_STOPPED) s.dwProcessId = 0;
  return s;
}

SERVICE_STATUS Short(const SERVICE_STATUS_PROCESS& s) {
  return SERVICE_STATUS{
      s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
      s.dwCheckPoint,  s.dwWaitHint};
}

// Lays out strings after a fixed part inside the caller's buffer.
class BufferLayout {
 public:
  BufferLayout(BYTE* base, std::size_t fixed) : base_(base), offset_(Align(fixed)) {}
  static std::size_t Align(std::size_t n) { return (n + alignof(wchar_t) - 1) & ~(alignof(wchar_t) - 1); }
  static std::size_t Size(const std::wstring& s) { return (s.size() + 1) * sizeof(wchar_t); }
  static std::size_t Size(const std::vector<std::wstring>& list) {
    std::size_t n = sizeof(wchar_t);
    for (const auto& s : list) n += Size(s);
    return n;
  }
  LPWSTR Put(const std::wstring& s) {
    auto* out = reinterpret_cast<LPWSTR>(base_ + offset_);
    std::memcpy(out, s.c_str(), Size(s));
    offset_ += Size(s);
    return out;
  }
  LPWSTR Put(const std::vector<std::wstring>& list) {
    auto* out = reinterpret_cast<LPWSTR>(base_ + offset_);
    for (const auto& s : list) Put(s);
    *reinterpret_cast<LPWSTR>(base_ + offset_) = L'\0';
    offset_ += sizeof(wchar_t);
    return out;
  }
  void* Reserve(std::size_t bytes) {
    void* out = base_ + offset_;
    offset_ += bytes;
    return out;
  }

 private:
  BYTE* base_;
  std::size_t offset_;
};

// The two-call size protocol: *bytesNeeded is always set.
bool FitsOrFail(BYTE* buffer, DWORD bufSize, std::size_t needed, DWORD* bytesNeeded) {
  *bytesNeeded = static_cast<DWORD>(needed);
  if (buffer == nullptr || bufSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

// One request to a running supervisor and its reply.
DWORD AskSupervisor(const ServiceFiles& files, const nlohmann::json& request, nlohmann::json* reply, int timeoutMs) {
  const int fd = ConnectUnixSocket(files.socket);
  if (fd < 0) {
    SetErrorDetail("cannot reach the service's supervisor at " + files.socket.string() + ": " + std::strerror(errno));
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  DWORD error = NO_ERROR;
  if (!SendFrame(fd, request) || ReadFrame(fd, reply, timeoutMs) != ReadStatus::kOk) {
    SetErrorDetail("the service's supervisor at " + files.socket.string() + " did not answer");
    error = ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  ::close(fd);
  return error;
}

}  // namespace

SC_HANDLE OpenSCManager(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess) {
  return base::detail::Traced<SC_HANDLE>(base::detail::kTraceScm, "OpenSCManager", [&]() -> SC_HANDLE {
    ClearErrorDetail();
    if (machineName != nullptr && *machineName != L'\0') {
      Fail(ERROR_INVALID_PARAMETER, "only the local machine's service control manager can be opened");
      return nullptr;
    }
    if (databaseName != nullptr && *databaseName != L'\0' && !EqualsNoCase(databaseName, L"ServicesActive")) {
      SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
      return nullptr;
    }
    auto object = std::make_shared<ManagerObject>();
    if (!GrantedAccess(desiredAccess, false, &object->access)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    try {
      Machine& machine = CurrentMachine();
      object->root = machine.Root();
      object->profile = nlohmann::json::object();
      if (auto it = machine.Profile().find("services"); it != machine.Profile().end())
        object->profile["services"] = *it;
    } catch (const std::exception& e) {
      Fail(ERROR_INVALID_DATA, e.what());
      return nullptr;
    }
    if (const DWORD error = Database::Guard([&] {
          object->Db().EnsureExists();
          return NO_ERROR;
        });
        error != NO_ERROR) {
      SetLastError(error);
      return nullptr;
    }
    return base::detail::InsertHandle(std::move(object));
  });
}

SC_HANDLE CreateService(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD desiredAccess,
                        DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                        LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                        LPCWSTR /*password*/) {
  return base::detail::Traced<SC_HANDLE>(base::detail::kTraceScm, "CreateService", [&]() -> SC_HANDLE {
    ClearErrorDetail();
    auto mgr = ManagerHandle(manager);
    if (!mgr) return nullptr;
    if ((mgr->access & SC_MANAGER_CREATE_SERVICE) == 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    if (!ValidServiceName(serviceName) || (displayName != nullptr && std::wcslen(displayName) > kMaxNameChars)) {
      SetLastError(ERROR_INVALID_NAME);
      return nullptr;
    }
    const DWORD baseType = serviceType & ~SERVICE_INTERACTIVE_PROCESS;
    const bool win32 = baseType == SERVICE_WIN32_OWN_PROCESS || baseType == SERVICE_WIN32_SHARE_PROCESS;
    const bool driver = baseType == SERVICE_KERNEL_DRIVER || baseType == SERVICE_FILE_SYSTEM_DRIVER;
    const std::wstring account = serviceStartName != nullptr ? serviceStartName : L"LocalSystem";
    const bool interactive = (serviceType & SERVICE_INTERACTIVE_PROCESS) != 0;
    if (binaryPathName == nullptr || *binaryPathName == L'\0' || !(win32 || driver) || (interactive && !win32) ||
        (interactive && !EqualsNoCase(account, L"LocalSystem")) || startType > SERVICE_DISABLED ||
        (startType < SERVICE_AUTO_START && !driver) || errorControl > SERVICE_ERROR_CRITICAL ||
        (tagId != nullptr && (loadOrderGroup == nullptr || *loadOrderGroup == L'\0'))) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    DWORD access = 0;
    if (!GrantedAccess(desiredAccess, true, &access)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    ServiceRecord record;
    record.name = serviceName;
    record.id = NewServiceId();
    record.displayName = displayName != nullptr && *displayName != L'\0' ? displayName : serviceName;
    record.serviceType = serviceType;
    record.startType = startType;
    record.errorControl = errorControl;
    record.binaryPath = binaryPathName;
    record.loadOrderGroup = loadOrderGroup != nullptr ? loadOrderGroup : L"";
    record.dependencies = MultiString(dependencies);
    record.account = account;

    const DWORD error = Database::Guard([&] {
      return mgr->Db().Update([&](std::vector<ServiceRecord>& services) {
        if (const ServiceRecord* existing = FindIn(services, record.name)) {
          return existing->deletePending ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
        }
        for (const auto& s : services) {
          if (EqualsNoCase(s.displayName, record.displayName) || EqualsNoCase(s.displayName, record.name) ||
              EqualsNoCase(s.name, record.displayName)) {
            SetErrorDetail("the name is already in use as the display name or name of " + WideToUtf8(s.name));
            return kErrorDuplicateServiceName;
          }
        }
        services.push_back(record);
        return NO_ERROR;
      });
    });
    if (error != NO_ERROR) {
      SetLastError(error);
      return nullptr;
    }
    if (tagId != nullptr) *tagId = 0;  // tags order drivers at boot; nothing boots here
    return NewServiceHandle(*mgr, record, access);
  });
}

SC_HANDLE OpenService(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
  return base::detail::Traced<SC_HANDLE>(base::detail::kTraceScm, "OpenService", [&]() -> SC_HANDLE {
    ClearErrorDetail();
    auto mgr = ManagerHandle(manager);
    if (!mgr) return nullptr;
    if (serviceName == nullptr || *serviceName == L'\0') {
      SetLastError(ERROR_INVALID_NAME);
      return nullptr;
    }
    DWORD access = 0;
    if (!GrantedAccess(desiredAccess, true, &access)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    std::optional<ServiceRecord> record;
    DWORD error = Database::Guard([&] {
      record = mgr->Db().Find(serviceName);
      return NO_ERROR;
    });
    if (error == NO_ERROR && !record) error = ERROR_SERVICE_DOES_NOT_EXIST;
    if (error == NO_ERROR && record->deletePending) error = ERROR_SERVICE_MARKED_FOR_DELETE;
    if (error != NO_ERROR) {
      SetLastError(error);
      return nullptr;
    }
    return NewServiceHandle(*mgr, *record, access);
  });
}

BOOL DeleteService(SC_HANDLE service) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "DeleteService", [&]() -> BOOL {
    ClearErrorDetail();
    auto svc = ServiceHandle(service, DELETE);
    if (!svc) return FALSE;
    const DWORD error = Database::Guard([&] {
      return svc->Db().Update([&](std::vector<ServiceRecord>& services) {
        ServiceRecord* s = RecordIn(services, *svc);
        if (s == nullptr || s->deletePending) return ERROR_SERVICE_MARKED_FOR_DELETE;
        // A declared service has no process of ours to wait for: it goes at once.
        if (!s->declared && IsLockedByOther(FilesFor(svc->root, s->name).lock)) {
          s->deletePending = true;  // its supervisor removes it when it stops
          return NO_ERROR;
        }
        const ServiceFiles files = FilesFor(svc->root, s->name);
        for (const auto* path : {&files.status, &files.events, &files.socket, &files.lock}) {
          std::error_code ec;
          std::filesystem::remove(*path, ec);
        }
        services.erase(services.begin() + (s - services.data()));
        return NO_ERROR;
      });
    });
    return error == NO_ERROR ? TRUE : SetError(error);
  });
}

BOOL StartService(SC_HANDLE service, DWORD numArgs, LPCWSTR* args) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "StartService", [&]() -> BOOL {
    ClearErrorDetail();
    auto svc = ServiceHandle(service, SERVICE_START);
    if (!svc) return FALSE;
    if (numArgs > 0 && args == nullptr) return SetError(ERROR_INVALID_PARAMETER);
    std::vector<std::wstring> startArgs;
    for (DWORD i = 0; i < numArgs; ++i) {
      if (args[i] == nullptr) return SetError(ERROR_INVALID_PARAMETER);
      startArgs.emplace_back(args[i]);
    }

    // The run lock is taken under the database lock, so that a DeleteService sees the
    // service running from that moment on.
    ServiceRecord record;
    int runLock = -1;
    const auto waitUntil = std::chrono::steady_clock::now() + kEndingSupervisorWait;
    for (;;) {
      bool supervisorEnding = false;
      const DWORD error = Database::Guard([&] {
        return svc->Db().Update([&](std::vector<ServiceRecord>& services) {
          const ServiceRecord* s = RecordIn(services, *svc);
          if (s == nullptr || s->deletePending) return ERROR_SERVICE_MARKED_FOR_DELETE;
          if (s->startType == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
          if (s->declared) {
            if (s->declaredState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
            SetErrorDetail("the service is declared by the machine profile and cannot be started");
            return ERROR_SERVICE_REQUEST_TIMEOUT;
          }
          const ServiceFiles files = FilesFor(svc->root, s->name);
          std::error_code ec;
          std::filesystem::create_directories(files.dir, ec);
          const int fd = OpenLockFile(files.lock);
          if (fd < 0) {
            SetErrorDetail("cannot open " + files.lock.string() + ": " + std::strerror(errno));
            return Win32ErrorFromErrno(errno);
          }
          if (!TryLockExclusive(fd)) {
            ::close(fd);
            // A supervisor whose service just stopped is finishing; give it a moment.
            auto saved = ReadStatusFile(files.status);
            supervisorEnding = saved && saved->status.dwCurrentState == SERVICE_STOPPED && !saved->restartPending;
            return supervisorEnding ? kUnchanged : ERROR_SERVICE_ALREADY_RUNNING;
          }
          runLock = fd;
          record = *s;
          return kUnchanged;
        });
      });
      if (error != NO_ERROR) {
        if (runLock >= 0) ::close(runLock);
        return SetError(error);
      }
      if (runLock >= 0) break;
      if (!supervisorEnding || std::chrono::steady_clock::now() > waitUntil) {
        return SetError(ERROR_SERVICE_ALREADY_RUNNING);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // another process's pace, not the machine's clock
    }

    const CommandLine command = ParseBinaryPath(record.binaryPath, [](const std::wstring& candidate) {
      auto host = HostProgram(candidate);
      std::error_code ec;
      return host && std::filesystem::is_regular_file(*host, ec);
    });
    const auto host = HostProgram(command.program);
    if (!host) {
      ::close(runLock);
      return Fail(ERROR_PATH_NOT_FOUND,
                  "the binary path \"" + WideToUtf8(command.program) + "\" is not on this machine");
    }
    LaunchRequest request;
    request.root = svc->root;
    request.serviceName = record.name;
    request.program = host->string();
    request.argv.push_back(request.program);
    for (const auto& a : command.arguments) request.argv.push_back(WideToUtf8(a));
    request.startArgs = std::move(startArgs);
    request.serviceType = record.serviceType;
    DWORD processId = 0;
    const DWORD error = SpawnSupervisor(request, runLock, &processId);
    ::close(runLock);
    return error == NO_ERROR ? TRUE : SetError(error);
  });
}

BOOL ControlServiceWithEvent(SC_HANDLE service, DWORD control, DWORD eventType, DWORD sessionId,
                             SERVICE_STATUS* status) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "ControlServiceWithEvent", [&]() -> BOOL {
    ClearErrorDetail();
    auto svc = ServiceHandle(service, 0);
    if (!svc) return FALSE;
    if (status == nullptr || !IsDefinedControl(control)) return SetError(ERROR_INVALID_PARAMETER);
    if ((svc->access & AccessNeededFor(control)) != AccessNeededFor(control)) return SetError(ERROR_ACCESS_DENIED);
    DWORD error = NO_ERROR;
    auto record = RecordOf(*svc, &error);
    if (error != NO_ERROR) return SetError(error);
    if (!record) {
      *status = Short(StoppedStatus(SERVICE_WIN32_OWN_PROCESS));
      return SetError(ERROR_SERVICE_NOT_ACTIVE);
    }
    const SERVICE_STATUS_PROCESS current = StatusOf(svc->root, *record);
    *status = Short(current);
    if (record->declared || current.dwCurrentState == SERVICE_STOPPED) {
      // Nothing to talk to: a declared service accepts nothing but interrogation.
      error = scm_testing::ControlRefusal(*status, control);
      return error == NO_ERROR ? TRUE : SetError(error);
    }
    nlohmann::json reply;
    error = AskSupervisor(FilesFor(svc->root, record->name),
                          {{"op", "control"}, {"control", control}, {"eventType", eventType}, {"sessionId", sessionId}},
                          &reply, static_cast<int>(kControlTimeoutMs) + 5000);
    if (error != NO_ERROR) return SetError(error);
    *status = Short(StatusFromJson(reply.value("status", nlohmann::json::object())));
    error = reply.value("error", DWORD{ERROR_SERVICE_REQUEST_TIMEOUT});
    if (error == NO_ERROR) {
      error = reply.value("result", DWORD{0});
      if (error != NO_ERROR) SetErrorDetail("the service's handler returned " + std::to_string(error));
    }
    return error == NO_ERROR ? TRUE : SetError(error);
  });
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "ControlService",
                                    [&]() -> BOOL { return ControlServiceWithEvent(service, control, 0, 0, status); });
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "QueryServiceStatus", [&]() -> BOOL {
    ClearErrorDetail();
    auto svc = ServiceHandle(service, SERVICE_QUERY_STATUS);
    if (!svc) return FALSE;
    if (status == nullptr) return SetError(ERROR_INVALID_PARAMETER);
    DWORD error = NO_ERROR;
    auto record = RecordOf(*svc, &error);
    if (error != NO_ERROR) return SetError(error);
    *status = Short(record ? StatusOf(svc->root, *record) : StoppedStatus(SERVICE_WIN32_OWN_PROCESS));
    return TRUE;
  });
}

BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD infoLevel, BYTE* buffer, DWORD bufSize, DWORD* bytesNeeded) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "QueryServiceStatusEx", [&]() -> BOOL {
    ClearErrorDetail();
    auto svc = ServiceHandle(service, SERVICE_QUERY_STATUS);
    if (!svc) return FALSE;
    if (infoLevel != SC_STATUS_PROCESS_INFO) return SetError(kErrorInvalidLevel);
    if (bytesNeeded == nullptr) return SetError(ERROR_INVALID_PARAMETER);
    if (!FitsOrFail(buffer, bufSize, sizeof(SERVICE_STATUS_PROCESS), bytesNeeded)) return FALSE;
    DWORD error = NO_ERROR;
    auto record = RecordOf(*svc, &error);
    if (error != NO_ERROR) return SetError(error);
    const SERVICE_STATUS_PROCESS s = record ? StatusOf(svc->root, *record) : StoppedStatus(SERVICE_WIN32_OWN_PROCESS);
    std::memcpy(buffer, &s, sizeof(s));
    return TRUE;
  });
}

BOOL QueryServiceConfig(SC_HANDLE service, QUERY_SERVICE_CONFIG* config, DWORD bufSize, DWORD* bytesNeeded) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "QueryServiceConfig", [&]() -> BOOL {
    ClearErrorDetail();
    auto svc = ServiceHandle(service, SERVICE_QUERY_CONFIG);
    if (!svc) return FALSE;
    if (bytesNeeded == nullptr) return SetError(ERROR_INVALID_PARAMETER);
    DWORD error = NO_ERROR;
    auto record = RecordOf(*svc, &error);
    if (error != NO_ERROR) return SetError(error);
    if (!record) return SetError(ERROR_SERVICE_MARKED_FOR_DELETE);
    const ServiceRecord& r = *record;
    const std::size_t needed = BufferLayout::Align(sizeof(QUERY_SERVICE_CONFIG)) + BufferLayout::Size(r.binaryPath) +
                               BufferLayout::Size(r.loadOrderGroup) + BufferLayout::Size(r.dependencies) +
                               BufferLayout::Size(r.account) + BufferLayout::Size(r.displayName);
    auto* bytes = reinterpret_cast<BYTE*>(config);
    if (!FitsOrFail(bytes, bufSize, needed, bytesNeeded)) return FALSE;
    BufferLayout layout(bytes, sizeof(QUERY_SERVICE_CONFIG));
    config->dwServiceType = r.serviceType;
    config->dwStartType = r.startType;
    config->dwErrorControl = r.errorControl;
    config->lpBinaryPathName = layout.Put(r.binaryPath);
    config->lpLoadOrderGroup = layout.Put(r.loadOrderGroup);
    config->dwTagId = r.tagId;
    config->lpDependencies = layout.Put(r.dependencies);
    config->lpServiceStartName = layout.Put(r.account);
    config->lpDisplayName = layout.Put(r.displayName);
    return TRUE;
  });
}

BOOL QueryServiceConfig2(SC_HANDLE service, DWORD infoLevel, BYTE* buffer, DWORD bufSize, DWORD* bytesNeeded) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "QueryServiceConfig2", [&]() -> BOOL {
    ClearErrorDetail();
    auto svc = ServiceHandle(service, SERVICE_QUERY_CONFIG);
    if (!svc) return FALSE;
    if (infoLevel != SERVICE_CONFIG_DESCRIPTION && infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS &&
        infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
      return SetError(kErrorInvalidLevel);
    }
    if (bytesNeeded == nullptr) return SetError(ERROR_INVALID_PARAMETER);
    DWORD error = NO_ERROR;
    auto record = RecordOf(*svc, &error);
    if (error != NO_ERROR) return SetError(error);
    if (!record) return SetError(ERROR_SERVICE_MARKED_FOR_DELETE);
    const ServiceRecord& r = *record;

    if (infoLevel == SERVICE_CONFIG_DESCRIPTION) {
      const std::size_t needed =
          BufferLayout::Align(sizeof(SERVICE_DESCRIPTION)) + (r.description ? BufferLayout::Size(*r.description) : 0);
      if (!FitsOrFail(buffer, bufSize, needed, bytesNeeded)) return FALSE;
      BufferLayout layout(buffer, sizeof(SERVICE_DESCRIPTION));
      auto* out = reinterpret_cast<SERVICE_DESCRIPTION*>(buffer);
      out->lpDescription = r.description ? layout.Put(*r.description) : nullptr;
      return TRUE;
    }
    if (infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
      if (!FitsOrFail(buffer, bufSize, sizeof(SERVICE_FAILURE_ACTIONS_FLAG), bytesNeeded)) return FALSE;
      reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(buffer)->fFailureActionsOnNonCrashFailures =
          r.failureActionsOnNonCrashFailures ? TRUE : FALSE;
      return TRUE;
    }
    const FailureActions& fa = r.failureActions;
    const std::size_t needed = BufferLayout::Align(sizeof(SERVICE_FAILURE_ACTIONS)) +
                               fa.actions.size() * sizeof(SC_ACTION) +
                               (fa.rebootMessage ? BufferLayout::Size(*fa.rebootMessage) : 0) +
                               (fa.command ? BufferLayout::Size(*fa.command) : 0);
    if (!FitsOrFail(buffer, bufSize, needed, bytesNeeded)) return FALSE;
    static_assert(alignof(SC_ACTION) <= alignof(SERVICE_FAILURE_ACTIONS) && sizeof(SC_ACTION) % alignof(wchar_t) == 0);
    BufferLayout layout(buffer, sizeof(SERVICE_FAILURE_ACTIONS));
    auto* out = reinterpret_cast<SERVICE_FAILURE_ACTIONS*>(buffer);
    out->dwResetPeriod = fa.resetPeriod;
    out->cActions = static_cast<DWORD>(fa.actions.size());
    out->lpsaActions = nullptr;
    if (!fa.actions.empty()) {
      out->lpsaActions = static_cast<SC_ACTION*>(layout.Reserve(fa.actions.size() * sizeof(SC_ACTION)));
      std::copy(fa.actions.begin(), fa.actions.end(), out->lpsaActions);
    }
    out->lpRebootMsg = fa.rebootMessage ? layout.Put(*fa.rebootMessage) : nullptr;
    out->lpCommand = fa.command ? layout.Put(*fa.command) : nullptr;
    return TRUE;
  });
}

BOOL ChangeServiceConfig2(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "ChangeServiceConfig2", [&]() -> BOOL {
    ClearErrorDetail();
    auto svc = ServiceHandle(service, SERVICE_CHANGE_CONFIG);
    if (!svc) return FALSE;
    if (infoLevel != SERVICE_CONFIG_DESCRIPTION && infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS &&
        infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
      return SetError(kErrorInvalidLevel);
    }
    if (info == nullptr) return SetError(ERROR_INVALID_PARAMETER);
    if (infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
      const auto* fa = static_cast<const SERVICE_FAILURE_ACTIONS*>(info);
      if (fa->cActions > 0 && fa->lpsaActions == nullptr) return SetError(ERROR_INVALID_PARAMETER);
      for (DWORD i = 0; fa->lpsaActions != nullptr && i < fa->cActions; ++i) {
        if (fa->lpsaActions[i].Type > SC_ACTION_RUN_COMMAND) return SetError(ERROR_INVALID_PARAMETER);
        // Restarting means starting: the caller must be allowed to.
        if (fa->lpsaActions[i].Type == SC_ACTION_RESTART && (svc->access & SERVICE_START) == 0) {
          return SetError(ERROR_ACCESS_DENIED);
        }
      }
    }
    const DWORD error = Database::Guard([&] {
      return svc->Db().Update([&](std::vector<ServiceRecord>& services) {
        ServiceRecord* s = RecordIn(services, *svc);
        if (s == nullptr || s->deletePending) return ERROR_SERVICE_MARKED_FOR_DELETE;
        // Null leaves a text as it is, an empty one removes it.
        auto apply = [](std::optional<std::wstring>& target, LPCWSTR text) {
          if (text == nullptr) return;
          target = *text == L'\0' ? std::nullopt : std::optional<std::wstring>(text);
        };
        if (infoLevel == SERVICE_CONFIG_DESCRIPTION) {
          apply(s->description, static_cast<const SERVICE_DESCRIPTION*>(info)->lpDescription);
        } else if (infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
          s->failureActionsOnNonCrashFailures =
              static_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures != FALSE;
        } else {
          const auto* fa = static_cast<const SERVICE_FAILURE_ACTIONS*>(info);
          if (fa->lpsaActions != nullptr) {
            s->failureActions.actions.assign(fa->lpsaActions, fa->lpsaActions + fa->cActions);
            s->failureActions.resetPeriod = fa->cActions > 0 ? fa->dwResetPeriod : 0;
          }
          apply(s->failureActions.rebootMessage, fa->lpRebootMsg);
          apply(s->failureActions.command, fa->lpCommand);
        }
        return NO_ERROR;
      });
    });
    return error == NO_ERROR ? TRUE : SetError(error);
  });
}

BOOL EnumServicesStatusEx(SC_HANDLE manager, DWORD infoLevel, DWORD serviceType, DWORD serviceState, BYTE* buffer,
                          DWORD bufSize, DWORD* bytesNeeded, DWORD* servicesReturned, DWORD* resumeHandle,
                          LPCWSTR groupName) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "EnumServicesStatusEx", [&]() -> BOOL {
    ClearErrorDetail();
    auto mgr = ManagerHandle(manager);
    if (!mgr) return FALSE;
    if ((mgr->access & SC_MANAGER_ENUMERATE_SERVICE) == 0) return SetError(ERROR_ACCESS_DENIED);
    if (infoLevel != SC_ENUM_PROCESS_INFO) return SetError(kErrorInvalidLevel);
    if (bytesNeeded == nullptr || servicesReturned == nullptr || (serviceType & SERVICE_TYPE_ALL) == 0 ||
        (serviceState & SERVICE_STATE_ALL) == 0) {
      return SetError(ERROR_INVALID_PARAMETER);
    }
    std::vector<ServiceRecord> services;
    if (const DWORD error = Database::Guard([&] {
          services = mgr->Db().Load();
          return NO_ERROR;
        });
        error != NO_ERROR) {
      return SetError(error);
    }
    struct Entry {
      const ServiceRecord* record;
      SERVICE_STATUS_PROCESS status;
      std::size_t size;
    };
    std::vector<Entry> selected;
    for (const auto& s : services) {
      if ((s.serviceType & serviceType) == 0) continue;
      if (groupName != nullptr && !EqualsNoCase(s.loadOrderGroup, groupName)) continue;
      const SERVICE_STATUS_PROCESS status = StatusOf(mgr->root, s);
      const bool active = status.dwCurrentState != SERVICE_STOPPED;
      if (!((active && (serviceState & SERVICE_ACTIVE) != 0) || (!active && (serviceState & SERVICE_INACTIVE) != 0))) {
        continue;
      }
      selected.push_back(
          {&s, status,
           sizeof(ENUM_SERVICE_STATUS_PROCESS) + BufferLayout::Size(s.name) + BufferLayout::Size(s.displayName)});
    }
    const std::size_t first = resumeHandle != nullptr ? *resumeHandle : 0;
    // Entries go at the front, their strings at the back, so that as many whole entries
    // as fit are returned.
    const std::size_t usable = bufSize & ~(alignof(wchar_t) - 1);  // strings stay aligned from the end down
    std::size_t used = 0;
    std::size_t count = 0;
    for (std::size_t i = first; i < selected.size() && used + selected[i].size <= usable && buffer != nullptr; ++i) {
      used += selected[i].size;
      ++count;
    }
    std::size_t remaining = 0;
    for (std::size_t i = first + count; i < selected.size(); ++i) remaining += selected[i].size;
    BYTE* stringEnd = buffer != nullptr ? buffer + usable : nullptr;
    auto* entries = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESS*>(buffer);
    for (std::size_t k = 0; k < count; ++k) {
      const Entry& e = selected[first + k];
      auto put = [&](const std::wstring& text) {
        stringEnd -= BufferLayout::Size(text);
        std::memcpy(stringEnd, text.c_str(), BufferLayout::Size(text));
        return reinterpret_cast<LPWSTR>(stringEnd);
      };
      entries[k].lpServiceName = put(e.record->name);
      entries[k].lpDisplayName = put(e.record->displayName);
      entries[k].ServiceStatusProcess = e.status;
    }
    *servicesReturned = static_cast<DWORD>(count);
    *bytesNeeded = static_cast<DWORD>(remaining);
    if (first + count < selected.size()) {
      if (resumeHandle != nullptr) *resumeHandle = static_cast<DWORD>(first + count);
      return SetError(ERROR_MORE_DATA);
    }
    if (resumeHandle != nullptr) *resumeHandle = 0;
    return TRUE;
  });
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "CloseServiceHandle", [&]() -> BOOL {
    if (!base::detail::LookupHandleAs<ScObject>(handle) || !base::detail::RemoveHandle(handle))
      return SetError(ERROR_INVALID_HANDLE);
    return TRUE;
  });
}

// --- Watching --------------------------------------------------------------------------

struct ServiceStatusWatch::State {
  DWORD openError = NO_ERROR;
  int fd = -1;
  std::deque<SERVICE_STATUS_PROCESS> pending;  // reports read from the files
};

ServiceStatusWatch::ServiceStatusWatch(SC_HANDLE service, From from) : state_(std::make_unique<State>()) {
  ClearErrorDetail();
  auto svc = ServiceHandle(service, SERVICE_QUERY_STATUS);
  if (!svc) {
    state_->openError = GetLastError();
    return;
  }
  DWORD error = NO_ERROR;
  auto record = RecordOf(*svc, &error);
  if (error != NO_ERROR) {
    state_->openError = error;
    return;
  }
  if (!record) {
    state_->pending.push_back(StoppedStatus(SERVICE_WIN32_OWN_PROCESS));
    return;
  }
  const ServiceFiles files = FilesFor(svc->root, record->name);
  if (!record->declared) {
    const int fd = ConnectUnixSocket(files.socket);
    if (fd >= 0 && SendFrame(fd, {{"op", "watch"}, {"from", from == From::Launch ? "launch" : "now"}})) {
      if (from == From::Launch) {
        state_->fd = fd;
        return;
      }
      // "Now" is the moment of this call, not the moment the supervisor gets to the
      // request: wait for the current status, so that a control sent next is seen.
      nlohmann::json first;
      if (ReadFrame(fd, &first, kWatchStartTimeoutMs) == ReadStatus::kOk) {
        state_->pending.push_back(StatusFromJson(first.value("status", nlohmann::json::object())));
        state_->fd = fd;
        return;
      }
    }
    if (fd >= 0) ::close(fd);
  }
  // No supervisor: what the last one recorded.
  if (from == From::Launch && !record->declared) {
    std::ifstream in(files.events);
    std::string line;
    while (std::getline(in, line)) {
      auto j = nlohmann::json::parse(line, nullptr, false);
      if (j.is_object()) state_->pending.push_back(StatusFromJson(j.value("status", nlohmann::json::object())));
    }
  }
  if (state_->pending.empty()) state_->pending.push_back(StatusOf(svc->root, *record));
}

ServiceStatusWatch::~ServiceStatusWatch() {
  if (state_->fd >= 0) ::close(state_->fd);
}

BOOL ServiceStatusWatch::Next(SERVICE_STATUS_PROCESS* status, DWORD timeoutMs) {
  if (state_->openError != NO_ERROR) return SetError(state_->openError);
  if (status == nullptr) return SetError(ERROR_INVALID_PARAMETER);
  if (!state_->pending.empty()) {
    *status = state_->pending.front();
    state_->pending.pop_front();
    return TRUE;
  }
  if (state_->fd < 0) return SetError(ERROR_NO_MORE_ITEMS);
  nlohmann::json message;
  const int timeout = timeoutMs == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(timeoutMs, INT_MAX));
  switch (ReadFrame(state_->fd, &message, timeout)) {
    case ReadStatus::kOk:
      *status = StatusFromJson(message.value("status", nlohmann::json::object()));
      return TRUE;
    case ReadStatus::kTimeout:
      return SetError(ERROR_TIMEOUT);
    default:
      ::close(state_->fd);
      state_->fd = -1;
      return SetError(ERROR_NO_MORE_ITEMS);
  }
}

}  // namespace platform
