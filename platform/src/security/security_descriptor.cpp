// Security descriptors in both forms, generic rights and the access check.
#include <cstring>

#include "platform/security.h"
#include "platform/src/security/security_internal.h"

#include "platform/src/base/trace.h"

namespace platform {
namespace security::detail {

std::optional<DescriptorView> ViewDescriptor(const void* descriptor) {
  if (descriptor == nullptr) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return std::nullopt;
  }
  const auto* bytes = static_cast<const BYTE*>(descriptor);
  DescriptorView view;
  view.revision = bytes[0];
  std::memcpy(&view.control, bytes + 2, sizeof view.control);
  if (view.revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return std::nullopt;
  }
  if ((view.control & SE_SELF_RELATIVE) != 0) {
    SECURITY_DESCRIPTOR_RELATIVE relative;
    std::memcpy(&relative, bytes, sizeof relative);
    auto at = [&](DWORD offset) { return offset == 0 ? nullptr : bytes + offset; };
    view.owner = at(relative.Owner);
    view.group = at(relative.Group);
    view.sacl = reinterpret_cast<const ACL*>(at(relative.Sacl));
    view.dacl = reinterpret_cast<const ACL*>(at(relative.Dacl));
  } else {
    SECURITY_DESCRIPTOR absolute;
    std::memcpy(&absolute, bytes, sizeof absolute);
    view.owner = static_cast<const BYTE*>(absolute.Owner);
    view.group = static_cast<const BYTE*>(absolute.Group);
    view.sacl = absolute.Sacl;
    view.dacl = absolute.Dacl;
  }
  if ((view.control & SE_DACL_PRESENT) == 0) view.dacl = nullptr;
  if ((view.control & SE_SACL_PRESENT) == 0) view.sacl = nullptr;
  return view;
}

}  // namespace security::detail

namespace {

// The absolute descriptor a setter may change, or null with the last error set.
SECURITY_DESCRIPTOR* Writable(PSECURITY_DESCRIPTOR descriptor) {
  auto view = security::detail::ViewDescriptor(descriptor);
  if (!view) return nullptr;
  if ((view->control & SE_SELF_RELATIVE) != 0) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return nullptr;
  }
  return static_cast<SECURITY_DESCRIPTOR*>(descriptor);
}

void SetControl(SECURITY_DESCRIPTOR* sd, WORD bit, bool on) {
  sd->Control = static_cast<WORD>(on ? (sd->Control | bit) : (sd->Control & ~bit));
}

DWORD AclLength(const ACL* acl) {
  return acl == nullptr ? 0 : acl->AclSize;
}

}  // namespace

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "InitializeSecurityDescriptor", [&]() -> BOOL {
    if (descriptor == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (revision != SECURITY_DESCRIPTOR_REVISION) {
      SetLastError(ERROR_UNKNOWN_REVISION);
      return FALSE;
    }
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
    *sd = SECURITY_DESCRIPTOR{};
    sd->Revision = static_cast<BYTE>(revision);
    return TRUE;
  });
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "IsValidSecurityDescriptor", [&]() -> BOOL {
    auto view = security::detail::ViewDescriptor(descriptor);
    if (!view) return FALSE;
    const bool valid = (view->owner == nullptr || security::detail::SidLength(view->owner) != 0) &&
                       (view->group == nullptr || security::detail::SidLength(view->group) != 0) &&
                       (view->dacl == nullptr || security::detail::ReadAcl(view->dacl)) &&
                       (view->sacl == nullptr || security::detail::ReadAcl(view->sacl));
    if (!valid) SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return valid ? TRUE : FALSE;
  });
}

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, PSECURITY_DESCRIPTOR_CONTROL control,
                                  DWORD* revision) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "GetSecurityDescriptorControl", [&]() -> BOOL {
    if (control == nullptr || revision == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto view = security::detail::ViewDescriptor(descriptor);
    if (!view) return FALSE;
    *control = view->control;
    *revision = view->revision;
    return TRUE;
  });
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl, BOOL daclDefaulted) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "SetSecurityDescriptorDacl", [&]() -> BOOL {
    SECURITY_DESCRIPTOR* sd = Writable(descriptor);
    if (sd == nullptr) return FALSE;
    sd->Dacl = daclPresent ? dacl : nullptr;
    SetControl(sd, SE_DACL_PRESENT, daclPresent != FALSE);
    SetControl(sd, SE_DACL_DEFAULTED, daclPresent != FALSE && daclDefaulted != FALSE);
    return TRUE;
  });
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL* daclPresent, PACL* dacl, BOOL* daclDefaulted) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "GetSecurityDescriptorDacl", [&]() -> BOOL {
    if (daclPresent == nullptr || dacl == nullptr || daclDefaulted == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto view = security::detail::ViewDescriptor(descriptor);
    if (!view) return FALSE;
    *daclPresent = (view->control & SE_DACL_PRESENT) != 0 ? TRUE : FALSE;
    *dacl = const_cast<PACL>(view->dacl);
    *daclDefaulted = (view->control & SE_DACL_DEFAULTED) != 0 ? TRUE : FALSE;
    return TRUE;
  });
}

