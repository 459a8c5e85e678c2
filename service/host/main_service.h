// The main service object: the service's behaviour on top of CServiceBase. At start it
// records its identity, sets its own recovery actions, starts the hotkey notification
// program in the interactive user's session and runs the RPC server on a thread-pool
// thread; it renews the hotkey set-up on resume and on session changes, and stops the
// RPC server on stop and shutdown. ConsoleRun is the diagnosis mode of the command line.
//
// It owns the process's WMIData instance, which it publishes with SetWMIData, and the
// system-information thread that fills it: the hotkey handler starts that thread on the
// first request and waits for it; the service object closes its handle when it goes.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/sync.h"
#include "platform/types.h"
#include "service/host/service_base.h"
#include "service/sysinfo/wmi_data.h"

namespace RpcServer {

class CKeyBoardBridge;

class CMainService : public CServiceBase {
 public:
  CMainService(const wchar_t* serviceName, platform::BOOL canStop = platform::TRUE,
               platform::BOOL canShutdown = platform::TRUE, platform::BOOL canPauseContinue = platform::FALSE);
  ~CMainService() override;

  // Thread-pool work that runs the RPC server until it stops listening; `context` is
  // the service object, which a failed start stops.
  static void RpcServerMonitoringThread(platform::PTP_CALLBACK_INSTANCE instance, platform::PVOID context,
                                        platform::PTP_WORK work);
  // Starts the hotkey notification program in the interactive user's session unless
  // the firmware has no privacy panel or the program already runs there.
  void RunNotificationApplication();
  // Runs the RPC server on the calling thread until it stops listening; a server that
  // cannot start ends the process with its status as the exit code.
  void ConsoleRun();

  // Starts the system-information thread unless it was started before; true when it
  // runs or has run.
  static bool ReadSysInfo();
  // The thread's body; `parameter` is the WMIData instance.
  static platform::DWORD ReadSysInfoThread(platform::LPVOID parameter);
  // Whether the reading has finished, waiting at most `milliseconds`.
  static bool IsReadSysInfoReadCompleted(platform::DWORD milliseconds);
  // Whether the thread has been started and has not ended yet, without waiting or
  // logging: while it runs, the WMIData record is being written.
  static bool IsReadSysInfoThreadRunning();

  // The process's WMIData instance, null before the service object exists and after
  // it is gone.
  static WMIData* GetWMIData() { return s_pWMIData.load(); }
  static void SetWMIData(WMIData* data) { s_pWMIData.store(data); }
  // Closes the thread handle (the service object's destructor); the handle is
  // forgotten when the close succeeds. Does not wait for the thread.
  static void CloseReadSysInfoThread();

 protected:
  void OnStart(platform::DWORD argc, platform::LPWSTR* argv) override;
  void OnStop() override;
  void OnPreShutdown() override;
  void OnShutdown() override;
  void OnPowerEvent(platform::DWORD eventType, platform::LPVOID eventData) override;
  void OnSessionChange(platform::DWORD eventType, platform::LPVOID eventData) override;

  // The keyboard bridge: the process's singleton (built on the first call with
  // `pWMIData`). Tests give the service a bridge of their own, because the singleton
  // outlives the machine of every test.
  virtual CKeyBoardBridge* KeyBoardBridge(WMIData* pWMIData);

 private:
  // Written by OnStart on the service-main thread, read by the destructor on the
  // thread that ran the dispatcher.
  std::atomic<platform::PTP_WORK> m_pRpcWork{nullptr};
  platform::CRITICAL_SECTION m_csNotification;
  // Only the control handler's thread reads and writes it.
  bool m_bLoggedOff = false;
  std::unique_ptr<WMIData> m_pWMIData;

  // The original keeps both as plain values. RPC call threads reach them at the same
  // time, so they are atomic, and the start is serialised so that two first requests
  // cannot start two threads.
  static std::atomic<WMIData*> s_pWMIData;
  static std::atomic<platform::HANDLE> m_hReadSysInfoThread;
  static std::mutex s_startLock;
};

}  // namespace RpcServer
