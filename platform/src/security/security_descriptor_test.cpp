#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/security.h"
#include "platform/testing/machine_test.h"

namespace platform {
namespace {

constexpr const wchar_t* kVarnelCapability = L"KorvoInc.varnelCap_q4m8xk2rt7pd3";

// A SID in an owned buffer.
struct Sid {
  explicit Sid(const wchar_t* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSid(text, &sid)) << text;
    bytes.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    LocalFree(sid);
  }
  PSID get() { return bytes.data(); }
  const SID* sid() const { return reinterpret_cast<const SID*>(bytes.data()); }
  std::vector<BYTE> bytes;
};

std::wstring ToString(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSid(sid, &text)) return L"<none>";
  std::wstring out(text);
  LocalFree(text);
  return out;
}

// The rights of the RPC endpoint's objects: specific rights 0x1-0x3F, as in the
// runtime's mapping (GENERIC_ALL covers every one of them).
constexpr GENERIC_MAPPING kMapping = {STANDARD_RIGHTS_READ | 0x1, STANDARD_RIGHTS_WRITE | 0x2,
                                      STANDARD_RIGHTS_EXECUTE | 0x4, STANDARD_RIGHTS_REQUIRED | 0x3F};

struct Caller {
  std::vector<const SID*> sids;
  bool appContainer = false;
};

class SecurityDescriptorTest : public testing::MachineTest {
 protected:
  void TearDown() override {
    for (PACL acl : acls_) LocalFree(acl);
    MachineTest::TearDown();
  }

  // A descriptor built the way the RPC server builds its endpoint's: DACL with an
  // Everyone entry and one for the capability SID derived from the name, both
  // SET_ACCESS of GENERIC_ALL.
  void BuildEndpointDescriptor() {
    PSID* groups = nullptr;
    PSID* capabilities = nullptr;
    DWORD groupCount = 0, capabilityCount = 0;
    ASSERT_TRUE(DeriveCapabilitySidsFromName(kVarnelCapability, &groups, &groupCount, &capabilities, &capabilityCount));
    ASSERT_EQ(capabilityCount, 1u);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));

    EXPLICIT_ACCESS entries[2] = {};
    entries[0].grfAccessPermissions = GENERIC_ALL;
    entries[0].grfAccessMode = SET_ACCESS;
    entries[0].grfInheritance = NO_INHERITANCE;
    entries[0].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entries[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entries[0].Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    entries[1] = entries[0];
    entries[1].Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    entries[1].Trustee.ptstrName = static_cast<LPWSTR>(capabilities[0]);
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAcl(2, entries, nullptr, &acl), ERROR_SUCCESS);
    acls_.push_back(acl);
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd_, TRUE, acl, FALSE));

    capability_ = std::make_unique<Sid>(ToString(capabilities[0]).c_str());
    for (DWORD i = 0; i < groupCount; ++i) LocalFree(groups[i]);
    for (DWORD i = 0; i < capabilityCount; ++i) LocalFree(capabilities[i]);
    LocalFree(groups);
    LocalFree(capabilities);
    FreeSid(everyone);
  }

  // A DACL of the given entries (allow or deny, in this order).
  PACL MakeAcl(std::initializer_list<std::tuple<BYTE, DWORD, PSID, BYTE>> entries) {
    auto* acl = static_cast<PACL>(LocalAlloc(LPTR, 512));
    acls_.push_back(acl);
    EXPECT_TRUE(InitializeAcl(acl, 512, ACL_REVISION));
    for (const auto& [type, mask, sid, flags] : entries) {
      if (type == ACCESS_DENIED_ACE_TYPE) {
        EXPECT_TRUE(AddAccessDeniedAceEx(acl, ACL_REVISION, flags, mask, sid));
      } else {
        EXPECT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, flags, mask, sid));
      }
    }
    return acl;
  }

  // Granted rights, or -1 when denied. Fails the test when the call itself fails.
  long long Check(PSECURITY_DESCRIPTOR sd, const Caller& caller, DWORD desired) {
    DWORD granted = 0xDEADBEEF;
    BOOL status = 7;
    SetLastError(0);
    EXPECT_TRUE(AccessCheckBySids(sd, caller.sids, caller.appContainer, desired, &kMapping, &granted, &status))
        << GetLastError();
    if (!status) {
      EXPECT_EQ(granted, 0u);
      EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
      return -1;
    }
    EXPECT_EQ(status, TRUE);
    return granted;
  }

  SECURITY_DESCRIPTOR sd_{};
  std::unique_ptr<Sid> capability_;
  std::vector<PACL> acls_;

  Sid world_{L"S-1-1-0"};
  Sid user_{L"S-1-5-21-1004336348-1177238915-682003330-1001"};
  Sid users_{L"S-1-5-32-545"};
  Sid admins_{L"S-1-5-32-544"};
  Sid system_{L"S-1-5-18"};
  Sid authenticated_{L"S-1-5-11"};
  Sid package_{L"S-1-15-2-1732416374-3427815446-2316744738-3217385421-2548186449-2216449226-1632358706"};
  Sid otherCapability_{L"S-1-15-3-1"};
  Sid allPackages_{L"S-1-15-2-1"};

  static constexpr DWORD kAll = STANDARD_RIGHTS_REQUIRED | 0x3F;
};

