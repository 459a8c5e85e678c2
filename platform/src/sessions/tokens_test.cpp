// Tokens: the program's own, users' log-on tokens with their linked halves, privileges,
// duplication, UI access, impersonation and environment blocks.
#include <cstring>
#include <functional>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/sessions.h"
#include "platform/src/sessions/sessions_internal.h"
#include "platform/sync.h"
#include "platform/testing/machine_test.h"
#include "platform/text.h"

namespace platform {
namespace {

using nlohmann::json;

constexpr const char* kAliceSid = "S-1-5-21-1004336348-1177238915-682003330-1001";

class TokensTest : public testing::MachineTest {
 protected:
  json MachineProfile() const override {
    return json::parse(R"({
      "computerName": "KORVO-T14",
      "environment": {"PROCESSOR_ARCHITECTURE": "AMD64"},
      "users": {
        "alice": {"sid": "S-1-5-21-1004336348-1177238915-682003330-1001", "administrator": true},
        "bob": {"sid": "S-1-5-21-1004336348-1177238915-682003330-1002"}
      },
      "sessions": [
        {"id": 0, "station": "Services", "state": "disconnected"},
        {"id": 1, "station": "Console", "state": "active", "console": true, "user": "alice"},
        {"id": 2, "station": "RDP-Tcp#0", "state": "active", "user": "bob"}
      ]
    })");
  }
  void TearDown() override {
    RevertToSelf();
    MachineTest::TearDown();
  }

  HANDLE UserToken(DWORD session) {
    HANDLE token = nullptr;
    EXPECT_TRUE(WTSQueryUserToken(session, &token)) << GetLastError();
    return token;
  }
  template <class T>
  T Info(HANDLE token, TOKEN_INFORMATION_CLASS infoClass) {
    T value{};
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, infoClass, &value, sizeof(value), &size)) << GetLastError();
    return value;
  }
  std::vector<BYTE> UserSid(HANDLE token) {
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(size);
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), size, &size));
    const auto* user = reinterpret_cast<TOKEN_USER*>(buffer.data());
    const auto* sid = static_cast<const BYTE*>(user->User.Sid);
    return std::vector<BYTE>(sid, sid + 8 + 4 * sid[1]);
  }
  bool Enabled(HANDLE token, DWORD luid) {
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size));
    const auto* p = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < p->PrivilegeCount; ++i) {
      if (p->Privileges[i].Luid.LowPart == luid) return (p->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    return false;
  }
};

TEST(SidBytesTest, TextAndBinaryFormsAgree) {
  const std::vector<BYTE> system = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  EXPECT_EQ(sessions::detail::SidBytes("S-1-5-18"), system);
  const auto admins = sessions::detail::SidBytes("S-1-5-32-544");
  ASSERT_EQ(admins.size(), 16u);
  EXPECT_EQ(admins[1], 2);
  EXPECT_EQ(admins[12], 0x20);  // 544 = 0x220, little endian
  EXPECT_EQ(admins[13], 0x02);
  for (const char* bad : {"", "S-1", "S-1-", "S-2-5-18", "S-1-5-x", "S-1-5-4294967296", "S-1-5--18"}) {
    EXPECT_TRUE(sessions::detail::SidBytes(bad).empty()) << bad;
  }
}

