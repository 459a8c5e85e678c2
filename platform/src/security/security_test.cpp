#include "platform/security.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"

namespace platform {
namespace {

constexpr const wchar_t* kVarnelCapability = L"KorvoInc.varnelCap_q4m8xk2rt7pd3";

std::wstring ToString(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSid(sid, &text)) return L"<error " + std::to_wstring(GetLastError()) + L">";
  std::wstring out(text);
  EXPECT_EQ(LocalFree(text), nullptr);
  return out;
}

std::wstring WellKnown(WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  if (!CreateWellKnownSid(type, nullptr, buffer, &size)) return L"<error " + std::to_wstring(GetLastError()) + L">";
  EXPECT_EQ(size, GetLengthSid(buffer));
  return ToString(buffer);
}

// "S-1-15-3-1024-h0-...-h7" from a SHA-256 digest written in hex: the digest as eight
// little-endian 32-bit words.
std::wstring HashedSid(const std::wstring& prefix, const char* digestHex) {
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  std::wstring out = prefix;
  for (int word = 0; word < 8; ++word) {
    std::uint32_t value = 0;
    for (int byte = 3; byte >= 0; --byte) {
      const char* at = digestHex + 8 * word + 2 * byte;
      value = (value << 8) | static_cast<std::uint32_t>(nibble(at[0]) * 16 + nibble(at[1]));
    }
    out += L"-" + std::to_wstring(value);
  }
  return out;
}

struct DerivedSids {
  std::vector<std::wstring> groups;
  std::vector<std::wstring> capabilities;
};

DerivedSids Derive(const wchar_t* name) {
  PSID* groups = nullptr;
  PSID* capabilities = nullptr;
  DWORD groupCount = 0, capabilityCount = 0;
  DerivedSids out;
  EXPECT_TRUE(DeriveCapabilitySidsFromName(name, &groups, &groupCount, &capabilities, &capabilityCount));
  for (DWORD i = 0; i < groupCount; ++i) {
    out.groups.push_back(ToString(groups[i]));
    EXPECT_EQ(LocalFree(groups[i]), nullptr);
  }
  for (DWORD i = 0; i < capabilityCount; ++i) {
    out.capabilities.push_back(ToString(capabilities[i]));
    EXPECT_EQ(LocalFree(capabilities[i]), nullptr);
  }
  EXPECT_EQ(LocalFree(groups), nullptr);
  EXPECT_EQ(LocalFree(capabilities), nullptr);
  return out;
}

class SidTest : public testing::MachineTest {};

// --- Binary form -------------------------------------------------------------------------------

TEST_F(SidTest, AllocatedSidHasTheBinaryLayout) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  ASSERT_TRUE(
      AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &sid));
  const BYTE expected[] = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0};
  ASSERT_EQ(GetLengthSid(sid), sizeof expected);
  EXPECT_EQ(std::memcmp(sid, expected, sizeof expected), 0);
  EXPECT_TRUE(IsValidSid(sid));
  EXPECT_EQ(*GetSidSubAuthorityCount(sid), 2);
  EXPECT_EQ(*GetSidSubAuthority(sid, 1), DOMAIN_ALIAS_RID_ADMINS);
  EXPECT_EQ(GetSidIdentifierAuthority(sid)->Value[5], 5);
  EXPECT_EQ(ToString(sid), L"S-1-5-32-544");
  EXPECT_TRUE(IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
  EXPECT_FALSE(IsWellKnownSid(sid, WinBuiltinUsersSid));
  EXPECT_EQ(FreeSid(sid), nullptr);

  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(ToString(sid), L"S-1-1-0");
  EXPECT_EQ(GetLengthSid(sid), 12u);
  EXPECT_EQ(FreeSid(sid), nullptr);

  SetLastError(0);
  EXPECT_FALSE(AllocateAndInitializeSid(&world, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetSidLengthRequired(15), SECURITY_MAX_SID_SIZE);
}

TEST_F(SidTest, ValidityEqualityAndCopy) {
  BYTE admins[SECURITY_MAX_SID_SIZE], users[SECURITY_MAX_SID_SIZE], copy[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
  size = sizeof users;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size));

  EXPECT_TRUE(EqualSid(admins, admins));
  EXPECT_FALSE(EqualSid(admins, users));
  SetLastError(0);
  EXPECT_FALSE(CopySid(GetLengthSid(admins) - 1, copy, admins));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_TRUE(CopySid(sizeof copy, copy, admins));
  EXPECT_TRUE(EqualSid(copy, admins));

  BYTE bad[SECURITY_MAX_SID_SIZE] = {2, 1, 0, 0, 0, 0, 0, 1};  // revision 2
  EXPECT_FALSE(IsValidSid(bad));
  EXPECT_EQ(GetLengthSid(bad), 0u);
  bad[0] = 1;
  bad[1] = 16;  // more sub-authorities than a SID may have
  EXPECT_FALSE(IsValidSid(bad));
  EXPECT_FALSE(IsValidSid(nullptr));
  SetLastError(0);
  EXPECT_FALSE(EqualSid(bad, admins));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
  EXPECT_FALSE(CopySid(sizeof copy, copy, bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
}

// --- String form -------------------------------------------------------------------------------

TEST_F(SidTest, StringFormRoundTrips) {
  for (const wchar_t* text : {L"S-1-0-0", L"S-1-5", L"S-1-5-18", L"S-1-5-32-545", L"S-1-15-2-1",
                              L"S-1-5-21-1004336348-1177238915-682003330-512", L"S-1-16-12288", L"S-1-0x123456789ABC-7",
                              L"S-1-1-4294967295-1-2-3-4-5-6-7-8-9-10-11-12-13-14"}) {
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSid(text, &sid)) << text << " error " << GetLastError();
    EXPECT_TRUE(IsValidSid(sid));
    EXPECT_EQ(ToString(sid), text);
    EXPECT_EQ(LocalFree(sid), nullptr);
  }
}

TEST_F(SidTest, StringFormVariantsAndAliases) {
  struct Case {
    const wchar_t* input;
    const wchar_t* canonical;
  };
  for (const Case& c : {Case{L"s-1-5-32-544", L"S-1-5-32-544"}, Case{L"S-1-0x5-0x12", L"S-1-5-18"},
                        Case{L"S-1-4294967296-1", L"S-1-0x000100000000-1"}, Case{L"WD", L"S-1-1-0"},
                        Case{L"SY", L"S-1-5-18"}, Case{L"ba", L"S-1-5-32-544"}, Case{L"BU", L"S-1-5-32-545"},
                        Case{L"AU", L"S-1-5-11"}, Case{L"AC", L"S-1-15-2-1"}, Case{L"LS", L"S-1-5-19"}}) {
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSid(c.input, &sid)) << c.input;
    EXPECT_EQ(ToString(sid), c.canonical) << c.input;
    LocalFree(sid);
  }
  for (const wchar_t* bad :
       {L"", L"S", L"S-1", L"S-2-5-18", L"X-1-5-18", L"S-1-5-", L"S-1--18", L"S-1-5-18x", L"S-1-5-4294967296",
        L"S-1-281474976710656-1", L"ZZ", L"S-1-1-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
    PSID sid = reinterpret_cast<PSID>(0x1);
    SetLastError(0);
    EXPECT_FALSE(ConvertStringSidToSid(bad, &sid)) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SID) << bad;
    EXPECT_EQ(sid, reinterpret_cast<PSID>(0x1)) << bad;
  }
  SetLastError(0);
  EXPECT_FALSE(ConvertStringSidToSid(nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// --- Well-known SIDs ---------------------------------------------------------------------------

TEST_F(SidTest, WellKnownSidsHaveTheirNumbers) {
  EXPECT_EQ(WellKnown(WinWorldSid), L"S-1-1-0");
  EXPECT_EQ(WellKnown(WinNullSid), L"S-1-0-0");
  EXPECT_EQ(WellKnown(WinCreatorOwnerSid), L"S-1-3-0");
  EXPECT_EQ(WellKnown(WinNtAuthoritySid), L"S-1-5");
  EXPECT_EQ(WellKnown(WinInteractiveSid), L"S-1-5-4");
  EXPECT_EQ(WellKnown(WinAuthenticatedUserSid), L"S-1-5-11");
  EXPECT_EQ(WellKnown(WinLocalSystemSid), L"S-1-5-18");
  EXPECT_EQ(WellKnown(WinLocalServiceSid), L"S-1-5-19");
  EXPECT_EQ(WellKnown(WinNetworkServiceSid), L"S-1-5-20");
  EXPECT_EQ(WellKnown(WinBuiltinDomainSid), L"S-1-5-32");
  EXPECT_EQ(WellKnown(WinBuiltinAdministratorsSid), L"S-1-5-32-544");
  EXPECT_EQ(WellKnown(WinBuiltinUsersSid), L"S-1-5-32-545");
  EXPECT_EQ(WellKnown(WinBuiltinGuestsSid), L"S-1-5-32-546");
  EXPECT_EQ(WellKnown(WinMediumLabelSid), L"S-1-16-8192");
  EXPECT_EQ(WellKnown(WinApplicationPackageAuthoritySid), L"S-1-15");
  EXPECT_EQ(WellKnown(WinBuiltinAnyPackageSid), L"S-1-15-2-1");
  // The enumeration's numbers are the original's.
  EXPECT_EQ(static_cast<int>(WinLocalSystemSid), 22);
  EXPECT_EQ(static_cast<int>(WinBuiltinAdministratorsSid), 26);
  EXPECT_EQ(static_cast<int>(WinBuiltinUsersSid), 27);
}

TEST_F(SidTest, WellKnownSidSizeProtocol) {
  DWORD size = 0;
  SetLastError(0);
  EXPECT_FALSE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, nullptr, &size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 16u);

  BYTE buffer[SECURITY_MAX_SID_SIZE];
  size = 15;
  EXPECT_FALSE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, buffer, &size));
  EXPECT_EQ(size, 16u);
  size = sizeof buffer;
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, buffer, &size));
  EXPECT_EQ(size, 12u);

  // Types that need a domain or a logon session, and numbers that name nothing.
  for (int type : {21, 38, 1000, -1}) {
    size = sizeof buffer;
    SetLastError(0);
    EXPECT_FALSE(CreateWellKnownSid(static_cast<WELL_KNOWN_SID_TYPE>(type), nullptr, buffer, &size)) << type;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << type;
  }
}

