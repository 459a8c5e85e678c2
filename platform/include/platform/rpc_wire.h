// Connection-oriented DCE/RPC PDUs (version 5.0) and the NDR primitives the runtime
// uses. Kept apart from the runtime so tests and fuzz targets can build and pick
// apart PDUs themselves. Nothing here trusts a length it reads: every decoder checks
// against the bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/rpc.h"

namespace platform::rpc::wire {

enum PacketType : std::uint8_t {
  kRequest = 0,
  kResponse = 2,
  kFault = 3,
  kBind = 11,
  kBindAck = 12,
  kBindNak = 13,
  kAlterContext = 14,
  kAlterContextResp = 15,
  kShutdown = 17,
  kCoCancel = 18,
  kOrphaned = 19,
};

inline constexpr std::uint8_t PFC_FIRST_FRAG = 0x01;
inline constexpr std::uint8_t PFC_LAST_FRAG = 0x02;
inline constexpr std::uint8_t PFC_PENDING_CANCEL = 0x04;
inline constexpr std::uint8_t PFC_CONC_MPX = 0x10;
inline constexpr std::uint8_t PFC_DID_NOT_EXECUTE = 0x20;
inline constexpr std::uint8_t PFC_MAYBE = 0x40;
inline constexpr std::uint8_t PFC_OBJECT_UUID = 0x80;

inline constexpr std::size_t kHeaderSize = 16;
// Fragments every implementation must accept, and what we propose.
inline constexpr std::uint16_t kMinFragment = 1432;
inline constexpr std::uint16_t kDefaultFragment = 4280;

// Fault statuses of the protocol (the rest travel as the platform's own codes).
inline constexpr std::uint32_t nca_s_fault_context_mismatch = 0x1c00001a;
inline constexpr std::uint32_t nca_s_op_rng_error = 0x1c010002;
inline constexpr std::uint32_t nca_s_unk_if = 0x1c010003;
inline constexpr std::uint32_t nca_s_proto_error = 0x1c01000b;
inline constexpr std::uint32_t nca_s_server_too_busy = 0x1c010014;
inline constexpr std::uint32_t nca_s_unsupported_type = 0x1c000017;

// Reasons of bind_nak and of rejected presentation contexts.
inline constexpr std::uint16_t kRejectNotSpecified = 0;
inline constexpr std::uint16_t kRejectTemporaryCongestion = 1;
inline constexpr std::uint16_t kRejectLocalLimitExceeded = 2;
inline constexpr std::uint16_t kRejectProtocolVersionNotSupported = 4;
inline constexpr std::uint16_t kResultAcceptance = 0;
inline constexpr std::uint16_t kResultProviderRejection = 2;
inline constexpr std::uint16_t kReasonAbstractSyntaxNotSupported = 1;
inline constexpr std::uint16_t kReasonTransferSyntaxesNotSupported = 2;

// The client-side status a fault status stands for.
RPC_STATUS StatusFromFault(std::uint32_t faultStatus);

struct Header {
  std::uint8_t versionMajor = 5;
  std::uint8_t versionMinor = 0;
  std::uint8_t type = 0;
  std::uint8_t flags = 0;
  bool littleEndian = true;
  std::uint16_t fragLength = 0;
  std::uint16_t authLength = 0;
  std::uint32_t callId = 0;
};

enum class HeaderCheck { kOk, kBadVersion, kBadFormat };
// Reads the 16-byte common header. kBadVersion: not 5.0 or 5.1 (the rest was read);
// kBadFormat: an unknown data representation, a length below the header or an
// authentication trailer (we take none).
HeaderCheck DecodeHeader(const std::uint8_t* bytes, Header* header);

// Little-endian writer of a PDU or of NDR stub data. Alignment is relative to the
// start of what it writes (the stub data of a request or response starts 8-aligned).
class Writer {
 public:
  // Room for a typical call's stub or PDU, so writing it rarely reallocates.
  Writer() { bytes_.reserve(256); }
  void U8(std::uint8_t v) { bytes_.push_back(v); }
  void U16(std::uint16_t v);
  void U32(std::uint32_t v);
  void U64(std::uint64_t v);
  void Align(std::size_t n);
  void Bytes(const void* data, std::size_t size);
  void Guid(const GUID& g);
  // 16-bit units, little-endian, in one go (text is most of what a call carries).
  void U16Array(const char16_t* units, std::size_t count);
  void Syntax(const RPC_SYNTAX_IDENTIFIER& s);
  std::vector<std::uint8_t>& bytes() { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reader that fails (and stays failed) instead of reading past its end.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size, bool littleEndian) : p_(data), size_(size), le_(littleEndian) {}
  bool U8(std::uint8_t* v);
  bool U16(std::uint16_t* v);
  bool U32(std::uint32_t* v);
  bool U64(std::uint64_t* v);
  bool Align(std::size_t n);
  bool Skip(std::size_t n);
  bool Guid(GUID* g);
  bool Syntax(RPC_SYNTAX_IDENTIFIER* s);
  bool Bytes(void* out, std::size_t n);
  bool U16Array(char16_t* out, std::size_t count);
  std::size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
  std::size_t position() const { return pos_; }
  bool ok() const { return ok_; }
  bool littleEndian() const { return le_; }

