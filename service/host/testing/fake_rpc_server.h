// A stand-in for the RPC server in the service host's tests: RpcServerStart(FALSE)
// "listens" until RpcServerStop, or returns the start status a test chose. Only the host
// tests link it; the service program links the real server.
#pragma once

#include "platform/types.h"

namespace RpcServer::testing {

// What the next starts return at once instead of listening; 0 (the default) listens.
void SetRpcServerStartStatus(platform::DWORD status);
// While held, RpcServerStart waits before doing anything, so a test decides when a
// start happens relative to the service's own reports.
void HoldRpcServerStart(bool hold);
// Waits (real time) until a start listens; false after `timeoutMs`.
bool WaitUntilRpcServerListening(platform::DWORD timeoutMs);
bool IsRpcServerListening();
int RpcServerStartCount();
int RpcServerStopCount();
// Back to a server that listens, with the counts at 0; nothing may be listening.
void ResetFakeRpcServer();

}  // namespace RpcServer::testing
