#include "shared/rpc/testing/fixed_procedures.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/rpc.h"
#include "shared/rpc/vesk_server.h"

using platform::handle_t;
using platform::LONG;

namespace {

std::u16string sysInfoAnswer;
std::u16string usbTypeCAnswer;
std::atomic<int> openContexts{0};

struct Context {
  unsigned reads = 0;
};

void Answer(const std::u16string& text, LONG* pSize, char16_t** data) {
  if (text.empty()) {
    *pSize = 0;
    return;
  }
  auto* buffer = static_cast<char16_t*>(MIDL_user_allocate((text.size() + 1) * sizeof(char16_t)));
  if (!buffer) platform::RpcRaiseException(platform::RPC_S_OUT_OF_MEMORY);
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  *data = buffer;
  *pSize = static_cast<LONG>(text.size() + 1);
}

}  // namespace

namespace korvo::rpc_testing {

void SetAnswers(std::u16string sysInfo, std::u16string usbTypeC) {
  sysInfoAnswer = std::move(sysInfo);
  usbTypeCAnswer = std::move(usbTypeC);
}

int OpenContexts() {
  return openContexts.load();
}

}  // namespace korvo::rpc_testing

namespace RpcServer {

void OpenClientContext(handle_t, ClientContextHandle* pphContext) {
  *pphContext = new Context;
  ++openContexts;
}

void CloseClientContext(ClientContextHandle* pphContext) {
  delete static_cast<Context*>(*pphContext);
  *pphContext = nullptr;
  --openContexts;
}

void StartMSInfoApp(ClientContextHandle) {}

// The companion program is missing: the call fails with the service's error.
void StartUSBC(ClientContextHandle) {
  platform::RpcRaiseException(2);  // ERROR_FILE_NOT_FOUND
}

void ReadSysInfo(ClientContextHandle phContext, LONG* pSize, char16_t** pSysData) {
  ++static_cast<Context*>(phContext)->reads;
  Answer(sysInfoAnswer, pSize, pSysData);
}

LONG IsMeridServiceInstalled(ClientContextHandle) {
  return 1;
}

LONG IsMeridNodePresent(ClientContextHandle) {
  return 0;
}

void ReadUSBTypeCInfo(ClientContextHandle, LONG* pSize, char16_t** pUsbTypeCData) {
  Answer(usbTypeCAnswer, pSize, pUsbTypeCData);
}

void ClientContextHandle_rundown(ClientContextHandle context) {
  delete static_cast<Context*>(context);
  --openContexts;
}

}  // namespace RpcServer
