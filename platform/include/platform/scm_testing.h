// Hooks that let a test play the service controller's part for a service object that
// runs in the test's own process (platform/testing/service_controller.h builds on them).
// The supervisor uses the same channel end, so a test exercises the real protocol.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/scm.h"

namespace platform::scm_testing {

// Makes the next StartServiceCtrlDispatcher call *of the calling thread* use `fd` (one
// end of a connected Unix stream socket pair) instead of KORVO_SCM_CHANNEL. The
// dispatcher takes the descriptor over and closes it when it returns. -1 cancels.
void SetDispatcherChannel(int fd);

// Why the controller refuses to send `control` to a service whose last reported
// status is `current`: ERROR_SERVICE_NOT_ACTIVE (stopped), ERROR_INVALID_PARAMETER (no
// such control), ERROR_SERVICE_CANNOT_ACCEPT_CTRL (start or stop pending; interrogate
// always passes), ERROR_INVALID_SERVICE_CONTROL (not in dwControlsAccepted), or
// NO_ERROR when it may be sent.
DWORD ControlRefusal(const SERVICE_STATUS& current, DWORD control);

// The controller's end of a service's private channel. It reads on a thread of its
// own; the callbacks run on that thread, and a status report is acknowledged (so the
// service's SetServiceStatus returns) only after onStatus returned.
class ServiceChannelEnd {
 public:
  struct Events {
    std::function<void(DWORD processId)> onConnected;     // the dispatcher started
    std::function<void(const SERVICE_STATUS&)> onStatus;  // a SetServiceStatus call
    std::function<void()> onClosed;                       // the other end is gone
  };

  // Takes `fd` over and starts reading.
  ServiceChannelEnd(int fd, Events events);
  ~ServiceChannelEnd();  // Close() and waits for the reading thread
  ServiceChannelEnd(const ServiceChannelEnd&) = delete;
  ServiceChannelEnd& operator=(const ServiceChannelEnd&) = delete;

  // The first message: which service of the program's table to run, and its start
  // arguments (without the service name, which the dispatcher puts in argv[0]).
  bool SendStart(std::wstring_view serviceName, const std::vector<std::wstring>& args);

  // Sends a control and waits for the handler's result: NO_ERROR with *handlerResult
  // set, ERROR_BROKEN_PIPE when the channel closed first, ERROR_SERVICE_REQUEST_TIMEOUT
  // after timeoutMs of real time.
  DWORD Control(DWORD control, DWORD eventType, DWORD sessionId, DWORD timeoutMs, DWORD* handlerResult);

  // Shuts the socket down; the dispatcher sees the channel close.
  void Close();
  bool Closed() const;
  // Waits (real time) until the other end closed; true when it did.
  bool WaitClosed(DWORD timeoutMs);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Whether a supervisor process holds the lock of service `serviceName` on the machine
// at `root`, that is, whether one is alive.
bool SupervisorAlive(const std::filesystem::path& root, std::wstring_view serviceName);

// Plays a supervisor that has stopped answering: holds the service's supervisor lock
// and leaves `status` as its last report, but serves no control socket. Released when
// destroyed.
class StrandedSupervisor {
 public:
  StrandedSupervisor(const std::filesystem::path& root, std::wstring_view serviceName,
                     const SERVICE_STATUS_PROCESS& status);
  ~StrandedSupervisor();
  StrandedSupervisor(const StrandedSupervisor&) = delete;
  StrandedSupervisor& operator=(const StrandedSupervisor&) = delete;

  bool holding() const { return lockFd_ >= 0; }
  // Where a live supervisor would listen for controls.
  const std::filesystem::path& socketPath() const { return socket_; }

 private:
  int lockFd_ = -1;
  std::filesystem::path socket_;
};

// The process id the controller reports for `serviceName` (SERVICE_STATUS_PROCESS), 0
// when it has none or the service cannot be queried: how a test or benchmark finds the
// service's host process to look at or to kill.
DWORD ServiceProcessId(const wchar_t* serviceName);

}  // namespace platform::scm_testing
