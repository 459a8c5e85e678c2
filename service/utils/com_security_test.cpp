// The service's process-wide COM security.
#include <gtest/gtest.h>

#include "platform/com.h"
#include "platform/memory.h"
#include "platform/security.h"
#include "platform/sessions.h"
#include "platform/testing/machine_test.h"
#include "platform/text.h"
#include "service/logging/testing/log_capture.h"
#include "service/utils/com_security.h"

namespace {

using namespace platform;
using Korvo::Shared::testing::LogCapture;
namespace Level = Korvo::Shared;

constexpr const char* kFunction = "Utils::InitializeSecurity";

std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSid(sid, &text)) return L"(none)";
  std::wstring out = text;
  LocalFree(text);
  return out;
}

class ComSecurityTest : public Korvo::Shared::testing::ProcessLoggerTest {
 protected:
  // The descriptor COM keeps: owner, group and the DACL's (SID, mask) pairs.
  struct Kept {
    std::wstring owner;
    std::wstring group;
    std::vector<std::pair<std::wstring, DWORD>> entries;
  };
  Kept KeptDescriptor() {
    auto copy = com::QueryProcessSecurity().securityDescriptor;
    Kept kept;
    if (copy.empty()) return kept;
    PSID owner = nullptr, group = nullptr;
    BOOL defaulted = TRUE, present = FALSE;
    EXPECT_TRUE(GetSecurityDescriptorOwner(copy.data(), &owner, &defaulted));
    EXPECT_FALSE(defaulted);
    EXPECT_TRUE(GetSecurityDescriptorGroup(copy.data(), &group, &defaulted));
    EXPECT_FALSE(defaulted);
    kept.owner = SidText(owner);
    kept.group = SidText(group);
    PACL dacl = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(copy.data(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
      LPVOID ace = nullptr;
      EXPECT_TRUE(GetAce(dacl, i, &ace));
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      kept.entries.emplace_back(SidText(&allowed->SidStart), allowed->Mask);
    }
    return kept;
  }
};

TEST_F(ComSecurityTest, SystemAdministratorsAndUsersMayCallTheProcessesObjects) {
  LogCapture log;
  EXPECT_EQ(Utils::InitializeSecurity(), S_OK) << log.Dump();
  const auto security = com::QueryProcessSecurity();
  EXPECT_TRUE(security.initialized);
  EXPECT_EQ(security.authServiceCount, -1);
  EXPECT_EQ(security.authnLevel, RPC_C_AUTHN_LEVEL_CONNECT);
  EXPECT_EQ(security.impLevel, RPC_C_IMP_LEVEL_IDENTIFY);
  EXPECT_EQ(security.capabilities, EOAC_NONE);
  const Kept kept = KeptDescriptor();
  EXPECT_EQ(kept.owner, L"S-1-5-32-544") << "the owner of the service's token";
  EXPECT_EQ(kept.group, L"S-1-5-18");
  const std::vector<std::pair<std::wstring, DWORD>> expected = {
      {L"S-1-5-18", 1}, {L"S-1-5-32-544", 1}, {L"S-1-5-32-545", 1}};
  EXPECT_EQ(kept.entries, expected);
  EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::None) << "the thread leaves its apartment again";
  EXPECT_TRUE(log.Has(Level::TraceOut, kFunction, L"InitializeSecurity : HRESULT: 0x00000000")) << log.Dump();
  EXPECT_EQ(log.Count(Level::Error, kFunction), 0) << log.Dump();

  // Once per process.
  EXPECT_EQ(Utils::InitializeSecurity(), RPC_E_TOO_LATE);
  EXPECT_TRUE(log.Has(Level::Error, kFunction, L"CoInitializeSecurity failed. Error: 0x80010119")) << log.Dump();
}

TEST_F(ComSecurityTest, AnImpersonatingThreadGivesItsOwnTokensOwner) {
  HANDLE user = nullptr;
  ASSERT_TRUE(WTSQueryUserToken(1, &user));
  ASSERT_TRUE(ImpersonateLoggedOnUser(user));
  EXPECT_EQ(Utils::InitializeSecurity(), S_OK);
  RevertToSelf();
  CloseHandle(user);
  const Kept kept = KeptDescriptor();
  EXPECT_EQ(kept.owner, L"S-1-5-21-3623811015-3361044348-30300820-1001") << "the default machine's user";
  EXPECT_EQ(kept.entries.size(), 3u);
}

TEST_F(ComSecurityTest, AThreadOfTheOtherApartmentKindIsLeftAsItWas) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  LogCapture log;
  EXPECT_EQ(Utils::InitializeSecurity(), RPC_E_CHANGED_MODE);
  EXPECT_TRUE(log.Has(Level::Error, kFunction, L"CoInitializeEx failed. Error: 0x80010106")) << log.Dump();
  EXPECT_FALSE(com::QueryProcessSecurity().initialized);
  EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::Multithreaded) << "no CoUninitialize without its init";
  CoUninitialize();
}

}  // namespace
