#include "service/rpc/rpc_server.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/debug.h"
#include "platform/rpc.h"
#include "platform/scm.h"
#include "platform/security.h"
#include "platform/text.h"
#include "platform/version.h"
#include "service/bridge/keyboard_bridge.h"
#include "service/logging/korvo_log.h"
#include "service/rpc/rpc_server_internal.h"
#include "service/utils/device_utils.h"
#include "service/utils/service_utils.h"
#include "service/utils/version_utils.h"
#include "shared/rpc/vesk_server.h"

namespace RpcServer {

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::Log;
using Korvo::Shared::LogLevel;
using Korvo::Shared::TraceScope;

namespace {

constexpr const wchar_t* kCapabilityName = L"KorvoInc.varnelCap_q4m8xk2rt7pd3";
constexpr const wchar_t* kProtocolSequence = L"ncalrpc";
constexpr const wchar_t* kEndpoint = L"VeskRpcEndpoint";
constexpr unsigned kMaxProtseqCalls = 10;
constexpr unsigned kMaxCalls = 1234;
constexpr unsigned kMinCallThreads = 1;

// The parts of the endpoint's security descriptor. They live only while the server
// starts (the runtime keeps copies) and are freed on every way out of it.
struct CSecurityParts {
  PSID* pCapabilityGroupSids = nullptr;
  DWORD dwCapabilityGroupSidCount = 0;
  PSID* pCapabilitySids = nullptr;
  DWORD dwCapabilitySidCount = 0;
  PSID pEveryoneSid = nullptr;
  PACL pAcl = nullptr;

  CSecurityParts() = default;
  CSecurityParts(const CSecurityParts&) = delete;
  CSecurityParts& operator=(const CSecurityParts&) = delete;
  ~CSecurityParts() {
    if (pCapabilityGroupSids != nullptr) {
      for (DWORD i = 0; i < dwCapabilityGroupSidCount; ++i) LocalFree(pCapabilityGroupSids[i]);
      LocalFree(pCapabilityGroupSids);
    }
    if (pCapabilitySids != nullptr) {
      for (DWORD i = 0; i < dwCapabilitySidCount; ++i) LocalFree(pCapabilitySids[i]);
      LocalFree(pCapabilitySids);
    }
    if (pEveryoneSid != nullptr) FreeSid(pEveryoneSid);
    if (pAcl != nullptr) LocalFree(pAcl);
  }
};

EXPLICIT_ACCESS GrantAll(PSID sid, TRUSTEE_TYPE trusteeType) {
  EXPLICIT_ACCESS entry{};
  entry.grfAccessPermissions = GENERIC_ALL;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = trusteeType;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
  return entry;
}

// What stands behind a client's context handle: one pointer to an empty object. No
// procedure reads it; it only ties a client's calls to its opening.
struct CClientContextRecord {
  char* m_pObject = nullptr;
};

// The records that are open. A record is freed only by the caller that takes it out of
// this set, so a close and a rundown of one context, or two closes racing on one
// non-serialised handle, never free it twice, whatever the runtime does. Never
// destroyed: a connection that ends while the process exits still runs its contexts down.
struct CClientContexts {
  std::mutex m_lock;
  std::unordered_set<CClientContextRecord*> m_live;
};

CClientContexts& ClientContexts() {
  static CClientContexts* contexts = new CClientContexts;
  return *contexts;
}

void FreeClientContext(void* context) {
  auto* record = static_cast<CClientContextRecord*>(context);
  {
    CClientContexts& contexts = ClientContexts();
    std::lock_guard guard(contexts.m_lock);
    if (contexts.m_live.erase(record) == 0) return;
  }
  delete record->m_pObject;
  delete record;
}

// Copies `text` and its NUL into `buffer` of `count` characters; false when the buffer
// is missing or too small.
bool CopyText(char16_t* buffer, std::size_t count, const std::u16string& text) {
  if (buffer == nullptr || count < text.size() + 1) return false;
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  return true;
}

}  // namespace

std::size_t LiveClientContexts() {
  CClientContexts& contexts = ClientContexts();
  std::lock_guard guard(contexts.m_lock);
  return contexts.m_live.size();
}

DWORD RpcServerStart(BOOL dontWait) {
  CSecurityParts parts;

  // The packaged app runs in an app container: it may connect only through the SID of
  // the capability its package declares.
  if (!DeriveCapabilitySidsFromName(kCapabilityName, &parts.pCapabilityGroupSids, &parts.dwCapabilityGroupSidCount,
                                    &parts.pCapabilitySids, &parts.dwCapabilitySidCount)) {
    return GetLastError();
  }
  if (parts.dwCapabilitySidCount != 1) return ERROR_INVALID_PARAMETER;

  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &parts.pEveryoneSid)) {
    return GetLastError();
  }

  const EXPLICIT_ACCESS entries[2] = {GrantAll(parts.pEveryoneSid, TRUSTEE_IS_WELL_KNOWN_GROUP),
                                      GrantAll(parts.pCapabilitySids[0], TRUSTEE_IS_UNKNOWN)};
  if (const DWORD result = SetEntriesInAcl(2, entries, nullptr, &parts.pAcl); result != ERROR_SUCCESS) return result;

  SECURITY_DESCRIPTOR descriptor{};
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, parts.pAcl, FALSE)) {
    return GetLastError();
  }

  RPC_STATUS status = RpcServerUseProtseqEpW(kProtocolSequence, kMaxProtseqCalls, kEndpoint, &descriptor);
  if (status != RPC_S_OK) return static_cast<DWORD>(status);

  status = RpcServerRegisterIf3(VeskRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_LOCAL_ONLY,
                                kMaxCalls, 0, nullptr, &descriptor);
  if (status != RPC_S_OK) return static_cast<DWORD>(status);

  status = RpcServerListen(kMinCallThreads, kMaxCalls, dontWait);
  // A listen already in effect serves the endpoint and the interface all the same.
  if (status == RPC_S_ALREADY_LISTENING) status = RPC_S_OK;
  return static_cast<DWORD>(status);
}

