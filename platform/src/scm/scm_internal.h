// Pieces of the service control manager shared by its parts: the database, the wire
// format of the channel and the control socket, the per-service files, command-line
// splitting and the supervisor's launch. Not part of the platform's API.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/scm.h"
#include "platform/src/base/command_line.h"
#include "platform/src/host/files.h"

namespace platform::scm::detail {

// Codes only this area reports; types.h keeps the ones shared by several areas.
inline constexpr DWORD kErrorCallNotImplemented = 120;
inline constexpr DWORD kErrorInvalidLevel = 124;
inline constexpr DWORD kErrorBadExeFormat = 193;
inline constexpr DWORD kErrorDuplicateServiceName = 1078;

// How long a program may take to call StartServiceCtrlDispatcher and how long a
// handler may take to return, as on the original. Real time: they bound other
// processes. KORVO_SCM_CONNECT_TIMEOUT_MS overrides the first (tests).
inline constexpr DWORD kConnectTimeoutMs = 30000;
inline constexpr DWORD kControlTimeoutMs = 30000;
// The wait hint the supervisor reports with its own START_PENDING, as the original.
inline constexpr DWORD kLaunchWaitHintMs = 2000;

// --- Thread's error detail ----------------------------------------------------------

void SetErrorDetail(std::string detail);
void ClearErrorDetail();
// Sets the last error (and the detail) and returns FALSE, for the API's early exits.
BOOL Fail(DWORD error, std::string detail = {});

// --- Per-service files ----------------------------------------------------------------

struct ServiceFiles {
  std::filesystem::path dir;     // <root>/scm
  std::filesystem::path status;  // current status (atomic JSON)
  std::filesystem::path events;  // every report of the supervisor's run, one JSON a line
  std::filesystem::path socket;  // the supervisor's control socket
  std::filesystem::path lock;    // held by the supervisor for its whole life
  std::filesystem::path out;     // the service's stdout and stderr
};
ServiceFiles FilesFor(const std::filesystem::path& root, std::wstring_view serviceName);

using host::IsLockedByOther;
using host::LockExclusive;
using host::LockFile;
using host::OpenLockFile;
using host::TryLockExclusive;
using host::WriteFileAtomically;

// --- Status ---------------------------------------------------------------------------

// What <name>.status holds: the status as QueryServiceStatusEx reports it plus the
// supervisor's bookkeeping, which survives the supervisor so that a failure count
// carries over to the next start.
struct StatusRecord {
  SERVICE_STATUS_PROCESS status{};
  std::uint64_t sequence = 0;  // number of the newest report of this supervisor run
  bool restartPending = false;
  DWORD failureCount = 0;
  std::uint64_t firstFailure100ns = 0;  // FILETIME of the first failure of the series
};

nlohmann::json StatusToJson(const SERVICE_STATUS_PROCESS& status);
SERVICE_STATUS_PROCESS StatusFromJson(const nlohmann::json& j);  // missing fields are 0
nlohmann::json RecordToJson(const StatusRecord& record);
StatusRecord RecordFromJson(const nlohmann::json& j);
std::optional<StatusRecord> ReadStatusFile(const std::filesystem::path& path);

inline const char* StateName(DWORD state) {
  return ServiceStateName(state);
}

// --- Controls -------------------------------------------------------------------------

bool IsDefinedControl(DWORD control);
DWORD AccessNeededFor(DWORD control);  // the service right ControlService checks
DWORD AcceptFlagFor(DWORD control);    // 0: accepted whatever the service says

// --- Framing: a 4-byte big-endian length, then that much UTF-8 JSON ------------------

inline constexpr std::uint32_t kMaxFrameBytes = 1u << 20;

bool SendFrame(int fd, const nlohmann::json& message);
enum class ReadStatus { kOk, kClosed, kTimeout, kError };
// timeoutMs < 0 waits for ever (real time otherwise).
ReadStatus ReadFrame(int fd, nlohmann::json* message, int timeoutMs = -1);

// Unix stream sockets named by path; long paths go through /proc/self/fd so that
// a deep machine root still fits sun_path. -1 with errno.
int ConnectUnixSocket(const std::filesystem::path& path);
int ListenUnixSocket(const std::filesystem::path& path);

// --- Command lines --------------------------------------------------------------------

using base::detail::SplitCommandLineArguments;

struct CommandLine {
  std::wstring program;
  std::vector<std::wstring> arguments;
};
// The program and arguments of a service's binary path: a quoted program ends at its
// closing quote; an unquoted one with spaces is tried at each space from the left
// until `exists` accepts a prefix (as the original does), else it ends at the first
// space.
CommandLine ParseBinaryPath(std::wstring_view binaryPath, const std::function<bool(const std::wstring&)>& exists);

// The host file a machine program path names: "/..." is a host path, anything else
// goes through MapToHost; "name.exe" that does not exist falls back to "name", since
// the host's programs have no extension. nullopt when the path does not map.
std::optional<std::filesystem::path> HostProgram(const std::wstring& program);

// --- The database -----------------------------------------------------------------------

class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct FailureActions {
  DWORD resetPeriod = 0;  // seconds; INFINITE never resets
  std::optional<std::wstring> rebootMessage;
  std::optional<std::wstring> command;
  std::vector<SC_ACTION> actions;
};

struct ServiceRecord {
  std::wstring name;  // as created; lookups ignore case
  std::string id;     // tells a re-created service of the same name apart
  std::wstring displayName;
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  std::wstring binaryPath;
  std::wstring loadOrderGroup;
  DWORD tagId = 0;
  std::vector<std::wstring> dependencies;
  std::wstring account = L"LocalSystem";
  std::optional<std::wstring> description;
  FailureActions failureActions;
  bool failureActionsOnNonCrashFailures = false;
  bool deletePending = false;
  // Services the machine profile declares: their status is the declared one.
  bool declared = false;
  DWORD declaredState = SERVICE_STOPPED;
  DWORD declaredProcessId = 0;
};

inline constexpr DWORD kUnchanged = 0xFFFFFFFF;

class Database {
 public:
  // `profile` supplies the declared services when the database is first created.
  Database(std::filesystem::path root, nlohmann::json profile);