 private:
  bool Take(std::size_t n, const std::uint8_t** at);
  const std::uint8_t* p_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool le_;
  bool ok_ = true;
};

struct ContextElement {
  std::uint16_t id = 0;
  RPC_SYNTAX_IDENTIFIER abstractSyntax{};
  std::vector<RPC_SYNTAX_IDENTIFIER> transferSyntaxes;
};

struct Bind {
  std::uint16_t maxXmitFrag = kDefaultFragment;
  std::uint16_t maxRecvFrag = kDefaultFragment;
  std::uint32_t assocGroupId = 0;
  std::vector<ContextElement> contexts;
};

struct BindResult {
  std::uint16_t result = 0;
  std::uint16_t reason = 0;
  RPC_SYNTAX_IDENTIFIER transferSyntax{};
};

struct BindAck {
  std::uint16_t maxXmitFrag = kDefaultFragment;
  std::uint16_t maxRecvFrag = kDefaultFragment;
  std::uint32_t assocGroupId = 0;
  std::string secondaryAddress;
  std::vector<BindResult> results;
};

// A request or response fragment, with its stub data.
struct CallFragment {
  std::uint32_t allocHint = 0;
  std::uint16_t contextId = 0;
  std::uint16_t opnum = 0;  // requests only
  const std::uint8_t* stub = nullptr;
  std::size_t stubSize = 0;
};

std::vector<std::uint8_t> EncodeBind(std::uint32_t callId, const Bind& bind);
std::vector<std::uint8_t> EncodeBindAck(std::uint32_t callId, const BindAck& ack);
std::vector<std::uint8_t> EncodeBindNak(std::uint32_t callId, std::uint16_t reason);
std::vector<std::uint8_t> EncodeFault(std::uint32_t callId, std::uint16_t contextId, std::uint32_t status,
                                      bool didNotExecute);
// Splits the stub data into fragments of at most `maxFrag` bytes each.
std::vector<std::vector<std::uint8_t>> EncodeRequest(std::uint32_t callId, std::uint16_t contextId, std::uint16_t opnum,
                                                     const std::vector<std::uint8_t>& stub, std::uint16_t maxFrag);
std::vector<std::vector<std::uint8_t>> EncodeResponse(std::uint32_t callId, std::uint16_t contextId,
                                                      const std::vector<std::uint8_t>& stub, std::uint16_t maxFrag);

// Decoders take the whole PDU (header included) as checked by DecodeHeader.
bool DecodeBind(const std::uint8_t* pdu, std::size_t size, const Header& h, Bind* bind);
bool DecodeBindAck(const std::uint8_t* pdu, std::size_t size, const Header& h, BindAck* ack);
bool DecodeBindNak(const std::uint8_t* pdu, std::size_t size, const Header& h, std::uint16_t* reason);
bool DecodeRequest(const std::uint8_t* pdu, std::size_t size, const Header& h, CallFragment* fragment);
bool DecodeResponse(const std::uint8_t* pdu, std::size_t size, const Header& h, CallFragment* fragment);
bool DecodeFault(const std::uint8_t* pdu, std::size_t size, const Header& h, std::uint32_t* status);

// --- NDR of the parameter shapes the stubs know ----------------------------------------

// The 20 bytes of a context handle on the wire.
struct WireContext {
  std::uint32_t attributes = 0;
  GUID uuid{};
  bool IsNull() const { return uuid == GUID{}; }
};
void PutContext(Writer& w, const WireContext& c);
bool GetContext(Reader& r, WireContext* c);

// The unique pointer's referent id and a conformance (4 bytes in NDR 2.0, 8 in NDR64,
// aligned to their size).
void PutPointer(Writer& w, bool ndr64, bool present);
bool GetPointer(Reader& r, bool ndr64, bool* present);
void PutCount(Writer& w, bool ndr64, std::uint64_t count);
bool GetCount(Reader& r, bool ndr64, std::uint64_t* count);

}  // namespace platform::rpc::wire
