#include "service/host/service_base.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "platform/testing/machine_test.h"
#include "platform/testing/service_controller.h"

namespace {

using namespace platform;
using platform::testing::FakeServiceController;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// What an operation of the test service does when called.
enum class Outcome { kOk, kWin32Error, kOtherException };

class TestService : public CServiceBase {
 public:
  explicit TestService(BOOL canPause = FALSE) : CServiceBase(L"Varnel", TRUE, TRUE, canPause) {}

  Outcome start = Outcome::kOk, stop = Outcome::kOk, pause = Outcome::kOk, resume = Outcome::kOk,
          preShutdown = Outcome::kOk, shutdown = Outcome::kOk, power = Outcome::kOk, session = Outcome::kOk;
  std::atomic<int> stops{0};
  std::atomic<DWORD> powerType{0}, sessionType{0}, sessionId{0};

 protected:
  static void Do(Outcome o) {
    if (o == Outcome::kWin32Error) throw DWORD{ERROR_ACCESS_DENIED};
    if (o == Outcome::kOtherException) throw std::runtime_error("boom");
  }
  void OnStart(DWORD, LPWSTR*) override { Do(start); }
  void OnStop() override {
    ++stops;
    Do(stop);
  }
  void OnPause() override { Do(pause); }
  void OnContinue() override { Do(resume); }
  void OnPreShutdown() override { Do(preShutdown); }
  void OnShutdown() override { Do(shutdown); }
  void OnPowerEvent(DWORD type, LPVOID) override {
    powerType = type;
    Do(power);
  }
  void OnSessionChange(DWORD type, LPVOID data) override {
    sessionType = type;
    if (data != nullptr) sessionId = static_cast<WTSSESSION_NOTIFICATION*>(data)->dwSessionId;
    Do(session);
  }
};

class ServiceBaseTest : public platform::testing::MachineTest {
 protected:
  // Starts `service` under a controller of this process and waits for `state`.
  std::unique_ptr<FakeServiceController> Launch(TestService& service, DWORD state = SERVICE_RUNNING) {
    CServiceBase::PrepareServiceTable(service, table_);
    auto controller = std::make_unique<FakeServiceController>(table_);
    EXPECT_TRUE(controller->WaitForState(state, 10000));
    return controller;
  }
  void StopAndJoin(FakeServiceController& controller) {
    if (controller.CurrentStatus().dwCurrentState != SERVICE_STOPPED) {
      EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_STOP), NO_ERROR);
      EXPECT_TRUE(controller.WaitForState(SERVICE_STOPPED, 10000));
    }
    EXPECT_TRUE(controller.JoinDispatcher());
  }
  std::vector<std::wstring> EventTexts() {
    std::vector<std::wstring> texts;
    for (const auto& e : eventlog::ReadAll()) texts.push_back(e.strings.empty() ? L"" : e.strings[0]);
    return texts;
  }
  std::vector<DWORD> States(const FakeServiceController& controller) {
    std::vector<DWORD> states;
    for (const auto& r : controller.Reports()) states.push_back(r.dwCurrentState);
    return states;
  }

  SERVICE_TABLE_ENTRY table_[2];
};

