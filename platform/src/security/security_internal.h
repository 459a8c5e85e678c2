// Helpers shared by the security area's sources. SIDs and ACL entries are read
// byte-wise: entries sit back to back in an ACL, so nothing here assumes more
// alignment than the layout guarantees.
#pragma once

#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/security.h"

namespace platform::security::detail {

// Length of the SID at `sid`, or 0 when it is null or not a valid SID.
DWORD SidLength(const void* sid);
// Like SidLength, but never reads past `available` bytes.
DWORD SidLengthWithin(const void* sid, std::size_t available);

inline DWORD SidSubAuthority(const void* sid, std::size_t index) {
  DWORD value;
  std::memcpy(&value, static_cast<const BYTE*>(sid) + 8 + 4 * index, sizeof value);
  return value;
}
inline BYTE SidSubAuthorityCount(const void* sid) {
  return static_cast<const BYTE*>(sid)[1];
}

// Both SIDs valid and byte for byte equal.
bool SidEquals(const void* a, const void* b);
// Authority 15: package and capability SIDs.
bool IsAppPackageAuthoritySid(const void* sid);

std::vector<BYTE> MakeSid(const SID_IDENTIFIER_AUTHORITY& authority, std::span<const DWORD> subAuthorities);
std::vector<BYTE> MakeSid(const SID_IDENTIFIER_AUTHORITY& authority, std::initializer_list<DWORD> subAuthorities);
// The SID of a well-known type this area can build, or nothing.
std::optional<std::vector<BYTE>> WellKnownSidBytes(WELL_KNOWN_SID_TYPE type);
// A well-known SID by English account name ("Everyone", "NT AUTHORITY\SYSTEM", ...).
std::optional<std::vector<BYTE>> WellKnownSidByName(std::wstring_view name);

// One entry of an ACL as stored.
struct AceView {
  BYTE type = 0;
  BYTE flags = 0;
  WORD size = 0;
  ACCESS_MASK mask = 0;       // allow and deny entries only
  const BYTE* sid = nullptr;  // allow and deny entries only
  const BYTE* raw = nullptr;  // the whole entry, `size` bytes
};

// The entries of a well-formed ACL, or nothing when it is malformed (sizes that run
// past the ACL, an allow or deny entry whose SID is invalid or too long for it).
std::optional<std::vector<AceView>> ReadAcl(const ACL* acl);
// Offset of the first free byte (header plus every entry) of a well-formed ACL.
std::size_t AclBytesInUse(const std::vector<AceView>& aces);

// A descriptor of either form, resolved to pointers.
struct DescriptorView {
  BYTE revision = 0;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  const BYTE* owner = nullptr;
  const BYTE* group = nullptr;
  const ACL* sacl = nullptr;
  const ACL* dacl = nullptr;
};

// Nothing (and the last error ERROR_INVALID_SECURITY_DESCR or ERROR_UNKNOWN_REVISION)
// when the descriptor is null or of an unknown revision. The parts are not validated.
std::optional<DescriptorView> ViewDescriptor(const void* descriptor);

}  // namespace platform::security::detail