// --- Capability SIDs ---------------------------------------------------------------------------

// Digests computed outside the code under test:
//   printf '%s' ABC | iconv -t UTF-16LE | sha256sum
//   printf '%s' KORVOINC.VARNELCAP_Q4M8XK2RT7PD3 | iconv -t UTF-16LE | sha256sum
constexpr const char* kDigestOfABC = "58ff2e9091c6f11944c244873d6d1f512ffe83e4019c12bb96113923e3ff420f";
constexpr const char* kDigestOfVarnelCap = "6b9729d09942ba8a7b31875b024ef417b6f3ce21de1eed5f7115babcac54d7ed";

TEST_F(SidTest, CapabilitySidsComeFromTheUpperCasedUtf16Digest) {
  const auto abc = Derive(L"abc");
  ASSERT_EQ(abc.capabilities.size(), 1u);
  ASSERT_EQ(abc.groups.size(), 1u);
  EXPECT_EQ(abc.capabilities[0], HashedSid(L"S-1-15-3-1024", kDigestOfABC));
  EXPECT_EQ(abc.groups[0], HashedSid(L"S-1-5-32", kDigestOfABC));
  // Case does not matter: the name is upper-cased first.
  EXPECT_EQ(Derive(L"AbC").capabilities, abc.capabilities);
  EXPECT_NE(Derive(L"abd").capabilities, abc.capabilities);
}

