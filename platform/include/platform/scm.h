// The machine's service control manager.
//
// The service database is <root>/scm.json (installed services, their configuration and
// failure actions), written atomically under <root>/scm.lock so that two tools never
// lose each other's changes; a database that does not parse is never replaced: every
// call that needs it fails with ERROR_INVALID_DATA and GetServiceControlErrorDetail()
// names the file and the parse error. The profile's "services" object (third-party
// services: display name, binary path, declared state and process id) is merged in
// when the database is first created; those services report their declared status and
// accept no control (StartService of one that is declared stopped fails with
// ERROR_SERVICE_REQUEST_TIMEOUT, as a program that never connects would).
//
// A service runs as a real process supervised by a small per-service supervisor
// process started by StartService: the calling program itself, re-executed through
// /proc/self/exe, which a start-up hook of this library turns into the supervisor
// before main() runs (so any program that links StartService can start services).
// The supervisor launches the service's binary (the binary path is split the way the
// original splits a command line and mapped with MapToHost; a path starting with "/"
// is taken as a host path) with a private channel (a Unix socket pair) in
// KORVO_SCM_CHANNEL, receives its status reports, keeps the current status in
// <root>/scm/<name>.status and every report of its run in <root>/scm/<name>.events,
// accepts controls and watchers from any process of the machine on
// <root>/scm/<name>.sock, appends the service's stdout and stderr to
// <root>/scm/<name>.out, and applies the failure actions when the service dies. It
// holds a lock on <root>/scm/<name>.lock for its whole life; a status file whose
// supervisor is gone reads as stopped. A program started without that channel gets
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT from StartServiceCtrlDispatcher, as a program
// started from a console does.
//
// Differences from the original, by design:
// - DeleteService removes a stopped service at once (other processes' handles cannot
//   be counted); calls on a handle whose service is gone fail with
//   ERROR_SERVICE_MARKED_FOR_DELETE, QueryServiceStatus reports it stopped.
// - StartService returns once the process was launched; a binary that cannot be run
//   fails it with ERROR_FILE_NOT_FOUND (ERROR_PATH_NOT_FOUND for a path that does not
//   map to the host, ERROR_ACCESS_DENIED for a file that is not executable).
// - ControlService can send the controls only the system sends on the original
//   (shutdown, pre-shutdown, power events, session changes) so that the tools can
//   play the system's part; a handler's non-zero result fails the call with that code.
// - The failure actions RESTART and NONE are applied; REBOOT and RUN_COMMAND are kept
//   in the configuration but act as NONE (the simulated machine does not reboot).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/security.h"
#include "platform/types.h"

