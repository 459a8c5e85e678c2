// SIDs: binary helpers, string form, well-known SIDs and SIDs derived from
// capability names.
#include "platform/security.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <span>
#include <string>
#include <string_view>

#include "platform/src/base/sha256.h"
#include "platform/src/security/security_internal.h"
#include "platform/text.h"

#include "platform/src/base/trace.h"

namespace platform {
namespace security::detail {

DWORD SidLengthWithin(const void* sid, std::size_t available) {
  if (sid == nullptr || available < 8) return 0;
  const auto* bytes = static_cast<const BYTE*>(sid);
  if (bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES) return 0;
  const DWORD length = 8 + 4 * DWORD{bytes[1]};
  return length <= available ? length : 0;
}

DWORD SidLength(const void* sid) {
  return SidLengthWithin(sid, SECURITY_MAX_SID_SIZE);
}

bool SidEquals(const void* a, const void* b) {
  const DWORD length = SidLength(a);
  return length != 0 && length == SidLength(b) && std::memcmp(a, b, length) == 0;
}

bool IsAppPackageAuthoritySid(const void* sid) {
  return SidLength(sid) != 0 &&
         std::memcmp(static_cast<const BYTE*>(sid) + 2, SECURITY_APP_PACKAGE_AUTHORITY.Value, 6) == 0;
}

std::vector<BYTE> MakeSid(const SID_IDENTIFIER_AUTHORITY& authority, std::span<const DWORD> subAuthorities) {
  std::vector<BYTE> sid(8 + 4 * subAuthorities.size());
  sid[0] = SID_REVISION;
  sid[1] = static_cast<BYTE>(subAuthorities.size());
  std::memcpy(sid.data() + 2, authority.Value, 6);
  std::size_t offset = 8;
  for (DWORD rid : subAuthorities) {
    std::memcpy(sid.data() + offset, &rid, 4);
    offset += 4;
  }
  return sid;
}

std::vector<BYTE> MakeSid(const SID_IDENTIFIER_AUTHORITY& authority, std::initializer_list<DWORD> subAuthorities) {
  return MakeSid(authority, std::span<const DWORD>(subAuthorities.begin(), subAuthorities.size()));
}

namespace {

// Up to two relative identifiers, enough for every well-known SID below.
struct Rids {
  Rids() = default;
  Rids(DWORD a) : values{a, 0}, count(1) {}
  Rids(DWORD a, DWORD b) : values{a, b}, count(2) {}
  std::span<const DWORD> span() const { return {values.data(), count}; }
  std::array<DWORD, 2> values{};
  std::size_t count = 0;
};

struct WellKnown {
  WELL_KNOWN_SID_TYPE type;
  SID_IDENTIFIER_AUTHORITY authority;
  Rids rids;
  const wchar_t* alias;  // two-letter string form, or null
  std::array<const wchar_t*, 2> names;
};

// The well-known SIDs that need neither a domain nor a logon session.
std::span<const WellKnown> WellKnownTable() {
  static const WellKnown table[] = {
      {WinNullSid, SECURITY_NULL_SID_AUTHORITY, {SECURITY_NULL_RID}, nullptr, {L"NULL SID"}},
      {WinWorldSid, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}, L"WD", {L"Everyone"}},
      {WinLocalSid, SECURITY_LOCAL_SID_AUTHORITY, {SECURITY_LOCAL_RID}, nullptr, {L"LOCAL"}},
      {WinCreatorOwnerSid, SECURITY_CREATOR_SID_AUTHORITY, {SECURITY_CREATOR_OWNER_RID}, L"CO", {L"CREATOR OWNER"}},
      {WinCreatorGroupSid, SECURITY_CREATOR_SID_AUTHORITY, {SECURITY_CREATOR_GROUP_RID}, L"CG", {L"CREATOR GROUP"}},
      {WinCreatorOwnerServerSid, SECURITY_CREATOR_SID_AUTHORITY, {2}, nullptr, {}},
      {WinCreatorGroupServerSid, SECURITY_CREATOR_SID_AUTHORITY, {3}, nullptr, {}},
      {WinNtAuthoritySid, SECURITY_NT_AUTHORITY, Rids{}, nullptr, {}},
      {WinDialupSid, SECURITY_NT_AUTHORITY, {SECURITY_DIALUP_RID}, nullptr, {L"NT AUTHORITY\\DIALUP"}},
      {WinNetworkSid, SECURITY_NT_AUTHORITY, {SECURITY_NETWORK_RID}, L"NU", {L"NT AUTHORITY\\NETWORK"}},
      {WinBatchSid, SECURITY_NT_AUTHORITY, {SECURITY_BATCH_RID}, nullptr, {L"NT AUTHORITY\\BATCH"}},
      {WinInteractiveSid, SECURITY_NT_AUTHORITY, {SECURITY_INTERACTIVE_RID}, L"IU", {L"NT AUTHORITY\\INTERACTIVE"}},
      {WinServiceSid, SECURITY_NT_AUTHORITY, {SECURITY_SERVICE_RID}, L"SU", {L"NT AUTHORITY\\SERVICE"}},
      {WinAnonymousSid,
       SECURITY_NT_AUTHORITY,
       {SECURITY_ANONYMOUS_LOGON_RID},
       L"AN",
       {L"NT AUTHORITY\\ANONYMOUS LOGON"}},
      {WinProxySid, SECURITY_NT_AUTHORITY, {8}, nullptr, {}},
      {WinEnterpriseControllersSid, SECURITY_NT_AUTHORITY, {9}, nullptr, {}},
      {WinSelfSid, SECURITY_NT_AUTHORITY, {10}, L"PS", {L"NT AUTHORITY\\SELF"}},
      {WinAuthenticatedUserSid,
       SECURITY_NT_AUTHORITY,
       {SECURITY_AUTHENTICATED_USER_RID},
       L"AU",
       {L"NT AUTHORITY\\Authenticated Users", L"Authenticated Users"}},
      {WinRestrictedCodeSid, SECURITY_NT_AUTHORITY, {12}, L"RC", {L"NT AUTHORITY\\RESTRICTED"}},
      {WinTerminalServerSid, SECURITY_NT_AUTHORITY, {13}, nullptr, {}},
      {WinRemoteLogonIdSid, SECURITY_NT_AUTHORITY, {14}, nullptr, {}},
      {WinLocalSystemSid,
       SECURITY_NT_AUTHORITY,
       {SECURITY_LOCAL_SYSTEM_RID},
       L"SY",
       {L"NT AUTHORITY\\SYSTEM", L"SYSTEM"}},
      {WinLocalServiceSid,
       SECURITY_NT_AUTHORITY,
       {SECURITY_LOCAL_SERVICE_RID},
       L"LS",
       {L"NT AUTHORITY\\LOCAL SERVICE", L"LOCAL SERVICE"}},
      {WinNetworkServiceSid,
       SECURITY_NT_AUTHORITY,
       {SECURITY_NETWORK_SERVICE_RID},
       L"NS",
       {L"NT AUTHORITY\\NETWORK SERVICE", L"NETWORK SERVICE"}},
      {WinBuiltinDomainSid, SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID}, nullptr, {L"BUILTIN"}},
      {WinBuiltinAdministratorsSid,
       SECURITY_NT_AUTHORITY,
       {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS},
       L"BA",
       {L"BUILTIN\\Administrators", L"Administrators"}},
      {WinBuiltinUsersSid,
       SECURITY_NT_AUTHORITY,
       {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS},
       L"BU",
       {L"BUILTIN\\Users", L"Users"}},
      {WinBuiltinGuestsSid,
       SECURITY_NT_AUTHORITY,
       {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_GUESTS},
       L"BG",
       {L"BUILTIN\\Guests", L"Guests"}},
      {WinBuiltinPowerUsersSid,
       SECURITY_NT_AUTHORITY,
       {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_POWER_USERS},
       L"PU",
       {L"BUILTIN\\Power Users", L"Power Users"}},
      {WinUntrustedLabelSid, SECURITY_MANDATORY_LABEL_AUTHORITY, {SECURITY_MANDATORY_UNTRUSTED_RID}, nullptr, {}},
      {WinLowLabelSid, SECURITY_MANDATORY_LABEL_AUTHORITY, {SECURITY_MANDATORY_LOW_RID}, L"LW", {}},
      {WinMediumLabelSid, SECURITY_MANDATORY_LABEL_AUTHORITY, {SECURITY_MANDATORY_MEDIUM_RID}, L"ME", {}},
      {WinHighLabelSid, SECURITY_MANDATORY_LABEL_AUTHORITY, {SECURITY_MANDATORY_HIGH_RID}, L"HI", {}},
      {WinSystemLabelSid, SECURITY_MANDATORY_LABEL_AUTHORITY, {SECURITY_MANDATORY_SYSTEM_RID}, L"SI", {}},
      {WinBuiltinAnyPackageSid,
       SECURITY_APP_PACKAGE_AUTHORITY,
       {SECURITY_APP_PACKAGE_BASE_RID, SECURITY_BUILTIN_PACKAGE_ANY_PACKAGE},
       L"AC",
       {L"APPLICATION PACKAGE AUTHORITY\\ALL APPLICATION PACKAGES", L"ALL APPLICATION PACKAGES"}},
  };
  return table;
}

const WellKnown* FindWellKnown(WELL_KNOWN_SID_TYPE type) {
  for (const auto& entry : WellKnownTable()) {
    if (entry.type == type) return &entry;
  }
  return nullptr;
}

}  // namespace