  const std::filesystem::path& Path() const { return path_; }

  // Creates the database from the profile when there is none yet. Throws DatabaseError
  // for a damaged database or profile entry, std::system_error when it cannot be written.
  void EnsureExists();
  // Every service, ordered by name without regard to case.
  std::vector<ServiceRecord> Load() const;
  std::optional<ServiceRecord> Find(std::wstring_view name) const;

  // Runs `change` on the services under the database lock and writes them back when it
  // returns NO_ERROR (kUnchanged: nothing to write); returns its result, NO_ERROR for
  // kUnchanged. `whileLocked` (optional) runs after that, still under the lock.
  DWORD Update(const std::function<DWORD(std::vector<ServiceRecord>&)>& change,
               const std::function<void()>& whileLocked = {});

  // A failure of the calls above as an error code plus detail.
  static DWORD Guard(const std::function<DWORD()>& body);

 private:
  // The database's text (nullopt: none yet, the profile's services) as records;
  // throws DatabaseError when it is damaged.
  std::vector<ServiceRecord> Parse(const std::optional<std::string>& text) const;
  std::vector<ServiceRecord> ReadLocked() const;
  static std::string Serialize(const std::vector<ServiceRecord>& services);
  std::vector<ServiceRecord> ProfileServices() const;

  std::filesystem::path root_;
  std::filesystem::path path_;
  std::filesystem::path lockPath_;
  nlohmann::json profile_;
};

ServiceRecord* FindIn(std::vector<ServiceRecord>& services, std::wstring_view name);
std::string NewServiceId();

// --- The supervisor -------------------------------------------------------------------

struct LaunchRequest {
  std::filesystem::path root;
  std::wstring serviceName;
  std::string program;                  // host path
  std::vector<std::string> argv;        // argv[0] is the program
  std::vector<std::wstring> startArgs;  // StartService's arguments
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
};

// Starts the supervisor of a service whose run lock the caller holds on `runLockFd`
// (handed over to the supervisor; the caller closes its descriptor afterwards) and
// waits until it launched the service's process. NO_ERROR with *processId, or the
// error with the detail set.
DWORD SpawnSupervisor(const LaunchRequest& request, int runLockFd, DWORD* processId);

}  // namespace platform::scm::detail
