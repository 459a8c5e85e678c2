// What both fuzz targets share: a link that plays a recorded byte stream to the
// runtime in small chunks of varying size (so a PDU arrives in pieces and reassembly
// is exercised) and hands every PDU the runtime sends to a checker, and the checks
// that what a decoder accepted survives being encoded and decoded again.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/rpc_link.h"
#include "platform/rpc_wire.h"

namespace korvo::fuzz {

namespace wire = platform::rpc::wire;

// Stops the run with a crash the fuzzer records, naming the broken rule.
[[noreturn]] inline void Broken(const char* rule) {
  std::fprintf(stderr, "broken: %s\n", rule);
  std::abort();
}

// KORVO_FUZZ_TRACE=1 prints every PDU the runtime sends, to read what an input does.
inline bool Tracing() {
  static const bool on = std::getenv("KORVO_FUZZ_TRACE") != nullptr;
  return on;
}

class ScriptedLink final : public platform::rpc::Link {
 public:
  using Checker = std::function<void(const std::uint8_t* pdu, std::size_t size)>;

  // `chunking` picks the largest chunk (1 to 4096 bytes) and seeds the sizes.
  ScriptedLink(std::vector<std::uint8_t>* script, std::size_t* position, std::uint8_t chunking, Checker checker)
      : script_(script), position_(position), state_(0x9E3779B9u ^ chunking), checker_(std::move(checker)) {
    static constexpr std::size_t kLargest[] = {1, 2, 3, 7, 16, 61, 512, 4096};
    largest_ = kLargest[chunking & 7];
  }

  // With `turns`, the stream is played like a server that answers only what it was
  // asked: each bind or complete request sent releases the next answer (up to a PDU
  // that ends a message), so a client never sees an answer before its question.
  void TakeTurns() { turns_ = true; }

  std::size_t Receive(std::uint8_t* data, std::size_t size) override {
    const std::size_t end = turns_ ? released_ : script_->size();
    const std::size_t left = end - *position_;
    if (left == 0) return 0;
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    const std::size_t chunk = 1 + state_ % largest_;
    const std::size_t n = std::min({size, left, chunk});
    std::memcpy(data, script_->data() + *position_, n);
    *position_ += n;
    return n;
  }

  // The runtime sends each PDU with one call.
  bool Send(const std::uint8_t* data, std::size_t size) override {
    if (size < wire::kHeaderSize) Broken("a PDU shorter than its header was sent");
    wire::Header h;
    if (wire::DecodeHeader(data, &h) != wire::HeaderCheck::kOk || h.fragLength != size) {
      Broken("a PDU with a bad header or a wrong fragment length was sent");
    }
    if (Tracing()) std::fprintf(stderr, "sent: type %u, call %u, %zu bytes\n", h.type, h.callId, size);
    checker_(data, size);
    if (turns_ && (h.type != wire::kRequest || (h.flags & wire::PFC_LAST_FRAG))) Release();
    return true;
  }

 private:
  void Release() {
    released_ = std::max(released_, *position_);
    while (script_->size() - released_ >= wire::kHeaderSize) {
      wire::Header h;
      if (wire::DecodeHeader(script_->data() + released_, &h) != wire::HeaderCheck::kOk ||
          h.fragLength > script_->size() - released_) {
        break;
      }
      released_ += h.fragLength;
      if (h.type != wire::kResponse || (h.flags & wire::PFC_LAST_FRAG)) return;
    }
    released_ = script_->size();  // what does not parse goes out whole
  }

