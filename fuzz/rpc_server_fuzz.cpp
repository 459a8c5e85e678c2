// The server's side of one connection, fed from the fuzzer's bytes through the real
// bind, access check, reassembly and dispatch paths with the real interface's stubs.
//
// Input: one byte that picks how the stream is cut into chunks, then the bytes a
// client sends. The 16 bytes "ctx-placeholder!" stand for the UUID of the last context
// handle the server gave out, so a recorded conversation can use its handle even
// though the server makes a new one each time.
//
// Every PDU the server sends must decode, and decode to the same after being encoded
// again; every bind or request of the input that decodes must survive the same; no
// context handle may be left open once the connection is over.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_link.h"
#include "shared/rpc/testing/fixed_procedures.h"
#include "shared/rpc/vesk_server.h"

namespace {

using namespace korvo::fuzz;
namespace rpc = platform::rpc;

constexpr std::uint8_t kPlaceholder[16] = {'c', 't', 'x', '-', 'p', 'l', 'a', 'c',
                                           'e', 'h', 'o', 'l', 'd', 'e', 'r', '!'};

void Start() {
  korvo::rpc_testing::SetAnswers(u"Laptop 14<.^.>SKU-1<.^.>SN0001<.^.>V1.02.03 - 01/15/2021",
                                 u"USB4 40Gbps;TBT;DP;Provider;Consumer;100W");
  if (platform::RpcServerRegisterIf3(VeskRpc_v1_0_s_ifspec, nullptr, nullptr, platform::RPC_IF_ALLOW_LOCAL_ONLY, 1234,
                                     0, nullptr, nullptr) != platform::RPC_S_OK) {
    Broken("the interface did not register");
  }
}

// Puts the handle's UUID wherever the placeholder stands in what is not yet delivered.
void Substitute(std::vector<std::uint8_t>& script, std::size_t from, const std::uint8_t* uuid) {
  for (std::size_t i = from; i + 16 <= script.size(); ++i) {
    if (std::memcmp(script.data() + i, kPlaceholder, 16) == 0) {
      std::memcpy(script.data() + i, uuid, 16);
      i += 15;
    }
  }
}

void CheckSent(const std::uint8_t* pdu, std::size_t size, std::vector<std::uint8_t>& script, std::size_t position) {
  wire::Header h;
  wire::DecodeHeader(pdu, &h);
  switch (h.type) {
    case wire::kBindAck: {
      wire::BindAck ack;
      if (!wire::DecodeBindAck(pdu, size, h, &ack)) Broken("the server sent a bind_ack that does not decode");
      CheckBindAckRoundTrip(h, ack);
      if (wire::EncodeBindAck(h.callId, ack) != std::vector<std::uint8_t>(pdu, pdu + size)) {
        Broken("the server's bind_ack is not what encoding its fields gives");
      }
      break;
    }
    case wire::kBindNak: {
      std::uint16_t reason = 0;
      if (!wire::DecodeBindNak(pdu, size, h, &reason)) Broken("the server sent a bind_nak that does not decode");
      break;
    }
    case wire::kFault: {
      std::uint32_t status = 0;
      if (!wire::DecodeFault(pdu, size, h, &status) || status == 0) Broken("the server sent a bad fault");
      break;
    }
    case wire::kResponse: {
      wire::CallFragment f;
      if (!wire::DecodeResponse(pdu, size, h, &f)) Broken("the server sent a response that does not decode");
      CheckCallRoundTrip(h, f, false);
      // OpenClientContext answers with the 20 bytes of a context handle.
      static constexpr std::uint8_t kNull[16] = {};
      if (f.stubSize == 20 && std::memcmp(f.stub + 4, kNull, 16) != 0) Substitute(script, position, f.stub + 4);
      break;
    }
    default:
      Broken("the server sent a packet type a server never sends");
  }
}

// What the input holds, PDU by PDU, as far as it is well formed.
void CheckInput(const std::vector<std::uint8_t>& script) {
  std::size_t at = 0;
  while (script.size() - at >= wire::kHeaderSize) {
    wire::Header h;
    if (wire::DecodeHeader(script.data() + at, &h) != wire::HeaderCheck::kOk || h.fragLength > script.size() - at) {
      return;
    }
    const std::uint8_t* pdu = script.data() + at;
    if (h.type == wire::kBind) {
      wire::Bind bind;
      if (wire::DecodeBind(pdu, h.fragLength, h, &bind)) CheckBindRoundTrip(h, bind);
    } else if (h.type == wire::kRequest) {
      wire::CallFragment f;
      if (wire::DecodeRequest(pdu, h.fragLength, h, &f)) CheckCallRoundTrip(h, f, true);
    }
    at += h.fragLength;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool started = (Start(), true);
  static_cast<void>(started);
  if (size < 1) return 0;
  std::vector<std::uint8_t> script(data + 1, data + size);
  CheckInput(script);
  std::size_t position = 0;
  ScriptedLink link(&script, &position, data[0],
                    [&](const std::uint8_t* pdu, std::size_t n) { CheckSent(pdu, n, script, position); });
  rpc::PeerIdentity peer;
  peer.known = true;
  rpc::ServeLink(link, peer, {});
  if (korvo::rpc_testing::OpenContexts() != 0) Broken("a context handle outlived its connection");
  return 0;
}