namespace platform {

using SC_HANDLE = void*;
using SERVICE_STATUS_HANDLE = void*;

// Access rights.
inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
inline constexpr DWORD SERVICE_INTERROGATE = 0x0080;
inline constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// Service types, start types, error control.
inline constexpr DWORD SERVICE_KERNEL_DRIVER = 0x00000001;
inline constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x00000002;
inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x00000010;
inline constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x00000020;
inline constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x00000100;
inline constexpr DWORD SERVICE_DRIVER = 0x0000000B;
inline constexpr DWORD SERVICE_WIN32 = 0x00000030;
inline constexpr DWORD SERVICE_TYPE_ALL = 0x0000013F;
inline constexpr DWORD SERVICE_BOOT_START = 0;
inline constexpr DWORD SERVICE_SYSTEM_START = 1;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;
inline constexpr DWORD SERVICE_ERROR_IGNORE = 0;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SERVICE_ERROR_SEVERE = 2;
inline constexpr DWORD SERVICE_ERROR_CRITICAL = 3;
inline constexpr DWORD SERVICE_NO_CHANGE = 0xFFFFFFFF;

// States.
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

// Controls and the controls a service accepts.
inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
inline constexpr DWORD SERVICE_CONTROL_PARAMCHANGE = 6;
inline constexpr DWORD SERVICE_CONTROL_NETBINDADD = 7;
inline constexpr DWORD SERVICE_CONTROL_NETBINDREMOVE = 8;
inline constexpr DWORD SERVICE_CONTROL_NETBINDENABLE = 9;
inline constexpr DWORD SERVICE_CONTROL_NETBINDDISABLE = 10;
inline constexpr DWORD SERVICE_CONTROL_DEVICEEVENT = 11;
inline constexpr DWORD SERVICE_CONTROL_HARDWAREPROFILECHANGE = 12;
inline constexpr DWORD SERVICE_CONTROL_POWEREVENT = 13;
inline constexpr DWORD SERVICE_CONTROL_SESSIONCHANGE = 14;
inline constexpr DWORD SERVICE_CONTROL_PRESHUTDOWN = 15;
inline constexpr DWORD SERVICE_CONTROL_TIMECHANGE = 16;
inline constexpr DWORD SERVICE_CONTROL_TRIGGEREVENT = 32;
// 128..255: controls a service defines for itself.
inline constexpr DWORD SERVICE_ACCEPT_STOP = 0x001;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x002;
inline constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x004;
inline constexpr DWORD SERVICE_ACCEPT_PARAMCHANGE = 0x008;
inline constexpr DWORD SERVICE_ACCEPT_NETBINDCHANGE = 0x010;
inline constexpr DWORD SERVICE_ACCEPT_HARDWAREPROFILECHANGE = 0x020;
inline constexpr DWORD SERVICE_ACCEPT_POWEREVENT = 0x040;
inline constexpr DWORD SERVICE_ACCEPT_SESSIONCHANGE = 0x080;
inline constexpr DWORD SERVICE_ACCEPT_PRESHUTDOWN = 0x100;
inline constexpr DWORD SERVICE_ACCEPT_TIMECHANGE = 0x200;
inline constexpr DWORD SERVICE_ACCEPT_TRIGGEREVENT = 0x400;

// Configuration levels of ChangeServiceConfig2.
inline constexpr DWORD SERVICE_CONFIG_DESCRIPTION = 1;
inline constexpr DWORD SERVICE_CONFIG_FAILURE_ACTIONS = 2;
inline constexpr DWORD SERVICE_CONFIG_FAILURE_ACTIONS_FLAG = 4;

inline constexpr DWORD SC_STATUS_PROCESS_INFO = 0;
inline constexpr DWORD SC_ENUM_PROCESS_INFO = 0;

// Service states EnumServicesStatusEx selects.
inline constexpr DWORD SERVICE_ACTIVE = 0x1;
inline constexpr DWORD SERVICE_INACTIVE = 0x2;
inline constexpr DWORD SERVICE_STATE_ALL = 0x3;

// dwServiceFlags of SERVICE_STATUS_PROCESS.
inline constexpr DWORD SERVICE_RUNS_IN_SYSTEM_PROCESS = 0x1;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

struct SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
};

struct ENUM_SERVICE_STATUS_PROCESS {
  LPWSTR lpServiceName;
  LPWSTR lpDisplayName;
  SERVICE_STATUS_PROCESS ServiceStatusProcess;
};

struct QUERY_SERVICE_CONFIG {
  DWORD dwServiceType;
  DWORD dwStartType;
  DWORD dwErrorControl;
  LPWSTR lpBinaryPathName;
  LPWSTR lpLoadOrderGroup;
  DWORD dwTagId;
  LPWSTR lpDependencies;  // double-NUL-terminated list
  LPWSTR lpServiceStartName;
  LPWSTR lpDisplayName;
};

struct SERVICE_DESCRIPTION {
  LPWSTR lpDescription;
};

enum SC_ACTION_TYPE : DWORD {
  SC_ACTION_NONE = 0,
  SC_ACTION_RESTART = 1,
  SC_ACTION_REBOOT = 2,
  SC_ACTION_RUN_COMMAND = 3
};

struct SC_ACTION {
  SC_ACTION_TYPE Type;
  DWORD Delay;  // milliseconds
};

struct SERVICE_FAILURE_ACTIONS {
  DWORD dwResetPeriod;  // seconds
  LPWSTR lpRebootMsg;
  LPWSTR lpCommand;
  DWORD cActions;
  SC_ACTION* lpsaActions;
};

