// The main service on a machine: its start under a service controller of the test's own,
// the RPC server's work item and a failing start, the notification program, session
// changes and power events renewing the hotkey set-up through the bridge.
#include "service/host/main_service.h"

#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/eventlog.h"
#include "platform/sessions.h"
#include "platform/testing/service_controller.h"
#include "platform/text.h"
#include "service/bridge/testing/bridge_test_support.h"
#include "service/host/testing/fake_rpc_server.h"
#include "service/host/varnel_main.h"

namespace RpcServer {
namespace {

using Korvo::Shared::LogLevel;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace platform;
namespace fake = RpcServer::testing;

const std::wstring kFolder = testing::kServiceFolder;
const std::wstring kPeltry = kFolder + L"\\KorvoPeltry.exe";

class MainServiceTest : public testing::BridgeTest {
 protected:
  // The service with this test's bridge, built on its first use like the process's one.
  class Service : public CMainService {
   public:
    explicit Service(MainServiceTest& test) : CMainService(L"Varnel"), m_test(test) {}

   protected:
    CKeyBoardBridge* KeyBoardBridge(WMIData* pWMIData) override { return m_test.Bridge(pWMIData); }
    MainServiceTest& m_test;
  };

  void SetUp() override {
    BridgeTest::SetUp();
    fake::ResetFakeRpcServer();
  }
  void TearDown() override {
    ResetBridge();
    fake::ResetFakeRpcServer();
    BridgeTest::TearDown();
  }
  CKeyBoardBridge* Bridge(WMIData* pWMIData) {
    std::lock_guard guard(m_bridgeLock);
    if (!m_bridge) m_bridge = std::make_unique<testing::TestBridge>(pWMIData);
    return m_bridge.get();
  }
  void ResetBridge() {
    std::lock_guard guard(m_bridgeLock);
    m_bridge.reset();
  }

  // The notification program as a file beside the service: a launch makes it an entry
  // of the process table.
  void BootWithNotificationProgram(const nlohmann::json& profile) {
    Boot(profile);
    platform::testing::WriteHostFile(Host(kPeltry), "not a host program");
  }
  static std::vector<MachineProcess> Peltry() {
    std::vector<MachineProcess> out;
    for (auto& p : machine_sessions::Processes()) {
      if (p.name == L"KorvoPeltry.exe") out.push_back(p);
    }
    return out;
  }
  static std::vector<std::wstring> EventTexts() {
    std::vector<std::wstring> texts;
    for (const auto& e : eventlog::ReadAll()) texts.push_back(e.strings.at(0));
    return texts;
  }
  // What `function` said at Information.
  std::vector<std::wstring> Said(const char* function) const {
    std::vector<std::wstring> out;
    for (const auto& line : Lines()) {
      if (line.level == LogLevel::Information && line.function == function) out.push_back(line.message);
    }
    return out;
  }
  int ActivationHandlersCreated() const {
    return Count(LogLevel::TraceIn, L"", "RpcServer::AppSection::CAppActivationHandler::CAppActivationHandler");
  }