  std::vector<std::uint8_t>* script_;
  std::size_t* position_;
  std::uint32_t state_;
  std::size_t largest_ = 1;
  Checker checker_;
  bool turns_ = false;
  std::size_t released_ = 0;
};

inline bool SameSyntax(const platform::RPC_SYNTAX_IDENTIFIER& a, const platform::RPC_SYNTAX_IDENTIFIER& b) {
  return a.SyntaxGUID == b.SyntaxGUID && a.SyntaxVersion.MajorVersion == b.SyntaxVersion.MajorVersion &&
         a.SyntaxVersion.MinorVersion == b.SyntaxVersion.MinorVersion;
}

// A request or response fragment, encoded again as one whole fragment, decodes to the
// same call fields and stub data.
inline void CheckCallRoundTrip(const wire::Header& h, const wire::CallFragment& f, bool request) {
  const std::vector<std::uint8_t> stub(f.stub, f.stub + f.stubSize);
  const auto again = request ? wire::EncodeRequest(h.callId, f.contextId, f.opnum, stub, 65535)
                             : wire::EncodeResponse(h.callId, f.contextId, stub, 65535);
  if (stub.size() + 64 < 65535 && again.size() != 1) Broken("a small call was split in fragments");
  std::vector<std::uint8_t> whole;
  for (const auto& pdu : again) {
    wire::Header h2;
    wire::CallFragment f2;
    if (wire::DecodeHeader(pdu.data(), &h2) != wire::HeaderCheck::kOk || h2.fragLength != pdu.size() ||
        h2.callId != h.callId ||
        !(request ? wire::DecodeRequest(pdu.data(), pdu.size(), h2, &f2)
                  : wire::DecodeResponse(pdu.data(), pdu.size(), h2, &f2)) ||
        f2.contextId != f.contextId || (request && f2.opnum != f.opnum)) {
      Broken("an encoded call fragment does not decode to what it was made of");
    }
    whole.insert(whole.end(), f2.stub, f2.stub + f2.stubSize);
  }
  if (whole != stub) Broken("the stub data of a call changed on its way through encode and decode");
}

// A bind or bind_ack encoded again from what was decoded decodes to the same.
inline void CheckBindRoundTrip(const wire::Header& h, const wire::Bind& bind) {
  const auto pdu = wire::EncodeBind(h.callId, bind);
  wire::Header h2;
  wire::Bind again;
  if (wire::DecodeHeader(pdu.data(), &h2) != wire::HeaderCheck::kOk ||
      !wire::DecodeBind(pdu.data(), pdu.size(), h2, &again) || again.maxXmitFrag != bind.maxXmitFrag ||
      again.maxRecvFrag != bind.maxRecvFrag || again.assocGroupId != bind.assocGroupId ||
      again.contexts.size() != bind.contexts.size()) {
    Broken("an encoded bind does not decode to what it was made of");
  }
  for (std::size_t i = 0; i < bind.contexts.size(); ++i) {
    const auto& a = bind.contexts[i];
    const auto& b = again.contexts[i];
    if (a.id != b.id || !SameSyntax(a.abstractSyntax, b.abstractSyntax) ||
        a.transferSyntaxes.size() != b.transferSyntaxes.size()) {
      Broken("a presentation context of a bind changed through encode and decode");
    }
    for (std::size_t k = 0; k < a.transferSyntaxes.size(); ++k) {
      if (!SameSyntax(a.transferSyntaxes[k], b.transferSyntaxes[k])) Broken("a transfer syntax changed");
    }
  }
}

inline void CheckBindAckRoundTrip(const wire::Header& h, const wire::BindAck& ack) {
  const auto pdu = wire::EncodeBindAck(h.callId, ack);
  wire::Header h2;
  wire::BindAck again;
  if (wire::DecodeHeader(pdu.data(), &h2) != wire::HeaderCheck::kOk ||
      !wire::DecodeBindAck(pdu.data(), pdu.size(), h2, &again) || again.maxXmitFrag != ack.maxXmitFrag ||
      again.maxRecvFrag != ack.maxRecvFrag || again.assocGroupId != ack.assocGroupId ||
      again.secondaryAddress != ack.secondaryAddress || again.results.size() != ack.results.size()) {
    Broken("an encoded bind_ack does not decode to what it was made of");
  }
  for (std::size_t i = 0; i < ack.results.size(); ++i) {
    const auto& a = ack.results[i];
    const auto& b = again.results[i];
    if (a.result != b.result || a.reason != b.reason || !SameSyntax(a.transferSyntax, b.transferSyntax)) {
      Broken("a bind result changed through encode and decode");
    }
  }
}

}  // namespace korvo::fuzz