struct SERVICE_FAILURE_ACTIONS_FLAG {
  BOOL fFailureActionsOnNonCrashFailures;
};

// Control manager side. Handles are null on failure. The size protocols are the
// original's: a buffer that is too small fails with ERROR_INSUFFICIENT_BUFFER (with
// ERROR_MORE_DATA for EnumServicesStatusEx) and sets *bytesNeeded; the strings are laid
// out inside the caller's buffer after the fixed part.
SC_HANDLE OpenSCManager(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);
SC_HANDLE CreateService(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD desiredAccess,
                        DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                        LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                        LPCWSTR password);
SC_HANDLE OpenService(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
BOOL DeleteService(SC_HANDLE service);
BOOL StartService(SC_HANDLE service, DWORD numArgs, LPCWSTR* args);
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
// For power and session-change controls the event type and session id (the tools'
// way of sending them; the original sends these only from the system itself).
BOOL ControlServiceWithEvent(SC_HANDLE service, DWORD control, DWORD eventType, DWORD sessionId,
                             SERVICE_STATUS* status);
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD infoLevel, BYTE* buffer, DWORD bufSize, DWORD* bytesNeeded);
BOOL QueryServiceConfig(SC_HANDLE service, QUERY_SERVICE_CONFIG* config, DWORD bufSize, DWORD* bytesNeeded);
BOOL ChangeServiceConfig2(SC_HANDLE service, DWORD infoLevel, LPVOID info);
BOOL QueryServiceConfig2(SC_HANDLE service, DWORD infoLevel, BYTE* buffer, DWORD bufSize, DWORD* bytesNeeded);
BOOL EnumServicesStatusEx(SC_HANDLE manager, DWORD infoLevel, DWORD serviceType, DWORD serviceState, BYTE* buffer,
                          DWORD bufSize, DWORD* bytesNeeded, DWORD* servicesReturned, DWORD* resumeHandle,
                          LPCWSTR groupName);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Service side.
using LPSERVICE_MAIN_FUNCTION = void (*)(DWORD argc, LPWSTR* argv);
using LPHANDLER_FUNCTION_EX = DWORD (*)(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
struct SERVICE_TABLE_ENTRY {
  LPWSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTION lpServiceProc;
};
BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* serviceTable);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler, LPVOID context);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, SERVICE_STATUS* status);

// Event data of a session change control.
struct WTSSESSION_NOTIFICATION {
  DWORD cbSize;
  DWORD dwSessionId;
};

// --- Extensions of this layer (no counterpart on the original) ---------------------

// A message for a person with what the last failed call of this thread ran into
// beyond its error code: the damaged database's file and parse error, the supervisor
// socket that could not be reached, ... Empty when there is nothing to add.
std::string GetServiceControlErrorDetail();

// "STOPPED", "START_PENDING", "RUNNING", ... ("UNKNOWN" for other values), as the tools
// and messages print a service state.
const char* ServiceStateName(DWORD state);

// Follows the status reports the supervisor of a service records (every report the
// service makes, with its check point and wait hint, plus the supervisor's own:
// START_PENDING at launch, STOPPED when the process ends). The handle needs
// SERVICE_QUERY_STATUS.
class ServiceStatusWatch {
 public:
  enum class From {
    Launch,  // every report since the current (or last) supervisor started
    Now,     // the current status, then the changes
  };
  ServiceStatusWatch(SC_HANDLE service, From from);
  ~ServiceStatusWatch();
  ServiceStatusWatch(const ServiceStatusWatch&) = delete;
  ServiceStatusWatch& operator=(const ServiceStatusWatch&) = delete;

  // The next report. FALSE with ERROR_NO_MORE_ITEMS once the supervisor ended and
  // every report was delivered (or there is none), ERROR_TIMEOUT when nothing came
  // within timeoutMs, ERROR_INVALID_HANDLE / ERROR_ACCESS_DENIED for the handle. The
  // time-out is real time: the reports come from other processes.
  BOOL Next(SERVICE_STATUS_PROCESS* status, DWORD timeoutMs);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform
