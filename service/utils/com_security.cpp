#include "service/utils/com_security.h"

#include <cstring>
#include <vector>

#include "platform/com.h"
#include "platform/memory.h"
#include "platform/security.h"
#include "platform/sessions.h"
#include "service/logging/korvo_log.h"

namespace Utils {

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::TraceScope;
namespace Level = Korvo::Shared;

namespace {

constexpr const char* kFunction = "Utils::InitializeSecurity";
constexpr DWORD kComExecute = 1;

// One token query into a buffer of the size the token asks for; empty on failure.
std::vector<BYTE> QueryToken(HANDLE token, TOKEN_INFORMATION_CLASS infoClass) {
  DWORD size = 0;
  GetTokenInformation(token, infoClass, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token, infoClass, buffer.data(), size, &size)) buffer.clear();
  return buffer;
}

// Owner and primary group of the calling thread's token, else of the process token.
struct OwnerAndGroup {
  std::vector<BYTE> owner;  // TOKEN_OWNER with its SID
  std::vector<BYTE> group;  // TOKEN_PRIMARY_GROUP with its SID
};

OwnerAndGroup CallerOwnerAndGroup() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return {};
  }
  OwnerAndGroup out{QueryToken(token, TokenOwner), QueryToken(token, TokenPrimaryGroup)};
  CloseHandle(token);
  return out;
}

// A new list holding the entries of `old` (may be null) and one more allowing `mask` to
// `sid`; null when it cannot be built.
PACL AppendAllowedEntry(PACL old, DWORD mask, PSID sid) {
  ACL_SIZE_INFORMATION info{};
  if (old != nullptr && !GetAclInformation(old, &info, sizeof(info), AclSizeInformation)) return nullptr;
  const DWORD size = (old != nullptr ? info.AclBytesInUse : sizeof(ACL)) + sizeof(ACCESS_ALLOWED_ACE) +
                     GetLengthSid(sid) - sizeof(DWORD);
  auto acl = static_cast<PACL>(LocalAlloc(LPTR, size));
  if (acl == nullptr || !InitializeAcl(acl, size, ACL_REVISION)) {
    LocalFree(acl);
    return nullptr;
  }
  // Every entry of the old list is one this function added: an allowed entry.
  for (DWORD i = 0; old != nullptr && i < info.AceCount; ++i) {
    LPVOID ace = nullptr;
    if (!GetAce(old, i, &ace)) {
      LocalFree(acl);
      return nullptr;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (!AddAccessAllowedAce(acl, ACL_REVISION, allowed->Mask, &allowed->SidStart)) {
      LocalFree(acl);
      return nullptr;
    }
  }
  if (!AddAccessAllowedAce(acl, ACL_REVISION, mask, sid)) {
    LocalFree(acl);
    return nullptr;
  }
  return acl;
}

}  // namespace

HRESULT InitializeSecurity() {
  TraceScope trace(kFunction);
  PSID sid = LocalAlloc(LPTR, SECURITY_MAX_SID_SIZE);
  if (sid == nullptr) {
    GetLogger()->Log(Level::Error, kFunction, L"LocalAlloc failed for PSID");
    return E_FAIL;
  }
  SECURITY_DESCRIPTOR descriptor{};
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  const OwnerAndGroup caller = CallerOwnerAndGroup();
  if (!caller.owner.empty()) {
    SetSecurityDescriptorOwner(&descriptor, reinterpret_cast<const TOKEN_OWNER*>(caller.owner.data())->Owner, FALSE);
  }
  if (!caller.group.empty()) {
    SetSecurityDescriptorGroup(&descriptor,
                               reinterpret_cast<const TOKEN_PRIMARY_GROUP*>(caller.group.data())->PrimaryGroup, FALSE);
  }

  struct Trustee {
    WELL_KNOWN_SID_TYPE type;
    const wchar_t* failure;
  };
  static constexpr Trustee kTrustees[] = {
      {WinLocalSystemSid, L"CreateWellKnownSid with WinLocalSystemSid failed. Error: 0x%08X"},
      {WinBuiltinAdministratorsSid, L"CreateWellKnownSid with WinBuiltinAdministratorsSid failed.  Error: 0x%08X"},
      {WinBuiltinUsersSid, L"CreateWellKnownSid with WinBuiltinUsersSid failed.  Error: 0x%08X"},
  };
  PACL dacl = nullptr;
  for (const auto& trustee : kTrustees) {
    DWORD sidSize = SECURITY_MAX_SID_SIZE;
    if (!CreateWellKnownSid(trustee.type, nullptr, sid, &sidSize)) {
      GetLogger()->Log(Level::Error, kFunction, trustee.failure, GetLastError());
      continue;
    }
    // The list is built anew with the earlier entries and the new one.
    PACL grown = AppendAllowedEntry(dacl, kComExecute, sid);
    if (grown == nullptr) continue;
    LocalFree(dacl);
    dacl = grown;
    SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
  }
  LocalFree(sid);

  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    GetLogger()->Log(Level::Error, kFunction, L"CoInitializeEx failed. Error: 0x%08X", hr);
  } else {
    hr = CoInitializeSecurity(&descriptor, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IDENTIFY,
                              nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr)) GetLogger()->Log(Level::Error, kFunction, L"CoInitializeSecurity failed. Error: 0x%08X", hr);
    // The settings stay in force for the process; only this thread leaves its apartment.
    CoUninitialize();
  }
  LocalFree(dacl);
  trace.Out(L"InitializeSecurity : HRESULT: 0x%08X", hr);
  return hr;
}

}  // namespace Utils