TEST_F(ServiceBaseTest, AcceptedControlsFollowTheCapabilities) {
  EXPECT_EQ(TestService().Status().dwControlsAccepted, 0x1C5u);
  EXPECT_EQ(TestService(TRUE).Status().dwControlsAccepted, 0x1C7u);
  CServiceBase bare(L"Varnel", FALSE, FALSE, FALSE);
  EXPECT_EQ(bare.Status().dwControlsAccepted, 0xC0u);
  EXPECT_EQ(bare.Status().dwServiceType, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(bare.Status().dwCurrentState, SERVICE_START_PENDING);
  CServiceBase unnamed(nullptr);
  EXPECT_STREQ(unnamed.ServiceName(), L"");
}

TEST_F(ServiceBaseTest, CheckPointsCountPendingReportsAcrossTheProcess) {
  TestService service;
  auto controller = Launch(service);
  StopAndJoin(*controller);
  auto reports = controller->Reports();
  ASSERT_THAT(reports, SizeIs(4));
  EXPECT_EQ(reports[0].dwCurrentState, SERVICE_START_PENDING);
  EXPECT_GE(reports[0].dwCheckPoint, 1u);
  EXPECT_EQ(reports[1].dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(reports[1].dwCheckPoint, 0u);
  EXPECT_EQ(reports[2].dwCurrentState, SERVICE_STOP_PENDING);
  EXPECT_EQ(reports[2].dwCheckPoint, reports[0].dwCheckPoint + 1);  // one counter for the process
  EXPECT_EQ(reports[3].dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(reports[3].dwCheckPoint, 0u);
  EXPECT_EQ(reports[3].dwControlsAccepted, 0x1C5u);
  EXPECT_EQ(service.stops, 1);
}

TEST_F(ServiceBaseTest, TheFirstReportOfAProcessCarriesCheckPointOne) {
  // The counter is process-wide, so this runs in a process of its own.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TestService service;
        auto controller = Launch(service);
        const bool first = controller->Reports().at(0).dwCheckPoint == 1;
        StopAndJoin(*controller);
        const bool second = controller->Reports().at(2).dwCheckPoint == 2;
        controller.reset();  // std::exit runs no destructor of a local: join the channel's reader now
        std::exit(first && second ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ServiceBaseTest, InterrogateReportsNothingAndRefusedControlsNeverArrive) {
  TestService service;
  auto controller = Launch(service);
  const auto before = controller->Reports().size();
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_INTERROGATE), NO_ERROR);
  EXPECT_EQ(controller->Reports().size(), before);
  // Pause is not accepted: the controller refuses it before it reaches the handler.
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_PAUSE), ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(controller->Reports().size(), before);
  StopAndJoin(*controller);
}

TEST_F(ServiceBaseTest, PowerAndSessionEventsReachTheServiceWithTheirTypes) {
  TestService service;
  auto controller = Launch(service);
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_POWEREVENT, 0x12), NO_ERROR);
  EXPECT_EQ(service.powerType, 0x12u);
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_SESSIONCHANGE, 5, 3), NO_ERROR);
  EXPECT_EQ(service.sessionType, 5u);
  EXPECT_EQ(service.sessionId, 3u);
  StopAndJoin(*controller);
  EXPECT_THAT(EventTexts(), IsEmpty());
}

TEST_F(ServiceBaseTest, StartFailuresStopTheServiceWithTheirExitCode) {
  {
    TestService service;
    service.start = Outcome::kWin32Error;
    auto controller = Launch(service, SERVICE_STOPPED);
    EXPECT_EQ(controller->CurrentStatus().dwWin32ExitCode, ERROR_ACCESS_DENIED);
    EXPECT_THAT(States(*controller), ElementsAre(SERVICE_START_PENDING, SERVICE_STOPPED));
    EXPECT_TRUE(controller->JoinDispatcher());
  }
  {
    TestService service;
    service.start = Outcome::kOtherException;
    auto controller = Launch(service, SERVICE_STOPPED);
    EXPECT_EQ(controller->CurrentStatus().dwWin32ExitCode, 0u);
    EXPECT_TRUE(controller->JoinDispatcher());
  }
  EXPECT_THAT(EventTexts(), ElementsAre(L"Service Start failed w/err 0x00000005", L"Service failed to start."));
  auto events = eventlog::ReadAll();
  EXPECT_EQ(events[0].source, L"Varnel");
  EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[0].category, 2);
  EXPECT_EQ(events[0].eventId, 0xE0000000u);
}

TEST_F(ServiceBaseTest, StopFailuresReportTheEarlierStateAgain) {
  for (Outcome outcome : {Outcome::kWin32Error, Outcome::kOtherException}) {
    TestService service;
    service.stop = outcome;
    auto controller = Launch(service);
    EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_STOP), NO_ERROR);
    EXPECT_TRUE(controller->WaitForState(SERVICE_RUNNING, 10000));
    EXPECT_THAT(States(*controller),
                ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_RUNNING));
    service.stop = Outcome::kOk;
    StopAndJoin(*controller);
  }
  EXPECT_THAT(EventTexts(), ElementsAre(L"Service Stop failed w/err 0x00000005", L"Service failed to stop."));
}

TEST_F(ServiceBaseTest, PauseAndContinueFailuresFallBack) {
  TestService service(TRUE);
  auto controller = Launch(service);
  service.pause = Outcome::kWin32Error;
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_PAUSE), NO_ERROR);
  EXPECT_TRUE(controller->WaitForState(SERVICE_RUNNING, 10000));
  service.pause = Outcome::kOk;
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_PAUSE), NO_ERROR);
  EXPECT_TRUE(controller->WaitForState(SERVICE_PAUSED, 10000));
  service.resume = Outcome::kOtherException;
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_CONTINUE), NO_ERROR);
  EXPECT_TRUE(controller->WaitForState(SERVICE_PAUSED, 10000));
  service.resume = Outcome::kWin32Error;
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_CONTINUE), NO_ERROR);
  EXPECT_TRUE(controller->WaitForState(SERVICE_PAUSED, 10000));
  service.pause = Outcome::kOtherException;
  service.resume = Outcome::kOk;
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_CONTINUE), NO_ERROR);
  EXPECT_TRUE(controller->WaitForState(SERVICE_RUNNING, 10000));
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_PAUSE), NO_ERROR);
  EXPECT_TRUE(controller->WaitForState(SERVICE_RUNNING, 10000));
  StopAndJoin(*controller);
  EXPECT_THAT(EventTexts(), ElementsAre(L"Service Pause failed w/err 0x00000005", L"Service failed to resume.",
                                        L"Service Continue failed w/err 0x00000005", L"Service failed to pause."));
}