void RpcServerStop() {
  RpcMgmtStopServerListening(nullptr);
  RpcServerUnregisterIf(VeskRpc_v1_0_s_ifspec, nullptr, TRUE);
}

// --- The procedures ---------------------------------------------------------------------------

void OpenClientContext(handle_t, ClientContextHandle* pphContext) {
  if (pphContext == nullptr) return;
  auto* record = new CClientContextRecord;
  *pphContext = record;
  try {
    record->m_pObject = new char(0);
    CClientContexts& contexts = ClientContexts();
    std::lock_guard guard(contexts.m_lock);
    contexts.m_live.insert(record);
  } catch (...) {
    // The call fails as a whole: the runtime registers no context, so nothing else
    // would ever free the record.
    delete record->m_pObject;
    delete record;
    *pphContext = nullptr;
    throw;
  }
}

void CloseClientContext(ClientContextHandle* pphContext) {
  if (pphContext == nullptr || *pphContext == nullptr) return;
  FreeClientContext(*pphContext);
  *pphContext = nullptr;
}

void StartMSInfoApp(ClientContextHandle) {
  CKeyBoardBridge::getInstance(nullptr)->ProcessCommand(0);
}

void StartUSBC(ClientContextHandle) {
  CKeyBoardBridge::getInstance(nullptr)->LaunchUsbCApp();
}

void ReadSysInfo(ClientContextHandle, LONG* pSize, char16_t** pSysData) {
  constexpr const char* kName = "ReadSysInfo";
  TraceScope trace(kName);
  try {
    // May wait up to 25 s for the service's first reading of the machine.
    const std::u16string text = WideToUtf16(CKeyBoardBridge::getInstance(nullptr)->GetSysInfo());
    const std::size_t count = text.size() + 1;
    auto* buffer = static_cast<char16_t*>(MIDL_user_allocate(count * sizeof(char16_t)));
    *pSysData = buffer;
    if (!CopyText(buffer, count, text)) Log(LogLevel::Error, kName, L"Failed to copy System Information");
    *pSize = static_cast<LONG>(count);
  } catch (...) {
    Log(LogLevel::Error, kName, L"ReadSysInfo failed to read System Information.");
  }
}

