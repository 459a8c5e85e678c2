// Security identifiers, access control lists, security descriptors and the access
// check of the machine's objects. Structures have the original's binary layout (a SID
// or an ACL built here can be written to the wire or a file byte for byte), calls keep
// its names, parameters and error codes. Memory handed to the caller comes from
// LocalAlloc (memory.h) unless a call says otherwise.
//
// Everything here describes principals of the simulated machine only. Nothing reads
// or changes the host's users, groups or privileges.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/memory.h"
#include "platform/types.h"

namespace platform {

// --- SIDs ------------------------------------------------------------------------------------

struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];  // big-endian 48-bit number
};
using PSID_IDENTIFIER_AUTHORITY = SID_IDENTIFIER_AUTHORITY*;

// Binary layout: revision (1), sub-authority count, identifier authority, then the
// count of 32-bit sub-authorities in host (little-endian) order. SubAuthority is
// declared with one element; real SIDs are allocated with room for their count.
struct SID {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[1];
};
static_assert(sizeof(SID) == 12);

// As on the original, a SID is passed around untyped.
using PSID = void*;

inline constexpr BYTE SID_REVISION = 1;
inline constexpr BYTE SID_MAX_SUB_AUTHORITIES = 15;
inline constexpr DWORD SECURITY_MAX_SID_SIZE = 8 + 4 * SID_MAX_SUB_AUTHORITIES;  // 68

inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_NULL_SID_AUTHORITY = {{0, 0, 0, 0, 0, 0}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_WORLD_SID_AUTHORITY = {{0, 0, 0, 0, 0, 1}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_LOCAL_SID_AUTHORITY = {{0, 0, 0, 0, 0, 2}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_CREATOR_SID_AUTHORITY = {{0, 0, 0, 0, 0, 3}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_NT_AUTHORITY = {{0, 0, 0, 0, 0, 5}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_APP_PACKAGE_AUTHORITY = {{0, 0, 0, 0, 0, 15}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_MANDATORY_LABEL_AUTHORITY = {{0, 0, 0, 0, 0, 16}};

// Relative identifiers.
inline constexpr DWORD SECURITY_NULL_RID = 0;
inline constexpr DWORD SECURITY_WORLD_RID = 0;
inline constexpr DWORD SECURITY_LOCAL_RID = 0;
inline constexpr DWORD SECURITY_CREATOR_OWNER_RID = 0;
inline constexpr DWORD SECURITY_CREATOR_GROUP_RID = 1;
inline constexpr DWORD SECURITY_DIALUP_RID = 1;
inline constexpr DWORD SECURITY_NETWORK_RID = 2;
inline constexpr DWORD SECURITY_BATCH_RID = 3;
inline constexpr DWORD SECURITY_INTERACTIVE_RID = 4;
inline constexpr DWORD SECURITY_LOGON_IDS_RID = 5;
inline constexpr DWORD SECURITY_SERVICE_RID = 6;
inline constexpr DWORD SECURITY_ANONYMOUS_LOGON_RID = 7;
inline constexpr DWORD SECURITY_AUTHENTICATED_USER_RID = 11;
inline constexpr DWORD SECURITY_LOCAL_SYSTEM_RID = 18;
inline constexpr DWORD SECURITY_LOCAL_SERVICE_RID = 19;
inline constexpr DWORD SECURITY_NETWORK_SERVICE_RID = 20;
inline constexpr DWORD SECURITY_BUILTIN_DOMAIN_RID = 32;
inline constexpr DWORD DOMAIN_ALIAS_RID_ADMINS = 544;
inline constexpr DWORD DOMAIN_ALIAS_RID_USERS = 545;
inline constexpr DWORD DOMAIN_ALIAS_RID_GUESTS = 546;
inline constexpr DWORD DOMAIN_ALIAS_RID_POWER_USERS = 547;

// App containers: package SIDs are S-1-15-2-..., capability SIDs S-1-15-3-...
inline constexpr DWORD SECURITY_APP_PACKAGE_BASE_RID = 2;
inline constexpr DWORD SECURITY_BUILTIN_PACKAGE_ANY_PACKAGE = 1;  // S-1-15-2-1, all app packages
inline constexpr DWORD SECURITY_CAPABILITY_BASE_RID = 3;
inline constexpr DWORD SECURITY_CAPABILITY_APP_RID = 1024;  // hashed capability names
inline constexpr DWORD SECURITY_APP_PACKAGE_RID_COUNT = 8;
inline constexpr DWORD SECURITY_CAPABILITY_RID_COUNT = 5;
inline constexpr DWORD SECURITY_BUILTIN_CAPABILITY_RID_COUNT = 2;
inline constexpr DWORD SECURITY_INSTALLER_CAPABILITY_RID_COUNT = 10;       // 3, 1024, eight hash words
inline constexpr DWORD SECURITY_INSTALLER_GROUP_CAPABILITY_RID_COUNT = 9;  // 32, eight hash words

// Mandatory integrity levels (S-1-16-x).
inline constexpr DWORD SECURITY_MANDATORY_UNTRUSTED_RID = 0x0000;
inline constexpr DWORD SECURITY_MANDATORY_LOW_RID = 0x1000;
inline constexpr DWORD SECURITY_MANDATORY_MEDIUM_RID = 0x2000;
inline constexpr DWORD SECURITY_MANDATORY_HIGH_RID = 0x3000;
inline constexpr DWORD SECURITY_MANDATORY_SYSTEM_RID = 0x4000;

DWORD GetSidLengthRequired(BYTE subAuthorityCount);
// Checks the revision and the sub-authority count; the SID is trusted to be as long
// as its count says.
BOOL IsValidSid(PSID sid);
// 8 + 4 * count; 0 for an invalid SID (the original leaves it undefined).
DWORD GetLengthSid(PSID sid);
BOOL EqualSid(PSID sid1, PSID sid2);
// ERROR_INSUFFICIENT_BUFFER when `destLength` is smaller than the SID.
BOOL CopySid(DWORD destLength, PSID dest, PSID source);
BOOL InitializeSid(PSID sid, PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount);
PSID_IDENTIFIER_AUTHORITY GetSidIdentifierAuthority(PSID sid);
BYTE* GetSidSubAuthorityCount(PSID sid);
DWORD* GetSidSubAuthority(PSID sid, DWORD index);

// Takes the first `subAuthorityCount` of the eight values; more than 8 fails with
// ERROR_INVALID_PARAMETER. The SID is freed with FreeSid.
BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount, DWORD subAuthority0,
                              DWORD subAuthority1, DWORD subAuthority2, DWORD subAuthority3, DWORD subAuthority4,
                              DWORD subAuthority5, DWORD subAuthority6, DWORD subAuthority7, PSID* sid);
// Null on success.
PSID FreeSid(PSID sid);

// "S-1-5-32-544". An identifier authority of 2^32 or more is written as 0x followed by
// twelve hex digits, as the original does. The string is freed with LocalFree.
BOOL ConvertSidToStringSid(PSID sid, LPWSTR* stringSid);
// Accepts that form (decimal or 0x authority, "s" in either case) and the two-letter
// aliases of well-known SIDs (WD, SY, BA, BU, AU, LS, NS, AC, ...). Fails with
// ERROR_INVALID_SID. The SID is freed with LocalFree.
BOOL ConvertStringSidToSid(LPCWSTR stringSid, PSID* sid);

enum WELL_KNOWN_SID_TYPE : int {
  WinNullSid = 0,
  WinWorldSid = 1,
  WinLocalSid = 2,
  WinCreatorOwnerSid = 3,
  WinCreatorGroupSid = 4,
  WinCreatorOwnerServerSid = 5,
  WinCreatorGroupServerSid = 6,
  WinNtAuthoritySid = 7,
  WinDialupSid = 8,
  WinNetworkSid = 9,
  WinBatchSid = 10,
  WinInteractiveSid = 11,
  WinServiceSid = 12,
  WinAnonymousSid = 13,
  WinProxySid = 14,
  WinEnterpriseControllersSid = 15,
  WinSelfSid = 16,
  WinAuthenticatedUserSid = 17,
  WinRestrictedCodeSid = 18,
  WinTerminalServerSid = 19,
  WinRemoteLogonIdSid = 20,
  WinLogonIdsSid = 21,
  WinLocalSystemSid = 22,
  WinLocalServiceSid = 23,
  WinNetworkServiceSid = 24,
  WinBuiltinDomainSid = 25,
  WinBuiltinAdministratorsSid = 26,
  WinBuiltinUsersSid = 27,
  WinBuiltinGuestsSid = 28,
  WinBuiltinPowerUsersSid = 29,
  WinUntrustedLabelSid = 65,
  WinLowLabelSid = 66,
  WinMediumLabelSid = 67,
  WinHighLabelSid = 68,
  WinSystemLabelSid = 69,
  WinApplicationPackageAuthoritySid = 83,
  WinBuiltinAnyPackageSid = 84,
};

// Builds a well-known SID into `sid`. `domainSid` is not needed by any supported type
// and is ignored; types that need a domain or logon session (and unknown types) fail
// with ERROR_INVALID_PARAMETER. A buffer smaller than the SID (also a null buffer)
// fails with ERROR_INSUFFICIENT_BUFFER and the required size in *sidSize.
BOOL CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domainSid, PSID sid, DWORD* sidSize);
// TRUE when `sid` is the given well-known SID.
BOOL IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type);

// The SIDs a capability name stands for, as the original derives them:
//
//   digest  = SHA-256 of the name upper-cased (per UTF-16 unit) and encoded UTF-16LE,
//             without a terminator;
//   h0..h7  = the digest read as eight little-endian 32-bit words;
//   capability SID = S-1-15-3-1024-h0-h1-h2-h3-h4-h5-h6-h7
//   group SID      = S-1-5-32-h0-h1-h2-h3-h4-h5-h6-h7
//
// Every name gives exactly one group SID. The twelve capabilities that had fixed SIDs
// before names were hashed (internetClient = 1 ... contacts = 12, compared without
// regard to case) give two capability SIDs: first the fixed S-1-15-3-<rid>, then the
// hashed one. Any other name gives exactly one. Both arrays and every SID in them are
// LocalAlloc'ed; the caller frees each SID and then the array with LocalFree. A null
// or empty name, or a null out pointer, fails with ERROR_INVALID_PARAMETER.
BOOL DeriveCapabilitySidsFromName(LPCWSTR capName, PSID** capabilityGroupSids, DWORD* capabilityGroupSidCount,
                                  PSID** capabilitySids, DWORD* capabilitySidCount);

// --- Access masks ------------------------------------------------------------------------------

using ACCESS_MASK = DWORD;
using PACCESS_MASK = ACCESS_MASK*;

inline constexpr ACCESS_MASK DELETE = 0x00010000;
inline constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
inline constexpr ACCESS_MASK WRITE_DAC = 0x00040000;
inline constexpr ACCESS_MASK WRITE_OWNER = 0x00080000;
inline constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0x000F0000;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_READ = READ_CONTROL;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_WRITE = READ_CONTROL;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_EXECUTE = READ_CONTROL;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_ALL = 0x001F0000;
inline constexpr ACCESS_MASK SPECIFIC_RIGHTS_ALL = 0x0000FFFF;
inline constexpr ACCESS_MASK ACCESS_SYSTEM_SECURITY = 0x01000000;
inline constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;
inline constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
inline constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
inline constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000;
inline constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;

struct GENERIC_MAPPING {
  ACCESS_MASK GenericRead;
  ACCESS_MASK GenericWrite;
  ACCESS_MASK GenericExecute;
  ACCESS_MASK GenericAll;
};
using PGENERIC_MAPPING = GENERIC_MAPPING*;

// Replaces each generic bit of *accessMask by its mapped rights and clears the generic bits.
void MapGenericMask(DWORD* accessMask, const GENERIC_MAPPING* genericMapping);

// --- ACLs --------------------------------------------------------------------------------------

// Binary layout: an 8-byte header followed by AceCount entries, each starting with an
// ACE_HEADER whose AceSize leads to the next one.
struct ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
};
using PACL = ACL*;
static_assert(sizeof(ACL) == 8);

inline constexpr DWORD ACL_REVISION = 2;
inline constexpr DWORD ACL_REVISION_DS = 4;

struct ACE_HEADER {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;
};
using PACE_HEADER = ACE_HEADER*;

inline constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0x0;
inline constexpr BYTE ACCESS_DENIED_ACE_TYPE = 0x1;
inline constexpr BYTE SYSTEM_AUDIT_ACE_TYPE = 0x2;

inline constexpr BYTE OBJECT_INHERIT_ACE = 0x01;
inline constexpr BYTE CONTAINER_INHERIT_ACE = 0x02;
inline constexpr BYTE NO_PROPAGATE_INHERIT_ACE = 0x04;
inline constexpr BYTE INHERIT_ONLY_ACE = 0x08;
inline constexpr BYTE INHERITED_ACE = 0x10;
inline constexpr BYTE VALID_INHERIT_FLAGS = 0x1F;

// The SID starts at SidStart and runs past the end of the structure.
struct ACCESS_ALLOWED_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  DWORD SidStart;
};
struct ACCESS_DENIED_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  DWORD SidStart;
};
using PACCESS_ALLOWED_ACE = ACCESS_ALLOWED_ACE*;
using PACCESS_DENIED_ACE = ACCESS_DENIED_ACE*;
static_assert(sizeof(ACCESS_ALLOWED_ACE) == 12);

