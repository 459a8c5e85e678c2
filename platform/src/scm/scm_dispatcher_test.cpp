// The service's side of the control manager, driven in-process through the test
// controller: dispatcher start-up, handler registration, status reports, controls and
// the end of the dispatcher.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/scm.h"
#include "platform/scm_testing.h"
#include "platform/testing/service_controller.h"

namespace platform {
namespace {

using testing::FakeServiceController;

constexpr DWORD kWait = 5000;

// The tiny service the tests run. Function pointers cannot carry state, so it lives
// here; each test resets it.
struct TinyService {
  std::mutex lock;
  std::condition_variable cv;
  bool stopRequested = false;
  bool mainDone = false;
  bool holdInStartPending = false;  // stays in START_PENDING until released
  bool released = false;
  DWORD accepts = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;
  DWORD stopExitCode = NO_ERROR;
  std::vector<std::wstring> argv;
  struct Call {
    DWORD control, eventType, sessionId;
    bool onMainThread;
  };
  std::vector<Call> calls;
  std::thread::id mainThread;
  SERVICE_STATUS_HANDLE handle = nullptr;
  DWORD registerError = 0;

  void Report(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS s{
        SERVICE_WIN32_OWN_PROCESS, state, state == SERVICE_RUNNING ? accepts : 0, exitCode, 0, checkPoint, waitHint};
    SetServiceStatus(handle, &s);
  }
};

TinyService* g_service = nullptr;

DWORD TinyHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  auto* service = static_cast<TinyService*>(context);
  DWORD session = 0;
  if (control == SERVICE_CONTROL_SESSIONCHANGE && eventData != nullptr) {
    auto* n = static_cast<WTSSESSION_NOTIFICATION*>(eventData);
    session = n->cbSize == sizeof(WTSSESSION_NOTIFICATION) ? n->dwSessionId : 0xFFFFFFFF;
  }
  {
    std::lock_guard guard(service->lock);
    service->calls.push_back({control, eventType, session, std::this_thread::get_id() == service->mainThread});
  }
  switch (control) {
    case SERVICE_CONTROL_STOP: {
      service->Report(SERVICE_STOP_PENDING, 1, 3000);
      std::lock_guard guard(service->lock);
      service->stopRequested = true;
      service->cv.notify_all();
      return NO_ERROR;
    }
    case 200:
      return 4321;  // a service-defined control with a result of its own
    default:
      return NO_ERROR;
  }
}

void TinyMain(DWORD argc, LPWSTR* argv) {
  TinyService& s = *g_service;
  {
    std::lock_guard guard(s.lock);
    s.mainThread = std::this_thread::get_id();
    for (DWORD i = 0; i < argc; ++i) s.argv.emplace_back(argv[i]);
  }
  s.handle = RegisterServiceCtrlHandlerEx(L"TinySvc", TinyHandler, &s);
  s.registerError = GetLastError();
  if (s.handle == nullptr) {
    std::lock_guard guard(s.lock);
    s.mainDone = true;
    s.cv.notify_all();
    return;
  }
  s.Report(SERVICE_START_PENDING, 1, 2000);
  {
    std::unique_lock guard(s.lock);
    s.cv.wait(guard, [&] { return !s.holdInStartPending || s.released; });
  }
  s.Report(SERVICE_RUNNING);
  {
    std::unique_lock guard(s.lock);
    s.cv.wait(guard, [&] { return s.stopRequested; });
  }
  // The handler may still be waiting for its own report while this one goes out.
  s.Report(SERVICE_STOP_PENDING, 2, 1000);
  s.Report(SERVICE_STOPPED, 0, 0, s.stopExitCode);
  std::lock_guard guard(s.lock);
  s.mainDone = true;
  s.cv.notify_all();
}

SERVICE_TABLE_ENTRY g_table[] = {{const_cast<LPWSTR>(L"TinySvc"), TinyMain}, {nullptr, nullptr}};

class ScmDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { g_service = &service_; }
  void TearDown() override {
    // No service main of this test may outlive it.
    std::unique_lock guard(service_.lock);
    service_.stopRequested = service_.released = true;
    service_.cv.notify_all();
    service_.cv.wait_for(guard, std::chrono::seconds(5),
                         [&] { return service_.mainDone || service_.mainThread == std::thread::id{}; });
    g_service = nullptr;
  }
  std::vector<DWORD> States(const FakeServiceController& c) {
    std::vector<DWORD> out;
    for (const auto& r : c.Reports()) out.push_back(r.dwCurrentState);
    return out;
  }
  TinyService service_;
};

