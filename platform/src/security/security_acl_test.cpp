#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/security.h"
#include "platform/testing/machine_test.h"

namespace platform {
namespace {

// A SID in an owned buffer.
struct Sid {
  explicit Sid(const wchar_t* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSid(text, &sid)) << text;
    bytes.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    LocalFree(sid);
  }
  PSID get() { return bytes.data(); }
  std::vector<BYTE> bytes;
};

std::wstring ToString(const void* sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSid(const_cast<void*>(sid), &text)) return L"<invalid>";
  std::wstring out(text);
  LocalFree(text);
  return out;
}

// One entry, read back through GetAce: "A:S-1-1-0:0x10000000:flags" (A allow, D deny).
std::wstring Describe(PACL acl, DWORD index) {
  LPVOID raw = nullptr;
  if (!GetAce(acl, index, &raw)) return L"<no entry>";
  const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
  wchar_t mask[16];
  std::swprintf(mask, 16, L"0x%08X", ace->Mask);
  std::wstring kind = ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE  ? L"A"
                      : ace->Header.AceType == ACCESS_DENIED_ACE_TYPE ? L"D"
                                                                      : L"?";
  std::wstring out = kind + L":" + ToString(&ace->SidStart) + L":" + mask;
  if (ace->Header.AceFlags != 0) out += L":" + std::to_wstring(ace->Header.AceFlags);
  return out;
}

std::vector<std::wstring> DescribeAll(PACL acl) {
  std::vector<std::wstring> out;
  for (DWORD i = 0; i < acl->AceCount; ++i) out.push_back(Describe(acl, i));
  return out;
}

EXPLICIT_ACCESS Entry(ACCESS_MODE mode, DWORD rights, PSID sid, TRUSTEE_TYPE type = TRUSTEE_IS_UNKNOWN,
                      DWORD inheritance = NO_INHERITANCE) {
  EXPLICIT_ACCESS ea{};
  ea.grfAccessPermissions = rights;
  ea.grfAccessMode = mode;
  ea.grfInheritance = inheritance;
  ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  ea.Trustee.TrusteeType = type;
  ea.Trustee.ptstrName = static_cast<LPWSTR>(sid);
  return ea;
}

class AclTest : public testing::MachineTest {
 protected:
  Sid world_{L"S-1-1-0"};
  Sid system_{L"S-1-5-18"};
  Sid admins_{L"S-1-5-32-544"};
  Sid users_{L"S-1-5-32-545"};
};

// --- The binary list -----------------------------------------------------------------------------

TEST_F(AclTest, EntriesAreAppendedInTheBinaryLayout) {
  alignas(4) BYTE buffer[64];
  auto* acl = reinterpret_cast<PACL>(buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof buffer, ACL_REVISION));
  EXPECT_EQ(acl->AclRevision, 2);
  EXPECT_EQ(acl->AclSize, 64);
  EXPECT_EQ(acl->AceCount, 0);

  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 1, world_.get()));
  // Header, then ACE header (type 0, flags 0, size 20), mask, SID.
  const BYTE expected[] = {2, 0, 64, 0, 1, 0, 0, 0, 0, 0, 20, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(buffer, expected, sizeof expected), 0);

  ASSERT_TRUE(AddAccessDeniedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, WRITE_DAC, admins_.get()));
  EXPECT_EQ(acl->AceCount, 2);
  EXPECT_EQ(DescribeAll(acl), (std::vector<std::wstring>{L"A:S-1-1-0:0x00000001", L"D:S-1-5-32-544:0x00040000:2"}));
  EXPECT_TRUE(IsValidAcl(acl));

  ACL_SIZE_INFORMATION size{};
  ASSERT_TRUE(GetAclInformation(acl, &size, sizeof size, AclSizeInformation));
  EXPECT_EQ(size.AceCount, 2u);
  EXPECT_EQ(size.AclBytesInUse, 8u + 20u + 24u);
  EXPECT_EQ(size.AclBytesFree, 64u - 52u);
  ACL_REVISION_INFORMATION revision{};
  ASSERT_TRUE(GetAclInformation(acl, &revision, sizeof revision, AclRevisionInformation));
  EXPECT_EQ(revision.AclRevision, 2u);

  // 12 bytes left: a 20-byte entry does not fit.
  SetLastError(0);
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, 1, system_.get()));
  EXPECT_EQ(GetLastError(), ERROR_ALLOTTED_SPACE_EXCEEDED);
  EXPECT_EQ(acl->AceCount, 2);

  ASSERT_TRUE(DeleteAce(acl, 0));
  EXPECT_EQ(DescribeAll(acl), (std::vector<std::wstring>{L"D:S-1-5-32-544:0x00040000:2"}));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 1, system_.get()));
  EXPECT_EQ(DescribeAll(acl), (std::vector<std::wstring>{L"D:S-1-5-32-544:0x00040000:2", L"A:S-1-5-18:0x00000001"}));
}

