// Starting programs on the interactive user's desktop: which token, and what is left
// behind when a step fails.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sessions.h"
#include "platform/sync.h"
#include "service/bridge/keyboard_bridge.h"
#include "service/bridge/testing/bridge_test_support.h"

namespace RpcServer {
namespace {

using Korvo::Shared::LogLevel;
using platform::machine_sessions::Processes;

constexpr const char* kLaunch = "RpcServer::CKeyBoardBridge::LaunchProcess";
constexpr const wchar_t* kProgram = L"C:\\Windows\\System32\\msinfo32.exe";

using testing::TestBridge;

// Whether "SeTcbPrivilege" is enabled in this process's token; none when the token
// cannot be read (a fault on the very calls that read it).
std::optional<bool> TcbEnabled() {
  platform::HANDLE token = nullptr;
  if (!platform::OpenProcessToken(platform::GetCurrentProcess(), platform::TOKEN_QUERY, &token)) return std::nullopt;
  platform::LUID tcb{};
  platform::DWORD length = 0;
  std::optional<bool> enabled;
  platform::GetTokenInformation(token, platform::TokenPrivileges, nullptr, 0, &length);
  std::vector<unsigned char> buffer(length);
  if (length != 0 && platform::LookupPrivilegeValue(nullptr, L"SeTcbPrivilege", &tcb) &&
      platform::GetTokenInformation(token, platform::TokenPrivileges, buffer.data(), length, &length)) {
    const auto* privileges = reinterpret_cast<const platform::TOKEN_PRIVILEGES*>(buffer.data());
    enabled = false;
    for (platform::DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      const auto& p = privileges->Privileges[i];
      if (p.Luid.LowPart == tcb.LowPart && p.Luid.HighPart == tcb.HighPart) {
        enabled = (p.Attributes & platform::SE_PRIVILEGE_ENABLED) != 0;
      }
    }
  }
  platform::CloseHandle(token);
  return enabled;
}

// Disables "SeTcbPrivilege" in this process's token, as a service that has not asked
// for it yet has it; false when the calls needed fail.
bool DisableTcb() {
  platform::HANDLE token = nullptr;
  if (!platform::OpenProcessToken(platform::GetCurrentProcess(), platform::TOKEN_ADJUST_PRIVILEGES, &token)) {
    return false;
  }
  platform::TOKEN_PRIVILEGES state{};
  state.PrivilegeCount = 1;
  const bool ok = platform::LookupPrivilegeValue(nullptr, L"SeTcbPrivilege", &state.Privileges[0].Luid) &&
                  platform::AdjustTokenPrivileges(token, platform::FALSE, &state, 0, nullptr, nullptr);
  platform::CloseHandle(token);
  return ok;
}

class ProcessLauncherTest : public testing::BridgeTest {
 protected:
  void SetUp() override { BridgeTest::SetUp(); }
  void Place() { platform::testing::WriteHostFile(Host(kProgram), "not a host program"); }

  // The rows of the process table started from `path`.
  static std::vector<platform::MachineProcess> Started(const std::wstring& name) {
    std::vector<platform::MachineProcess> rows;
    for (const auto& p : Processes()) {
      if (p.name == name) rows.push_back(p);
    }
    return rows;
  }
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

TEST_F(ProcessLauncherTest, EachTokenSourceGivesTheTokenItsUserShouldHave) {
  struct Case {
    bool administrator;
    int source;
    platform::TOKEN_ELEVATION_TYPE expected;
  };
  const Case cases[] = {
      {true, CKeyBoardBridge::kActiveSessionToken, platform::TokenElevationTypeLimited},
      {true, CKeyBoardBridge::kElevatedUserToken, platform::TokenElevationTypeFull},
      {false, CKeyBoardBridge::kActiveSessionToken, platform::TokenElevationTypeDefault},
      {false, CKeyBoardBridge::kElevatedUserToken, platform::TokenElevationTypeDefault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.administrator ? "administrator" : "standard user") + ", token source " +
                 std::to_string(c.source));
    auto profile = DefaultProfile();
    profile["users"]["alex"]["administrator"] = c.administrator;
    if (!c.administrator) profile["users"]["alex"].erase("elevation");
    Boot(profile);
    Place();
    TestBridge bridge(Data());
    EXPECT_NE(bridge.LaunchProcess(kProgram, L"", c.source), 0);
    const auto rows = Started(L"msinfo32.exe");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].user, L"alex");
    EXPECT_EQ(rows[0].elevationType, c.expected);
    EXPECT_TRUE(rows[0].uiAccess);
  }
}

