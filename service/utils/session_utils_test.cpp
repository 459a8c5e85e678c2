// Sessions, user tokens and processes as the service finds them.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/sessions.h"
#include "platform/testing/machine_test.h"
#include "platform/testing/run_program.h"
#include "service/logging/testing/log_capture.h"
#include "service/utils/korvo_process.h"
#include "service/utils/session_utils.h"

namespace {

using namespace platform;
using Korvo::Shared::testing::LogCapture;
using nlohmann::json;
namespace Level = Korvo::Shared;

constexpr const char* kUsers = R"({
  "alice": {"sid": "S-1-5-21-1004336348-1177238915-682003330-1001", "administrator": true},
  "bob": {"sid": "S-1-5-21-1004336348-1177238915-682003330-1002"}
})";

class SessionUtilsTest : public Korvo::Shared::testing::ProcessLoggerTest {
 protected:
  json MachineProfile() const override {
    json p;
    p["users"] = json::parse(kUsers);
    p["sessions"] = sessions_;
    p["processes"] = json::parse(R"([
      {"name": "explorer.exe", "session": 2, "user": "bob", "pid": 9000000},
      {"name": "explorer.exe", "session": 1, "user": "alice", "pid": 9000004},
      {"name": "svchost.exe", "session": 0, "user": "SYSTEM", "pid": 9000008}
    ])");
    return p;
  }
  void TearDown() override {
    for (const auto& p : machine_sessions::Processes()) {
      if (p.real) ::kill(static_cast<pid_t>(p.processId), SIGKILL);
    }
    ProcessLoggerTest::TearDown();
  }
  DWORD TokenSession(HANDLE token) {
    DWORD session = 0, size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenSessionId, &session, sizeof(session), &size));
    return session;
  }

  // A connected console with nobody logged on and an active remote session.
  json sessions_ = json::parse(R"([
    {"id": 0, "station": "Services", "state": "disconnected"},
    {"id": 1, "station": "Console", "state": "connected", "console": true},
    {"id": 2, "station": "RDP-Tcp#0", "state": "active", "user": "bob"}
  ])");
};

TEST_F(SessionUtilsTest, AnActiveRemoteSessionWinsOverAConnectedConsole) {
  LogCapture log;
  EXPECT_EQ(Utils::GetCurrentSessionID(), 2u);
  const char* f = "Utils::GetCurrentSessionID";
  EXPECT_TRUE(log.Has(Level::Information, f, L"Session Count = 3")) << log.Dump();
  EXPECT_TRUE(log.Has(Level::Information, f, L"pWinStationName = Console, State = 1, SessionId = 1")) << log.Dump();
  EXPECT_TRUE(log.Has(Level::Information, f, L"Session 2 is the Active session")) << log.Dump();
  EXPECT_TRUE(log.Has(Level::TraceOut, f, L"Session Id = 2")) << log.Dump();
}

class NoActiveSessionTest : public SessionUtilsTest {
 protected:
  void SetUp() override {
    sessions_[2]["state"] = "disconnected";
    SessionUtilsTest::SetUp();
  }
};

TEST_F(NoActiveSessionTest, TheConsoleSessionIsTakenAtTheLogOnScreen) {
  EXPECT_EQ(Utils::GetCurrentSessionID(), 1u);
}

class NoSessionAtAllTest : public SessionUtilsTest {
 protected:
  void SetUp() override {
    sessions_ = json::parse(R"([{"id": 0, "station": "Services", "state": "disconnected"}])");
    SessionUtilsTest::SetUp();
  }
};

TEST_F(NoSessionAtAllTest, WithoutAConsoleSessionTheResultIsZero) {
  LogCapture log;
  EXPECT_EQ(Utils::GetCurrentSessionID(), 0u);
  EXPECT_EQ(log.Count(Level::Error, "Utils::GetCurrentSessionID"), 1) << log.Dump();
  EXPECT_TRUE(log.Has(Level::TraceOut, "Utils::GetCurrentSessionID", L"Session Id = 0")) << log.Dump();
  EXPECT_EQ(Utils::GetActiveSessionToken(0), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(log.Has(Level::Error, "Utils::GetActiveSessionToken", L"Error : No Active sessions found."));
  EXPECT_EQ(log.Count(Level::TraceOut, "Utils::GetActiveSessionToken"), 0) << "an early return writes no TraceOut";
}

TEST_F(SessionUtilsTest, TheSessionsOwnTokenComesFirstAndImpersonationIsDropped) {
  HANDLE alice = nullptr;
  ASSERT_TRUE(OpenProcessToken(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 9000004), TOKEN_ALL_ACCESS, &alice));
  ASSERT_TRUE(ImpersonateLoggedOnUser(alice));
  LogCapture log;
  HANDLE token = Utils::GetActiveSessionToken(2);
  ASSERT_NE(token, INVALID_HANDLE_VALUE);
  EXPECT_EQ(TokenSession(token), 2u);
  HANDLE thread = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread)) << "reverted to self";
  EXPECT_EQ(log.Count(Level::Error, "Utils::GetActiveSessionToken"), 0) << log.Dump();
  EXPECT_EQ(log.Count(Level::TraceOut, "Utils::GetActiveSessionToken"), 1);
  CloseHandle(token);
  CloseHandle(alice);
}

class TokenFallbackTest : public SessionUtilsTest {
 protected:
  void SetUp() override {
    sessions_[1]["user"] = "alice";
    sessions_[1]["state"] = "active";
    sessions_[1]["queryUserTokenError"] = 1008;
    SessionUtilsTest::SetUp();
  }
};