TEST_F(AclTest, BadArgumentsAndMalformedListsAreRefused) {
  alignas(4) BYTE buffer[64];
  auto* acl = reinterpret_cast<PACL>(buffer);
  SetLastError(0);
  EXPECT_FALSE(InitializeAcl(acl, 7, ACL_REVISION));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(InitializeAcl(acl, sizeof buffer, 1));
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_REVISION);
  EXPECT_FALSE(InitializeAcl(acl, 0x10000, ACL_REVISION));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(InitializeAcl(acl, sizeof buffer, ACL_REVISION));
  BYTE badSid[12] = {9, 1};
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, 1, badSid));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
  EXPECT_FALSE(AddAccessAllowedAceEx(acl, ACL_REVISION, 0x20, 1, world_.get()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
  LPVOID ace = nullptr;
  EXPECT_FALSE(GetAce(acl, 0, &ace));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 1, world_.get()));
  // An entry whose size runs past the list, and one whose SID does not fit in it.
  buffer[8 + 2] = 60;
  EXPECT_FALSE(IsValidAcl(acl));
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, 1, world_.get()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ACL);
  buffer[8 + 2] = 16;
  EXPECT_FALSE(IsValidAcl(acl));
  buffer[8 + 2] = 20;
  EXPECT_TRUE(IsValidAcl(acl));
  acl->AceCount = 3;  // claims more entries than it holds
  EXPECT_FALSE(IsValidAcl(acl));
  EXPECT_FALSE(IsValidAcl(nullptr));
}

// --- SetEntriesInAcl -----------------------------------------------------------------------------

TEST_F(AclTest, TheEndpointListHoldsBothEntriesInOrder) {
  Sid capability{
      L"S-1-15-3-1024-3492386667-2327462553-1535586683-401886722-567210934-1609375454-3166311793-3990312108"};
  EXPLICIT_ACCESS entries[] = {Entry(SET_ACCESS, GENERIC_ALL, world_.get(), TRUSTEE_IS_WELL_KNOWN_GROUP),
                               Entry(SET_ACCESS, GENERIC_ALL, capability.get(), TRUSTEE_IS_UNKNOWN)};
  PACL acl = nullptr;
  ASSERT_EQ(SetEntriesInAcl(2, entries, nullptr, &acl), ERROR_SUCCESS);
  ASSERT_NE(acl, nullptr);
  EXPECT_TRUE(IsValidAcl(acl));
  EXPECT_EQ(acl->AclRevision, ACL_REVISION);
  EXPECT_EQ(DescribeAll(acl), (std::vector<std::wstring>{
                                  L"A:S-1-1-0:0x10000000",
                                  L"A:S-1-15-3-1024-3492386667-2327462553-1535586683-401886722-567210934-1609375454-"
                                  L"3166311793-3990312108:0x10000000"}));
  // The block is exactly as large as the list says.
  EXPECT_EQ(LocalSize(acl), acl->AclSize);
  EXPECT_EQ(acl->AclSize, 8u + 20u + 8u + 48u);
  EXPECT_EQ(LocalFree(acl), nullptr);
}

