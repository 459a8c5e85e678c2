// Pieces shared by the RPC server and client: socket I/O of whole PDUs, NDR of the
// parameter shapes the stubs know, the peer's identity and small threads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/rpc.h"
#include "platform/rpc_link.h"
#include "platform/rpc_wire.h"

namespace platform::rpc::detail {

// A connection's socket. It owns the descriptor.
class SocketLink final : public Link {
 public:
  explicit SocketLink(int fd) : fd_(fd) {}
  ~SocketLink() override;
  SocketLink(const SocketLink&) = delete;
  SocketLink& operator=(const SocketLink&) = delete;
  std::size_t Receive(std::uint8_t* data, std::size_t size) override;
  bool Send(const std::uint8_t* data, std::size_t size) override;  // no SIGPIPE
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool SendPdus(Link& link, const std::vector<std::vector<std::uint8_t>>& pdus);

enum class ReadResult { kOk, kClosed, kBadVersion, kBadFormat, kTooLong };

// Reads whole PDUs through a buffer that takes whatever the link has at each read, so
// a PDU usually costs one system call (a connection answers one call at a time, so
// what is buffered beyond a PDU is the start of the next one). A fragment longer than
// `maxFrag` is refused before anything beyond its header is read or allocated.
class PduReader {
 public:
  explicit PduReader(Link& link) : link_(link), buffer_(8192) {}
  ReadResult Read(std::size_t maxFrag, wire::Header* header, std::vector<std::uint8_t>* pdu);
  // Whether bytes are waiting that no PDU has taken yet.
  bool Pending() const { return end_ > start_; }

 private:
  bool Fill(std::size_t need);
  Link& link_;
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

using wire::GetContext;
using wire::GetCount;
using wire::GetPointer;
using wire::PutContext;
using wire::PutCount;
using wire::PutPointer;
using wire::WireContext;

GUID NewUuid();
std::string Utf8(const std::wstring& s);

// The SIDs and kind of the process at the other end of the socket `fd`.
// `rpcDir` is the <root>/rpc folder of the endpoint's machine (app-container records).
PeerIdentity IdentifyPeer(int fd, const std::filesystem::path& rpcDir);
// Whether the peer may connect to an object protected by `descriptor` (empty: anyone).
bool PeerAllowed(const PeerIdentity& peer, const std::vector<BYTE>& descriptor);

// A detached thread with a modest stack: servers run one per connection.
bool StartThread(std::function<void()> body);

}  // namespace platform::rpc::detail