// --- The descriptor itself -------------------------------------------------------------------------

TEST_F(SecurityDescriptorTest, AbsoluteDescriptorPartsAndControlBits) {
  SECURITY_DESCRIPTOR sd;
  std::memset(&sd, 0xCC, sizeof sd);
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(sd.Revision, 1);
  EXPECT_EQ(sd.Control, 0);
  EXPECT_EQ(sd.Owner, nullptr);
  EXPECT_EQ(sd.Dacl, nullptr);
  EXPECT_TRUE(IsValidSecurityDescriptor(&sd));

  BOOL present = TRUE, defaulted = TRUE;
  PACL dacl = reinterpret_cast<PACL>(0x1);
  ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
  EXPECT_FALSE(present);
  EXPECT_EQ(dacl, nullptr);

  PACL acl = MakeAcl({{ACCESS_ALLOWED_ACE_TYPE, 1, world_.get(), 0}});
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, admins_.get(), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorGroup(&sd, system_.get(), TRUE));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(&sd, &control, &revision));
  EXPECT_EQ(control, SE_DACL_PRESENT | SE_GROUP_DEFAULTED);
  EXPECT_EQ(revision, 1u);
  ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  EXPECT_EQ(dacl, acl);
  PSID owner = nullptr, group = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorOwner(&sd, &owner, &defaulted));
  EXPECT_EQ(owner, admins_.get());
  EXPECT_FALSE(defaulted);
  ASSERT_TRUE(GetSecurityDescriptorGroup(&sd, &group, &defaulted));
  EXPECT_EQ(group, system_.get());
  EXPECT_TRUE(defaulted);

  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, FALSE, acl, TRUE));
  ASSERT_TRUE(GetSecurityDescriptorControl(&sd, &control, &revision));
  EXPECT_EQ(control, SE_GROUP_DEFAULTED);

  // Revision and bad parts.
  SetLastError(0);
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_REVISION);
  BYTE badSid[12] = {1, 42};
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, badSid, FALSE));
  EXPECT_FALSE(IsValidSecurityDescriptor(&sd));
  sd.Revision = 3;
  EXPECT_FALSE(SetSecurityDescriptorOwner(&sd, admins_.get(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_REVISION);
  EXPECT_FALSE(IsValidSecurityDescriptor(nullptr));
}

TEST_F(SecurityDescriptorTest, SelfRelativeCopySurvivesTheOriginalParts) {
  BuildEndpointDescriptor();
  auto owner = std::make_unique<Sid>(L"S-1-5-18");
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd_, owner->get(), FALSE));

  DWORD size = 0;
  SetLastError(0);
  EXPECT_FALSE(MakeSelfRelativeSD(&sd_, nullptr, &size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  // Header, owner SID (12) and the two-entry DACL (84).
  EXPECT_EQ(size, 20u + 12u + 84u);
  EXPECT_EQ(GetSecurityDescriptorLength(&sd_), size);

  std::vector<BYTE> relative(size);
  ASSERT_TRUE(MakeSelfRelativeSD(&sd_, relative.data(), &size));
  std::vector<BYTE> helperCopy = security::CopySecurityDescriptor(&sd_);
  EXPECT_EQ(helperCopy, relative);

  // Free what the absolute descriptor pointed to, then read the copy.
  const std::vector<BYTE> daclBytes(reinterpret_cast<BYTE*>(sd_.Dacl),
                                    reinterpret_cast<BYTE*>(sd_.Dacl) + sd_.Dacl->AclSize);
  LocalFree(acls_.back());
  acls_.pop_back();
  owner.reset();
  sd_ = SECURITY_DESCRIPTOR{};

  PSECURITY_DESCRIPTOR copy = helperCopy.data();
  EXPECT_TRUE(IsValidSecurityDescriptor(copy));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(copy, &control, &revision));
  EXPECT_EQ(control, SE_SELF_RELATIVE | SE_DACL_PRESENT);
  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(copy, &present, &dacl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(dacl, nullptr);
  EXPECT_EQ(std::vector<BYTE>(reinterpret_cast<BYTE*>(dacl), reinterpret_cast<BYTE*>(dacl) + dacl->AclSize), daclBytes);
  PSID copiedOwner = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorOwner(copy, &copiedOwner, &defaulted));
  EXPECT_EQ(ToString(copiedOwner), L"S-1-5-18");
  PSID group = reinterpret_cast<PSID>(0x1);
  ASSERT_TRUE(GetSecurityDescriptorGroup(copy, &group, &defaulted));
  EXPECT_EQ(group, nullptr);

  // The copy still admits an ordinary caller, and copies of copies are the same.
  EXPECT_EQ(Check(copy, {{user_.sid(), world_.sid()}}, GENERIC_ALL), kAll);
  EXPECT_EQ(security::CopySecurityDescriptor(copy), helperCopy);

  // A self-relative descriptor cannot be changed in place or made self-relative again.
  SetLastError(0);
  EXPECT_FALSE(SetSecurityDescriptorDacl(copy, FALSE, nullptr, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SECURITY_DESCR);
  size = 1000;
  std::vector<BYTE> again(size);
  EXPECT_FALSE(MakeSelfRelativeSD(copy, again.data(), &size));
  EXPECT_EQ(GetLastError(), ERROR_BAD_DESCRIPTOR_FORMAT);
  EXPECT_TRUE(security::CopySecurityDescriptor(nullptr).empty());
}

TEST_F(SecurityDescriptorTest, GenericRightsMapOntoSpecificOnes) {
  DWORD mask = GENERIC_READ | GENERIC_EXECUTE | SYNCHRONIZE;
  MapGenericMask(&mask, &kMapping);
  EXPECT_EQ(mask, READ_CONTROL | SYNCHRONIZE | 0x1 | 0x4);
  mask = GENERIC_ALL;
  MapGenericMask(&mask, &kMapping);
  EXPECT_EQ(mask, kAll);
  mask = 0x10;
  MapGenericMask(&mask, &kMapping);
  EXPECT_EQ(mask, 0x10u);
}

// --- The access check ------------------------------------------------------------------------------

TEST_F(SecurityDescriptorTest, EndpointAdmitsOrdinaryProcessesAndTheCapableAppContainerOnly) {
  BuildEndpointDescriptor();
  // A desktop process of any user, LocalSystem.
  const Caller desktop{{user_.sid(), world_.sid(), users_.sid(), authenticated_.sid()}, false};
  const Caller service{{system_.sid(), world_.sid(), admins_.sid()}, false};
  // The packaged app: the user's groups plus its package SID and declared capabilities.
  const Caller app{{user_.sid(), world_.sid(), users_.sid(), package_.sid(), capability_->sid()}, true};
  const Caller appWithout{{user_.sid(), world_.sid(), users_.sid(), package_.sid(), otherCapability_.sid()}, true};

  EXPECT_EQ(Check(&sd_, desktop, GENERIC_ALL), kAll);
  EXPECT_EQ(Check(&sd_, desktop, 0x1), 0x1);
  EXPECT_EQ(Check(&sd_, service, MAXIMUM_ALLOWED), kAll);
  EXPECT_EQ(Check(&sd_, app, GENERIC_ALL), kAll);
  EXPECT_EQ(Check(&sd_, app, MAXIMUM_ALLOWED), kAll);
  EXPECT_EQ(Check(&sd_, appWithout, GENERIC_ALL), -1);
  EXPECT_EQ(Check(&sd_, appWithout, 0x1), -1);
  EXPECT_EQ(Check(&sd_, appWithout, MAXIMUM_ALLOWED), -1);
  // The capability alone does not let an app container in without the Everyone
  // entry for its ordinary SIDs ...
  const Caller bareApp{{package_.sid(), capability_->sid()}, true};
  EXPECT_EQ(Check(&sd_, bareApp, 0x1), -1);
  // ... and an ordinary process holding the capability SID gets nothing extra.
  EXPECT_EQ(Check(&sd_, {{user_.sid(), world_.sid(), capability_->sid()}, false}, GENERIC_ALL), kAll);
}

TEST_F(SecurityDescriptorTest, NullEmptyAndOrderedLists) {
  const Caller desktop{{user_.sid(), world_.sid(), users_.sid()}, false};
  const Caller app{{user_.sid(), world_.sid(), package_.sid()}, true};
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));

  // No DACL, or a present null DACL: everything, for everyone.
  EXPECT_EQ(Check(&sd, desktop, GENERIC_ALL), kAll);
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  EXPECT_EQ(Check(&sd, app, GENERIC_READ | 0x8), READ_CONTROL | 0x1 | 0x8);
  EXPECT_EQ(Check(&sd, app, MAXIMUM_ALLOWED), kAll);

  // An empty DACL: nothing, for anyone.
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, MakeAcl({}), FALSE));
  EXPECT_EQ(Check(&sd, desktop, 0x1), -1);
  EXPECT_EQ(Check(&sd, desktop, MAXIMUM_ALLOWED), -1);
  EXPECT_EQ(Check(&sd, {{system_.sid()}, false}, 0x1), -1);

  // A deny entry for one of the caller's groups wins over a later allow ...
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE,
                                        MakeAcl({{ACCESS_DENIED_ACE_TYPE, 0x2, users_.get(), 0},
                                                 {ACCESS_ALLOWED_ACE_TYPE, GENERIC_ALL, world_.get(), 0}}),
                                        FALSE));
  EXPECT_EQ(Check(&sd, desktop, 0x1), 0x1);
  EXPECT_EQ(Check(&sd, desktop, 0x3), -1);
  EXPECT_EQ(Check(&sd, desktop, MAXIMUM_ALLOWED), kAll & ~0x2u);
  EXPECT_EQ(Check(&sd, {{system_.sid(), world_.sid()}, false}, 0x3), 0x3);

  // ... but not over rights an earlier allow already granted (the list is walked in order).
  ASSERT_TRUE(SetSecurityDescriptorDacl(
      &sd, TRUE,
      MakeAcl({{ACCESS_ALLOWED_ACE_TYPE, 0x3, world_.get(), 0}, {ACCESS_DENIED_ACE_TYPE, 0x2, users_.get(), 0}}),
      FALSE));
  EXPECT_EQ(Check(&sd, desktop, 0x3), 0x3);

  // Rights add up over several allow entries; inherit-only entries do not count.
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE,
                                        MakeAcl({{ACCESS_ALLOWED_ACE_TYPE, 0x1, world_.get(), 0},
                                                 {ACCESS_ALLOWED_ACE_TYPE, 0x2, users_.get(), 0},
                                                 {ACCESS_ALLOWED_ACE_TYPE, 0x4, users_.get(), INHERIT_ONLY_ACE}}),
                                        FALSE));
  EXPECT_EQ(Check(&sd, desktop, 0x3), 0x3);
  EXPECT_EQ(Check(&sd, desktop, 0x4), -1);
  EXPECT_EQ(Check(&sd, desktop, 0), -1);
}

