// The main service object. What is here so far is its system-information part: the
// thread that reads the machine's facts once per service run, on the first request,
// and the process-wide WMIData instance that thread fills. The hotkey handler starts
// the thread and waits for it; the service object creates the instance, publishes it
// with SetWMIData and, when it goes, closes the thread handle.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/types.h"
#include "service/sysinfo/wmi_data.h"

namespace RpcServer {

class CMainService {
 public:
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

 private:
  // The original keeps both as plain values. RPC call threads reach them at the same
  // time, so they are atomic, and the start is serialised so that two first requests
  // cannot start two threads.
  static std::atomic<WMIData*> s_pWMIData;
  static std::atomic<platform::HANDLE> m_hReadSysInfoThread;
  static std::mutex s_startLock;
};

}  // namespace RpcServer