TEST_F(SidTest, TheServiceCapabilityDerivesExactlyOneCapabilitySid) {
  const auto sids = Derive(kVarnelCapability);
  ASSERT_EQ(sids.capabilities.size(), 1u);
  ASSERT_EQ(sids.groups.size(), 1u);
  EXPECT_EQ(sids.capabilities[0], HashedSid(L"S-1-15-3-1024", kDigestOfVarnelCap));
  EXPECT_EQ(sids.capabilities[0],
            L"S-1-15-3-1024-3492386667-2327462553-1535586683-401886722-567210934-1609375454-3166311793-3990312108");
  EXPECT_EQ(sids.groups[0],
            L"S-1-5-32-3492386667-2327462553-1535586683-401886722-567210934-1609375454-3166311793-3990312108");
}

TEST_F(SidTest, LegacyCapabilitiesAlsoGetTheirFixedSid) {
  const auto sids = Derive(L"INTERNETCLIENT");
  ASSERT_EQ(sids.capabilities.size(), 2u);
  EXPECT_EQ(sids.capabilities[0], L"S-1-15-3-1");
  EXPECT_EQ(sids.capabilities[1],
            HashedSid(L"S-1-15-3-1024", "55efaea5f957c2727688059fdad1e98fdb2167cafb715def284e7909a100fd2e"));
  EXPECT_EQ(sids.groups.size(), 1u);
  EXPECT_EQ(Derive(L"documentsLibrary").capabilities.front(), L"S-1-15-3-7");
}

TEST_F(SidTest, CapabilityDerivationRejectsBadArguments) {
  PSID* groups = nullptr;
  PSID* capabilities = nullptr;
  DWORD groupCount = 7, capabilityCount = 7;
  for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L""}) {
    SetLastError(0);
    EXPECT_FALSE(DeriveCapabilitySidsFromName(name, &groups, &groupCount, &capabilities, &capabilityCount));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_FALSE(DeriveCapabilitySidsFromName(kVarnelCapability, nullptr, &groupCount, &capabilities, &capabilityCount));
  EXPECT_FALSE(DeriveCapabilitySidsFromName(kVarnelCapability, &groups, &groupCount, &capabilities, nullptr));
  EXPECT_EQ(groups, nullptr);
  EXPECT_EQ(capabilities, nullptr);
  EXPECT_EQ(groupCount, 7u);
}

}  // namespace
}  // namespace platform
