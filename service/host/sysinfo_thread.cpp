#include "platform/sync.h"
#include "service/host/main_service.h"
#include "service/logging/korvo_log.h"

namespace RpcServer {

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::LogLevel;
using Korvo::Shared::TraceScope;

std::atomic<WMIData*> CMainService::s_pWMIData{nullptr};
std::atomic<HANDLE> CMainService::m_hReadSysInfoThread{nullptr};
std::mutex CMainService::s_startLock;

bool CMainService::ReadSysInfo() {
  constexpr const char* kName = "RpcServer::CMainService::ReadSysInfo";
  TraceScope trace(kName);
  bool result = true;
  {
    std::lock_guard guard(s_startLock);
    if (m_hReadSysInfoThread.load() == nullptr) {
      GetLogger()->Log(LogLevel::Information, kName, L"Starting Read SysInfo Thread ");
      HANDLE thread = CreateThread(nullptr, 0, &CMainService::ReadSysInfoThread, s_pWMIData.load(), 0, nullptr);
      if (thread == nullptr) {
        GetLogger()->Log(LogLevel::Error, kName, L"Failed to create ReadSysInfo thread : %d", GetLastError());
        result = false;
      } else {
        m_hReadSysInfoThread.store(thread);
      }
    }
  }
  trace.Out(L"ReadSysInfo return = %d", result ? 1 : 0);
  return result;
}

DWORD CMainService::ReadSysInfoThread(LPVOID parameter) {
  constexpr const char* kName = "RpcServer::CMainService::ReadSysInfoThread";
  TraceScope trace(kName);
  if (parameter != nullptr) {
    static_cast<WMIData*>(parameter)->ReadSysInfo();
  } else {
    GetLogger()->Log(LogLevel::Error, kName, L"WMIData pointer is null");
  }
  return 0;
}

bool CMainService::IsReadSysInfoReadCompleted(DWORD milliseconds) {
  constexpr const char* kName = "RpcServer::CMainService::IsReadSysInfoReadCompleted";
  TraceScope trace(kName);
  HANDLE thread = m_hReadSysInfoThread.load();
  if (thread == nullptr) {
    GetLogger()->Log(LogLevel::Information, kName, L"m_hReadSysInfoThread is NULL.");
    GetLogger()->Log(LogLevel::Information, kName, L"ReadSysInfoThread already finished.");
    return true;
  }
  if (WaitForSingleObject(thread, milliseconds) == WAIT_OBJECT_0) {
    GetLogger()->Log(LogLevel::Information, kName, L"ReadSysInfoThread already finished.");
    return true;
  }
  GetLogger()->Log(LogLevel::Warning, kName, L"Reading System information from BIOS is not completed.");
  return false;
}

bool CMainService::IsReadSysInfoThreadRunning() {
  HANDLE thread = m_hReadSysInfoThread.load();
  return thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

void CMainService::CloseReadSysInfoThread() {
  std::lock_guard guard(s_startLock);
  HANDLE thread = m_hReadSysInfoThread.load();
  if (thread != nullptr && CloseHandle(thread)) m_hReadSysInfoThread.store(nullptr);
}

}  // namespace RpcServer