  std::mutex m_bridgeLock;
  std::unique_ptr<testing::TestBridge> m_bridge;
  SERVICE_TABLE_ENTRY m_table[2];
};

TEST_F(MainServiceTest, StartsWithItsIdentityRecoveryAndServerAndStopsThemAll) {
  BootWithNotificationProgram(DefaultProfile());
  std::ostringstream installed;
  InstallService(L"Varnel", L"Korvo Vesk Service", L"Korvo Tallisk Service", SERVICE_AUTO_START, L"", nullptr, nullptr,
                 installed);
  {
    Service service(*this);
    EXPECT_NE(CMainService::GetWMIData(), nullptr) << "the service publishes its instance";
    CServiceBase::PrepareServiceTable(service, m_table);
    platform::testing::FakeServiceController controller(m_table);
    ASSERT_TRUE(controller.WaitForState(SERVICE_RUNNING, 10000));
    ASSERT_TRUE(fake::WaitUntilRpcServerListening(10000));
    EXPECT_THAT(
        Said("RpcServer::CMainService::OnStart"),
        ElementsAre(kFolder + L"\\Varnel.exe", L"Path: (" + kFolder + L")", L"Korvo Vesk Service (7.0.5.1) in OnStart",
                    L"Korvo Vesk Service Restart Recovery On Failure set status : 0",
                    L"Launch Hotkey notification from the session id : 1"));
    ASSERT_EQ(Peltry().size(), 1u);
    EXPECT_EQ(Peltry()[0].sessionId, 1u);

    EXPECT_EQ(controller.SendControl(SERVICE_CONTROL_STOP), NO_ERROR);
    ASSERT_TRUE(controller.WaitForState(SERVICE_STOPPED, 10000));
    EXPECT_TRUE(controller.JoinDispatcher());
    EXPECT_FALSE(m_bridge->HasHotKeyHandler()) << "the stop releases the hotkey handler";
  }
  EXPECT_EQ(CMainService::GetWMIData(), nullptr);
  EXPECT_FALSE(fake::IsRpcServerListening());
  // The destructor waited for the work item: its last event is there.
  EXPECT_THAT(EventTexts(),
              ElementsAre(L"Korvo Vesk Service (7.0.5.1) in OnStart", L"RpcServerMonitoringThread - Entry",
                          L"Korvo Vesk Service in OnStop", L"RpcServerMonitoringThread - Exit"));
}

TEST_F(MainServiceTest, AServerThatCannotStartStopsTheServiceThroughTheStopPath) {
  Boot();
  fake::SetRpcServerStartStatus(1722);
  fake::HoldRpcServerStart(true);  // fails only once the service reported running
  {
    Service service(*this);
    CServiceBase::PrepareServiceTable(service, m_table);
    platform::testing::FakeServiceController controller(m_table);
    ASSERT_TRUE(controller.WaitForState(SERVICE_RUNNING, 10000));
    fake::HoldRpcServerStart(false);
    ASSERT_TRUE(controller.WaitForState(SERVICE_STOPPED, 10000));
    EXPECT_TRUE(controller.JoinDispatcher());
    EXPECT_EQ(controller.Reports().at(2).dwCurrentState, SERVICE_STOP_PENDING) << "the base's stop wrapper";
  }
  EXPECT_THAT(Said("RpcServer::CMainService::RpcServerMonitoringThread"),
              ElementsAre(L"RpcServerStart Failed to start with return status 1722"));
  EXPECT_THAT(Said("RpcServer::CMainService::OnStart"),
              Contains(L"Korvo Vesk Service Restart Recovery On Failure set status : -1"))
      << "not installed";
  EXPECT_THAT(EventTexts(), Contains(L"Korvo Vesk Service in OnStop"));
}

TEST_F(MainServiceTest, TheNotificationProgramStartsUnlessItRunsInTheUsersSession) {
  auto inUsersSession = DefaultProfile(), inSessionZero = DefaultProfile(), noPanel = DefaultProfile();
  const std::string path = WideToUtf8(kPeltry);
  inUsersSession["processes"].push_back(
      {{"name", "KorvoPeltry.exe"}, {"path", path}, {"session", 1}, {"user", "alex"}, {"pid", 9000000}});
  inSessionZero["processes"].push_back(
      {{"name", "KorvoPeltry.exe"}, {"path", path}, {"session", 0}, {"user", "SYSTEM"}, {"pid", 9000004}});
  // Only the modern firmware component answers for the privacy panel.
  Firmware(noPanel)["legacy"]["present"] = false;
  Firmware(noPanel)["settings"]["PrivacyPanelState"] = 0;
  const struct {
    const char* what;
    nlohmann::json profile;
    std::size_t running;  // KorvoPeltry.exe processes afterwards
    std::wstring lastSaid;
  } cases[] = {
      {"in the user's session", inUsersSession, 1,
       L"RunNotificationApplication - Already running or could not fetch status!!! HRESULT = 0x0, ProcessID = 9000000"},
      {"in session 0", inSessionZero, 2, L"ProcessID = 9000004, Proc-SessionID = 0, ProcessIdToSessionId Return = 1"},
      {"no panel", noPanel, 0, L"Privacy Support = 0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    BootWithNotificationProgram(c.profile);
    Service(*this).RunNotificationApplication();
    EXPECT_EQ(Peltry().size(), c.running);
    EXPECT_EQ(Said("RpcServer::CMainService::RunNotificationApplication").back(), c.lastSaid);
    if (c.running == 2) {
      EXPECT_EQ(Peltry().back().sessionId, 1u) << "launched in the user's session";
    }
    ResetBridge();
  }
}

TEST_F(MainServiceTest, OnlyAnUnlockAfterALogOffRecreatesTheActivationHandler) {
  BootWithNotificationProgram(DefaultProfile());
  Service service(*this);
  Bridge(Data());  // built before the count starts: its handler makes one of its own
  ClearLines();
  WTSSESSION_NOTIFICATION session{sizeof(WTSSESSION_NOTIFICATION), 1};
  const auto change = [&](DWORD type) { service.SessionChange(type, &session); };

  change(7);  // lock
  change(8);  // unlock
  EXPECT_EQ(ActivationHandlersCreated(), 0);
  change(6);  // log-off
  change(8);
  change(8);
  EXPECT_EQ(ActivationHandlersCreated(), 1) << "once, for the first unlock after the log-off";
  change(5);  // log-on: a new handler and the notification program
  EXPECT_EQ(ActivationHandlersCreated(), 2);
  EXPECT_EQ(Peltry().size(), 1u);
  change(3);
  EXPECT_THAT(EventTexts(), ElementsAre(L"OnSessionChange - Type = 0x7", L"OnSessionChange - Type = 0x8",
                                        L"OnSessionChange - Type = 0x6", L"OnSessionChange - Type = 0x8",
                                        L"OnSessionChange - Type = 0x8", L"OnSessionChange - Type = 0x5",
                                        L"OnSessionChange - Type = 0x3", L"OnSessionChange-default type - 0x3"));
}

TEST_F(MainServiceTest, ResumeRenewsTheHotkeySetUpAndSuspendOnlyLogs) {
  Boot();
  Service service(*this);
  Bridge(Data());
  ClearLines();
  const auto reads = [] { return FirmwareCalls("Get", "HotKeys.SingleScanCode"); };
  const int readsBefore = reads();

  service.PowerEvent(4, nullptr);
  EXPECT_THAT(Said("RpcServer::CMainService::OnPowerEvent"), ElementsAre(L"PowerEvent - 0x4"));
  EXPECT_EQ(reads(), readsBefore);
  EXPECT_THAT(EventTexts(), IsEmpty());

  ClearLines();
  service.PowerEvent(0x12, nullptr);
  EXPECT_THAT(Said("RpcServer::CMainService::OnPowerEvent"),
              ElementsAre(L"PowerEvent - 0x12",
                          L"PowerEvent - PBT_APMRESUMEAUTOMATIC.System resuming from sleep/suspend/shutdown.",
                          L"Re-Enable Single Scan Code and Recreate App activation handler"));
  EXPECT_EQ(reads(), readsBefore + 1) << "the firmware is asked for the hotkey mode again";
  EXPECT_EQ(ActivationHandlersCreated(), 1);

  service.PowerEvent(0, nullptr);
  service.PowerEvent(0x20, nullptr);
  EXPECT_THAT(EventTexts(), ElementsAre(L"PowerEvent-default - 0x0", L"PowerEvent-default - 0x20"));
}

}  // namespace
}  // namespace RpcServer