TEST_F(TokensTest, TheProgramRunsAsLocalSystemWithTheTcbPrivilege) {
  HANDLE self = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &self));
  EXPECT_EQ(UserSid(self), sessions::detail::SidBytes("S-1-5-18"));
  EXPECT_EQ(Info<DWORD>(self, TokenType), static_cast<DWORD>(TokenPrimary));
  EXPECT_EQ(Info<DWORD>(self, TokenElevationType), static_cast<DWORD>(TokenElevationTypeDefault));
  EXPECT_EQ(Info<DWORD>(self, TokenSessionId), 0u);
  EXPECT_TRUE(Enabled(self, 7));
  DWORD processSession = 99;
  EXPECT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &processSession));
  EXPECT_EQ(processSession, 0u);
  // Without TOKEN_ADJUST_PRIVILEGES nothing changes.
  TOKEN_PRIVILEGES off{1, {{LUID{7, 0}, 0}}};
  EXPECT_FALSE(AdjustTokenPrivileges(self, FALSE, &off, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(self);
}

TEST_F(TokensTest, PrivilegesAreLookedUpByNameAndAdjustedWithTheirPreviousState) {
  LUID luid{};
  ASSERT_TRUE(LookupPrivilegeValue(nullptr, L"SeTcbPrivilege", &luid));
  EXPECT_EQ(luid.LowPart, 7u);
  EXPECT_FALSE(LookupPrivilegeValue(nullptr, L"SeFlyingPrivilege", &luid));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
  wchar_t name[64];
  DWORD length = 64;
  LUID debug{20, 0};
  ASSERT_TRUE(LookupPrivilegeName(nullptr, &debug, name, &length));
  EXPECT_STREQ(name, L"SeDebugPrivilege");

  HANDLE self = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &self));
  // Enabling one the account lacks succeeds with a warning and changes nothing.
  TOKEN_PRIVILEGES lacked{1, {{LUID{2, 0}, SE_PRIVILEGE_ENABLED}}};
  EXPECT_TRUE(AdjustTokenPrivileges(self, FALSE, &lacked, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ALL_ASSIGNED);

  TOKEN_PRIVILEGES backup{1, {{LUID{17, 0}, SE_PRIVILEGE_ENABLED}}};
  TOKEN_PRIVILEGES previous{};
  DWORD size = 0;
  EXPECT_FALSE(AdjustTokenPrivileges(self, FALSE, &backup, 4, &previous, &size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(Enabled(self, 17)) << "a failed call changes nothing";
  ASSERT_TRUE(AdjustTokenPrivileges(self, FALSE, &backup, sizeof(previous), &previous, &size));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof(TOKEN_PRIVILEGES));
  EXPECT_TRUE(Enabled(self, 17));
  ASSERT_EQ(previous.PrivilegeCount, 1u);
  EXPECT_EQ(previous.Privileges[0].Attributes, 0u);

  // Another handle names the same token.
  HANDLE again = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &again));
  EXPECT_TRUE(Enabled(again, 17));
  ASSERT_TRUE(AdjustTokenPrivileges(self, FALSE, &previous, 0, nullptr, nullptr));
  EXPECT_FALSE(Enabled(again, 17));
  CloseHandle(again);
  CloseHandle(self);
}

TEST_F(TokensTest, AnAdministratorsLimitedTokenIsLinkedToItsFullHalf) {
  HANDLE alice = UserToken(1);
  EXPECT_EQ(UserSid(alice), sessions::detail::SidBytes(kAliceSid));
  EXPECT_EQ(Info<DWORD>(alice, TokenElevationType), static_cast<DWORD>(TokenElevationTypeLimited));
  EXPECT_EQ(Info<TOKEN_ELEVATION>(alice, TokenElevation).TokenIsElevated, 0u);
  const HANDLE linked = Info<TOKEN_LINKED_TOKEN>(alice, TokenLinkedToken).LinkedToken;
  ASSERT_NE(linked, nullptr);
  EXPECT_EQ(Info<DWORD>(linked, TokenElevationType), static_cast<DWORD>(TokenElevationTypeFull));
  EXPECT_EQ(Info<TOKEN_ELEVATION>(linked, TokenElevation).TokenIsElevated, 1u);
  EXPECT_EQ(Info<DWORD>(linked, TokenType), static_cast<DWORD>(TokenPrimary)) << "the caller holds SeTcbPrivilege";
  EXPECT_EQ(Info<DWORD>(linked, TokenSessionId), 1u);
  EXPECT_EQ(UserSid(linked), UserSid(alice));

  HANDLE bob = UserToken(2);
  EXPECT_EQ(Info<DWORD>(bob, TokenElevationType), static_cast<DWORD>(TokenElevationTypeDefault));
  TOKEN_LINKED_TOKEN none{};
  DWORD size = 0;
  EXPECT_FALSE(GetTokenInformation(bob, TokenLinkedToken, &none, sizeof(none), &size));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_LOGON_SESSION);
  for (HANDLE h : {alice, linked, bob}) CloseHandle(h);
}