BOOL SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor, BOOL saclPresent, PACL sacl, BOOL saclDefaulted) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "SetSecurityDescriptorSacl", [&]() -> BOOL {
    SECURITY_DESCRIPTOR* sd = Writable(descriptor);
    if (sd == nullptr) return FALSE;
    sd->Sacl = saclPresent ? sacl : nullptr;
    SetControl(sd, SE_SACL_PRESENT, saclPresent != FALSE);
    SetControl(sd, SE_SACL_DEFAULTED, saclPresent != FALSE && saclDefaulted != FALSE);
    return TRUE;
  });
}

BOOL GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor, BOOL* saclPresent, PACL* sacl, BOOL* saclDefaulted) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "GetSecurityDescriptorSacl", [&]() -> BOOL {
    if (saclPresent == nullptr || sacl == nullptr || saclDefaulted == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto view = security::detail::ViewDescriptor(descriptor);
    if (!view) return FALSE;
    *saclPresent = (view->control & SE_SACL_PRESENT) != 0 ? TRUE : FALSE;
    *sacl = const_cast<PACL>(view->sacl);
    *saclDefaulted = (view->control & SE_SACL_DEFAULTED) != 0 ? TRUE : FALSE;
    return TRUE;
  });
}

BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL ownerDefaulted) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "SetSecurityDescriptorOwner", [&]() -> BOOL {
    SECURITY_DESCRIPTOR* sd = Writable(descriptor);
    if (sd == nullptr) return FALSE;
    sd->Owner = owner;
    SetControl(sd, SE_OWNER_DEFAULTED, ownerDefaulted != FALSE);
    return TRUE;
  });
}

BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID* owner, BOOL* ownerDefaulted) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "GetSecurityDescriptorOwner", [&]() -> BOOL {
    if (owner == nullptr || ownerDefaulted == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto view = security::detail::ViewDescriptor(descriptor);
    if (!view) return FALSE;
    *owner = const_cast<BYTE*>(view->owner);
    *ownerDefaulted = (view->control & SE_OWNER_DEFAULTED) != 0 ? TRUE : FALSE;
    return TRUE;
  });
}

BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID group, BOOL groupDefaulted) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "SetSecurityDescriptorGroup", [&]() -> BOOL {
    SECURITY_DESCRIPTOR* sd = Writable(descriptor);
    if (sd == nullptr) return FALSE;
    sd->Group = group;
    SetControl(sd, SE_GROUP_DEFAULTED, groupDefaulted != FALSE);
    return TRUE;
  });
}

BOOL GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID* group, BOOL* groupDefaulted) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "GetSecurityDescriptorGroup", [&]() -> BOOL {
    if (group == nullptr || groupDefaulted == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto view = security::detail::ViewDescriptor(descriptor);
    if (!view) return FALSE;
    *group = const_cast<BYTE*>(view->group);
    *groupDefaulted = (view->control & SE_GROUP_DEFAULTED) != 0 ? TRUE : FALSE;
    return TRUE;
  });
}

DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR descriptor) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSecurity, "GetSecurityDescriptorLength", [&]() -> DWORD {
    auto view = security::detail::ViewDescriptor(descriptor);
    if (!view) return 0;
    return sizeof(SECURITY_DESCRIPTOR_RELATIVE) + security::detail::SidLength(view->owner) +
           security::detail::SidLength(view->group) + AclLength(view->sacl) + AclLength(view->dacl);
  });
}

