// Sessions of the machine: the profile's declarations and their checks, the
// terminal-services calls, and the changes the tools make.
#include <gtest/gtest.h>

#include "platform/machine.h"
#include "platform/sessions.h"
#include "platform/src/sessions/sessions_internal.h"
#include "platform/testing/machine_test.h"
#include "platform/text.h"

namespace platform {
namespace {

using nlohmann::json;

json TwoUserProfile() {
  return json::parse(R"({
    "computerName": "KORVO-T14",
    "users": {
      "alice": {"sid": "S-1-5-21-1004336348-1177238915-682003330-1001", "administrator": true},
      "bob": {"sid": "S-1-5-21-1004336348-1177238915-682003330-1002"}
    },
    "sessions": [
      {"id": 0, "station": "Services", "state": "disconnected"},
      {"id": 1, "station": "Console", "state": "connected", "console": true},
      {"id": 3, "station": "RDP-Tcp#0", "state": "active", "user": "bob"}
    ]
  })");
}

class SessionsTest : public testing::MachineTest {
 protected:
  json MachineProfile() const override { return TwoUserProfile(); }

  std::vector<WTS_SESSION_INFOW> Enumerate() {
    WTS_SESSION_INFOW* list = nullptr;
    DWORD count = 0;
    EXPECT_TRUE(WTSEnumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) << GetLastError();
    std::vector<WTS_SESSION_INFOW> out(list, list + count);
    for (auto& s : out) stations_.push_back(s.pWinStationName);
    WTSFreeMemory(list);
    return out;
  }
  std::vector<std::wstring> stations_;
};

std::string LoadError(const std::string& profileText) {
  try {
    ParseProfile(profileText, "test.json");
  } catch (const MachineError& e) {
    return e.what();
  }
  return "";
}

TEST(SessionProfileTest, BadDeclarationsAreRefusedWithTheFileThePathAndTheProblem) {
  EXPECT_EQ(LoadError(R"({"sessions": [{"id": "one", "station": "Console", "state": "active"}]})"),
            "test.json: $.sessions[0].id: must be an unsigned number, not \"one\"");
  EXPECT_EQ(LoadError(R"({"sessions": [{"id": 1, "station": "A", "state": "active"},
                                       {"id": 1, "station": "B", "state": "active"}]})"),
            "test.json: $.sessions[1].id: duplicate session id 1");
  EXPECT_EQ(LoadError(R"({"sessions": [{"id": 1, "station": "A"}]})"), "test.json: $.sessions[0].state: is required");
  EXPECT_EQ(LoadError(R"({"sessions": [{"id": 1, "station": "A", "state": "sleepy"}]})"),
            "test.json: $.sessions[0].state: unknown state \"sleepy\"");
  EXPECT_EQ(LoadError(R"({"sessions": [{"id": 1, "station": "A", "state": "active", "colour": 1}]})"),
            "test.json: $.sessions[0].colour: is not a known field");
  EXPECT_EQ(LoadError(R"({"sessions": [{"id": 1, "station": "A", "state": "active", "user": "carol"}]})"),
            "test.json: $.sessions[0].user: names no account of \"users\": \"carol\"");
  EXPECT_EQ(LoadError(R"({"users": {"carol": {"sid": "S-1-x"}}})"),
            "test.json: $.users.carol.sid: is not a SID: \"S-1-x\"");
  EXPECT_EQ(LoadError(R"({"processes": [{"name": "a.exe", "session": 1, "pid": 100}]})"),
            "test.json: $.processes[0].pid: must be at least 8388608 so that no host process has it");
  EXPECT_EQ(LoadError(R"({"processes": [{"session": 1}]})"), "test.json: $.processes[0].name: is required");
  EXPECT_EQ(LoadError(R"({"faults": {"WTSQueryUserToken": 0}})"),
            "test.json: $.faults.WTSQueryUserToken: must be a non-zero Win32 error code, not 0");
  EXPECT_EQ(LoadError(TwoUserProfile().dump()), "");
}