// The cases where threads of the service and of the controller race.
class ScmDispatcherConcurrencyTest : public ScmDispatcherTest {};

TEST_F(ScmDispatcherTest, WithoutAChannelTheControllerCannotBeReached) {
  ASSERT_EQ(::unsetenv("KORVO_SCM_CHANNEL"), 0);
  SetLastError(0);
  EXPECT_FALSE(StartServiceCtrlDispatcher(g_table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

  // A number that names something other than a socket is no channel either.
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  ASSERT_EQ(::setenv("KORVO_SCM_CHANNEL", std::to_string(pipeFds[0]).c_str(), 1), 0);
  EXPECT_FALSE(StartServiceCtrlDispatcher(g_table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  ASSERT_EQ(::setenv("KORVO_SCM_CHANNEL", "12abc", 1), 0);
  EXPECT_FALSE(StartServiceCtrlDispatcher(g_table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  ::unsetenv("KORVO_SCM_CHANNEL");
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);

  EXPECT_FALSE(StartServiceCtrlDispatcher(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ScmDispatcherTest, RunsTheServiceAndDeliversControls) {
  FakeServiceController controller(g_table, L"TinySvc", {L"--fast", L"two words"});
  ASSERT_TRUE(controller.WaitForState(SERVICE_RUNNING, kWait));
  {
    std::lock_guard guard(service_.lock);
    EXPECT_EQ(service_.argv, (std::vector<std::wstring>{L"TinySvc", L"--fast", L"two words"}));
  }
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_INTERROGATE), NO_ERROR);
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_POWEREVENT, 0x12), NO_ERROR);
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_SESSIONCHANGE, 7, 3), NO_ERROR);
  EXPECT_EQ(controller.SendControl(200), 4321u);
  // Not accepted: refused before the service sees them.
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_PAUSE), ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_SHUTDOWN), ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_DEVICEEVENT), ERROR_INVALID_PARAMETER);

  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_STOP), NO_ERROR);
  ASSERT_TRUE(controller.WaitForState(SERVICE_STOPPED, kWait));
  EXPECT_TRUE(controller.JoinDispatcher());
  EXPECT_EQ(controller.DispatcherLastError(), NO_ERROR);
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_INTERROGATE), ERROR_SERVICE_NOT_ACTIVE);

  EXPECT_EQ(States(controller), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                                    SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  const auto reports = controller.Reports();
  EXPECT_EQ(reports[0].dwCheckPoint, 1u);
  EXPECT_EQ(reports[0].dwWaitHint, 2000u);
  EXPECT_EQ(reports[1].dwControlsAccepted, service_.accepts);
  EXPECT_EQ(reports[2].dwCheckPoint, 1u);  // the handler's
  EXPECT_EQ(reports[3].dwCheckPoint, 2u);  // the service main's

  std::lock_guard guard(service_.lock);
  ASSERT_EQ(service_.calls.size(), 5u);
  EXPECT_EQ(service_.calls[0].control, SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(service_.calls[1].control, SERVICE_CONTROL_POWEREVENT);
  EXPECT_EQ(service_.calls[1].eventType, 0x12u);
  EXPECT_EQ(service_.calls[2].control, SERVICE_CONTROL_SESSIONCHANGE);
  EXPECT_EQ(service_.calls[2].eventType, 7u);
  EXPECT_EQ(service_.calls[2].sessionId, 3u);
  EXPECT_EQ(service_.calls[3].control, 200u);
  EXPECT_EQ(service_.calls[4].control, SERVICE_CONTROL_STOP);
  for (const auto& c : service_.calls) EXPECT_FALSE(c.onMainThread) << "handlers run on the dispatcher thread";
}

TEST_F(ScmDispatcherTest, RefusesControlsWhileStartIsPending) {
  service_.holdInStartPending = true;
  FakeServiceController controller(g_table);
  ASSERT_TRUE(controller.WaitForState(SERVICE_START_PENDING, kWait));
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_STOP), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_INTERROGATE), NO_ERROR);
  {
    std::lock_guard guard(service_.lock);
    service_.released = true;
    service_.cv.notify_all();
  }
  ASSERT_TRUE(controller.WaitForState(SERVICE_RUNNING, kWait));
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_STOP), NO_ERROR);
  ASSERT_TRUE(controller.WaitForState(SERVICE_STOPPED, kWait));
  EXPECT_TRUE(controller.JoinDispatcher());
}