std::optional<std::vector<BYTE>> WellKnownSidBytes(WELL_KNOWN_SID_TYPE type) {
  if (type == WinApplicationPackageAuthoritySid) return MakeSid(SECURITY_APP_PACKAGE_AUTHORITY, {});
  const WellKnown* entry = FindWellKnown(type);
  if (entry == nullptr) return std::nullopt;
  return MakeSid(entry->authority, entry->rids.span());
}

std::optional<std::vector<BYTE>> WellKnownSidByName(std::wstring_view name) {
  for (const auto& entry : WellKnownTable()) {
    for (const wchar_t* candidate : entry.names) {
      if (candidate != nullptr && EqualsNoCase(name, candidate)) return MakeSid(entry.authority, entry.rids.span());
    }
  }
  return std::nullopt;
}

}  // namespace security::detail

using security::detail::SidLength;

// --- Binary helpers ----------------------------------------------------------------------------

DWORD GetSidLengthRequired(BYTE subAuthorityCount) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSecurity, "GetSidLengthRequired",
                                     [&]() -> DWORD { return 8 + 4 * DWORD{subAuthorityCount}; });
}

BOOL IsValidSid(PSID sid) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "IsValidSid",
                                    [&]() -> BOOL { return SidLength(sid) != 0 ? TRUE : FALSE; });
}

DWORD GetLengthSid(PSID sid) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSecurity, "GetLengthSid",
                                     [&]() -> DWORD { return SidLength(sid); });
}

BOOL EqualSid(PSID sid1, PSID sid2) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "EqualSid", [&]() -> BOOL {
    if (SidLength(sid1) == 0 || SidLength(sid2) == 0) {
      SetLastError(ERROR_INVALID_SID);
      return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return security::detail::SidEquals(sid1, sid2) ? TRUE : FALSE;
  });
}

BOOL CopySid(DWORD destLength, PSID dest, PSID source) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "CopySid", [&]() -> BOOL {
    const DWORD length = SidLength(source);
    if (length == 0) {
      SetLastError(ERROR_INVALID_SID);
      return FALSE;
    }
    if (dest == nullptr || destLength < length) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memmove(dest, source, length);
    return TRUE;
  });
}

BOOL InitializeSid(PSID sid, PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "InitializeSid", [&]() -> BOOL {
    if (sid == nullptr || authority == nullptr || subAuthorityCount > SID_MAX_SUB_AUTHORITIES) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto* bytes = static_cast<BYTE*>(sid);
    bytes[0] = SID_REVISION;
    bytes[1] = subAuthorityCount;
    std::memcpy(bytes + 2, authority->Value, 6);
    return TRUE;
  });
}