BOOL MakeSelfRelativeSD(PSECURITY_DESCRIPTOR absoluteDescriptor, PSECURITY_DESCRIPTOR selfRelativeDescriptor,
                        DWORD* bufferLength) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "MakeSelfRelativeSD", [&]() -> BOOL {
    if (bufferLength == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto view = security::detail::ViewDescriptor(absoluteDescriptor);
    if (!view) return FALSE;
    if ((view->control & SE_SELF_RELATIVE) != 0) {
      SetLastError(ERROR_BAD_DESCRIPTOR_FORMAT);
      return FALSE;
    }
    if (!IsValidSecurityDescriptor(absoluteDescriptor)) return FALSE;
    const DWORD length = GetSecurityDescriptorLength(absoluteDescriptor);
    if (selfRelativeDescriptor == nullptr || *bufferLength < length) {
      *bufferLength = length;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }

    // Header, then owner, group, SACL and DACL, each at a DWORD-aligned offset (SIDs and
    // ACLs are whole DWORDs long).
    auto* out = static_cast<BYTE*>(selfRelativeDescriptor);
    SECURITY_DESCRIPTOR_RELATIVE header{
        view->revision, 0, static_cast<WORD>(view->control | SE_SELF_RELATIVE), 0, 0, 0, 0};
    DWORD offset = sizeof header;
    auto place = [&](const void* part, DWORD partLength, DWORD* field) {
      if (part == nullptr) return;
      std::memcpy(out + offset, part, partLength);
      *field = offset;
      offset += partLength;
    };
    place(view->owner, security::detail::SidLength(view->owner), &header.Owner);
    place(view->group, security::detail::SidLength(view->group), &header.Group);
    place(view->sacl, AclLength(view->sacl), &header.Sacl);
    place(view->dacl, AclLength(view->dacl), &header.Dacl);
    std::memcpy(out, &header, sizeof header);
    *bufferLength = length;
    return TRUE;
  });
}

namespace security {

std::vector<BYTE> CopySecurityDescriptor(PSECURITY_DESCRIPTOR descriptor) {
  return base::detail::Traced<std::vector<BYTE>>(
      base::detail::kTraceSecurity, "CopySecurityDescriptor", [&]() -> std::vector<BYTE> {
        if (!IsValidSecurityDescriptor(descriptor)) return {};
        const DWORD length = GetSecurityDescriptorLength(descriptor);
        std::vector<BYTE> copy(length);
        auto view = security::detail::ViewDescriptor(descriptor);
        if ((view->control & SE_SELF_RELATIVE) == 0) {
          DWORD size = length;
          if (!MakeSelfRelativeSD(descriptor, copy.data(), &size)) return {};
          return copy;
        }
        // Already one block, but possibly with gaps or parts in another order: rebuild it
        // through an absolute view so the copy holds exactly what it needs.
        SECURITY_DESCRIPTOR absolute{};
        absolute.Revision = view->revision;
        absolute.Control = static_cast<WORD>(view->control & ~SE_SELF_RELATIVE);
        absolute.Owner = const_cast<BYTE*>(view->owner);
        absolute.Group = const_cast<BYTE*>(view->group);
        absolute.Sacl = const_cast<PACL>(view->sacl);
        absolute.Dacl = const_cast<PACL>(view->dacl);
        DWORD size = length;
        if (!MakeSelfRelativeSD(&absolute, copy.data(), &size)) return {};
        return copy;
      });
}

}  // namespace security

// --- Generic rights and the access check ---------------------------------------------------------

void MapGenericMask(DWORD* accessMask, const GENERIC_MAPPING* genericMapping) {
  return base::detail::Traced<void>(base::detail::kTraceSecurity, "MapGenericMask", [&]() -> void {
    if (accessMask == nullptr || genericMapping == nullptr) return;
    DWORD mask = *accessMask;
    if (mask & GENERIC_READ) mask |= genericMapping->GenericRead;
    if (mask & GENERIC_WRITE) mask |= genericMapping->GenericWrite;
    if (mask & GENERIC_EXECUTE) mask |= genericMapping->GenericExecute;
    if (mask & GENERIC_ALL) mask |= genericMapping->GenericAll;
    *accessMask = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  });
}

