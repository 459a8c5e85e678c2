// Access control lists: the binary list and its entries, and SetEntriesInAcl.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/security.h"
#include "platform/src/security/security_internal.h"

#include "platform/src/base/trace.h"

namespace platform {
namespace security::detail {

std::optional<std::vector<AceView>> ReadAcl(const ACL* acl) {
  if (acl == nullptr) return std::nullopt;
  if (acl->AclRevision < ACL_REVISION || acl->AclRevision > ACL_REVISION_DS || acl->AclSize < sizeof(ACL)) {
    return std::nullopt;
  }
  const auto* base = reinterpret_cast<const BYTE*>(acl);
  std::vector<AceView> aces;
  aces.reserve(acl->AceCount);
  std::size_t offset = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (acl->AclSize - offset < sizeof(ACE_HEADER)) return std::nullopt;
    AceView ace;
    ace.raw = base + offset;
    ace.type = ace.raw[0];
    ace.flags = ace.raw[1];
    std::memcpy(&ace.size, ace.raw + 2, sizeof ace.size);
    if (ace.size < sizeof(ACE_HEADER) || ace.size % 4 != 0 || ace.size > acl->AclSize - offset) return std::nullopt;
    if (ace.type == ACCESS_ALLOWED_ACE_TYPE || ace.type == ACCESS_DENIED_ACE_TYPE) {
      constexpr std::size_t kSidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
      if (ace.size < kSidOffset || SidLengthWithin(ace.raw + kSidOffset, ace.size - kSidOffset) == 0) {
        return std::nullopt;
      }
      std::memcpy(&ace.mask, ace.raw + sizeof(ACE_HEADER), sizeof ace.mask);
      ace.sid = ace.raw + kSidOffset;
    }
    aces.push_back(ace);
    offset += ace.size;
  }
  return aces;
}

std::size_t AclBytesInUse(const std::vector<AceView>& aces) {
  std::size_t used = sizeof(ACL);
  for (const auto& ace : aces) used += ace.size;
  return used;
}

}  // namespace security::detail

namespace {

constexpr std::size_t kAceSidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);

// Appends an allow or deny entry, the common body of the Add...Ace calls.
BOOL AddAce(PACL acl, DWORD aceRevision, BYTE type, DWORD aceFlags, DWORD accessMask, PSID sid) {
  auto aces = security::detail::ReadAcl(acl);
  if (!aces) {
    SetLastError(ERROR_INVALID_ACL);
    return FALSE;
  }
  const DWORD sidLength = security::detail::SidLength(sid);
  if (sidLength == 0) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  if (aceRevision < ACL_REVISION || aceRevision > ACL_REVISION_DS) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  if ((aceFlags & ~DWORD{VALID_INHERIT_FLAGS}) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return FALSE;
  }
  const std::size_t used = security::detail::AclBytesInUse(*aces);
  const std::size_t aceSize = kAceSidOffset + sidLength;
  if (acl->AceCount == 0xFFFF || used + aceSize > acl->AclSize) {
    SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
    return FALSE;
  }
  auto* out = reinterpret_cast<BYTE*>(acl) + used;
  const ACE_HEADER header{type, static_cast<BYTE>(aceFlags), static_cast<WORD>(aceSize)};
  std::memcpy(out, &header, sizeof header);
  std::memcpy(out + sizeof header, &accessMask, sizeof accessMask);
  std::memcpy(out + kAceSidOffset, sid, sidLength);
  acl->AceCount = static_cast<WORD>(acl->AceCount + 1);
  // A list that holds a newer revision's entries says so; ours are all revision 2.
  if (aceRevision > acl->AclRevision) acl->AclRevision = static_cast<BYTE>(aceRevision);
  return TRUE;
}

}  // namespace

BOOL InitializeAcl(PACL acl, DWORD aclLength, DWORD aclRevision) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "InitializeAcl", [&]() -> BOOL {
    if (acl == nullptr || aclLength < sizeof(ACL)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    if (aclLength > 0xFFFF) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (aclRevision < ACL_REVISION || aclRevision > ACL_REVISION_DS) {
      SetLastError(ERROR_UNKNOWN_REVISION);
      return FALSE;
    }
    acl->AclRevision = static_cast<BYTE>(aclRevision);
    acl->Sbz1 = 0;
    acl->AclSize = static_cast<WORD>(aclLength & ~DWORD{3});  // entries stay DWORD-aligned
    acl->AceCount = 0;
    acl->Sbz2 = 0;
    return TRUE;
  });
}

BOOL IsValidAcl(PACL acl) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "IsValidAcl",
                                    [&]() -> BOOL { return security::detail::ReadAcl(acl) ? TRUE : FALSE; });
}

BOOL AddAccessAllowedAce(PACL acl, DWORD aceRevision, DWORD accessMask, PSID sid) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "AddAccessAllowedAce", [&]() -> BOOL {
    return AddAce(acl, aceRevision, ACCESS_ALLOWED_ACE_TYPE, 0, accessMask, sid);
  });
}