TEST_F(AclTest, ModesMergeReplaceAndRevokeAsTheOriginalDoes) {
  PACL base = nullptr;
  EXPLICIT_ACCESS first[] = {Entry(GRANT_ACCESS, 0x1, users_.get()), Entry(GRANT_ACCESS, 0x2, admins_.get()),
                             Entry(DENY_ACCESS, 0x4, users_.get())};
  ASSERT_EQ(SetEntriesInAcl(3, first, nullptr, &base), ERROR_SUCCESS);
  // Denies first, then allows in the order they were added.
  EXPECT_EQ(DescribeAll(base), (std::vector<std::wstring>{L"D:S-1-5-32-545:0x00000004", L"A:S-1-5-32-545:0x00000001",
                                                          L"A:S-1-5-32-544:0x00000002"}));

  PACL merged = nullptr;
  EXPLICIT_ACCESS second[] = {Entry(GRANT_ACCESS, 0x8, users_.get()), Entry(DENY_ACCESS, 0x10, users_.get()),
                              Entry(NOT_USED_ACCESS, 0xFF, system_.get())};
  ASSERT_EQ(SetEntriesInAcl(3, second, base, &merged), ERROR_SUCCESS);
  EXPECT_EQ(DescribeAll(merged), (std::vector<std::wstring>{L"D:S-1-5-32-545:0x00000014", L"A:S-1-5-32-545:0x00000009",
                                                            L"A:S-1-5-32-544:0x00000002"}));

  PACL replaced = nullptr;
  EXPLICIT_ACCESS third[] = {Entry(SET_ACCESS, 0x20, users_.get())};
  ASSERT_EQ(SetEntriesInAcl(1, third, merged, &replaced), ERROR_SUCCESS);
  EXPECT_EQ(DescribeAll(replaced),
            (std::vector<std::wstring>{L"A:S-1-5-32-544:0x00000002", L"A:S-1-5-32-545:0x00000020"}));

  PACL revoked = nullptr;
  EXPLICIT_ACCESS fourth[] = {Entry(REVOKE_ACCESS, 0, admins_.get())};
  ASSERT_EQ(SetEntriesInAcl(1, fourth, merged, &revoked), ERROR_SUCCESS);
  // Revoking drops the trustee's allow entries and keeps its denies.
  EXPECT_EQ(DescribeAll(revoked),
            (std::vector<std::wstring>{L"D:S-1-5-32-545:0x00000014", L"A:S-1-5-32-545:0x00000009"}));

  // Different inheritance makes a separate entry.
  PACL inherited = nullptr;
  EXPLICIT_ACCESS fifth[] = {
      Entry(GRANT_ACCESS, 0x40, users_.get(), TRUSTEE_IS_GROUP, SUB_CONTAINERS_AND_OBJECTS_INHERIT)};
  ASSERT_EQ(SetEntriesInAcl(1, fifth, revoked, &inherited), ERROR_SUCCESS);
  EXPECT_EQ(DescribeAll(inherited),
            (std::vector<std::wstring>{L"D:S-1-5-32-545:0x00000014", L"A:S-1-5-32-545:0x00000009",
                                       L"A:S-1-5-32-545:0x00000040:3"}));

  // The old lists are untouched.
  EXPECT_EQ(base->AceCount, 3);
  EXPECT_EQ(merged->AceCount, 3);
  for (PACL acl : {base, merged, replaced, revoked, inherited}) EXPECT_EQ(LocalFree(acl), nullptr);
}