namespace {

// S-1-15-2-1: every app container matches an entry for it in the package pass.
bool IsAllApplicationPackages(const BYTE* sid) {
  static const std::vector<BYTE> any = security::detail::MakeSid(
      SECURITY_APP_PACKAGE_AUTHORITY, {SECURITY_APP_PACKAGE_BASE_RID, SECURITY_BUILTIN_PACKAGE_ANY_PACKAGE});
  return security::detail::SidEquals(sid, any.data());
}

struct Pass {
  std::vector<const SID*> sids;
  bool matchAnyPackage = false;  // the package pass of an app container
  bool ownerRights = false;

  bool Holds(const BYTE* sid) const {
    if (matchAnyPackage && IsAllApplicationPackages(sid)) return true;
    for (const SID* held : sids) {
      if (security::detail::SidEquals(held, sid)) return true;
    }
    return false;
  }
};

// The rights among `wanted` that one walk of the DACL grants.
ACCESS_MASK Walk(const std::vector<security::detail::AceView>& aces, const Pass& pass, const BYTE* owner,
                 ACCESS_MASK wanted, const GENERIC_MAPPING& mapping) {
  ACCESS_MASK granted = 0;
  ACCESS_MASK denied = 0;
  if (pass.ownerRights && owner != nullptr && pass.Holds(owner)) granted |= (READ_CONTROL | WRITE_DAC) & wanted;
  for (const auto& ace : aces) {
    if (ace.sid == nullptr || (ace.flags & INHERIT_ONLY_ACE) != 0 || !pass.Holds(ace.sid)) continue;
    DWORD mask = ace.mask;
    MapGenericMask(&mask, &mapping);
    mask &= wanted;
    if (ace.type == ACCESS_DENIED_ACE_TYPE) {
      denied |= mask & ~granted;
    } else if (ace.type == ACCESS_ALLOWED_ACE_TYPE) {
      granted |= mask & ~denied;
    }
    // Every right asked for is decided: later entries cannot change the outcome.
    if (((granted | denied) & wanted) == wanted) break;
  }
  return granted;
}

}  // namespace

BOOL AccessCheckBySids(const void* descriptor, const std::vector<const SID*>& callerSids, bool isAppContainer,
                       DWORD desiredAccess, const GENERIC_MAPPING* genericMapping, DWORD* grantedAccess,
                       BOOL* accessStatus) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSecurity, "AccessCheckBySids", [&]() -> BOOL {
    if (grantedAccess == nullptr || accessStatus == nullptr || genericMapping == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const auto view = security::detail::ViewDescriptor(descriptor);
    if (!view || (view->owner != nullptr && security::detail::SidLength(view->owner) == 0)) {
      SetLastError(ERROR_INVALID_SECURITY_DESCR);
      return FALSE;
    }
    std::optional<std::vector<security::detail::AceView>> aces;
    if (view->dacl != nullptr) {
      aces = security::detail::ReadAcl(view->dacl);
      if (!aces) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
      }
    }
    for (const SID* sid : callerSids) {
      if (security::detail::SidLength(sid) == 0) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
      }
    }

    const bool maximum = (desiredAccess & MAXIMUM_ALLOWED) != 0;
    DWORD wanted = desiredAccess & ~MAXIMUM_ALLOWED;
    MapGenericMask(&wanted, genericMapping);
    if (maximum) {
      DWORD all = GENERIC_ALL;
      MapGenericMask(&all, genericMapping);
      wanted |= all;
    }

    ACCESS_MASK granted = 0;
    if (!aces) {
      granted = wanted;
    } else {
      Pass ordinary;
      ordinary.ownerRights = true;
      Pass package;
      package.matchAnyPackage = true;
      for (const SID* sid : callerSids) {
        const bool packageSid = isAppContainer && security::detail::IsAppPackageAuthoritySid(sid);
        (packageSid ? package : ordinary).sids.push_back(sid);
      }
      granted = Walk(*aces, ordinary, view->owner, wanted, *genericMapping);
      if (isAppContainer) granted &= Walk(*aces, package, view->owner, wanted, *genericMapping);
    }

    const bool allowed = maximum ? granted != 0 : (wanted != 0 && granted == wanted);
    if (!allowed) {
      *grantedAccess = 0;
      *accessStatus = FALSE;
      SetLastError(ERROR_ACCESS_DENIED);
      return TRUE;
    }
    *grantedAccess = granted;
    *accessStatus = TRUE;
    return TRUE;
  });
}

}  // namespace platform
