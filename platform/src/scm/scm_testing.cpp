// The seams platform/scm_testing.h offers beyond the channel: a look at, and a
// stand-in for, a service's supervisor.
#include <unistd.h>

#include "platform/scm_testing.h"
#include "platform/src/scm/scm_internal.h"

namespace platform::scm_testing {

bool SupervisorAlive(const std::filesystem::path& root, std::wstring_view serviceName) {
  return scm::detail::IsLockedByOther(scm::detail::FilesFor(root, serviceName).lock);
}

StrandedSupervisor::StrandedSupervisor(const std::filesystem::path& root, std::wstring_view serviceName,
                                       const SERVICE_STATUS_PROCESS& status) {
  const auto files = scm::detail::FilesFor(root, serviceName);
  socket_ = files.socket;
  std::error_code ec;
  std::filesystem::create_directories(files.dir, ec);
  lockFd_ = scm::detail::OpenLockFile(files.lock);
  if (lockFd_ < 0) return;
  scm::detail::StatusRecord record;
  record.status = status;
  if (!scm::detail::TryLockExclusive(lockFd_) ||
      !scm::detail::WriteFileAtomically(files.status, scm::detail::RecordToJson(record).dump())) {
    ::close(lockFd_);
    lockFd_ = -1;
  }
}

StrandedSupervisor::~StrandedSupervisor() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

DWORD ServiceProcessId(const wchar_t* serviceName) {
  SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager != nullptr ? OpenService(manager, serviceName, SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (service != nullptr) {
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    CloseServiceHandle(service);
  }
  if (manager != nullptr) CloseServiceHandle(manager);
  return status.dwProcessId;
}

}  // namespace platform::scm_testing