TEST_F(ScmDispatcherTest, RegistrationNeedsTheRunningServicesName) {
  EXPECT_EQ(RegisterServiceCtrlHandlerEx(L"TinySvc", TinyHandler, nullptr), nullptr);  // no dispatcher
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

  FakeServiceController controller(g_table);
  ASSERT_TRUE(controller.WaitForState(SERVICE_RUNNING, kWait));
  EXPECT_EQ(RegisterServiceCtrlHandlerEx(L"OtherSvc", TinyHandler, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(RegisterServiceCtrlHandlerEx(L"TinySvc", nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // Names compare without case; the same service keeps its status handle.
  EXPECT_EQ(RegisterServiceCtrlHandlerEx(L"tinysvc", TinyHandler, &service_), service_.handle);

  SERVICE_STATUS bad{SERVICE_WIN32_OWN_PROCESS, 99, 0, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(service_.handle, &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  SERVICE_STATUS good{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x4444), &good));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // A second dispatcher in the same process is refused and the channel it was given closed.
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  scm_testing::SetDispatcherChannel(fds[1]);
  EXPECT_FALSE(StartServiceCtrlDispatcher(g_table));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  char byte;
  EXPECT_EQ(::read(fds[0], &byte, 1), 0) << "the dispatcher's end was closed";
  ::close(fds[0]);

  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_STOP), NO_ERROR);
  ASSERT_TRUE(controller.WaitForState(SERVICE_STOPPED, kWait));
  EXPECT_TRUE(controller.JoinDispatcher());
  // The status handle ends with the dispatcher.
  EXPECT_FALSE(SetServiceStatus(service_.handle, &good));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ScmDispatcherTest, UnknownServiceOfAMultiServiceTable) {
  SERVICE_TABLE_ENTRY table[] = {
      {const_cast<LPWSTR>(L"First"), TinyMain}, {const_cast<LPWSTR>(L"Second"), TinyMain}, {nullptr, nullptr}};
  FakeServiceController controller(table, L"Third");
  EXPECT_FALSE(controller.JoinDispatcher());
  EXPECT_EQ(controller.DispatcherLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_TRUE(controller.Reports().empty());
}

TEST_F(ScmDispatcherTest, ChannelCloseEndsTheDispatcher) {
  FakeServiceController controller(g_table);
  ASSERT_TRUE(controller.WaitForState(SERVICE_RUNNING, kWait));
  controller.CloseChannel();
  EXPECT_TRUE(controller.JoinDispatcher());
  // The service main, left alone, cannot report any more.
  SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(service_.handle, &s));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ScmDispatcherTest, EachTestItsOwnControllerOneAfterAnother) {
  for (int round = 0; round < 3; ++round) {
    TinyService fresh;
    g_service = &fresh;
    fresh.stopExitCode = 100 + round;
    {
      FakeServiceController controller(g_table);
      ASSERT_TRUE(controller.WaitForState(SERVICE_RUNNING, kWait)) << round;
      ASSERT_EQ(controller.SendControl(SERVICE_CONTROL_STOP), NO_ERROR);
      ASSERT_TRUE(controller.WaitForState(SERVICE_STOPPED, kWait));
      EXPECT_TRUE(controller.JoinDispatcher());
      EXPECT_EQ(controller.CurrentStatus().dwWin32ExitCode, 100u + round);
    }
    std::unique_lock guard(fresh.lock);
    fresh.cv.wait(guard, [&] { return fresh.mainDone; });
  }
  g_service = &service_;
}

// A handler that waits for the service main while the service main reports must not
// hang: reports are taken off the channel by a reader of their own.
struct WaitingService {
  std::mutex lock;
  std::condition_variable cv;
  bool stop = false;
  bool mainReported = false;
  bool done = false;
  SERVICE_STATUS_HANDLE handle = nullptr;
};
WaitingService* g_waiting = nullptr;

DWORD WaitingHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  WaitingService& s = *g_waiting;
  if (control != SERVICE_CONTROL_STOP) return NO_ERROR;
  std::unique_lock guard(s.lock);
  s.stop = true;
  s.cv.notify_all();
  s.cv.wait(guard, [&] { return s.mainReported; });
  return NO_ERROR;
}

void WaitingMain(DWORD, LPWSTR*) {
  WaitingService& s = *g_waiting;
  s.handle = RegisterServiceCtrlHandlerEx(L"Waiting", WaitingHandler, nullptr);
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
  SetServiceStatus(s.handle, &status);
  {
    std::unique_lock guard(s.lock);
    s.cv.wait(guard, [&] { return s.stop; });
  }
  for (DWORD checkPoint = 1; checkPoint <= 3; ++checkPoint) {
    status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, checkPoint, 500};
    SetServiceStatus(s.handle, &status);
  }
  {
    std::lock_guard guard(s.lock);
    s.mainReported = true;
    s.cv.notify_all();
  }
  status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  SetServiceStatus(s.handle, &status);
  std::lock_guard guard(s.lock);
  s.done = true;
  s.cv.notify_all();
}

