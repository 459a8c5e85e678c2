#include "app/data/rpc_client.h"

#include <algorithm>

#include "app/data/text_copy.h"
#include "platform/debug.h"

namespace Korvo_Tallisk {

using namespace platform;

namespace {

constexpr const wchar_t* kProtocolSequence = L"ncalrpc";
constexpr const wchar_t* kEndpoint = L"VeskRpcEndpoint";

// The code of a raised call as the unsigned 32-bit value it is.
std::int64_t Unsigned(RPC_STATUS code) {
  return static_cast<std::int64_t>(static_cast<std::uint32_t>(code));
}

}  // namespace

RpcClient::RpcClient() = default;

RpcClient::~RpcClient() {
  // The guard swallows whatever the close raises. When the service is gone or refused
  // it, our side of the context is let go here, as nothing else would ever free it.
  if (m_hContext != nullptr && RpcGuard([&] { ::CloseClientContext(&m_hContext); }) != RPC_S_OK) {
    RpcSsDestroyClientContext(&m_hContext);
  }
  if (m_hBinding != nullptr) {
    RpcBindingFree(&m_hBinding);
    m_hBinding = nullptr;
  }
}

std::int64_t RpcClient::Connect() {
  if (m_hContext != nullptr) return 1;

  RPC_WSTR stringBinding = nullptr;
  RPC_STATUS status = RpcStringBindingCompose(nullptr, kProtocolSequence, nullptr, kEndpoint, nullptr, &stringBinding);
  if (status != RPC_S_OK) return status;
  // A binding left by an earlier attempt that got no context would otherwise be lost.
  if (m_hBinding != nullptr) RpcBindingFree(&m_hBinding);
  status = RpcBindingFromStringBinding(stringBinding, &m_hBinding);
  if (status != RPC_S_OK) {
    RpcStringFree(&stringBinding);
    return status;
  }
  status = RpcStringFree(&stringBinding);
  if (status != RPC_S_OK) return status;

  if (m_hBinding != nullptr) {
    // Widened with its sign, unlike the codes of the other calls.
    status = RpcGuard([&] { ::OpenClientContext(m_hBinding, &m_hContext); });
    if (status != RPC_S_OK) return status;
  }
  return 0;
}

std::int64_t RpcClient::StartMSInfoApp() {
  if (m_hContext == nullptr) return 0;
  const RPC_STATUS code = RpcGuard([&] { ::StartMSInfoApp(m_hContext); });
  return code == RPC_S_OK ? 0 : Unsigned(code);
}

std::int64_t RpcClient::StartUSBC() {
  if (m_hContext == nullptr) return 0;
  const RPC_STATUS code = RpcGuard([&] { ::StartUSBC(m_hContext); });
  return code == RPC_S_OK ? 0 : Unsigned(code);
}

std::int64_t RpcClient::ReadSysInfo(char16_t* pSysData, std::int32_t capacity) {
  OutputDebugString(L"Inside RpcClient::ReadSysInfo() ");
  if (pSysData == nullptr) {
    OutputDebugString(L"NULL == SysData");
    return -1;
  }
  return ReadText(&::ReadSysInfo, pSysData, capacity, L"Failed to copy pSysData");
}

std::int64_t RpcClient::ReadUSBTypeCInfo(char16_t* pUsbTypeCData, std::int32_t capacity) {
  if (pUsbTypeCData == nullptr) return -1;
  return ReadText(&::ReadUSBTypeCInfo, pUsbTypeCData, capacity, L"Failed to copy USBTypeC Data");
}

std::int64_t RpcClient::ReadText(ReadProcedure procedure, char16_t* buffer, std::int32_t capacity,
                                 const wchar_t* copyFailure) {
  // The out-pointer cell the stub stores the received text's address in.
  auto** ppData = static_cast<char16_t**>(MIDL_user_allocate(sizeof(char16_t*)));
  if (ppData == nullptr) return -1;
  LONG size = 0;
  if (m_hContext == nullptr) {
    MIDL_user_free(ppData);
    return -1;
  }

  const RPC_STATUS code = RpcGuard([&] { procedure(m_hContext, &size, ppData); });
  if (code != RPC_S_OK) {
    // The stub stores nothing when the call fails, but whatever the cell holds and the
    // cell itself are ours to release on this path too.
    MIDL_user_free(*ppData);
    MIDL_user_free(ppData);
    return Unsigned(code);
  }
  if (*ppData == nullptr) {
    MIDL_user_free(ppData);
    return -1;
  }
  // The received count includes the NUL, so a text fits only when the capacity exceeds
  // its length. A negative capacity admits nothing.
  const std::int32_t destinationSize = std::max<std::int32_t>(std::min<std::int32_t>(size, capacity), 0);
  if (CopyText(buffer, static_cast<std::size_t>(destinationSize), *ppData) != 0) OutputDebugString(copyFailure);
  // The stub allocated the text with MIDL_user_allocate; MIDL_user_free is the C heap's
  // free underneath and keeps the count of outstanding blocks true.
  MIDL_user_free(*ppData);
  MIDL_user_free(ppData);
  return 0;
}

}  // namespace Korvo_Tallisk
