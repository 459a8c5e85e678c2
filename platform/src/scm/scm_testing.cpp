// The seams platform/scm_testing.h offers beyond the channel: a look at, and a
// stand-in for, a service's supervisor.
#include <unistd.h>

#include "platform/scm_testing.h"
#include "platform/src/scm/scm_internal.h"

namespace platform::scm_testing {

bool SupervisorAlive(const std::filesystem::path& root, std::wstring_view serviceName) {
  return scm_detail::IsLockedByOther(scm_detail::FilesFor(root, serviceName).lock);
}

StrandedSupervisor::StrandedSupervisor(const std::filesystem::path& root, std::wstring_view serviceName,
                                       const SERVICE_STATUS_PROCESS& status) {
  const auto files = scm_detail::FilesFor(root, serviceName);
  socket_ = files.socket;
  std::error_code ec;
  std::filesystem::create_directories(files.dir, ec);
  lockFd_ = scm_detail::OpenLockFile(files.lock);
  if (lockFd_ < 0) return;
  scm_detail::StatusRecord record;
  record.status = status;
  if (!scm_detail::TryLockExclusive(lockFd_) ||
      !scm_detail::WriteFileAtomically(files.status, scm_detail::RecordToJson(record).dump())) {
    ::close(lockFd_);
    lockFd_ = -1;
  }
}

StrandedSupervisor::~StrandedSupervisor() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

}  // namespace platform::scm_testing