// `aclLength` at least sizeof(ACL) (else ERROR_INSUFFICIENT_BUFFER) and at most 64 KiB - 1;
// revision ACL_REVISION or ACL_REVISION_DS (else ERROR_UNKNOWN_REVISION).
BOOL InitializeAcl(PACL acl, DWORD aclLength, DWORD aclRevision);
BOOL IsValidAcl(PACL acl);
// Append one entry at the end. ERROR_ALLOTTED_SPACE_EXCEEDED when the ACL has no room,
// ERROR_INVALID_SID / ERROR_INVALID_ACL for a bad SID or ACL, ERROR_INVALID_FLAGS for
// flags outside VALID_INHERIT_FLAGS.
BOOL AddAccessAllowedAce(PACL acl, DWORD aceRevision, DWORD accessMask, PSID sid);
BOOL AddAccessAllowedAceEx(PACL acl, DWORD aceRevision, DWORD aceFlags, DWORD accessMask, PSID sid);
BOOL AddAccessDeniedAce(PACL acl, DWORD aceRevision, DWORD accessMask, PSID sid);
BOOL AddAccessDeniedAceEx(PACL acl, DWORD aceRevision, DWORD aceFlags, DWORD accessMask, PSID sid);
// Points *ace at entry `index` inside the ACL. ERROR_INVALID_PARAMETER past the end.
BOOL GetAce(PACL acl, DWORD index, LPVOID* ace);
BOOL DeleteAce(PACL acl, DWORD index);