TEST_F(SecurityDescriptorTest, AppContainersNeedBothTheirOrdinaryAndTheirPackageSids) {
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  const Caller app{{user_.sid(), world_.sid(), package_.sid(), otherCapability_.sid()}, true};

  // ALL APPLICATION PACKAGES matches any app container in the package pass; the
  // ordinary pass grants through Everyone. Only the rights both passes grant remain.
  ASSERT_TRUE(SetSecurityDescriptorDacl(
      &sd, TRUE,
      MakeAcl({{ACCESS_ALLOWED_ACE_TYPE, 0x3, world_.get(), 0}, {ACCESS_ALLOWED_ACE_TYPE, 0x6, allPackages_.get(), 0}}),
      FALSE));
  EXPECT_EQ(Check(&sd, app, 0x2), 0x2);
  EXPECT_EQ(Check(&sd, app, 0x1), -1);
  EXPECT_EQ(Check(&sd, app, 0x4), -1);
  EXPECT_EQ(Check(&sd, app, MAXIMUM_ALLOWED), 0x2);

  // The package SID itself counts like a capability.
  ASSERT_TRUE(SetSecurityDescriptorDacl(
      &sd, TRUE,
      MakeAcl({{ACCESS_ALLOWED_ACE_TYPE, 0x1, user_.get(), 0}, {ACCESS_ALLOWED_ACE_TYPE, 0x1, package_.get(), 0}}),
      FALSE));
  EXPECT_EQ(Check(&sd, app, 0x1), 0x1);

  // A deny entry for a capability the app holds shuts it out.
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE,
                                        MakeAcl({{ACCESS_DENIED_ACE_TYPE, 0x1, otherCapability_.get(), 0},
                                                 {ACCESS_ALLOWED_ACE_TYPE, 0x1, world_.get(), 0},
                                                 {ACCESS_ALLOWED_ACE_TYPE, 0x1, allPackages_.get(), 0}}),
                                        FALSE));
  EXPECT_EQ(Check(&sd, app, 0x1), -1);
  EXPECT_EQ(Check(&sd, {{user_.sid(), world_.sid()}, false}, 0x1), 0x1);
}

