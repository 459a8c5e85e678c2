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

}  // namespace platform::scm_testing