TEST_F(TokenFallbackTest, TheUsersShellOfThatSessionLendsItsToken) {
  LogCapture log;
  HANDLE token = Utils::GetActiveSessionToken(1);
  ASSERT_NE(token, INVALID_HANDLE_VALUE) << log.Dump();
  EXPECT_EQ(TokenSession(token), 1u);
  const char* f = "Utils::GetActiveSessionToken";
  EXPECT_TRUE(
      log.Has(Level::Error, f, L"WTSQueryUserToken failed with error: 1008. Bypassing to other winlogon method"))
      << log.Dump();
  // The shell of the other session is seen and passed over.
  const char* g = "Utils::GetProcessIDInCurrentLogOn";
  EXPECT_TRUE(log.Has(Level::Verbose, g, L"Process Id: 9000000, Session Id: 2")) << log.Dump();
  EXPECT_TRUE(log.Has(Level::TraceOut, g, L"Process Id = 9000004")) << log.Dump();
  CloseHandle(token);
}

TEST_F(TokenFallbackTest, WithoutAShellTheFallbackFails) {
  HANDLE shell = OpenProcess(PROCESS_TERMINATE, FALSE, 9000004);
  ASSERT_TRUE(TerminateProcess(shell, 0));
  CloseHandle(shell);
  LogCapture log;
  EXPECT_EQ(Utils::GetActiveSessionToken(1), INVALID_HANDLE_VALUE);
  const char* f = "Utils::GetActiveSessionToken";
  EXPECT_TRUE(log.Has(Level::Error, f, L"OpenProcess with Pid 0 failed with error : 87")) << log.Dump();
  EXPECT_TRUE(log.Has(Level::Error, "Utils::GetProcessIDInCurrentLogOn",
                      L"Could not find the correct process id in the given session"));
  EXPECT_EQ(log.Count(Level::TraceOut, f), 0);
}

TEST_F(SessionUtilsTest, ProcessesOfOtherSessionsAreIgnoredAndNamesMatchByPrefix) {
  EXPECT_EQ(Utils::GetProcessIDInCurrentLogOn(1, L"explorer.exe"), 9000004u);
  EXPECT_EQ(Utils::GetProcessIDInCurrentLogOn(2, L"EXPLORER"), 9000000u);
  LogCapture log;
  EXPECT_EQ(Utils::GetProcessIDInCurrentLogOn(3, L"explorer.exe"), 0u);
  EXPECT_TRUE(log.Has(Level::Error, "Utils::GetProcessIDInCurrentLogOn",
                      L"Could not find the correct process id in the given session"));
  EXPECT_TRUE(log.Has(Level::TraceOut, "Utils::GetProcessIDInCurrentLogOn", L"Process Id = 0"));
}

TEST_F(SessionUtilsTest, FindProcessIdSearchesTheWholeMachine) {
  Korvo::Shared::CKorvoProcess process;
  DWORD id = 77;
  EXPECT_EQ(process.FindProcessID(L"", &id), E_INVALIDARG);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(process.FindProcessID(nullptr, &id), E_INVALIDARG);
  EXPECT_EQ(process.FindProcessID(L"explorer.exe", nullptr), E_POINTER);
  EXPECT_EQ(process.FindProcessID(L"nothing.exe", &id), S_OK);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(process.FindProcessID(L"SVCHOST.EXE", &id), S_OK);
  EXPECT_EQ(id, 9000008u);
  EXPECT_EQ(process.FindProcessID(L"svchost", &id), S_OK);
  EXPECT_EQ(id, 0u) << "the whole name must match";
}

TEST_F(SessionUtilsTest, KillProcessByNameEndsExactlyOneOfThreeRunningInstances) {
  const auto host = Host(L"C:\\Program Files (x86)\\Korvo\\KorvoPeltry.exe");
  std::filesystem::create_directories(host.parent_path());
  std::filesystem::copy_file("/bin/sleep", host);
  ::chmod(host.c_str(), 0755);
  HANDLE user = nullptr;
  ASSERT_TRUE(WTSQueryUserToken(2, &user));
  std::vector<DWORD> pids;
  for (int i = 0; i < 3; ++i) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring line = L"KorvoPeltry.exe 60";
    ASSERT_TRUE(CreateProcessAsUser(user, L"C:\\Program Files (x86)\\Korvo\\KorvoPeltry.exe", line.data(), nullptr,
                                    nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    pids.push_back(pi.dwProcessId);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
  CloseHandle(user);
  Korvo::Shared::CKorvoProcess process;
  EXPECT_EQ(process.KillProcessByName(nullptr), E_FAIL);
  EXPECT_EQ(process.KillProcessByName(L""), E_INVALIDARG);
  ASSERT_EQ(process.KillProcessByName(L"korvopeltry.exe"), S_OK);
  // The table sees a host process end even while it waits to be reaped.
  int listed = 0;
  ASSERT_TRUE(platform::testing::Eventually([&] {
    listed = 0;
    for (const auto& p : machine_sessions::Processes()) listed += p.name == L"KorvoPeltry.exe" ? 1 : 0;
    return listed == 2;
  })) << listed
      << " still run";
  std::vector<DWORD> left;
  for (const auto& p : machine_sessions::Processes()) left.push_back(p.processId);
  int ended = 0;
  for (DWORD pid : pids) ended += std::find(left.begin(), left.end(), pid) == left.end() ? 1 : 0;
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(process.KillProcessByName(L"nothing.exe"), S_OK);
}

}  // namespace