TEST_F(ServiceBaseTest, FailedShutdownsLeaveTheServiceStopPending) {
  TestService service;
  auto controller = Launch(service);
  service.preShutdown = Outcome::kWin32Error;
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_PRESHUTDOWN), NO_ERROR);
  EXPECT_TRUE(controller->WaitForState(SERVICE_STOP_PENDING, 10000));
  EXPECT_EQ(controller->CurrentStatus().dwCurrentState, SERVICE_STOP_PENDING);
  // Stop pending accepts nothing but interrogate; end the run by closing the channel.
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_SHUTDOWN), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  controller->CloseChannel();
  controller->JoinDispatcher();
  EXPECT_THAT(EventTexts(), ElementsAre(L"Service Shutdown failed w/err 0x00000005"));
}

TEST_F(ServiceBaseTest, ShutdownStopsAndItsOtherFailureIsLogged) {
  {
    TestService service;
    auto controller = Launch(service);
    EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_SHUTDOWN), NO_ERROR);
    EXPECT_TRUE(controller->WaitForState(SERVICE_STOPPED, 10000));
    EXPECT_TRUE(controller->JoinDispatcher());
  }
  TestService service;
  service.shutdown = Outcome::kOtherException;
  auto controller = Launch(service);
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_SHUTDOWN), NO_ERROR);
  EXPECT_TRUE(controller->WaitForState(SERVICE_STOP_PENDING, 10000));
  controller->CloseChannel();
  controller->JoinDispatcher();
  EXPECT_THAT(EventTexts(), ElementsAre(L"Service failed to shut down."));
}

TEST_F(ServiceBaseTest, EventFailuresAreLoggedAndTheServiceRunsOn) {
  TestService service;
  service.power = Outcome::kWin32Error;
  service.session = Outcome::kOtherException;
  auto controller = Launch(service);
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_POWEREVENT, 4), NO_ERROR);
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_SESSIONCHANGE, 6, 1), NO_ERROR);
  service.power = Outcome::kOtherException;
  service.session = Outcome::kWin32Error;
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_POWEREVENT, 4), NO_ERROR);
  EXPECT_EQ(controller->SendControl(SERVICE_CONTROL_SESSIONCHANGE, 6, 1), NO_ERROR);
  EXPECT_EQ(controller->CurrentStatus().dwCurrentState, SERVICE_RUNNING);
  StopAndJoin(*controller);
  EXPECT_THAT(EventTexts(),
              ElementsAre(L"Service PowerEvent failed w/err 0x00000005", L"Service failed to get SessionChange.",
                          L"Service failed to get PowerEvent.", L"Service SessionChange failed w/err 0x00000005"));
}

TEST_F(ServiceBaseTest, RunFromAConsoleFailsWithTheControllerConnectError) {
  ::unsetenv("KORVO_SCM_CHANNEL");
  TestService service;
  EXPECT_FALSE(CServiceBase::Run(service));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

TEST_F(ServiceBaseTest, EventLogEntriesCarryTheirTypeIdAndAnAtMost1023CharacterText) {
  WriteEventLogEntry(EVENTLOG_INFORMATION_TYPE, L"Korvo Vesk Service (%s) in OnStart", L"7.0.5.1");
  WriteEventLogEntry(EVENTLOG_WARNING_TYPE, L"%s", std::wstring(2000, L'w'));
  WriteEventLogEntry(EVENTLOG_SUCCESS, L"ok");
  WriteEventLogEntry(EVENTLOG_ERROR_TYPE, L"CreateThreadpoolWorkfailed w/err 0x%08lx", DWORD{8});
  auto events = eventlog::ReadAll();
  ASSERT_THAT(events, SizeIs(4));
  EXPECT_EQ(events[0].strings, std::vector<std::wstring>{L"Korvo Vesk Service (7.0.5.1) in OnStart"});
  EXPECT_EQ(events[0].eventId, 0x60000000u);
  EXPECT_EQ(events[1].strings[0], std::wstring(1023, L'w'));
  EXPECT_EQ(events[1].eventId, 0xA0000000u);
  EXPECT_EQ(events[2].eventId, 0x20000000u);
  EXPECT_EQ(events[3].strings[0], L"CreateThreadpoolWorkfailed w/err 0x00000008");
  EXPECT_EQ(events[3].eventId, 0xE0000000u);
  for (const auto& e : events) EXPECT_EQ(e.category, 2);
}

}  // namespace
