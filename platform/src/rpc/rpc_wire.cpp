#include "platform/rpc_wire.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace platform::rpc::wire {

RPC_STATUS StatusFromFault(std::uint32_t s) {
  switch (s) {
    case nca_s_fault_context_mismatch:
      return RPC_X_SS_CONTEXT_MISMATCH;
    case nca_s_op_rng_error:
      return RPC_S_PROCNUM_OUT_OF_RANGE;
    case nca_s_unk_if:
      return RPC_S_UNKNOWN_IF;
    case nca_s_proto_error:
      return RPC_S_PROTOCOL_ERROR;
    case nca_s_server_too_busy:
      return RPC_S_SERVER_TOO_BUSY;
    case nca_s_unsupported_type:
      return RPC_S_PROTOCOL_ERROR;
    default:
      return static_cast<RPC_STATUS>(s);
  }
}

HeaderCheck DecodeHeader(const std::uint8_t* b, Header* h) {
  h->versionMajor = b[0];
  h->versionMinor = b[1];
  h->type = b[2];
  h->flags = b[3];
  const std::uint8_t intRep = b[4] >> 4;
  const std::uint8_t charRep = b[4] & 0x0F;
  if (intRep > 1 || charRep != 0 || b[5] != 0) return HeaderCheck::kBadFormat;  // ASCII, IEEE floats only
  h->littleEndian = intRep == 1;
  Reader r(b + 8, 8, h->littleEndian);
  r.U16(&h->fragLength);
  r.U16(&h->authLength);
  r.U32(&h->callId);
  if (h->fragLength < kHeaderSize || h->authLength != 0) return HeaderCheck::kBadFormat;
  if (h->versionMajor != 5 || h->versionMinor > 1) return HeaderCheck::kBadVersion;
  return HeaderCheck::kOk;
}

// --- Writer / Reader ----------------------------------------------------------------------------