BOOL AddAccessAllowedAceEx(PACL acl, DWORD aceRevision, DWORD aceFlags, DWORD accessMask, PSID sid) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "AddAccessAllowedAceEx", [&]() -> BOOL {
    return AddAce(acl, aceRevision, ACCESS_ALLOWED_ACE_TYPE, aceFlags, accessMask, sid);
  });
}

BOOL AddAccessDeniedAce(PACL acl, DWORD aceRevision, DWORD accessMask, PSID sid) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "AddAccessDeniedAce", [&]() -> BOOL {
    return AddAce(acl, aceRevision, ACCESS_DENIED_ACE_TYPE, 0, accessMask, sid);
  });
}

BOOL AddAccessDeniedAceEx(PACL acl, DWORD aceRevision, DWORD aceFlags, DWORD accessMask, PSID sid) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "AddAccessDeniedAceEx", [&]() -> BOOL {
    return AddAce(acl, aceRevision, ACCESS_DENIED_ACE_TYPE, aceFlags, accessMask, sid);
  });
}

BOOL GetAce(PACL acl, DWORD index, LPVOID* ace) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "GetAce", [&]() -> BOOL {
    auto aces = security::detail::ReadAcl(acl);
    if (!aces) {
      SetLastError(ERROR_INVALID_ACL);
      return FALSE;
    }
    if (ace == nullptr || index >= aces->size()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    *ace = const_cast<BYTE*>((*aces)[index].raw);
    return TRUE;
  });
}

BOOL DeleteAce(PACL acl, DWORD index) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "DeleteAce", [&]() -> BOOL {
    auto aces = security::detail::ReadAcl(acl);
    if (!aces) {
      SetLastError(ERROR_INVALID_ACL);
      return FALSE;
    }
    if (index >= aces->size()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const auto& victim = (*aces)[index];
    auto* start = const_cast<BYTE*>(victim.raw);
    const std::size_t tail = security::detail::AclBytesInUse(*aces) -
                             static_cast<std::size_t>(start + victim.size - reinterpret_cast<BYTE*>(acl));
    std::memmove(start, start + victim.size, tail);
    acl->AceCount = static_cast<WORD>(acl->AceCount - 1);
    return TRUE;
  });
}

BOOL GetAclInformation(PACL acl, LPVOID information, DWORD informationLength, ACL_INFORMATION_CLASS infoClass) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "GetAclInformation", [&]() -> BOOL {
    auto aces = security::detail::ReadAcl(acl);
    if (!aces) {
      SetLastError(ERROR_INVALID_ACL);
      return FALSE;
    }
    switch (infoClass) {
      case AclRevisionInformation: {
        if (information == nullptr || informationLength < sizeof(ACL_REVISION_INFORMATION)) {
          SetLastError(ERROR_INSUFFICIENT_BUFFER);
          return FALSE;
        }
        const ACL_REVISION_INFORMATION info{acl->AclRevision};
        std::memcpy(information, &info, sizeof info);
        return TRUE;
      }
      case AclSizeInformation: {
        if (information == nullptr || informationLength < sizeof(ACL_SIZE_INFORMATION)) {
          SetLastError(ERROR_INSUFFICIENT_BUFFER);
          return FALSE;
        }
        const auto used = static_cast<DWORD>(security::detail::AclBytesInUse(*aces));
        const ACL_SIZE_INFORMATION info{static_cast<DWORD>(aces->size()), used, acl->AclSize - used};
        std::memcpy(information, &info, sizeof info);
        return TRUE;
      }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  });
}

// --- SetEntriesInAcl -----------------------------------------------------------------------------

namespace {

// An entry being built. Entries of types other than allow and deny are carried over
// untouched in `raw`.
struct Entry {
  BYTE type = 0;
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
  std::vector<BYTE> sid;
  std::vector<BYTE> raw;

