// The reusable base of a service: connects one service object to the machine's service
// control manager, reports its status with check points, and turns controls into
// calls of its virtual operations. WriteEventLogEntry writes one event under the
// source "Varnel".
#pragma once

#include <mutex>

#include "platform/eventlog.h"
#include "platform/scm.h"
#include "service/logging/korvo_log.h"

// Formats `format` with `args` (the service's printf dialect) into 1024 characters,
// cutting longer messages to 1023, and reports it as one event of `type`
// (EVENTLOG_SUCCESS, _ERROR_TYPE, _WARNING_TYPE or _INFORMATION_TYPE) under "Varnel".
void WriteEventLogEntryText(platform::WORD type, const std::wstring& message);

template <class... Args>
void WriteEventLogEntry(platform::WORD type, const wchar_t* format, const Args&... args) {
  WriteEventLogEntryText(type, Korvo::Shared::detail::FormatMessage(
                                   1024, format, fmt::make_wprintf_args(Korvo::Shared::detail::LogArg(args)...)));
}

// The event id of each event type.
platform::DWORD EventIdForType(platform::WORD type);

class CServiceBase {
 public:
  // Registers `service` as the process's service and runs the dispatcher; returns
  // when the service has stopped. platform::FALSE with the last error when the dispatcher could
  // not run (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT for a program started from a
  // console).
  static platform::BOOL Run(CServiceBase& service);
  // The first half of Run: remembers `service` as the process's service and fills the
  // one-entry service table (plus the terminating entry) for the dispatcher.
  static void PrepareServiceTable(CServiceBase& service, platform::SERVICE_TABLE_ENTRY (&table)[2]);

  CServiceBase(const wchar_t* serviceName, platform::BOOL canStop = platform::TRUE,
               platform::BOOL canShutdown = platform::TRUE, platform::BOOL canPauseContinue = platform::FALSE);
  virtual ~CServiceBase();
  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  // The wrappers: report the pending state, run the virtual operation, report the
  // outcome; failures end in event-log messages, never in an exception.
  void Start(platform::DWORD argc, platform::LPWSTR* argv);
  void Stop();
  void Pause();
  void Continue();
  void PreShutdown();
  void Shutdown();
  void PowerEvent(platform::DWORD eventType, platform::LPVOID eventData);
  void SessionChange(platform::DWORD eventType, platform::LPVOID eventData);

  // A copy: the service main and the control handler change the status on their threads.
  platform::SERVICE_STATUS Status() const {
    std::lock_guard guard(m_statusLock);
    return m_serviceStatus;
  }
  const wchar_t* ServiceName() const { return m_pszServiceName; }

 protected:
  // Virtual operations; a Win32 error code may be thrown as a platform::DWORD.
  virtual void OnStart(platform::DWORD argc, platform::LPWSTR* argv);
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnPreShutdown();
  virtual void OnShutdown();
  virtual void OnPowerEvent(platform::DWORD eventType, platform::LPVOID eventData);
  virtual void OnSessionChange(platform::DWORD eventType, platform::LPVOID eventData);

  // Reports `currentState` with the exit code and wait hint; the check point is 0 for
  // running and stopped, else the next value of the process-wide counter. Safe from
  // any thread; reports are made one at a time, in the order of their check points.
  void SetServiceStatus(platform::DWORD currentState, platform::DWORD win32ExitCode = platform::NO_ERROR,
                        platform::DWORD waitHint = 0);

 private:
  static void ServiceMain(platform::DWORD argc, platform::LPWSTR* argv);
  static platform::DWORD ServiceCtrlHandler(platform::DWORD control, platform::DWORD eventType,
                                            platform::LPVOID eventData, platform::LPVOID context);

  const wchar_t* m_pszServiceName;
  // The service main (Start) and the dispatcher's thread (every other wrapper) both
  // report; the lock covers the status, its handle and the report itself.
  mutable std::mutex m_statusLock;
  platform::SERVICE_STATUS m_serviceStatus{};
  platform::SERVICE_STATUS_HANDLE m_hStatusHandle = nullptr;
};
