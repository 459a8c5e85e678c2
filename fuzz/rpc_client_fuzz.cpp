// The client's side: the app's whole conversation (open, every read and query, close)
// through the generated client stubs, answered by the fuzzer's bytes in place of the
// server.
//
// Input: one byte that picks how the answers are cut into chunks, one byte whose low
// two bits pick the transfer syntaxes offered (1 NDR 2.0, 2 NDR64, otherwise both),
// then what the server sends.
//
// Every PDU the client sends must decode and survive encoding again. The calls that
// succeeded, in order, are then answered a second time by a server stream made by
// marshalling their results again, and must give the same results.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_link.h"
#include "shared/rpc/vesk.h"

namespace {

using namespace korvo::fuzz;
using namespace platform;

struct Outcome {
  RPC_STATUS status = 0;
  bool context = false;  // a handle is held after the call
  LONG size = 0;
  bool array = false;
  std::u16string text;
  LONG value = 0;
  bool operator==(const Outcome&) const = default;
};

// The app's conversation, as opnums in the order it makes them.
constexpr unsigned kPlan[] = {0, 4, 7, 5, 6, 2, 3, 1};

void CheckSent(const std::uint8_t* pdu, std::size_t size) {
  wire::Header h;
  wire::DecodeHeader(pdu, &h);
  if (h.type == wire::kBind) {
    wire::Bind bind;
    if (!wire::DecodeBind(pdu, size, h, &bind)) Broken("the client sent a bind that does not decode");
    CheckBindRoundTrip(h, bind);
  } else if (h.type == wire::kRequest) {
    wire::CallFragment f;
    if (!wire::DecodeRequest(pdu, size, h, &f)) Broken("the client sent a request that does not decode");
    CheckCallRoundTrip(h, f, true);
  } else {
    Broken("the client sent a packet type a client never sends");
  }
}

std::vector<Outcome> Converse(std::vector<std::uint8_t> script, std::uint8_t chunking, unsigned long syntaxes) {
  std::size_t position = 0;
  RPC_BINDING_HANDLE binding = rpc::BindingOverLinks([&]() -> std::unique_ptr<rpc::Link> {
    auto link = std::make_unique<ScriptedLink>(&script, &position, chunking, CheckSent);
    link->TakeTurns();
    return link;
  });
  if (RpcBindingSetOption(binding, RPC_C_OPT_TRANSFER_SYNTAXES, syntaxes) != RPC_S_OK) Broken("syntax option refused");
  ClientContextHandle context = nullptr;
  std::vector<Outcome> outcomes;
  for (const unsigned opnum : kPlan) {
    Outcome o;
    LONG size = -7;
    char16_t* data = nullptr;
    o.status = RpcGuard([&] {
      switch (opnum) {
        case 0:
          OpenClientContext(binding, &context);
          break;
        case 1:
          CloseClientContext(&context);
          break;
        case 2:
          StartMSInfoApp(context);
          break;
        case 3:
          StartUSBC(context);
          break;
        case 4:
          ReadSysInfo(context, &size, &data);
          break;
        case 5:
          o.value = IsMeridServiceInstalled(context);
          break;
        case 6:
          o.value = IsMeridNodePresent(context);
          break;
        case 7:
          ReadUSBTypeCInfo(context, &size, &data);
          break;
      }
    });
    if (o.status != RPC_S_OK && data) Broken("a failed call handed out an array");
    if (opnum == 4 || opnum == 7) {
      o.size = size;
      o.array = data != nullptr;
      if (data) {
        if (size < 0) Broken("an array arrived with a negative size");
        o.text.assign(data, static_cast<std::size_t>(size));
        MIDL_user_free(data);
      }
    }
    o.context = context != nullptr;
    outcomes.push_back(o);
  }
  RpcSsDestroyClientContext(&context);
  RpcBindingFree(&binding);
  return outcomes;
}

// What a server sends for the calls that succeeded: a bind_ack that accepts the first
// presentation context, then each call's results marshalled again.
std::vector<std::uint8_t> Remarshal(const std::vector<Outcome>& outcomes, std::size_t count, unsigned long syntaxes) {
  const bool ndr64 = syntaxes == RPC_C_TRANSFER_NDR64;
  std::vector<std::uint8_t> stream;
  wire::BindAck ack;
  ack.assocGroupId = 1;
  ack.results.push_back({wire::kResultAcceptance, 0, ndr64 ? NDR64_TRANSFER_SYNTAX : NDR20_TRANSFER_SYNTAX});
  if (syntaxes != RPC_C_TRANSFER_NDR20 && syntaxes != RPC_C_TRANSFER_NDR64) {
    ack.results.push_back({wire::kResultProviderRejection, wire::kReasonTransferSyntaxesNotSupported, {}});
  }
  const auto bindAck = wire::EncodeBindAck(1, ack);
  stream.insert(stream.end(), bindAck.begin(), bindAck.end());
  for (std::size_t i = 0; i < count; ++i) {
    const Outcome& o = outcomes[i];
    const NdrProcFormat& proc = VeskRpc_v1_0_info.Procs[kPlan[i]];
    wire::Writer w;
    for (unsigned p = 0; p < proc.paramCount; ++p) {
      switch (proc.params[p].kind) {
        case NdrParamKind::ContextOut:
        case NdrParamKind::ContextInOut: {
          wire::WireContext c;
          if (o.context) c.uuid = GUID{0x12345678, 0x9abc, 0x4def, {0x80, 1, 2, 3, 4, 5, 6, 7}};
          wire::PutContext(w, c);
          break;
        }
        case NdrParamKind::LongOut:
          w.Align(4);
          w.U32(static_cast<std::uint32_t>(o.size));
          break;
        case NdrParamKind::WideArrayOut:
          wire::PutPointer(w, ndr64, o.array);
          if (o.array) {
            wire::PutCount(w, ndr64, o.text.size());
            w.U16Array(o.text.data(), o.text.size());
          }
          break;
        default:
          break;
      }
    }
    if (proc.returnsLong) {
      w.Align(4);
      w.U32(static_cast<std::uint32_t>(o.value));
    }
    for (const auto& pdu : wire::EncodeResponse(static_cast<std::uint32_t>(i + 2), 0, w.bytes(), wire::kMinFragment)) {
      stream.insert(stream.end(), pdu.begin(), pdu.end());
    }
  }
  return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned long syntaxes = (data[1] & 3) == 1   ? RPC_C_TRANSFER_NDR20
                                 : (data[1] & 3) == 2 ? RPC_C_TRANSFER_NDR64
                                                      : RPC_C_TRANSFER_NDR20 | RPC_C_TRANSFER_NDR64;
  const auto first = Converse(std::vector<std::uint8_t>(data + 2, data + size), data[0], syntaxes);
  std::size_t succeeded = 0;
  while (succeeded < first.size() && first[succeeded].status == RPC_S_OK) ++succeeded;
  if (succeeded == 0) return 0;
  const auto second = Converse(Remarshal(first, succeeded, syntaxes), data[0], syntaxes);
  for (std::size_t i = 0; i < succeeded; ++i) {
    if (!(second[i] == first[i])) Broken("a call's results changed when marshalled again");
  }
  return 0;
}