TEST_F(TokensTest, DuplicatesAndUiAccessFollowTheRules) {
  HANDLE alice = UserToken(1);
  HANDLE primary = nullptr;
  ASSERT_TRUE(DuplicateTokenEx(alice, MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary, &primary));
  EXPECT_EQ(Info<DWORD>(primary, TokenType), static_cast<DWORD>(TokenPrimary));
  EXPECT_EQ(Info<DWORD>(primary, TokenUIAccess), 0u);

  // UI access needs SeTcbPrivilege enabled in the caller.
  HANDLE self = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &self));
  TOKEN_PRIVILEGES off{1, {{LUID{7, 0}, 0}}}, before{};
  DWORD size = 0;
  ASSERT_TRUE(AdjustTokenPrivileges(self, FALSE, &off, sizeof(before), &before, &size));
  const DWORD on = 1;
  EXPECT_FALSE(SetTokenInformation(primary, TokenUIAccess, &on, sizeof(on)));
  EXPECT_EQ(GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
  ASSERT_TRUE(AdjustTokenPrivileges(self, FALSE, &before, 0, nullptr, nullptr));
  ASSERT_TRUE(SetTokenInformation(primary, TokenUIAccess, &on, sizeof(on)));
  EXPECT_EQ(Info<DWORD>(primary, TokenUIAccess), 1u);
  EXPECT_EQ(Info<DWORD>(alice, TokenUIAccess), 0u) << "the duplicate is a token of its own";

  HANDLE identify = nullptr;
  ASSERT_TRUE(
      DuplicateTokenEx(alice, TOKEN_ALL_ACCESS, nullptr, SecurityIdentification, TokenImpersonation, &identify));
  EXPECT_EQ(Info<DWORD>(identify, TokenImpersonationLevel), static_cast<DWORD>(SecurityIdentification));
  HANDLE raised = nullptr;
  EXPECT_FALSE(DuplicateTokenEx(identify, TOKEN_ALL_ACCESS, nullptr, SecurityIdentification, TokenPrimary, &raised));
  EXPECT_EQ(GetLastError(), ERROR_BAD_IMPERSONATION_LEVEL);

  HANDLE queryOnly = nullptr;
  ASSERT_TRUE(DuplicateTokenEx(alice, TOKEN_QUERY, nullptr, SecurityIdentification, TokenPrimary, &queryOnly));
  EXPECT_FALSE(DuplicateTokenEx(queryOnly, TOKEN_ALL_ACCESS, nullptr, SecurityIdentification, TokenPrimary, &raised));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetTokenInformation(queryOnly, TokenUIAccess, &on, sizeof(on)));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  for (HANDLE h : {alice, primary, self, identify, queryOnly}) CloseHandle(h);
}

TEST_F(TokensTest, ImpersonationBelongsToOneThreadUntilItReverts) {
  HANDLE none = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &none));
  EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);

  HANDLE bob = UserToken(2);
  ASSERT_TRUE(ImpersonateLoggedOnUser(bob));
  HANDLE mine = nullptr;
  ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &mine));
  EXPECT_EQ(UserSid(mine), UserSid(bob));
  EXPECT_EQ(Info<DWORD>(mine, TokenType), static_cast<DWORD>(TokenImpersonation));

  DWORD otherError = 0;
  std::thread other([&] {
    HANDLE t = nullptr;
    OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &t);
    otherError = GetLastError();
  });
  other.join();
  EXPECT_EQ(otherError, ERROR_NO_TOKEN);

  ASSERT_TRUE(RevertToSelf());
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &none));
  EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
  CloseHandle(mine);
  CloseHandle(bob);
}

TEST_F(TokensTest, EnvironmentBlocksDescribeTheTokensUser) {
  HANDLE bob = UserToken(2);
  auto variables = [](void* block) {
    std::map<std::wstring, std::wstring> out;
    for (const char16_t* p = static_cast<const char16_t*>(block); *p != u'\0';) {
      const std::u16string_view entry(p);
      const std::wstring text = Utf16ToWide(entry);
      out[text.substr(0, text.find(L'='))] = text.substr(text.find(L'=') + 1);
      p += entry.size() + 1;
    }
    return out;
  };
  void* own = nullptr;
  ASSERT_TRUE(CreateEnvironmentBlock(&own, bob, FALSE));
  auto vars = variables(own);
  EXPECT_EQ(vars[L"USERNAME"], L"bob");
  EXPECT_EQ(vars[L"USERPROFILE"], L"C:\\Users\\bob");
  EXPECT_EQ(vars[L"APPDATA"], L"C:\\Users\\bob\\AppData\\Roaming");
  EXPECT_EQ(vars[L"HOMEPATH"], L"\\Users\\bob");
  EXPECT_EQ(vars[L"COMPUTERNAME"], L"KORVO-T14");
  EXPECT_EQ(vars[L"PROCESSOR_ARCHITECTURE"], L"AMD64");
  EXPECT_EQ(vars.count(L"PATH"), 0u);
  ASSERT_TRUE(DestroyEnvironmentBlock(own));

  ASSERT_TRUE(CreateEnvironmentBlock(&own, bob, TRUE));
  vars = variables(own);
  EXPECT_EQ(vars[L"USERNAME"], L"bob") << "the user's own variables win over the caller's";
  EXPECT_EQ(vars.count(L"PATH"), 1u) << "the caller's variables are inherited";
  ASSERT_TRUE(DestroyEnvironmentBlock(own));
  CloseHandle(bob);
}