TEST_F(SecurityDescriptorTest, OwnerRightsAndCallFailures) {
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, MakeAcl({}), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, user_.get(), FALSE));
  // The owner may read and change the DACL even when the DACL grants nothing ...
  EXPECT_EQ(Check(&sd, {{user_.sid(), world_.sid()}, false}, READ_CONTROL | WRITE_DAC), READ_CONTROL | WRITE_DAC);
  EXPECT_EQ(Check(&sd, {{user_.sid(), world_.sid()}, false}, MAXIMUM_ALLOWED), READ_CONTROL | WRITE_DAC);
  EXPECT_EQ(Check(&sd, {{user_.sid()}, false}, DELETE), -1);
  EXPECT_EQ(Check(&sd, {{users_.sid()}, false}, READ_CONTROL), -1);
  // ... but an app container run by the owner gets nothing from it.
  EXPECT_EQ(Check(&sd, {{user_.sid(), package_.sid()}, true}, READ_CONTROL), -1);

  DWORD granted = 0;
  BOOL status = FALSE;
  const std::vector<const SID*> sids{world_.sid()};
  SetLastError(0);
  EXPECT_FALSE(AccessCheckBySids(nullptr, sids, false, 1, &kMapping, &granted, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SECURITY_DESCR);
  EXPECT_FALSE(AccessCheckBySids(&sd, sids, false, 1, nullptr, &granted, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(AccessCheckBySids(&sd, sids, false, 1, &kMapping, nullptr, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  BYTE badSid[12] = {1, 77};
  EXPECT_FALSE(AccessCheckBySids(&sd, {reinterpret_cast<const SID*>(badSid)}, false, 1, &kMapping, &granted, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
  BYTE broken[8] = {2, 0, 8, 0, 1, 0, 0, 0};  // one entry announced, none there
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(broken), FALSE));
  EXPECT_FALSE(AccessCheckBySids(&sd, sids, false, 1, &kMapping, &granted, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ACL);
}

}  // namespace
}  // namespace platform