TEST_F(ProcessLauncherTest, AFailingStepLeavesNoHandleBlockOrPrivilegeBehind) {
  struct Case {
    nlohmann::json faults;
    int source;
    std::wstring line;
  };
  const int active = CKeyBoardBridge::kActiveSessionToken;
  const int elevated = CKeyBoardBridge::kElevatedUserToken;
  const Case cases[] = {
      {{{"OpenProcessToken", 5}}, active, L"OpenProcessToken failed. Error: 0x00000005"},
      {{{"LookupPrivilegeValue", 5}}, active, L"LookupPrivilegeValue failed. Error: 0x00000005"},
      {{{"AdjustTokenPrivileges", 5}}, active, L"AdjustTokenPrivileges failed. Error: 0x00000005"},
      // Without the session's token the user's shell gives its own; without both, nothing.
      {{{"WTSQueryUserToken", 5}, {"OpenProcess", 5}}, active, L"GetActiveSessionToken failed"},
      {{{"WTSQueryUserToken", 5}}, elevated, L"GetElevatedUserToken failed"},
      {{{"GetTokenInformation", 5}}, elevated, L"GetElevatedUserToken failed"},
      {{{"DuplicateTokenEx", 5}}, active, L"DuplicateTokenEx failed. Error: 0x00000005"},
      {{{"SetTokenInformation", 5}}, active, L"SetTokenInformation (TokenUIAccess) failed. Error: 0x00000005"},
      {{{"CreateEnvironmentBlock", 5}}, elevated, L"CreateEnvironmentBlock failed. Error: 0x00000005"},
      {{{"CreateProcessAsUser", 5}}, elevated, L"CreateProcessAsUser failed. Error: 0x00000005"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults.dump() + ", token source " + std::to_string(c.source));
    auto profile = DefaultProfile();
    profile["faults"] = c.faults;
    Boot(profile);
    Place();
    DisableTcb();
    const std::optional<bool> tcbBefore = TcbEnabled();
    TestBridge bridge(Data());
    ClearLines();
    const std::size_t handles = platform::OpenHandleCount();
    const std::size_t blocks = platform::EnvironmentBlockCount();

    EXPECT_EQ(bridge.LaunchProcess(kProgram, L"", c.source), 0);
    EXPECT_TRUE(Logged(LogLevel::Error, c.line, kLaunch));
    EXPECT_TRUE(Started(L"msinfo32.exe").empty());
    EXPECT_EQ(platform::OpenHandleCount(), handles);
    EXPECT_EQ(platform::EnvironmentBlockCount(), blocks);
    EXPECT_EQ(TcbEnabled(), tcbBefore) << "the privilege is put back as it was";
  }
}

TEST_F(ProcessLauncherTest, ALaunchEnablesTheTcbPrivilegeOnlyWhileItRuns) {
  Boot();
  Place();
  ASSERT_TRUE(DisableTcb());
  ASSERT_EQ(TcbEnabled(), false);
  TestBridge bridge(Data());
  const std::size_t handles = platform::OpenHandleCount();
  const std::size_t blocks = platform::EnvironmentBlockCount();
  EXPECT_NE(bridge.LaunchProcess(kProgram, L"", CKeyBoardBridge::kActiveSessionToken), 0)
      << "UI access needs the privilege the launch enables";
  EXPECT_EQ(Started(L"msinfo32.exe").size(), 1u);
  EXPECT_EQ(TcbEnabled(), false);
  EXPECT_EQ(platform::OpenHandleCount(), handles);
  EXPECT_EQ(platform::EnvironmentBlockCount(), blocks);
}

}  // namespace
}  // namespace RpcServer