PSID_IDENTIFIER_AUTHORITY GetSidIdentifierAuthority(PSID sid) {
  return base::detail::Traced<PSID_IDENTIFIER_AUTHORITY>(
      base::detail::kTraceSecurity, "GetSidIdentifierAuthority", [&]() -> PSID_IDENTIFIER_AUTHORITY {
        SetLastError(ERROR_SUCCESS);
        return reinterpret_cast<PSID_IDENTIFIER_AUTHORITY>(static_cast<BYTE*>(sid) + 2);
      });
}

BYTE* GetSidSubAuthorityCount(PSID sid) {
  return base::detail::Traced<BYTE*>(base::detail::kTraceSecurity, "GetSidSubAuthorityCount", [&]() -> BYTE* {
    SetLastError(ERROR_SUCCESS);
    return static_cast<BYTE*>(sid) + 1;
  });
}

DWORD* GetSidSubAuthority(PSID sid, DWORD index) {
  return base::detail::Traced<DWORD*>(base::detail::kTraceSecurity, "GetSidSubAuthority", [&]() -> DWORD* {
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<DWORD*>(static_cast<BYTE*>(sid) + 8 + 4 * std::size_t{index});
  });
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount, DWORD subAuthority0,
                              DWORD subAuthority1, DWORD subAuthority2, DWORD subAuthority3, DWORD subAuthority4,
                              DWORD subAuthority5, DWORD subAuthority6, DWORD subAuthority7, PSID* sid) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "AllocateAndInitializeSid", [&]() -> BOOL {
    if (authority == nullptr || sid == nullptr || subAuthorityCount > 8) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const DWORD rids[8] = {subAuthority0, subAuthority1, subAuthority2, subAuthority3,
                           subAuthority4, subAuthority5, subAuthority6, subAuthority7};
    PSID out = LocalAlloc(LPTR, GetSidLengthRequired(subAuthorityCount));
    if (out == nullptr) return FALSE;
    InitializeSid(out, authority, subAuthorityCount);
    std::memcpy(static_cast<BYTE*>(out) + 8, rids, 4 * std::size_t{subAuthorityCount});
    *sid = out;
    return TRUE;
  });
}

PSID FreeSid(PSID sid) {
  return base::detail::Traced<PSID>(base::detail::kTraceSecurity, "FreeSid", [&]() -> PSID { return LocalFree(sid); });
}

// --- String form -------------------------------------------------------------------------------