TEST_F(SessionsTest, EnumerationListsTheDeclaredSessionsInOrder) {
  const auto list = Enumerate();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].SessionId, 0u);
  EXPECT_EQ(stations_[0], L"Services");
  EXPECT_EQ(list[0].State, WTSDisconnected);
  EXPECT_EQ(list[1].SessionId, 1u);
  EXPECT_EQ(list[1].State, WTSConnected);
  EXPECT_EQ(list[2].SessionId, 3u);
  EXPECT_EQ(stations_[2], L"RDP-Tcp#0");
  EXPECT_EQ(list[2].State, WTSActive);
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);

  WTS_SESSION_INFOW* out = nullptr;
  DWORD count = 0;
  EXPECT_FALSE(WTSEnumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 2, &out, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SessionsTest, UserTokensComeOnlyForSessionsWithSomebodyLoggedOn) {
  HANDLE token = nullptr;
  ASSERT_TRUE(WTSQueryUserToken(3, &token)) << GetLastError();
  DWORD session = 0, size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenSessionId, &session, sizeof(session), &size));
  EXPECT_EQ(session, 3u);
  TOKEN_TYPE type{};
  ASSERT_TRUE(GetTokenInformation(token, TokenType, &type, sizeof(type), &size));
  EXPECT_EQ(type, TokenPrimary);
  CloseHandle(token);

  EXPECT_FALSE(WTSQueryUserToken(1, &token));
  EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
  EXPECT_FALSE(WTSQueryUserToken(0, &token));
  EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
  EXPECT_FALSE(WTSQueryUserToken(7, &token));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SessionsTest, QueryingAUserTokenNeedsTheTcbPrivilege) {
  HANDLE self = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &self));
  TOKEN_PRIVILEGES off{1, {{LUID{7, 0}, 0}}};
  TOKEN_PRIVILEGES before{};
  DWORD size = 0;
  ASSERT_TRUE(AdjustTokenPrivileges(self, FALSE, &off, sizeof(before), &before, &size));
  HANDLE token = nullptr;
  EXPECT_FALSE(WTSQueryUserToken(3, &token));
  EXPECT_EQ(GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
  ASSERT_TRUE(AdjustTokenPrivileges(self, FALSE, &before, 0, nullptr, nullptr));
  EXPECT_TRUE(WTSQueryUserToken(3, &token));
  CloseHandle(token);
  CloseHandle(self);
}

TEST_F(SessionsTest, ChangesFromTheToolsReachEveryProcessOfTheMachine) {
  std::string error;
  EXPECT_EQ(machine_sessions::LogOn(1, L"alice", &error), WTS_SESSION_LOGON) << error;
  EXPECT_EQ(machine_sessions::Lock(1, &error), WTS_SESSION_LOCK) << error;
  EXPECT_EQ(machine_sessions::Lock(1, &error), 0u);
  EXPECT_EQ(error, "session 1 is locked already");

  ReopenMachine();  // what another process of the machine sees
  const auto sessions = machine_sessions::Sessions();
  ASSERT_EQ(sessions.size(), 3u);
  EXPECT_EQ(sessions[1].user, L"alice");
  EXPECT_EQ(sessions[1].state, WTSActive);
  EXPECT_TRUE(sessions[1].locked);
  HANDLE token = nullptr;
  EXPECT_TRUE(WTSQueryUserToken(1, &token));
  CloseHandle(token);

  EXPECT_EQ(machine_sessions::Unlock(1, &error), WTS_SESSION_UNLOCK) << error;
  EXPECT_EQ(machine_sessions::LogOff(1, &error), WTS_SESSION_LOGOFF) << error;
  EXPECT_EQ(machine_sessions::Disconnect(3, &error), WTS_REMOTE_DISCONNECT) << error;
  EXPECT_EQ(machine_sessions::Connect(1, &error), 0u);
  EXPECT_EQ(error, "session 1 is connected already");
  EXPECT_EQ(machine_sessions::LogOn(1, L"carol", &error), 0u);
  EXPECT_EQ(error, "the machine has no user account \"carol\"");
  EXPECT_EQ(machine_sessions::LogOn(9, L"alice", &error), 0u);
  EXPECT_EQ(error, "the machine has no session 9");
  EXPECT_EQ(machine_sessions::LogOn(0, L"alice", &error), 0u);

  const auto after = Enumerate();
  EXPECT_EQ(after[1].State, WTSConnected);
  EXPECT_EQ(after[2].State, WTSDisconnected);
  EXPECT_FALSE(WTSQueryUserToken(1, &token));
  EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
}

class SessionFaultsTest : public testing::MachineTest {
 protected:
  json MachineProfile() const override {
    json p = TwoUserProfile();
    p["sessions"][2]["queryUserTokenError"] = 1008;
    p["faults"] = {{"WTSEnumerateSessions", 5}};
    p["sessions"].erase(1);  // no console session
    return p;
  }
};

TEST_F(SessionFaultsTest, InjectedFailuresAndAMachineWithoutConsole) {
  WTS_SESSION_INFOW* list = nullptr;
  DWORD count = 0;
  EXPECT_FALSE(WTSEnumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu);
  HANDLE token = nullptr;
  EXPECT_FALSE(WTSQueryUserToken(3, &token));
  EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
}

}  // namespace
}  // namespace platform
