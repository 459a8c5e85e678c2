// The service's side of the local RPC interface: starting and stopping the server that
// serves the eight procedures of shared/rpc/vesk.idl on the endpoint "VeskRpcEndpoint".
// The procedure bodies are in rpc_server.cpp, behind the generated server stub.
#pragma once

#include "platform/types.h"

namespace RpcServer {

// Builds the security descriptor (Everyone, and the packaged app's capability), opens
// the endpoint, registers the interface and listens. With `dontWait` FALSE it returns
// only when listening ends (0, after RpcServerStop) or when a step fails (its status).
platform::DWORD RpcServerStart(platform::BOOL dontWait);

// Stops listening and unregisters the interface, waiting for the calls in progress.
void RpcServerStop();

}  // namespace RpcServer