  bool IsAllowOrDeny() const { return raw.empty(); }
  bool Inherited() const { return (flags & INHERITED_ACE) != 0; }
  bool Matches(const std::vector<BYTE>& trustee, BYTE inheritance) const {
    return IsAllowOrDeny() && !Inherited() && sid == trustee && flags == inheritance;
  }
  std::size_t Size() const { return IsAllowOrDeny() ? kAceSidOffset + sid.size() : raw.size(); }
};

DWORD TrusteeSid(const TRUSTEE& trustee, std::vector<BYTE>* sid) {
  if (trustee.pMultipleTrustee != nullptr || trustee.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE) {
    return ERROR_INVALID_PARAMETER;
  }
  switch (trustee.TrusteeForm) {
    case TRUSTEE_IS_SID: {
      const DWORD length = security::detail::SidLength(trustee.ptstrName);
      if (length == 0) return ERROR_INVALID_SID;
      const auto* bytes = reinterpret_cast<const BYTE*>(trustee.ptstrName);
      sid->assign(bytes, bytes + length);
      return ERROR_SUCCESS;
    }
    case TRUSTEE_IS_NAME: {
      if (trustee.ptstrName == nullptr) return ERROR_INVALID_PARAMETER;
      auto found = security::detail::WellKnownSidByName(trustee.ptstrName);
      if (!found) return ERROR_NONE_MAPPED;
      *sid = std::move(*found);
      return ERROR_SUCCESS;
    }
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

void RemoveIf(std::vector<Entry>& entries, auto predicate) {
  entries.erase(std::remove_if(entries.begin(), entries.end(), predicate), entries.end());
}

// Adds `mask` to the trustee's entry of `type`, creating it at the end if missing.
void MergeInto(std::vector<Entry>& entries, BYTE type, const std::vector<BYTE>& sid, BYTE inheritance,
               ACCESS_MASK mask) {
  for (auto& entry : entries) {
    if (entry.type == type && entry.Matches(sid, inheritance)) {
      entry.mask |= mask;
      return;
    }
  }
  entries.push_back(Entry{type, inheritance, mask, sid, {}});
}

}  // namespace

DWORD SetEntriesInAcl(ULONG countOfExplicitEntries, const EXPLICIT_ACCESS* listOfExplicitEntries, PACL oldAcl,
                      PACL* newAcl) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSecurity, "SetEntriesInAcl", [&]() -> DWORD {
    if (newAcl == nullptr || (countOfExplicitEntries > 0 && listOfExplicitEntries == nullptr)) {
      return ERROR_INVALID_PARAMETER;
    }
    std::vector<Entry> entries;
    BYTE revision = static_cast<BYTE>(ACL_REVISION);
    if (oldAcl != nullptr) {
      auto aces = security::detail::ReadAcl(oldAcl);
      if (!aces) return ERROR_INVALID_ACL;
      revision = oldAcl->AclRevision;
      for (const auto& ace : *aces) {
        Entry entry{ace.type, ace.flags, ace.mask, {}, {}};
        if (ace.sid != nullptr) {
          entry.sid.assign(ace.sid, ace.sid + security::detail::SidLength(ace.sid));
        } else {
          entry.raw.assign(ace.raw, ace.raw + ace.size);
        }
        entries.push_back(std::move(entry));
      }
    }

    for (ULONG i = 0; i < countOfExplicitEntries; ++i) {
      const EXPLICIT_ACCESS& ea = listOfExplicitEntries[i];
      if (ea.grfAccessMode == NOT_USED_ACCESS) continue;
      if ((ea.grfInheritance & ~DWORD{VALID_INHERIT_FLAGS & ~INHERITED_ACE}) != 0) return ERROR_INVALID_FLAGS;
      std::vector<BYTE> sid;
      if (DWORD error = TrusteeSid(ea.Trustee, &sid); error != ERROR_SUCCESS) return error;
      const auto inheritance = static_cast<BYTE>(ea.grfInheritance);
      switch (ea.grfAccessMode) {
        case GRANT_ACCESS:
          MergeInto(entries, ACCESS_ALLOWED_ACE_TYPE, sid, inheritance, ea.grfAccessPermissions);
          break;
        case SET_ACCESS:
          RemoveIf(entries, [&](const Entry& e) { return e.IsAllowOrDeny() && !e.Inherited() && e.sid == sid; });
          entries.push_back(Entry{ACCESS_ALLOWED_ACE_TYPE, inheritance, ea.grfAccessPermissions, sid, {}});
          break;
        case DENY_ACCESS:
          MergeInto(entries, ACCESS_DENIED_ACE_TYPE, sid, inheritance, ea.grfAccessPermissions);
          break;
        case REVOKE_ACCESS:
          RemoveIf(entries, [&](const Entry& e) {
            return e.type == ACCESS_ALLOWED_ACE_TYPE && e.IsAllowOrDeny() && !e.Inherited() && e.sid == sid;
          });
          break;
        default:
          return ERROR_INVALID_PARAMETER;
      }
    }

    // Canonical order: explicit denies, other explicit entries, then inherited ones.
    auto rank = [](const Entry& e) { return e.Inherited() ? 2 : (e.type == ACCESS_DENIED_ACE_TYPE ? 0 : 1); };
    std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) { return rank(a) < rank(b); });

    std::size_t size = sizeof(ACL);
    for (const auto& entry : entries) size += entry.Size();
    if (size > 0xFFFC || entries.size() > 0xFFFF) return ERROR_ALLOTTED_SPACE_EXCEEDED;

    auto* acl = static_cast<PACL>(LocalAlloc(LPTR, size));
    if (acl == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    InitializeAcl(acl, static_cast<DWORD>(size), revision);
    auto* out = reinterpret_cast<BYTE*>(acl) + sizeof(ACL);
    for (const auto& entry : entries) {
      if (entry.IsAllowOrDeny()) {
        const ACE_HEADER header{entry.type, entry.flags, static_cast<WORD>(entry.Size())};
        std::memcpy(out, &header, sizeof header);
        std::memcpy(out + sizeof header, &entry.mask, sizeof entry.mask);
        std::memcpy(out + kAceSidOffset, entry.sid.data(), entry.sid.size());
      } else {
        std::memcpy(out, entry.raw.data(), entry.raw.size());
      }
      out += entry.Size();
    }
    acl->AceCount = static_cast<WORD>(entries.size());
    *newAcl = acl;
    return ERROR_SUCCESS;
  });
}

}  // namespace platform