TEST_F(AclTest, InheritedEntriesStayBehindExplicitOnes) {
  alignas(4) BYTE buffer[128];
  auto* old = reinterpret_cast<PACL>(buffer);
  ASSERT_TRUE(InitializeAcl(old, sizeof buffer, ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAceEx(old, ACL_REVISION, INHERITED_ACE, 0x1, users_.get()));
  ASSERT_TRUE(AddAccessDeniedAceEx(old, ACL_REVISION, INHERITED_ACE, 0x2, admins_.get()));

  PACL acl = nullptr;
  EXPLICIT_ACCESS entries[] = {Entry(SET_ACCESS, 0x4, users_.get()), Entry(DENY_ACCESS, 0x8, system_.get())};
  ASSERT_EQ(SetEntriesInAcl(2, entries, old, &acl), ERROR_SUCCESS);
  // SET_ACCESS replaces explicit entries only; inherited ones keep their order at the end.
  EXPECT_EQ(DescribeAll(acl),
            (std::vector<std::wstring>{L"D:S-1-5-18:0x00000008", L"A:S-1-5-32-545:0x00000004",
                                       L"A:S-1-5-32-545:0x00000001:16", L"D:S-1-5-32-544:0x00000002:16"}));
  LocalFree(acl);
}

TEST_F(AclTest, TrusteesByNameAndEmptyLists) {
  EXPLICIT_ACCESS entry{};
  entry.grfAccessPermissions = GENERIC_READ;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  wchar_t everyone[] = L"everyone";
  entry.Trustee.ptstrName = everyone;
  PACL acl = nullptr;
  ASSERT_EQ(SetEntriesInAcl(1, &entry, nullptr, &acl), ERROR_SUCCESS);
  EXPECT_EQ(DescribeAll(acl), (std::vector<std::wstring>{L"A:S-1-1-0:0x80000000"}));
  LocalFree(acl);

  wchar_t system[] = L"NT AUTHORITY\\SYSTEM";
  entry.Trustee.ptstrName = system;
  ASSERT_EQ(SetEntriesInAcl(1, &entry, nullptr, &acl), ERROR_SUCCESS);
  EXPECT_EQ(DescribeAll(acl), (std::vector<std::wstring>{L"A:S-1-5-18:0x80000000"}));
  LocalFree(acl);

  wchar_t nobody[] = L"KORVO\\nobody";
  entry.Trustee.ptstrName = nobody;
  acl = reinterpret_cast<PACL>(0x1);
  EXPECT_EQ(SetEntriesInAcl(1, &entry, nullptr, &acl), ERROR_NONE_MAPPED);
  EXPECT_EQ(acl, reinterpret_cast<PACL>(0x1));

  // No entries and no old list: an empty list, never a null one.
  acl = nullptr;
  ASSERT_EQ(SetEntriesInAcl(0, nullptr, nullptr, &acl), ERROR_SUCCESS);
  ASSERT_NE(acl, nullptr);
  EXPECT_EQ(acl->AceCount, 0);
  EXPECT_TRUE(IsValidAcl(acl));
  LocalFree(acl);
}

// The process-wide COM security list: one SID buffer of the largest size, refilled
// with each well-known SID, and the list rebuilt from the old one plus a new entry.
TEST_F(AclTest, ListRebuiltOneWellKnownSidAtATime) {
  PSID sid = LocalAlloc(LPTR, SECURITY_MAX_SID_SIZE);
  ASSERT_NE(sid, nullptr);
  PACL acl = nullptr;
  for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinBuiltinUsersSid}) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    ASSERT_TRUE(CreateWellKnownSid(type, nullptr, sid, &size)) << type;
    EXPLICIT_ACCESS entry = Entry(GRANT_ACCESS, 1, sid, TRUSTEE_IS_GROUP);
    PACL rebuilt = nullptr;
    ASSERT_EQ(SetEntriesInAcl(1, &entry, acl, &rebuilt), ERROR_SUCCESS);
    LocalFree(acl);
    acl = rebuilt;
  }
  EXPECT_EQ(LocalFree(sid), nullptr);
  EXPECT_EQ(DescribeAll(acl), (std::vector<std::wstring>{L"A:S-1-5-18:0x00000001", L"A:S-1-5-32-544:0x00000001",
                                                         L"A:S-1-5-32-545:0x00000001"}));
  EXPECT_EQ(acl->AclSize, 8u + 20u + 24u + 24u);
  LocalFree(acl);
}

TEST_F(AclTest, SetEntriesInAclRefusesWhatItCannotBuild) {
  PACL acl = nullptr;
  EXPLICIT_ACCESS audit = Entry(SET_AUDIT_SUCCESS, 1, world_.get());
  EXPECT_EQ(SetEntriesInAcl(1, &audit, nullptr, &acl), ERROR_INVALID_PARAMETER);
  BYTE badSid[12] = {1, 99};
  EXPLICIT_ACCESS bad = Entry(GRANT_ACCESS, 1, badSid);
  EXPECT_EQ(SetEntriesInAcl(1, &bad, nullptr, &acl), ERROR_INVALID_SID);
  EXPLICIT_ACCESS multiple = Entry(GRANT_ACCESS, 1, world_.get());
  TRUSTEE other = multiple.Trustee;
  multiple.Trustee.pMultipleTrustee = &other;
  EXPECT_EQ(SetEntriesInAcl(1, &multiple, nullptr, &acl), ERROR_INVALID_PARAMETER);
  EXPLICIT_ACCESS good = Entry(GRANT_ACCESS, 1, world_.get());
  EXPECT_EQ(SetEntriesInAcl(1, &good, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetEntriesInAcl(1, nullptr, nullptr, &acl), ERROR_INVALID_PARAMETER);
  BYTE broken[8] = {2, 0, 8, 0, 1, 0, 0, 0};  // one entry announced, none there
  EXPECT_EQ(SetEntriesInAcl(1, &good, reinterpret_cast<PACL>(broken), &acl), ERROR_INVALID_ACL);
  EXPECT_EQ(acl, nullptr);
}

}  // namespace
}  // namespace platform