namespace {

LPWSTR CopyToLocal(std::wstring_view text) {
  auto* out = static_cast<LPWSTR>(LocalAlloc(LPTR, (text.size() + 1) * sizeof(wchar_t)));
  if (out != nullptr) std::wmemcpy(out, text.data(), text.size());
  return out;
}

PSID CopySidToLocal(const std::vector<BYTE>& sid) {
  PSID out = LocalAlloc(LPTR, sid.size());
  if (out != nullptr) std::memcpy(out, sid.data(), sid.size());
  return out;
}

// A decimal number, or hex with "0x"; false on anything else or above `max`.
bool ParseNumber(std::wstring_view text, std::uint64_t max, std::uint64_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t result = 0;
  for (wchar_t c : text) {
    int digit;
    if (c >= L'0' && c <= L'9') {
      digit = c - L'0';
    } else if (base == 16 && c >= L'a' && c <= L'f') {
      digit = c - L'a' + 10;
    } else if (base == 16 && c >= L'A' && c <= L'F') {
      digit = c - L'A' + 10;
    } else {
      return false;
    }
    if (result > (max - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) return false;
    result = result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  *value = result;
  return true;
}

std::optional<std::vector<BYTE>> ParseStringSid(std::wstring_view text) {
  if (text.size() == 2) {
    for (const auto& entry : security::detail::WellKnownTable()) {
      if (entry.alias != nullptr && EqualsNoCase(text, entry.alias))
        return security::detail::MakeSid(entry.authority, entry.rids.span());
    }
    return std::nullopt;
  }
  if (text.size() < 5 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') return std::nullopt;
  text.remove_prefix(2);
  std::vector<std::wstring_view> parts;
  while (true) {
    std::size_t dash = text.find(L'-');
    parts.push_back(text.substr(0, dash));
    if (dash == std::wstring_view::npos) break;
    text.remove_prefix(dash + 1);
  }
  // Revision, authority, then at most 15 sub-authorities.
  if (parts.size() < 2 || parts.size() > 2u + SID_MAX_SUB_AUTHORITIES) return std::nullopt;
  std::uint64_t revision = 0, authority = 0;
  if (!ParseNumber(parts[0], 0xFF, &revision) || revision != SID_REVISION) return std::nullopt;
  if (!ParseNumber(parts[1], 0xFFFFFFFFFFFFull, &authority)) return std::nullopt;

  std::vector<BYTE> sid(8 + 4 * (parts.size() - 2));
  sid[0] = SID_REVISION;
  sid[1] = static_cast<BYTE>(parts.size() - 2);
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
  for (std::size_t i = 2; i < parts.size(); ++i) {
    std::uint64_t rid = 0;
    if (!ParseNumber(parts[i], 0xFFFFFFFFull, &rid)) return std::nullopt;
    const auto value = static_cast<DWORD>(rid);
    std::memcpy(sid.data() + 8 + 4 * (i - 2), &value, 4);
  }
  return sid;
}

}  // namespace

BOOL ConvertSidToStringSid(PSID sid, LPWSTR* stringSid) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "ConvertSidToStringSid", [&]() -> BOOL {
    if (stringSid == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (SidLength(sid) == 0) {
      SetLastError(ERROR_INVALID_SID);
      return FALSE;
    }
    const auto* bytes = static_cast<const BYTE*>(sid);
    std::uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) authority = (authority << 8) | bytes[2 + i];
    std::wstring text = L"S-1-";
    if (authority >= 0x100000000ull) {
      wchar_t hex[16];
      std::swprintf(hex, 16, L"0x%012llX", static_cast<unsigned long long>(authority));
      text += hex;
    } else {
      text += std::to_wstring(authority);
    }
    for (BYTE i = 0; i < security::detail::SidSubAuthorityCount(sid); ++i) {
      text += L'-';
      text += std::to_wstring(security::detail::SidSubAuthority(sid, i));
    }
    LPWSTR out = CopyToLocal(text);
    if (out == nullptr) return FALSE;
    *stringSid = out;
    return TRUE;
  });
}

BOOL ConvertStringSidToSid(LPCWSTR stringSid, PSID* sid) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "ConvertStringSidToSid", [&]() -> BOOL {
    if (stringSid == nullptr || sid == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto parsed = ParseStringSid(stringSid);
    if (!parsed) {
      SetLastError(ERROR_INVALID_SID);
      return FALSE;
    }
    PSID out = CopySidToLocal(*parsed);
    if (out == nullptr) return FALSE;
    *sid = out;
    return TRUE;
  });
}

// --- Well-known SIDs ---------------------------------------------------------------------------

BOOL CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID /*domainSid*/, PSID sid, DWORD* sidSize) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "CreateWellKnownSid", [&]() -> BOOL {
    if (sidSize == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto bytes = security::detail::WellKnownSidBytes(type);
    if (!bytes) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const auto length = static_cast<DWORD>(bytes->size());
    if (sid == nullptr || *sidSize < length) {
      *sidSize = length;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memcpy(sid, bytes->data(), length);
    *sidSize = length;
    return TRUE;
  });
}

BOOL IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "IsWellKnownSid", [&]() -> BOOL {
    auto bytes = security::detail::WellKnownSidBytes(type);
    return bytes && security::detail::SidEquals(sid, bytes->data()) ? TRUE : FALSE;
  });
}

// --- Capability SIDs ---------------------------------------------------------------------------