TEST_F(TokensTest, EnvironmentBlocksAreCountedUntilDestroyedOnce) {
  const std::size_t before = EnvironmentBlockCount();
  void* block = nullptr;
  ASSERT_TRUE(CreateEnvironmentBlock(&block, nullptr, FALSE));
  EXPECT_EQ(EnvironmentBlockCount(), before + 1);
  ASSERT_TRUE(DestroyEnvironmentBlock(block));
  EXPECT_EQ(EnvironmentBlockCount(), before);
  char stray[4] = {};
  for (void* bad : {block, static_cast<void*>(stray), static_cast<void*>(nullptr)}) {
    EXPECT_FALSE(DestroyEnvironmentBlock(bad)) << "a second destroy, a stray pointer, null";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

// Each token call of the launcher fails every time with the profile's code, after its
// argument checks and before it leaves anything behind: no handle, no block, no changed
// token, nothing written to its outputs.
TEST_F(TokensTest, ProfileFaultsFailEachTokenCallWithoutSideEffects) {
  HANDLE self = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &self));
  HANDLE user = UserToken(1);
  constexpr DWORD kUntouched = 0xC0FFEE;
  HANDLE out = nullptr;
  void* block = nullptr;
  LUID luid{kUntouched, 0};
  DWORD value = kUntouched, size = kUntouched;
  TOKEN_PRIVILEGES backup{1, {{LUID{17, 0}, SE_PRIVILEGE_ENABLED}}}, previous{};
  const DWORD on = 1;
  const std::tuple<const char*, DWORD, std::function<BOOL()>> cases[] = {
      {"OpenProcessToken", 5, [&] { return OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &out); }},
      {"LookupPrivilegeValue", 1313, [&] { return LookupPrivilegeValue(nullptr, L"SeTcbPrivilege", &luid); }},
      {"AdjustTokenPrivileges", 1300,
       [&] { return AdjustTokenPrivileges(self, FALSE, &backup, sizeof(previous), &previous, &size); }},
      {"DuplicateTokenEx", 8,
       [&] { return DuplicateTokenEx(user, MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary, &out); }},
      {"SetTokenInformation", 1314, [&] { return SetTokenInformation(user, TokenUIAccess, &on, sizeof(on)); }},
      {"GetTokenInformation", 6,
       [&] { return GetTokenInformation(user, TokenSessionId, &value, sizeof(value), &size); }},
      {"CreateEnvironmentBlock", 14, [&] { return CreateEnvironmentBlock(&block, user, TRUE); }},
  };
  const json healthy = json::parse(testing::ReadHostFile(root() / "machine.json"));
  for (const auto& [call, code, run] : cases) {
    SCOPED_TRACE(call);
    json profile = healthy;
    profile["faults"] = {{call, code}};
    testing::WriteHostFile(root() / "machine.json", profile.dump());
    ReopenMachine();
    const std::size_t handles = OpenHandleCount();
    const std::size_t blocks = EnvironmentBlockCount();
    for (int time = 0; time < 2; ++time) {
      SetLastError(0);
      EXPECT_FALSE(run());
      EXPECT_EQ(GetLastError(), code);
    }
    EXPECT_EQ(OpenHandleCount(), handles);
    EXPECT_EQ(EnvironmentBlockCount(), blocks);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(luid.LowPart, kUntouched);
    EXPECT_EQ(value, kUntouched);
    EXPECT_EQ(size, kUntouched);
  }
  // The argument checks come first.
  EXPECT_FALSE(CreateEnvironmentBlock(nullptr, user, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  testing::WriteHostFile(root() / "machine.json", healthy.dump());
  ReopenMachine();
  EXPECT_FALSE(Enabled(self, 17)) << "SeBackupPrivilege stayed disabled";
  EXPECT_EQ(Info<DWORD>(user, TokenUIAccess), 0u);
  EXPECT_THROW(ParseProfile(R"({"faults": {"GetTokenInformation": 0}})", "test.json"), MachineError);
  CloseHandle(user);
  CloseHandle(self);
}

}  // namespace
}  // namespace platform
