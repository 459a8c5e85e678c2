// Runs a service object in the test's own process without any supervisor process: the
// controller makes a socket pair, hands one end to StartServiceCtrlDispatcher (called
// on a thread of the controller's) and plays the service controller on the other end,
// over the same protocol and with the same control checks as the real supervisor.
//
//   FakeServiceController controller(table);        // starts the dispatcher
//   ASSERT_TRUE(controller.WaitForState(SERVICE_RUNNING, 5000));
//   EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_STOP), NO_ERROR);
//   ASSERT_TRUE(controller.WaitForState(SERVICE_STOPPED, 5000));
//   EXPECT_TRUE(controller.JoinDispatcher());
//
// One controller at a time per process (the original allows one dispatcher per
// process); each test makes its own. A service must stop before its controller goes:
// the destructor closes the channel and waits for the dispatcher, which then leaves a
// service main that still runs on its own.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/scm.h"
#include "platform/scm_testing.h"

namespace platform::testing {

class FakeServiceController {
 public:
  // Starts StartServiceCtrlDispatcher(table) on a new thread and sends it the start
  // message for `serviceName` (default: the table's first entry) with `args` (the
  // service main gets the name as argv[0], then these).
  explicit FakeServiceController(const SERVICE_TABLE_ENTRY* table, std::wstring serviceName = {},
                                 std::vector<std::wstring> args = {});
  ~FakeServiceController();
  FakeServiceController(const FakeServiceController&) = delete;
  FakeServiceController& operator=(const FakeServiceController&) = delete;

  // Every SetServiceStatus report so far, in order.
  std::vector<SERVICE_STATUS> Reports() const;
  // The last report; before the first one, START_PENDING accepting nothing (what the
  // supervisor records at launch).
  SERVICE_STATUS CurrentStatus() const;
  // Waits (real time) for a report of `state` made after the last SendControl was sent
  // (reports a handler makes before it returns count), or since the start when no
  // control was sent yet.
  bool WaitForState(DWORD state, DWORD timeoutMs);
  // Waits until the dispatcher said hello (it read the channel and began).
  bool WaitForConnection(DWORD timeoutMs);

  // Sends a control after the supervisor's checks: returns the refusing code
  // (ERROR_SERVICE_NOT_ACTIVE, ERROR_INVALID_SERVICE_CONTROL, ...) or the handler's
  // result; ERROR_SERVICE_REQUEST_TIMEOUT when the handler does not return in time.
  DWORD SendControl(DWORD control, DWORD eventType = 0, DWORD sessionId = 0, DWORD timeoutMs = 10000);

  // Closes the controller's end, as a supervisor that went away would.
  void CloseChannel();
  // Waits for StartServiceCtrlDispatcher to return and gives its result; the last
  // error it left is DispatcherLastError().
  BOOL JoinDispatcher();
  DWORD DispatcherLastError() const;
  // The time-out-free check: has the dispatcher returned?
  bool DispatcherReturned() const;

 private:
  mutable std::mutex lock_;
  std::condition_variable cv_;
  std::vector<SERVICE_STATUS> reports_;
  std::size_t mark_ = 0;  // first report WaitForState looks at
  bool connected_ = false;
  bool returned_ = false;
  BOOL result_ = FALSE;
  DWORD lastError_ = 0;
  std::unique_ptr<scm_testing::ServiceChannelEnd> channel_;
  std::thread dispatcher_;
};

}  // namespace platform::testing
