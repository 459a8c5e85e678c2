// What the RPC server's tests look at beyond the wire: the per-client context records
// that are allocated and not yet freed by a close or a rundown.
#pragma once

#include <cstddef>

namespace RpcServer {

std::size_t LiveClientContexts();

}  // namespace RpcServer