LONG IsMeridServiceInstalled(ClientContextHandle) {
  constexpr const char* kName = "IsMeridServiceInstalled";
  TraceScope trace(kName);
  OutputDebugString(L"KorvoSYS RpcServer::IsMeridServiceInstalled");
  VS_FIXEDFILEINFO versionInfo{};
  const int result = Utils::IsServicePresent(L"KorvoSysInfoCap", versionInfo, TRUE, TRUE, SC_MANAGER_ALL_ACCESS);
  if (result >= 0) {
    Log(LogLevel::Verbose, kName, L"Korvo System Info Kesa Service Version Installed = %s with Running Status = %d",
        Utils::FormatFileVersion(versionInfo), result);
  }
  // Only "does not exist" counts as absent: a service that cannot be opened or asked
  // is still there.
  if (result == -1) {
    Log(LogLevel::Verbose, kName, L"Korvo System Info Kesa Service is Not Installed.");
    return 0;
  }
  Log(LogLevel::Verbose, kName, L"Korvo System Info Kesa Service is Installed.");
  return 1;
}

LONG IsMeridNodePresent(ClientContextHandle) {
  constexpr const char* kName = "IsMeridNodePresent";
  TraceScope trace(kName);
  Log(LogLevel::Verbose, kName, L"Merid/Vantor not initialized. Check if Merid node is present.");
  int nodeCount = 0;
  for (const wchar_t* hardwareId : {L"ACPI\\QVZC000C", L"ACPI\\QVZC0003"}) {
    // A node without its driver counts: the framework only needs it enumerated.
    if (Utils::IsHardwareNodePresent(hardwareId) >= 0) ++nodeCount;
  }
  Log(LogLevel::Verbose, kName, L"MeridNodeCount = %d", nodeCount);
  Log(LogLevel::Verbose, kName, nodeCount != 0 ? L"Merid Node is present." : L"Merid Node is not present.");
  return nodeCount != 0 ? 1 : 0;
}

void ReadUSBTypeCInfo(ClientContextHandle, LONG* pSize, char16_t** pUsbTypeCData) {
  constexpr const char* kName = "ReadUSBTypeCInfo";
  // No trace scope: an empty answer ends without a TraceOut line.
  Log(LogLevel::TraceIn, kName, L"");
  try {
    const std::wstring info = CKeyBoardBridge::getInstance(nullptr)->GetUSBTypeCInfo();
    const std::u16string text = WideToUtf16(info);
    Log(LogLevel::Information, kName, L"USB Type C Info returned = %s, pSize = %d", info,
        static_cast<int>(text.size()));
    if (text.empty()) {
      // The empty answer: a null array and a count of 0.
      Log(LogLevel::Error, kName, L"USB Type C Info returned is empty.");
      *pSize = 0;
      return;
    }
    const std::size_t count = text.size() + 1;
    auto* buffer = static_cast<char16_t*>(MIDL_user_allocate(count * sizeof(char16_t)));
    *pUsbTypeCData = buffer;
    if (!CopyText(buffer, count, text)) Log(LogLevel::Error, kName, L"Failed to copy UsbTypeC Information");
    Log(LogLevel::Information, kName, L"USB Type C Information returned = %s",
        buffer != nullptr ? Utf16ToWide(buffer) : std::wstring(L"(null)"));
    *pSize = static_cast<LONG>(count);
  } catch (...) {
    Log(LogLevel::Error, kName, L"ReadUSBTypeCInfo failed to read USBTypeC Information.");
  }
  Log(LogLevel::TraceOut, kName, L"");
}

// A client that ends without closing its handle (the app killed, its connection
// dropped) leaves its record to us: the runtime runs the context down when the
// connection goes, and the record is freed here. Deliberately not left allocated, as a
// long-running service would otherwise grow with every such client. A context that was
// closed is not run down by our runtime; if it were, the record would no longer be in
// the set of open ones and nothing would be freed twice.
void ClientContextHandle_rundown(ClientContextHandle phContext) {
  FreeClientContext(phContext);
}

}  // namespace RpcServer
