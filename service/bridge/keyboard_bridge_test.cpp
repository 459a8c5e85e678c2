// The keyboard bridge: the passthroughs with and without a handler, the numbered
// commands, the process's one instance, and releases that race running passthroughs.
#include "service/bridge/keyboard_bridge.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sessions.h"
#include "platform/sync.h"
#include "platform/testing/run_program.h"
#include "platform/text.h"
#include "service/bridge/testing/bridge_test_support.h"

namespace RpcServer {
namespace {

using Korvo::Shared::LogLevel;
using platform::machine_sessions::Processes;

constexpr const char* kCommand = "RpcServer::CKeyBoardBridge::ProcessCommand";
constexpr const wchar_t* kMsinfo = L"C:\\Windows\\System32\\msinfo32.exe";

using testing::TestBridge;

class KeyBoardBridgeTest : public testing::BridgeTest {
 protected:
  // Programs as plain files: started, they are entries of the process table only.
  void PlacePrograms() {
    for (const std::wstring& path : {std::wstring(kMsinfo), std::wstring(L"C:\\Windows\\System32\\control.exe"),
                                     std::wstring(testing::kServiceFolder) + L"\\KorvoPeltry.exe"}) {
      platform::testing::WriteHostFile(Host(path), "not a host program");
    }
  }
  static std::vector<platform::MachineProcess> Named(const std::wstring& name) {
    std::vector<platform::MachineProcess> out;
    for (auto& p : Processes()) {
      if (p.name == name) out.push_back(p);
    }
    return out;
  }
};

TEST_F(KeyBoardBridgeTest, TheSystemInformationCommandRestartsTheProgramInTheUsersSession) {
  auto profile = DefaultProfile();
  profile["processes"].push_back(
      {{"name", "msinfo32.exe"}, {"path", "C:\\Windows\\System32\\msinfo32.exe"}, {"session", 1}, {"user", "alex"}});
  Boot(profile);
  PlacePrograms();
  const auto before = Named(L"msinfo32.exe");
  ASSERT_EQ(before.size(), 1u);

  TestBridge bridge(Data());
  ClearLines();
  bridge.ProcessCommand(0);
  const auto after = Named(L"msinfo32.exe");
  ASSERT_EQ(after.size(), 1u) << "the running one ended, a new one started";
  EXPECT_NE(after[0].processId, before[0].processId);
  EXPECT_EQ(after[0].sessionId, 1u);
  EXPECT_EQ(after[0].user, L"alex");
  EXPECT_TRUE(after[0].uiAccess);
  EXPECT_EQ(after[0].desktop, L"winsta0\\default");
  EXPECT_TRUE(Logged(LogLevel::Information, L"KillProcessByName (msinfo32.exe) - HRESULT = 0x0", kCommand));
  EXPECT_TRUE(Logged(LogLevel::Information, L"Launching MSINFO ", kCommand));
  EXPECT_FALSE(Logged(LogLevel::Error, L"LaunchProcess failed for - MSInfo", kCommand));
}

TEST_F(KeyBoardBridgeTest, TheSystemInformationCompanionRecordsItsUserSessionAndToken) {
  Boot();  // msinfo32.exe is the built companion program
  if (!std::filesystem::is_symlink(Host(kMsinfo))) GTEST_SKIP() << "no companion program in this build";
  TestBridge bridge(Data());
  bridge.ProcessCommand(0);
  const auto started = Named(L"msinfo32.exe");
  ASSERT_EQ(started.size(), 1u);
  ASSERT_TRUE(started[0].real);
  const auto record = root() / "companions" / (std::to_string(started[0].processId) + ".json");
  const bool written = platform::testing::Eventually([&] { return std::filesystem::exists(record); }, 20000);
  if (platform::HANDLE process =
          platform::OpenProcess(platform::PROCESS_TERMINATE, platform::FALSE, started[0].processId)) {
    platform::TerminateProcess(process, 1);
    platform::CloseHandle(process);
  }
  ASSERT_TRUE(written) << "the companion wrote no " << record;
  const auto facts = nlohmann::json::parse(platform::testing::ReadHostFile(record));
  EXPECT_EQ(facts["standsFor"], "System Information");
  EXPECT_EQ(facts["user"], "alex");
  EXPECT_EQ(facts["session"], 1);
  EXPECT_EQ(facts["elevation"], "limited") << "System Information runs with the user's own token";
  EXPECT_EQ(facts["uiAccess"], true);
}

TEST_F(KeyBoardBridgeTest, TheNotificationProgramStartsFromTheServiceFolder) {
  Boot();
  PlacePrograms();
  TestBridge bridge(Data());
  ClearLines();
  bridge.ProcessCommand(2);
  const auto started = Named(L"KorvoPeltry.exe");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].path, std::wstring(testing::kServiceFolder) + L"\\KorvoPeltry.exe");
  EXPECT_EQ(started[0].user, L"alex");
  EXPECT_TRUE(Logged(LogLevel::Information,
                     L"KorvoPeltry complete path : " + std::wstring(testing::kServiceFolder) + L"\\KorvoPeltry.exe",
                     kCommand));

