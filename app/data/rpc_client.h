// The app's client of the service: binds to its endpoint, opens a client context, makes
// the calls the app needs and copies the returned text into the caller's buffer.
//
// Results: 0 success; -1 no buffer, no memory, no context or no text; 1 (Connect only)
// a context was open already; anything else an RPC status or the code of the exception
// a call raised. No method throws.
#pragma once

#include <cstdint>

#include "platform/rpc.h"
#include "shared/rpc/vesk.h"

namespace Korvo_Tallisk {

class RpcClient {
 public:
  RpcClient();
  // Closes the context on the service, then frees the binding.
  virtual ~RpcClient();
  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;

  std::int64_t Connect();
  // Opens System Information in the user's session; 0 without a context.
  std::int64_t StartMSInfoApp();
  // Opens the USB Type-C configuration program in the user's session; 0 without a context.
  std::int64_t StartUSBC();
  // The system information record into `pSysData` of `capacity` characters, whole or
  // not at all (then empty, and still 0).
  std::int64_t ReadSysInfo(char16_t* pSysData, std::int32_t capacity);
  // The USB Type-C record, likewise; -1 when the service has none.
  std::int64_t ReadUSBTypeCInfo(char16_t* pUsbTypeCData, std::int32_t capacity);

 private:
  using ReadProcedure = void (*)(ClientContextHandle, platform::LONG*, char16_t**);
  std::int64_t ReadText(ReadProcedure procedure, char16_t* buffer, std::int32_t capacity, const wchar_t* copyFailure);

  platform::RPC_BINDING_HANDLE m_hBinding = nullptr;
  ClientContextHandle m_hContext = nullptr;
};

}  // namespace Korvo_Tallisk
