#include "platform/testing/service_controller.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace platform::testing {

FakeServiceController::FakeServiceController(const SERVICE_TABLE_ENTRY* table, std::wstring serviceName,
                                             std::vector<std::wstring> args) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair failed");
  scm_testing::ServiceChannelEnd::Events events;
  events.onConnected = [this](DWORD) {
    std::lock_guard guard(lock_);
    connected_ = true;
    cv_.notify_all();
  };
  events.onStatus = [this](const SERVICE_STATUS& status) {
    std::lock_guard guard(lock_);
    reports_.push_back(status);
    cv_.notify_all();
  };
  events.onClosed = [this] {
    std::lock_guard guard(lock_);
    cv_.notify_all();
  };
  channel_ = std::make_unique<scm_testing::ServiceChannelEnd>(fds[0], std::move(events));
  if (serviceName.empty() && table != nullptr && table[0].lpServiceName != nullptr) {
    serviceName = table[0].lpServiceName;
  }
  // The start message waits in the socket until the dispatcher reads it.
  channel_->SendStart(serviceName, args);
  const int dispatcherEnd = fds[1];
  dispatcher_ = std::thread([this, table, dispatcherEnd] {
    scm_testing::SetDispatcherChannel(dispatcherEnd);
    const BOOL result = StartServiceCtrlDispatcher(table);
    const DWORD error = GetLastError();
    std::lock_guard guard(lock_);
    result_ = result;
    lastError_ = error;
    returned_ = true;
    cv_.notify_all();
  });
}

FakeServiceController::~FakeServiceController() {
  CloseChannel();
  if (dispatcher_.joinable()) dispatcher_.join();
  channel_.reset();
}

std::vector<SERVICE_STATUS> FakeServiceController::Reports() const {
  std::lock_guard guard(lock_);
  return reports_;
}

SERVICE_STATUS FakeServiceController::CurrentStatus() const {
  std::lock_guard guard(lock_);
  if (reports_.empty()) return SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  return reports_.back();
}

bool FakeServiceController::WaitForState(DWORD state, DWORD timeoutMs) {
  std::unique_lock guard(lock_);
  std::size_t seen = mark_;
  return cv_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
    for (; seen < reports_.size(); ++seen) {
      if (reports_[seen].dwCurrentState == state) return true;
    }
    return false;
  });
}

bool FakeServiceController::WaitForConnection(DWORD timeoutMs) {
  std::unique_lock guard(lock_);
  return cv_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return connected_ || returned_; }) &&
         connected_;
}

DWORD FakeServiceController::SendControl(DWORD control, DWORD eventType, DWORD sessionId, DWORD timeoutMs) {
  SERVICE_STATUS current;
  {
    std::lock_guard guard(lock_);
    mark_ = reports_.size();
    current = reports_.empty() ? SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0}
                               : reports_.back();
    if (returned_) current.dwCurrentState = SERVICE_STOPPED;
  }
  if (const DWORD refusal = scm_testing::ControlRefusal(current, control); refusal != NO_ERROR) return refusal;
  DWORD result = NO_ERROR;
  const DWORD error = channel_->Control(control, eventType, sessionId, timeoutMs, &result);
  if (error == ERROR_BROKEN_PIPE) return ERROR_SERVICE_NOT_ACTIVE;
  return error != NO_ERROR ? error : result;
}

void FakeServiceController::CloseChannel() {
  channel_->Close();
}

BOOL FakeServiceController::JoinDispatcher() {
  if (dispatcher_.joinable()) dispatcher_.join();
  std::lock_guard guard(lock_);
  return result_;
}

DWORD FakeServiceController::DispatcherLastError() const {
  std::lock_guard guard(lock_);
  return lastError_;
}

bool FakeServiceController::DispatcherReturned() const {
  std::lock_guard guard(lock_);
  return returned_;
}

}  // namespace platform::testing