enum ACL_INFORMATION_CLASS : int {
  AclRevisionInformation = 1,
  AclSizeInformation = 2,
};
struct ACL_REVISION_INFORMATION {
  DWORD AclRevision;
};
struct ACL_SIZE_INFORMATION {
  DWORD AceCount;
  DWORD AclBytesInUse;
  DWORD AclBytesFree;
};
BOOL GetAclInformation(PACL acl, LPVOID information, DWORD informationLength, ACL_INFORMATION_CLASS infoClass);

// --- Building ACLs from explicit entries ---------------------------------------------------------

enum ACCESS_MODE : int {
  NOT_USED_ACCESS = 0,
  GRANT_ACCESS = 1,
  SET_ACCESS = 2,
  DENY_ACCESS = 3,
  REVOKE_ACCESS = 4,
  SET_AUDIT_SUCCESS = 5,
  SET_AUDIT_FAILURE = 6,
};

enum MULTIPLE_TRUSTEE_OPERATION : int {
  NO_MULTIPLE_TRUSTEE = 0,
  TRUSTEE_IS_IMPERSONATE = 1,
};

enum TRUSTEE_FORM : int {
  TRUSTEE_IS_SID = 0,
  TRUSTEE_IS_NAME = 1,
  TRUSTEE_BAD_FORM = 2,
  TRUSTEE_IS_OBJECTS_AND_SID = 3,
  TRUSTEE_IS_OBJECTS_AND_NAME = 4,
};

enum TRUSTEE_TYPE : int {
  TRUSTEE_IS_UNKNOWN = 0,
  TRUSTEE_IS_USER = 1,
  TRUSTEE_IS_GROUP = 2,
  TRUSTEE_IS_DOMAIN = 3,
  TRUSTEE_IS_ALIAS = 4,
  TRUSTEE_IS_WELL_KNOWN_GROUP = 5,
  TRUSTEE_IS_DELETED = 6,
  TRUSTEE_IS_INVALID = 7,
  TRUSTEE_IS_COMPUTER = 8,
};

struct TRUSTEE {
  TRUSTEE* pMultipleTrustee;
  MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
  TRUSTEE_FORM TrusteeForm;
  TRUSTEE_TYPE TrusteeType;
  LPWSTR ptstrName;  // the SID (cast) for TRUSTEE_IS_SID, else an account name
};
using PTRUSTEE = TRUSTEE*;

