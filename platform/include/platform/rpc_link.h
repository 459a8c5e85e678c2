// The byte stream under one RPC connection. The runtime runs its connections over
// Unix-domain sockets; the same conversation code runs over any Link, which is how the
// fuzz targets drive the real bind, reassembly and dispatch paths from a buffer
// without sockets or threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/rpc.h"

namespace platform::rpc {

class Link {
 public:
  virtual ~Link() = default;
  // Reads some bytes, at most `size`; 0 when the stream has ended or failed.
  virtual std::size_t Receive(std::uint8_t* data, std::size_t size) = 0;
  // Writes every byte; false when the peer is gone.
  virtual bool Send(const std::uint8_t* data, std::size_t size) = 0;
};

// Who is at the other end of a link, as the access check sees it: SIDs in their
// binary form, and whether they form an app container's token.
struct PeerIdentity {
  std::vector<std::vector<BYTE>> sids;
  bool appContainer = false;
  bool known = false;
};

// Serves one connection's whole conversation on the calling thread: binds against the
// interfaces registered with RpcServerRegisterIf3, checks `peer` against
// `endpointDescriptor` (empty: anyone) and the interface's descriptor, and dispatches
// requests until the link ends or the conversation breaks. Context handles it leaves
// open are run down before it returns.
void ServeLink(Link& link, const PeerIdentity& peer, const std::vector<BYTE>& endpointDescriptor);

// A binding handle (free it with RpcBindingFree) whose connections come from `connect`
// instead of an endpoint's socket. A null link from `connect` fails the call with
// RPC_S_SERVER_UNAVAILABLE.
RPC_BINDING_HANDLE BindingOverLinks(std::function<std::unique_ptr<Link>()> connect);

// The runtime's own link over a connected stream socket `fd`, which it takes over
// (for tools that record or replay what really crosses a socket).
std::unique_ptr<Link> MakeSocketLink(int fd);

}  // namespace platform::rpc