namespace {

// Appends `v` little-endian in `n` bytes.
void PutLittle(std::vector<std::uint8_t>& bytes, std::uint64_t v, std::size_t n) {
  const std::size_t at = bytes.size();
  bytes.resize(at + n);
  for (std::size_t i = 0; i < n; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

void Writer::U16(std::uint16_t v) {
  PutLittle(bytes_, v, 2);
}
void Writer::U32(std::uint32_t v) {
  PutLittle(bytes_, v, 4);
}
void Writer::U64(std::uint64_t v) {
  PutLittle(bytes_, v, 8);
}
void Writer::Align(std::size_t n) {
  while (bytes_.size() % n) bytes_.push_back(0);
}
void Writer::Bytes(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  bytes_.insert(bytes_.end(), p, p + size);
}
void Writer::Guid(const GUID& g) {
  U32(g.Data1);
  U16(g.Data2);
  U16(g.Data3);
  Bytes(g.Data4, 8);
}
void Writer::U16Array(const char16_t* units, std::size_t count) {
  const std::size_t at = bytes_.size();
  bytes_.resize(at + 2 * count);
  std::uint8_t* out = bytes_.data() + at;
  if constexpr (std::endian::native == std::endian::little) {
    if (count) std::memcpy(out, units, 2 * count);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(units[i]);
    out[2 * i + 1] = static_cast<std::uint8_t>(units[i] >> 8);
  }
}
void Writer::Syntax(const RPC_SYNTAX_IDENTIFIER& s) {
  Guid(s.SyntaxGUID);
  U16(s.SyntaxVersion.MajorVersion);
  U16(s.SyntaxVersion.MinorVersion);
}

bool Reader::Take(std::size_t n, const std::uint8_t** at) {
  if (!ok_ || n > size_ - pos_) {
    ok_ = false;
    return false;
  }
  *at = p_ + pos_;
  pos_ += n;
  return true;
}
bool Reader::U8(std::uint8_t* v) {
  const std::uint8_t* a;
  if (!Take(1, &a)) return false;
  *v = a[0];
  return true;
}
bool Reader::U16(std::uint16_t* v) {
  const std::uint8_t* a;
  if (!Take(2, &a)) return false;
  *v = le_ ? static_cast<std::uint16_t>(a[0] | a[1] << 8) : static_cast<std::uint16_t>(a[1] | a[0] << 8);
  return true;
}
bool Reader::U32(std::uint32_t* v) {
  const std::uint8_t* a;
  if (!Take(4, &a)) return false;
  std::uint32_t x = 0;
  for (int i = 0; i < 4; ++i) x |= std::uint32_t{a[le_ ? i : 3 - i]} << (8 * i);
  *v = x;
  return true;
}
bool Reader::U64(std::uint64_t* v) {
  const std::uint8_t* a;
  if (!Take(8, &a)) return false;
  std::uint64_t x = 0;
  for (int i = 0; i < 8; ++i) x |= std::uint64_t{a[le_ ? i : 7 - i]} << (8 * i);
  *v = x;
  return true;
}
bool Reader::Align(std::size_t n) {
  const std::size_t pad = (n - pos_ % n) % n;
  return Skip(pad);
}
bool Reader::Skip(std::size_t n) {
  const std::uint8_t* a;
  return Take(n, &a);
}
bool Reader::Bytes(void* out, std::size_t n) {
  const std::uint8_t* a;
  if (!Take(n, &a)) return false;
  std::memcpy(out, a, n);
  return true;
}
bool Reader::U16Array(char16_t* out, std::size_t count) {
  const std::uint8_t* a;
  if (count > (size_ - pos_) / 2 || !Take(2 * count, &a)) {
    ok_ = false;
    return false;
  }
  if (std::endian::native == std::endian::little && le_) {
    if (count) std::memcpy(out, a, 2 * count);
    return true;
  }
  for (std::size_t i = 0; i < count; ++i) {
    out[i] =
        le_ ? static_cast<char16_t>(a[2 * i] | a[2 * i + 1] << 8) : static_cast<char16_t>(a[2 * i + 1] | a[2 * i] << 8);
  }
  return true;
}
bool Reader::Guid(GUID* g) {
  return U32(&g->Data1) && U16(&g->Data2) && U16(&g->Data3) && Bytes(g->Data4, 8);
}
bool Reader::Syntax(RPC_SYNTAX_IDENTIFIER* s) {
  return Guid(&s->SyntaxGUID) && U16(&s->SyntaxVersion.MajorVersion) && U16(&s->SyntaxVersion.MinorVersion);
}

// --- PDUs ---------------------------------------------------------------------------------------

namespace {

void PutHeader(Writer& w, std::uint8_t type, std::uint8_t flags, std::uint32_t callId) {
  w.U8(5);
  w.U8(0);
  w.U8(type);
  w.U8(flags);
  w.U8(0x10);  // little-endian integers, ASCII, IEEE
  w.U8(0);
  w.U8(0);
  w.U8(0);
  w.U16(0);  // fragment length, patched by Finish
  w.U16(0);
  w.U32(callId);
}

std::vector<std::uint8_t> Finish(Writer& w) {
  auto& b = w.bytes();
  const auto len = static_cast<std::uint16_t>(b.size());
  b[8] = static_cast<std::uint8_t>(len);
  b[9] = static_cast<std::uint8_t>(len >> 8);
  return std::move(b);
}

// A reader over a PDU's body, positioned after the common header; alignment stays
// relative to the PDU start, as the header is 16 bytes.
Reader Body(const std::uint8_t* pdu, std::size_t size, const Header& h) {
  const std::size_t end = std::min<std::size_t>(size, h.fragLength);
  Reader r(pdu, end, h.littleEndian);
  r.Skip(kHeaderSize);
  return r;
}

std::vector<std::vector<std::uint8_t>> Fragments(std::uint8_t type, std::uint32_t callId, std::uint16_t contextId,
                                                 std::uint16_t opnum, const std::vector<std::uint8_t>& stub,
                                                 std::uint16_t maxFrag) {
  const std::size_t overhead = kHeaderSize + 8;
  const std::size_t room = (std::max<std::size_t>(maxFrag, kMinFragment) - overhead) & ~std::size_t{7};
  std::vector<std::vector<std::uint8_t>> out;
  out.reserve(stub.size() / room + 1);
  std::size_t at = 0;
  do {
    const std::size_t n = std::min(room, stub.size() - at);
    std::uint8_t flags = 0;
    if (at == 0) flags |= PFC_FIRST_FRAG;
    if (at + n == stub.size()) flags |= PFC_LAST_FRAG;
    Writer w;
    w.bytes().reserve(overhead + n);
    PutHeader(w, type, flags, callId);
    w.U32(static_cast<std::uint32_t>(stub.size() - at));  // alloc hint: what is left
    w.U16(contextId);
    if (type == kRequest) {
      w.U16(opnum);
    } else {
      w.U8(0);  // cancel count
      w.U8(0);
    }
    w.Bytes(stub.data() + at, n);
    out.push_back(Finish(w));
    at += n;
  } while (at < stub.size());
  return out;
}

}  // namespace

std::vector<std::uint8_t> EncodeBind(std::uint32_t callId, const Bind& bind) {
  Writer w;
  PutHeader(w, kBind, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
  w.U16(bind.maxXmitFrag);
  w.U16(bind.maxRecvFrag);
  w.U32(bind.assocGroupId);
  w.U8(static_cast<std::uint8_t>(bind.contexts.size()));
  w.U8(0);
  w.U16(0);
  for (const auto& c : bind.contexts) {
    w.U16(c.id);
    w.U8(static_cast<std::uint8_t>(c.transferSyntaxes.size()));
    w.U8(0);
    w.Syntax(c.abstractSyntax);
    for (const auto& t : c.transferSyntaxes) w.Syntax(t);
  }
  return Finish(w);
}

std::vector<std::uint8_t> EncodeBindAck(std::uint32_t callId, const BindAck& ack) {
  Writer w;
  PutHeader(w, kBindAck, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
  w.U16(ack.maxXmitFrag);
  w.U16(ack.maxRecvFrag);
  w.U32(ack.assocGroupId);
  w.U16(static_cast<std::uint16_t>(ack.secondaryAddress.size()));
  w.Bytes(ack.secondaryAddress.data(), ack.secondaryAddress.size());
  w.Align(4);
  w.U8(static_cast<std::uint8_t>(ack.results.size()));
  w.U8(0);
  w.U16(0);
  for (const auto& r : ack.results) {
    w.U16(r.result);
    w.U16(r.reason);
    w.Syntax(r.transferSyntax);
  }
  return Finish(w);
}

std::vector<std::uint8_t> EncodeBindNak(std::uint32_t callId, std::uint16_t reason) {
  Writer w;
  PutHeader(w, kBindNak, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
  w.U16(reason);
  w.U8(1);  // versions supported: 5.0
  w.U8(5);
  w.U8(0);
  return Finish(w);
}

std::vector<std::uint8_t> EncodeFault(std::uint32_t callId, std::uint16_t contextId, std::uint32_t status,
                                      bool didNotExecute) {
  Writer w;
  PutHeader(w, kFault, PFC_FIRST_FRAG | PFC_LAST_FRAG | (didNotExecute ? PFC_DID_NOT_EXECUTE : 0), callId);
  w.U32(0);
  w.U16(contextId);
  w.U8(0);
  w.U8(0);
  w.U32(status);
  w.U32(0);
  return Finish(w);
}

std::vector<std::vector<std::uint8_t>> EncodeRequest(std::uint32_t callId, std::uint16_t contextId, std::uint16_t opnum,
                                                     const std::vector<std::uint8_t>& stub, std::uint16_t maxFrag) {
  return Fragments(kRequest, callId, contextId, opnum, stub, maxFrag);
}

std::vector<std::vector<std::uint8_t>> EncodeResponse(std::uint32_t callId, std::uint16_t contextId,
                                                      const std::vector<std::uint8_t>& stub, std::uint16_t maxFrag) {
  return Fragments(kResponse, callId, contextId, 0, stub, maxFrag);
}

bool DecodeBind(const std::uint8_t* pdu, std::size_t size, const Header& h, Bind* bind) {
  Reader r = Body(pdu, size, h);
  std::uint8_t n = 0, pad8 = 0;
  std::uint16_t pad16 = 0;
  if (!(r.U16(&bind->maxXmitFrag) && r.U16(&bind->maxRecvFrag) && r.U32(&bind->assocGroupId) && r.U8(&n) &&
        r.U8(&pad8) && r.U16(&pad16))) {
    return false;
  }
  bind->contexts.clear();
  for (unsigned i = 0; i < n; ++i) {
    ContextElement c;
    std::uint8_t count = 0;
    if (!(r.U16(&c.id) && r.U8(&count) && r.U8(&pad8) && r.Syntax(&c.abstractSyntax))) return false;
    if (count == 0) return false;
    for (unsigned k = 0; k < count; ++k) {
      RPC_SYNTAX_IDENTIFIER s;
      if (!r.Syntax(&s)) return false;
      c.transferSyntaxes.push_back(s);
    }
    bind->contexts.push_back(std::move(c));
  }
  return !bind->contexts.empty();
}

bool DecodeBindAck(const std::uint8_t* pdu, std::size_t size, const Header& h, BindAck* ack) {
  Reader r = Body(pdu, size, h);
  std::uint16_t addrLen = 0, pad16 = 0;
  std::uint8_t n = 0, pad8 = 0;
  if (!(r.U16(&ack->maxXmitFrag) && r.U16(&ack->maxRecvFrag) && r.U32(&ack->assocGroupId) && r.U16(&addrLen))) {
    return false;
  }
  ack->secondaryAddress.resize(std::min<std::size_t>(addrLen, r.remaining()));
  if (!r.Bytes(ack->secondaryAddress.data(), addrLen) || !r.Align(4)) return false;
  if (!(r.U8(&n) && r.U8(&pad8) && r.U16(&pad16))) return false;
  ack->results.clear();
  for (unsigned i = 0; i < n; ++i) {
    BindResult res;
    if (!(r.U16(&res.result) && r.U16(&res.reason) && r.Syntax(&res.transferSyntax))) return false;
    ack->results.push_back(res);
  }
  return true;
}

bool DecodeBindNak(const std::uint8_t* pdu, std::size_t size, const Header& h, std::uint16_t* reason) {
  Reader r = Body(pdu, size, h);
  return r.U16(reason);
}

bool DecodeRequest(const std::uint8_t* pdu, std::size_t size, const Header& h, CallFragment* f) {
  Reader r = Body(pdu, size, h);
  if (!(r.U32(&f->allocHint) && r.U16(&f->contextId) && r.U16(&f->opnum))) return false;
  if ((h.flags & PFC_OBJECT_UUID) && !r.Skip(16)) return false;
  f->stub = pdu + r.position();
  f->stubSize = r.remaining();
  return true;
}

bool DecodeResponse(const std::uint8_t* pdu, std::size_t size, const Header& h, CallFragment* f) {
  Reader r = Body(pdu, size, h);
  std::uint8_t cancels = 0, pad8 = 0;
  if (!(r.U32(&f->allocHint) && r.U16(&f->contextId) && r.U8(&cancels) && r.U8(&pad8))) return false;
  f->stub = pdu + r.position();
  f->stubSize = r.remaining();
  return true;
}

bool DecodeFault(const std::uint8_t* pdu, std::size_t size, const Header& h, std::uint32_t* status) {
  Reader r = Body(pdu, size, h);
  std::uint32_t hint = 0;
  std::uint16_t ctx = 0;
  std::uint8_t cancels = 0, pad8 = 0;
  return r.U32(&hint) && r.U16(&ctx) && r.U8(&cancels) && r.U8(&pad8) && r.U32(status);
}

// --- NDR of the parameter shapes the stubs know ---------------------------------------

void PutContext(wire::Writer& w, const WireContext& c) {
  w.Align(4);
  w.U32(c.attributes);
  w.Guid(c.uuid);
}

bool GetContext(wire::Reader& r, WireContext* c) {
  return r.Align(4) && r.U32(&c->attributes) && r.Guid(&c->uuid);
}

void PutPointer(wire::Writer& w, bool ndr64, bool present) {
  // Referent ids only need to be non-zero and unique within the message; there is one.
  if (ndr64) {
    w.Align(8);
    w.U64(present ? 0x20000 : 0);
  } else {
    w.Align(4);
    w.U32(present ? 0x20000 : 0);
  }
}

bool GetPointer(wire::Reader& r, bool ndr64, bool* present) {
  if (ndr64) {
    std::uint64_t id = 0;
    if (!r.Align(8) || !r.U64(&id)) return false;
    *present = id != 0;
  } else {
    std::uint32_t id = 0;
    if (!r.Align(4) || !r.U32(&id)) return false;
    *present = id != 0;
  }
  return true;
}

void PutCount(wire::Writer& w, bool ndr64, std::uint64_t count) {
  if (ndr64) {
    w.Align(8);
    w.U64(count);
  } else {
    w.Align(4);
    w.U32(static_cast<std::uint32_t>(count));
  }
}

bool GetCount(wire::Reader& r, bool ndr64, std::uint64_t* count) {
  if (ndr64) return r.Align(8) && r.U64(count);
  std::uint32_t c = 0;
  if (!r.Align(4) || !r.U32(&c)) return false;
  *count = c;
  return true;
}

}  // namespace platform::rpc::wire
