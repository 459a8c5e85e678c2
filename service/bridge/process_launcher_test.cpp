// Starting programs on the interactive user's desktop: which token, and what is left
// behind when a step fails.
#include <memory>

#include <gtest/gtest.h>

#include "platform/sessions.h"
#include "service/bridge/keyboard_bridge.h"
#include "service/bridge/testing/bridge_test_support.h"

namespace RpcServer {
namespace {

using Korvo::Shared::LogLevel;
using platform::machine_sessions::Processes;

constexpr const char* kLaunch = "RpcServer::CKeyBoardBridge::LaunchProcess";
constexpr const wchar_t* kProgram = L"C:\\Windows\\System32\\msinfo32.exe";

using testing::TestBridge;

class ProcessLauncherTest : public testing::BridgeTest {
 protected:
  void SetUp() override { BridgeTest::SetUp(); }
  void Place() { platform::testing::WriteHostFile(Host(kProgram), "not a host program"); }
};

TEST_F(ProcessLauncherTest, WithoutAnInteractiveUserNothingStarts) {
  auto profile = DefaultProfile();
  profile["sessions"] = nlohmann::json::array({{{"id", 0}, {"station", "Services"}, {"state", "disconnected"}}});
  Boot(profile);
  Place();
  TestBridge bridge(Data());
  ClearLines();
  const auto processes = Processes().size();
  EXPECT_EQ(bridge.LaunchProcess(kProgram, L"", CKeyBoardBridge::kActiveSessionToken), 0);
  EXPECT_TRUE(Logged(LogLevel::Error, L"WTSGetActiveConsoleSessionId failed. Error: 0x00000000", kLaunch));
  EXPECT_EQ(Processes().size(), processes);
}

TEST_F(ProcessLauncherTest, AStartedProgramRunsAsTheUserWithUIAccess) {
  Boot();
  Place();
  TestBridge bridge(Data());
  ClearLines();
  EXPECT_NE(bridge.LaunchProcess(kProgram, L" /x", CKeyBoardBridge::kActiveSessionToken), 0);
  EXPECT_TRUE(Logged(LogLevel::Information, std::wstring(L"Process to launch = ") + kProgram, kLaunch));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Current Session ID = 1", kLaunch));
  bool found = false;
  for (const auto& p : Processes()) {
    if (p.name != L"msinfo32.exe") continue;
    found = true;
    EXPECT_EQ(p.user, L"alex");
    EXPECT_EQ(p.sessionId, 1u);
    EXPECT_TRUE(p.uiAccess);
    EXPECT_EQ(p.commandLine, L" /x");
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace RpcServer