TEST_F(ScmDispatcherConcurrencyTest, HandlerWaitingForTheServiceMainDoesNotHang) {
  WaitingService service;
  g_waiting = &service;
  SERVICE_TABLE_ENTRY table[] = {{const_cast<LPWSTR>(L"Waiting"), WaitingMain}, {nullptr, nullptr}};
  {
    FakeServiceController controller(table);
    ASSERT_TRUE(controller.WaitForState(SERVICE_RUNNING, kWait));
    EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_STOP, 0, 0, kWait), NO_ERROR);
    ASSERT_TRUE(controller.WaitForState(SERVICE_STOPPED, kWait));
    EXPECT_TRUE(controller.JoinDispatcher());
    const auto reports = controller.Reports();
    ASSERT_EQ(reports.size(), 5u);
    for (DWORD i = 1; i <= 3; ++i) EXPECT_EQ(reports[i].dwCheckPoint, i);
  }
  std::unique_lock guard(service.lock);
  service.cv.wait(guard, [&] { return service.done; });
  g_waiting = nullptr;
}

TEST_F(ScmDispatcherConcurrencyTest, ManyControlsFromManyThreads) {
  FakeServiceController controller(g_table);
  ASSERT_TRUE(controller.WaitForState(SERVICE_RUNNING, kWait));
  std::atomic<int> wrong{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const DWORD result =
            (i % 2 == 0) ? controller.SendControl(200) : controller.SendControl(SERVICE_CONTROL_SESSIONCHANGE, 5, t);
        if (result != (i % 2 == 0 ? 4321u : NO_ERROR)) ++wrong;
      }
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(wrong.load(), 0);
  {
    std::lock_guard guard(service_.lock);
    EXPECT_EQ(service_.calls.size(), 100u);
  }
  EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_STOP), NO_ERROR);
  ASSERT_TRUE(controller.WaitForState(SERVICE_STOPPED, kWait));
  EXPECT_TRUE(controller.JoinDispatcher());
}

}  // namespace
}  // namespace platform