namespace {

// Capabilities that had fixed S-1-15-3-<rid> SIDs before names were hashed.
struct LegacyCapability {
  const wchar_t* name;
  DWORD rid;
};
constexpr LegacyCapability kLegacyCapabilities[] = {
    {L"internetClient", 1},
    {L"internetClientServer", 2},
    {L"privateNetworkClientServer", 3},
    {L"picturesLibrary", 4},
    {L"videosLibrary", 5},
    {L"musicLibrary", 6},
    {L"documentsLibrary", 7},
    {L"enterpriseAuthentication", 8},
    {L"sharedUserCertificates", 9},
    {L"removableStorage", 10},
    {L"appointments", 11},
    {L"contacts", 12},
};

std::array<DWORD, 8> CapabilityHash(std::wstring_view name) {
  std::wstring upper(name);
  // Upper-cased per UTF-16 unit: characters outside the BMP (surrogate pairs) keep their case.
  for (auto& c : upper) {
    if (static_cast<std::uint32_t>(c) <= 0xFFFF) c = ToUpper(c);
  }
  const std::u16string utf16 = WideToUtf16(upper);
  std::string bytes;
  bytes.reserve(utf16.size() * 2);
  for (char16_t unit : utf16) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  const auto digest = base::detail::Sha256::Of(bytes.data(), bytes.size());
  std::array<DWORD, 8> words;
  for (std::size_t i = 0; i < words.size(); ++i) {
    words[i] = DWORD{digest[4 * i]} | (DWORD{digest[4 * i + 1]} << 8) | (DWORD{digest[4 * i + 2]} << 16) |
               (DWORD{digest[4 * i + 3]} << 24);
  }
  return words;
}

// An array of LocalAlloc'ed SIDs, itself LocalAlloc'ed; null after freeing what was
// allocated when memory runs out.
PSID* SidArrayToLocal(const std::vector<std::vector<BYTE>>& sids) {
  auto* array = static_cast<PSID*>(LocalAlloc(LPTR, sizeof(PSID) * sids.size()));
  if (array == nullptr) return nullptr;
  for (std::size_t i = 0; i < sids.size(); ++i) {
    array[i] = CopySidToLocal(sids[i]);
    if (array[i] == nullptr) {
      for (std::size_t j = 0; j < i; ++j) LocalFree(array[j]);
      LocalFree(array);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  return array;
}

void FreeSidArray(PSID* array, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) LocalFree(array[i]);
  LocalFree(array);
}

}  // namespace

BOOL DeriveCapabilitySidsFromName(LPCWSTR capName, PSID** capabilityGroupSids, DWORD* capabilityGroupSidCount,
                                  PSID** capabilitySids, DWORD* capabilitySidCount) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "DeriveCapabilitySidsFromName", [&]() -> BOOL {
    if (capName == nullptr || *capName == L'\0' || capabilityGroupSids == nullptr ||
        capabilityGroupSidCount == nullptr || capabilitySids == nullptr || capabilitySidCount == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const std::wstring_view name(capName);
    const auto h = CapabilityHash(name);

    std::vector<std::vector<BYTE>> groups;
    groups.push_back(security::detail::MakeSid(
        SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7]}));
    std::vector<std::vector<BYTE>> capabilities;
    for (const auto& legacy : kLegacyCapabilities) {
      if (EqualsNoCase(name, legacy.name)) {
        capabilities.push_back(
            security::detail::MakeSid(SECURITY_APP_PACKAGE_AUTHORITY, {SECURITY_CAPABILITY_BASE_RID, legacy.rid}));
      }
    }
    capabilities.push_back(security::detail::MakeSid(
        SECURITY_APP_PACKAGE_AUTHORITY,
        {SECURITY_CAPABILITY_BASE_RID, SECURITY_CAPABILITY_APP_RID, h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7]}));

    PSID* groupArray = SidArrayToLocal(groups);
    if (groupArray == nullptr) return FALSE;
    PSID* capabilityArray = SidArrayToLocal(capabilities);
    if (capabilityArray == nullptr) {
      FreeSidArray(groupArray, groups.size());
      return FALSE;
    }
    *capabilityGroupSids = groupArray;
    *capabilityGroupSidCount = static_cast<DWORD>(groups.size());
    *capabilitySids = capabilityArray;
    *capabilitySidCount = static_cast<DWORD>(capabilities.size());
    return TRUE;
  });
}

}  // namespace platform