  ClearLines();
  bridge.ProcessCommand(3);
  const auto control = Named(L"control.exe");
  ASSERT_EQ(control.size(), 1u);
  EXPECT_EQ(control[0].commandLine, L" /name Microsoft.PowerOptions");
}

TEST_F(KeyBoardBridgeTest, UnknownCommandsOnlyTrace) {
  Boot();
  TestBridge bridge(Data());
  for (int command : {1, 7}) {
    ClearLines();
    const auto processes = Processes().size();
    bridge.ProcessCommand(command);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u) << command;
    EXPECT_EQ(lines[0].level, LogLevel::TraceIn);
    EXPECT_EQ(lines[1].level, LogLevel::TraceOut);
    EXPECT_EQ(Processes().size(), processes);
  }
}

TEST_F(KeyBoardBridgeTest, WithoutAHandlerEveryPassthroughAnswersItsEmptyValue) {
  Boot();
  TestBridge bridge(Data());
  ASSERT_TRUE(bridge.HasHotKeyHandler());
  bridge.ReleaseHotKeyHandlerInstance();
  EXPECT_FALSE(bridge.HasHotKeyHandler());
  ClearLines();
  EXPECT_EQ(bridge.GetSysInfo(), L"");
  EXPECT_EQ(bridge.GetUSBTypeCInfo(), L"");
  EXPECT_EQ(bridge.GetPrivacyPanelState(), 0);
  EXPECT_EQ(bridge.ActivateSingleScanCode(), platform::E_FAIL);
  EXPECT_FALSE(bridge.CreateAppActivationHandler());
  for (const auto& line : Lines()) {
    EXPECT_TRUE(line.level == LogLevel::TraceIn || line.level == LogLevel::TraceOut ||
                line.message == L"USB Type C Info returned =  , length = 0")
        << line.function << " " << platform::WideToUtf8(line.message);
  }
}

TEST_F(KeyBoardBridgeTest, AReleaseWaitsForThePassthroughsThatUseTheHandler) {
  Boot();
  TestBridge bridge(Data());
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  std::atomic<int> answered{0};
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&, i] {
      while (!stop.load()) {
        const std::wstring text = i % 2 ? bridge.GetSysInfo() : bridge.GetUSBTypeCInfo();
        if (!text.empty()) answered.fetch_add(1);
      }
    });
  }
  while (answered.load() < 8) std::this_thread::yield();
  bridge.ReleaseHotKeyHandlerInstance();
  bridge.CreateHotKeyHandlerInstance();
  bridge.ReleaseHotKeyHandlerInstance();
  stop.store(true);
  for (auto& t : readers) t.join();
  EXPECT_FALSE(bridge.HasHotKeyHandler());
  EXPECT_EQ(bridge.GetSysInfo(), L"");
}

TEST_F(KeyBoardBridgeTest, TheUsbCProgramIsSearchedOnEveryLaunchUntilFound) {
  Boot();
  std::filesystem::remove(Host(testing::kUsbCApp));
  TestBridge bridge(Data());
  ClearLines();
  const auto processes = Processes().size();
  bridge.LaunchUsbCApp();
  bridge.LaunchUsbCApp();
  EXPECT_EQ(Count(LogLevel::TraceOut, L"csExeName = ", "RpcServer::CKeyBoardBridge::GetUsbCAppPath"), 2);
  EXPECT_EQ(Processes().size(), processes);

  // Under the older folder only: the second search finds it, and the path is kept.
  const std::wstring older = L"C:\\Program Files (x86)\\Korvoline\\Chimewell\\Rennet.exe";
  platform::testing::WriteHostFile(Host(older), "not a host program");
  ClearLines();
  bridge.LaunchUsbCApp();
  bridge.LaunchUsbCApp();
  EXPECT_EQ(Count(LogLevel::TraceOut, L"csExeName = " + older, "RpcServer::CKeyBoardBridge::GetUsbCAppPath"), 1);
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Try again to search from this path = " + older,
                     "RpcServer::CKeyBoardBridge::GetUsbCAppPath"));
  EXPECT_EQ(Named(L"Rennet.exe").size(), 2u);
}

TEST_F(KeyBoardBridgeTest, TheProcessInstanceKeepsTheDataOfItsFirstCall) {
  Boot();
  CKeyBoardBridge* first = CKeyBoardBridge::getInstance(nullptr);
  CKeyBoardBridge* second = CKeyBoardBridge::getInstance(Data());
  EXPECT_EQ(first, second);
  EXPECT_EQ(second->SysInfoData(), nullptr);
  EXPECT_TRUE(second->HasHotKeyHandler());
  // The instance lives on; its handler must not outlive this test's machine.
  second->ReleaseHotKeyHandlerInstance();
}

}  // namespace
}  // namespace RpcServer