// Inheritance values of EXPLICIT_ACCESS::grfInheritance (they are the ACE flags).
inline constexpr DWORD NO_INHERITANCE = 0x0;
inline constexpr DWORD SUB_OBJECTS_ONLY_INHERIT = 0x1;
inline constexpr DWORD SUB_CONTAINERS_ONLY_INHERIT = 0x2;
inline constexpr DWORD SUB_CONTAINERS_AND_OBJECTS_INHERIT = 0x3;
inline constexpr DWORD INHERIT_NO_PROPAGATE = 0x4;
inline constexpr DWORD INHERIT_ONLY = 0x8;

struct EXPLICIT_ACCESS {
  DWORD grfAccessPermissions;
  ACCESS_MODE grfAccessMode;
  DWORD grfInheritance;
  TRUSTEE Trustee;
};
using PEXPLICIT_ACCESS = EXPLICIT_ACCESS*;

// Merges `entries` into a copy of `oldAcl` (null: start empty) and returns the new ACL
// in *newAcl, to be freed with LocalFree. Returns a Win32 code; *newAcl is untouched on
// failure. Per entry, for the trustee's explicit entries with the same inheritance:
//   GRANT_ACCESS   adds the rights to its allow entry (created if missing); existing
//                  deny entries stay as they are;
//   SET_ACCESS     drops all its explicit entries (allow and deny) and adds one allow
//                  entry with exactly these rights;
//   DENY_ACCESS    adds the rights to its deny entry (created if missing);
//   REVOKE_ACCESS  drops its explicit allow entries;
//   NOT_USED_ACCESS is skipped; the audit modes fail with ERROR_INVALID_PARAMETER (a
//   DACL cannot hold them).
// The result is in the original's canonical order: explicit deny entries, explicit
// allow entries, then inherited entries (INHERITED_ACE) in their old order. With no
// entries and no old ACL the result is an empty ACL, never null (a null DACL would
// grant everyone everything). Trustees: TRUSTEE_IS_SID, or TRUSTEE_IS_NAME with the
// English name of a well-known SID ("Everyone", "SYSTEM", "NT AUTHORITY\SYSTEM",
// "BUILTIN\Administrators", ...; other names fail with ERROR_NONE_MAPPED). Multiple
// trustees are not supported (ERROR_INVALID_PARAMETER).
DWORD SetEntriesInAcl(ULONG countOfExplicitEntries, const EXPLICIT_ACCESS* listOfExplicitEntries, PACL oldAcl,
                      PACL* newAcl);

// --- Security descriptors ----------------------------------------------------------------------

using SECURITY_DESCRIPTOR_CONTROL = WORD;
using PSECURITY_DESCRIPTOR_CONTROL = WORD*;

inline constexpr WORD SE_OWNER_DEFAULTED = 0x0001;
inline constexpr WORD SE_GROUP_DEFAULTED = 0x0002;
inline constexpr WORD SE_DACL_PRESENT = 0x0004;
inline constexpr WORD SE_DACL_DEFAULTED = 0x0008;
inline constexpr WORD SE_SACL_PRESENT = 0x0010;
inline constexpr WORD SE_SACL_DEFAULTED = 0x0020;
inline constexpr WORD SE_DACL_AUTO_INHERIT_REQ = 0x0100;
inline constexpr WORD SE_SACL_AUTO_INHERIT_REQ = 0x0200;
inline constexpr WORD SE_DACL_AUTO_INHERITED = 0x0400;
inline constexpr WORD SE_SACL_AUTO_INHERITED = 0x0800;
inline constexpr WORD SE_DACL_PROTECTED = 0x1000;
inline constexpr WORD SE_SACL_PROTECTED = 0x2000;
inline constexpr WORD SE_RM_CONTROL_VALID = 0x4000;
inline constexpr WORD SE_SELF_RELATIVE = 0x8000;

inline constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;

// Absolute form: the parts are pointers to memory the caller keeps alive.
struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
};
// Self-relative form (SE_SELF_RELATIVE set): one block, the parts at byte offsets from
// its start (0 = absent).
struct SECURITY_DESCRIPTOR_RELATIVE {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  DWORD Owner;
  DWORD Group;
  DWORD Sacl;
  DWORD Dacl;
};
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20);

// As on the original, a descriptor of either form is passed around untyped.
using PSECURITY_DESCRIPTOR = void*;
inline constexpr DWORD SECURITY_DESCRIPTOR_MIN_LENGTH = sizeof(SECURITY_DESCRIPTOR);

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};

// Every call below accepts either form for reading; the setters need the absolute form
// (ERROR_INVALID_SECURITY_DESCR otherwise) and a revision 1 descriptor
// (ERROR_UNKNOWN_REVISION otherwise).
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor);
BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, PSECURITY_DESCRIPTOR_CONTROL control,
                                  DWORD* revision);
// present FALSE removes the DACL (and clears SE_DACL_DEFAULTED); a present null DACL is
// the "everyone may do anything" descriptor.
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl, BOOL daclDefaulted);
// Without a DACL *daclPresent is FALSE and *dacl null.
BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL* daclPresent, PACL* dacl, BOOL* daclDefaulted);
BOOL SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor, BOOL saclPresent, PACL sacl, BOOL saclDefaulted);
BOOL GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor, BOOL* saclPresent, PACL* sacl, BOOL* saclDefaulted);
BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL ownerDefaulted);
BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID* owner, BOOL* ownerDefaulted);
BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID group, BOOL groupDefaulted);
BOOL GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID* group, BOOL* groupDefaulted);
// Size of the descriptor with everything it points to, as a self-relative block.
DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR descriptor);
// Copies an absolute descriptor and everything it points to into one self-relative
// block. ERROR_INSUFFICIENT_BUFFER with the size in *bufferLength when it does not
// fit, ERROR_BAD_DESCRIPTOR_FORMAT when the source is already self-relative.
BOOL MakeSelfRelativeSD(PSECURITY_DESCRIPTOR absoluteDescriptor, PSECURITY_DESCRIPTOR selfRelativeDescriptor,
                        DWORD* bufferLength);

namespace security {

// A self-contained copy of a descriptor of either form, for holders that outlive the
// caller's SIDs and ACLs (the RPC runtime keeps one per endpoint). data() is a
// self-relative descriptor usable with every call above. Empty, with the last error
// set, when `descriptor` is not valid.
std::vector<BYTE> CopySecurityDescriptor(PSECURITY_DESCRIPTOR descriptor);

}  // namespace security

// --- Access check --------------------------------------------------------------------------------

// Decides whether a caller holding `callerSids` gets `desiredAccess` on an object
// protected by `descriptor`. It takes SIDs instead of a token so that the RPC runtime
// and the token area can both use it; callers pass the user SID, the enabled group
// SIDs and, for an app container, its package SID and capability SIDs. The model is
// the original's:
//
//  - Generic rights in `desiredAccess` and in every entry's mask are mapped with
//    `genericMapping` first. MAXIMUM_ALLOWED asks for every right the caller can get.
//  - No DACL (absent, or present and null): everything asked for is granted
//    (MAXIMUM_ALLOWED gets GenericAll).
//  - A DACL is walked in order, INHERIT_ONLY entries skipped. An entry matches when
//    its SID is one of the caller's. A matching deny entry denies those of its rights
//    that are not granted yet; a matching allow entry grants those of its rights that
//    are not denied yet. An empty DACL therefore grants nothing.
//  - The owner (if the descriptor has one and it is among the caller's SIDs) has
//    READ_CONTROL and WRITE_DAC implicitly.
//  - An app container (`isAppContainer`) must pass the walk twice: once with its
//    ordinary SIDs (user, groups: everything outside authority 15), once with its
//    package and capability SIDs (authority 15; the entry for ALL APPLICATION PACKAGES,
//    S-1-15-2-1, matches every app container). It gets only what both passes grant.
//    So an Everyone entry alone does not admit an app container; an entry for a
//    capability it holds does. The owner's implicit rights count in the first pass only.
//  - Ordinary callers are walked once with all their SIDs.
//
// Returns FALSE (the call failed) with ERROR_INVALID_SECURITY_DESCR for an invalid
// descriptor, ERROR_INVALID_ACL for a malformed DACL, ERROR_INVALID_PARAMETER for null
// out pointers or mapping, ERROR_INVALID_SID for an invalid caller SID. Otherwise TRUE,
// *accessStatus TRUE and *grantedAccess the granted rights when every right asked for
// was granted (for MAXIMUM_ALLOWED: at least one), else *accessStatus FALSE,
// *grantedAccess 0 and the last error ERROR_ACCESS_DENIED. Owner and group need not be
// set (the RPC endpoint's descriptor has neither). `descriptor` is either form, so a
// kept copy from security::CopySecurityDescriptor can be passed as it is.
BOOL AccessCheckBySids(const void* descriptor, const std::vector<const SID*>& callerSids, bool isAppContainer,
                       DWORD desiredAccess, const GENERIC_MAPPING* genericMapping, DWORD* grantedAccess,
                       BOOL* accessStatus);

}  // namespace platform
