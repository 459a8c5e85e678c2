// The client half of the local RPC runtime: string bindings, binding handles with
// their association (a pool of bound connections sharing one association group, so
// the server sees one client however many calls run at once), context handles and
// the interpreted client stub.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/machine.h"
#include "platform/src/host/fd.h"
#include "platform/src/rpc/rpc_internal.h"

#include "platform/src/base/trace.h"

namespace platform {
namespace {

using namespace rpc;
using namespace rpc::detail;

constexpr std::uint32_t kBindingMagic = 0x424e4452;  // "RDNB"
constexpr std::uint32_t kContextMagic = 0x43545843;
// A response larger than this is not one of ours: refuse it rather than buffer it.
constexpr std::size_t kMaxResponse = 16 * 1024 * 1024;

struct ClientConnection {
  std::unique_ptr<Link> link;
  std::unique_ptr<PduReader> reader;
  const RPC_INTERFACE_INFO* info = nullptr;
  bool ndr64 = false;
  std::uint16_t contextId = 0;
  std::uint16_t maxXmit = wire::kMinFragment;
  std::uint16_t maxRecv = wire::kMinFragment;
  bool reused = false;  // taken from the pool: the server may have closed it meanwhile
};

struct Association {
  std::filesystem::path path;
  std::function<std::unique_ptr<Link>()> connect;  // instead of the socket at `path`
  std::mutex mutex;
  std::vector<std::unique_ptr<ClientConnection>> idle;
  std::uint32_t group = 0;
  unsigned long syntaxes = RPC_C_TRANSFER_NDR20 | RPC_C_TRANSFER_NDR64;
  std::mutex bindMutex;  // the first bind creates the group; the others join it
  std::atomic<std::uint32_t> nextCallId{1};
};

struct Binding {
  std::uint32_t magic = kBindingMagic;
  std::shared_ptr<Association> association;
};

struct ClientContext {
  std::uint32_t magic = kContextMagic;
  std::shared_ptr<Association> association;
  WireContext wire;
};

[[noreturn]] void Raise(RPC_STATUS s) {
  throw RpcRaisedException(s);
}

std::unique_ptr<Link> ConnectSocket(const std::filesystem::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Raise(RPC_S_OUT_OF_RESOURCES);
  auto link = std::make_unique<SocketLink>(fd);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  const int rc = host::RetryOnEintr([&] { return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)); });
  if (rc != 0) Raise(errno == EACCES ? RPC_S_ACCESS_DENIED : RPC_S_SERVER_UNAVAILABLE);
  return link;
}

std::unique_ptr<ClientConnection> Connect(const Association& a, const RPC_INTERFACE_INFO* info, std::uint32_t group,
                                          unsigned long syntaxes, std::uint32_t callId, std::uint32_t* boundGroup) {
  auto conn = std::make_unique<ClientConnection>();
  conn->info = info;
  conn->link = a.connect ? a.connect() : ConnectSocket(a.path);
  if (!conn->link) Raise(RPC_S_SERVER_UNAVAILABLE);
  conn->reader = std::make_unique<PduReader>(*conn->link);

  wire::Bind bind;
  bind.assocGroupId = group;
  std::uint16_t id = 0;
  if (syntaxes & RPC_C_TRANSFER_NDR20) bind.contexts.push_back({id++, info->InterfaceId, {NDR20_TRANSFER_SYNTAX}});
  if (syntaxes & RPC_C_TRANSFER_NDR64) bind.contexts.push_back({id++, info->InterfaceId, {NDR64_TRANSFER_SYNTAX}});
  if (bind.contexts.empty()) Raise(RPC_S_UNSUPPORTED_TRANS_SYN);
  if (!SendPdus(*conn->link, {wire::EncodeBind(callId, bind)})) Raise(RPC_S_SERVER_UNAVAILABLE);
  wire::Header h;
  std::vector<std::uint8_t> pdu;
  if (conn->reader->Read(8192, &h, &pdu) != ReadResult::kOk) Raise(RPC_S_SERVER_UNAVAILABLE);
  if (h.callId != callId) Raise(RPC_S_PROTOCOL_ERROR);
  if (h.type == wire::kFault) {
    std::uint32_t status = 0;
    if (!wire::DecodeFault(pdu.data(), pdu.size(), h, &status)) Raise(RPC_S_PROTOCOL_ERROR);
    Raise(wire::StatusFromFault(status));
  }
  if (h.type == wire::kBindNak) {
    std::uint16_t reason = 0;
    wire::DecodeBindNak(pdu.data(), pdu.size(), h, &reason);
    Raise(reason == wire::kRejectTemporaryCongestion || reason == wire::kRejectLocalLimitExceeded
              ? RPC_S_SERVER_TOO_BUSY
              : RPC_S_CALL_FAILED_DNE);
  }
  wire::BindAck ack;
  if (h.type != wire::kBindAck || !wire::DecodeBindAck(pdu.data(), pdu.size(), h, &ack) ||
      ack.results.size() != bind.contexts.size()) {
    Raise(RPC_S_PROTOCOL_ERROR);
  }
  bool accepted = false, knownInterface = false;
  for (std::size_t i = 0; i < ack.results.size() && !accepted; ++i) {
    const auto& r = ack.results[i];
    if (r.reason != wire::kReasonAbstractSyntaxNotSupported) knownInterface = true;
    if (r.result == wire::kResultAcceptance) {
      accepted = true;
      conn->contextId = bind.contexts[i].id;
      conn->ndr64 = bind.contexts[i].transferSyntaxes[0].SyntaxGUID == NDR64_TRANSFER_SYNTAX.SyntaxGUID;
    }
  }
  if (!accepted) Raise(knownInterface ? RPC_S_UNSUPPORTED_TRANS_SYN : RPC_S_UNKNOWN_IF);
  if (ack.maxXmitFrag < wire::kMinFragment || ack.maxRecvFrag < wire::kMinFragment) Raise(RPC_S_PROTOCOL_ERROR);
  conn->maxXmit = std::min(ack.maxRecvFrag, wire::kDefaultFragment);
  conn->maxRecv = std::min(ack.maxXmitFrag, wire::kDefaultFragment);
  *boundGroup = ack.assocGroupId;
  return conn;
}

std::unique_ptr<ClientConnection> Acquire(Association& a, const RPC_INTERFACE_INFO* info) {
  std::uint32_t group;
  unsigned long syntaxes;
  {
    std::lock_guard lock(a.mutex);
    while (!a.idle.empty()) {
      auto conn = std::move(a.idle.back());
      a.idle.pop_back();
      if (conn->info == info && !conn->reader->Pending()) {
        conn->reused = true;
        return conn;
      }
    }
    group = a.group;
    syntaxes = a.syntaxes;
  }
  // The group is made by one bind; connections opened meanwhile wait to join it.
  std::unique_lock bindLock(a.bindMutex, std::defer_lock);
  if (group == 0) {
    bindLock.lock();
    std::lock_guard lock(a.mutex);
    group = a.group;
  }
  std::uint32_t bound = 0;
  auto conn = Connect(a, info, group, syntaxes, a.nextCallId++, &bound);
  std::lock_guard lock(a.mutex);
  a.group = bound;
  return conn;
}

void Release(Association& a, std::unique_ptr<ClientConnection> conn) {
  std::lock_guard lock(a.mutex);
  a.idle.push_back(std::move(conn));
}

Binding* ValidBinding(void* handle) {
  auto* b = static_cast<Binding*>(handle);
  if (!b || b->magic != kBindingMagic) Raise(RPC_S_INVALID_BINDING);
  return b;
}

ClientContext* ValidContext(void* handle) {
  if (!handle) Raise(RPC_X_SS_IN_NULL_CONTEXT);
  auto* c = static_cast<ClientContext*>(handle);
  if (c->magic != kContextMagic) Raise(RPC_X_SS_CONTEXT_DAMAGED);
  return c;
}

// Sends the request and collects the response's stub data; a fault is raised.
std::vector<std::uint8_t> Exchange(ClientConnection& conn, std::uint32_t callId, std::uint16_t opnum,
                                   const std::vector<std::uint8_t>& stub, bool* connectionUsable) {
  *connectionUsable = false;
  if (!SendPdus(*conn.link, wire::EncodeRequest(callId, conn.contextId, opnum, stub, conn.maxXmit))) {
    Raise(RPC_S_CALL_FAILED_DNE);
  }
  std::vector<std::uint8_t> out;
  wire::Header h;
  std::vector<std::uint8_t> pdu;
  bool first = true;
  while (true) {
    if (conn.reader->Read(conn.maxRecv, &h, &pdu) != ReadResult::kOk) Raise(RPC_S_CALL_FAILED);
    if (h.callId != callId) Raise(RPC_S_PROTOCOL_ERROR);
    if (h.type == wire::kFault) {
      std::uint32_t status = 0;
      if (!wire::DecodeFault(pdu.data(), pdu.size(), h, &status)) Raise(RPC_S_PROTOCOL_ERROR);
      *connectionUsable = true;
      Raise(wire::StatusFromFault(status));
    }
    wire::CallFragment f;
    if (h.type != wire::kResponse || !wire::DecodeResponse(pdu.data(), pdu.size(), h, &f)) {
      Raise(RPC_S_PROTOCOL_ERROR);
    }
    if (first != ((h.flags & wire::PFC_FIRST_FRAG) != 0)) Raise(RPC_S_PROTOCOL_ERROR);
    first = false;
    if (out.size() + f.stubSize > kMaxResponse) Raise(RPC_X_BAD_STUB_DATA);
    if (out.empty() && (h.flags & wire::PFC_LAST_FRAG)) {
      // A whole answer in one fragment: its stub data is the PDU without its header.
      pdu.erase(pdu.begin(), pdu.begin() + (f.stub - pdu.data()));
      out = std::move(pdu);
      break;
    }
    out.insert(out.end(), f.stub, f.stub + f.stubSize);
    if (h.flags & wire::PFC_LAST_FRAG) break;
  }
  *connectionUsable = true;
  return out;
}

}  // namespace

void NdrClientCall(const RPC_CLIENT_INTERFACE* spec, unsigned opnum, void** args, LONG* result) {
  return base::detail::Traced<void>(base::detail::kTraceRpc, "NdrClientCall", [&]() -> void {
    if (!spec || spec->Length != sizeof(RPC_CLIENT_INTERFACE) || !spec->Info) Raise(RPC_S_UNKNOWN_IF);
    const RPC_INTERFACE_INFO* info = spec->Info;
    if (opnum >= info->ProcCount) Raise(RPC_S_PROCNUM_OUT_OF_RANGE);
    const NdrProcFormat& proc = info->Procs[opnum];
    const unsigned n = proc.paramCount;

    // Everything the caller passed is checked before anything is sent.
    std::shared_ptr<Association> association;
    for (unsigned i = 0; i < n; ++i) {
      const auto& p = proc.params[i];
      std::shared_ptr<Association> source;
      switch (p.kind) {
        case NdrParamKind::BindingHandle:
          source = ValidBinding(*static_cast<void**>(args[i]))->association;
          break;
        case NdrParamKind::ContextIn:
          source = ValidContext(*static_cast<void**>(args[i]))->association;
          break;
        case NdrParamKind::ContextInOut: {
          void** ref = *static_cast<void***>(args[i]);
          if (!ref) Raise(RPC_X_NULL_REF_POINTER);
          source = ValidContext(*ref)->association;
          break;
        }
        case NdrParamKind::ContextOut:
          if (!*static_cast<void***>(args[i])) Raise(RPC_X_NULL_REF_POINTER);
          break;
        case NdrParamKind::LongOut:
          if (!*static_cast<LONG**>(args[i])) Raise(RPC_X_NULL_REF_POINTER);
          break;
        case NdrParamKind::WideArrayOut:
          if (!*static_cast<char16_t***>(args[i])) Raise(RPC_X_NULL_REF_POINTER);
          break;
        case NdrParamKind::LongIn:
          break;
      }
      if (source && static_cast<int>(i) == proc.bindingParam) association = source;
    }
    if (!association) Raise(RPC_S_INVALID_BINDING);

    auto conn = Acquire(*association, info);
    // What a request carries (context handles, longs) is the same in both syntaxes, so
    // it stays valid if the call moves to another connection.
    wire::Writer w;
    for (unsigned i = 0; i < n; ++i) {
      const auto& p = proc.params[i];
      if (p.kind == NdrParamKind::ContextIn) {
        PutContext(w, static_cast<ClientContext*>(*static_cast<void**>(args[i]))->wire);
      } else if (p.kind == NdrParamKind::ContextInOut) {
        PutContext(w, static_cast<ClientContext*>(**static_cast<void***>(args[i]))->wire);
      } else if (p.kind == NdrParamKind::LongIn) {
        w.Align(4);
        w.U32(static_cast<std::uint32_t>(*static_cast<LONG*>(args[i])));
      }
    }
    bool usable = false;
    std::vector<std::uint8_t> stub;
    for (;;) {
      try {
        stub = Exchange(*conn, association->nextCallId++, static_cast<std::uint16_t>(opnum), w.bytes(), &usable);
        break;
      } catch (const RpcRaisedException& e) {
        // A pooled connection the server closed while it sat idle refuses the request
        // before any of it is delivered: make the call again on a new connection.
        if (e.code() == RPC_S_CALL_FAILED_DNE && conn->reused) {
          conn = Acquire(*association, info);
          continue;
        }
        if (usable) Release(*association, std::move(conn));
        throw;
      } catch (...) {
        if (usable) Release(*association, std::move(conn));
        throw;
      }
    }
    const bool ndr64 = conn->ndr64;
    Release(*association, std::move(conn));

    // Unmarshal into locals first: the caller's variables change only when all of it is good.
    struct Pending {
      unsigned param;
      WireContext context;
      char16_t* array = nullptr;
    };
    std::vector<Pending> contexts, arrays;
    std::vector<std::pair<unsigned, LONG>> longs;
    LONG ret = 0;
    auto discard = [&] {
      for (auto& a : arrays) MIDL_user_free(a.array);
    };
    wire::Reader r(stub.data(), stub.size(), true);
    bool good = true;
    for (unsigned i = 0; i < n && good; ++i) {
      const auto& p = proc.params[i];
      switch (p.kind) {
        case NdrParamKind::ContextOut:
        case NdrParamKind::ContextInOut: {
          Pending c{i, {}, nullptr};
          good = GetContext(r, &c.context);
          contexts.push_back(c);
          break;
        }
        case NdrParamKind::LongOut: {
          std::uint32_t v = 0;
          good = r.Align(4) && r.U32(&v);
          longs.emplace_back(i, static_cast<LONG>(v));
          break;
        }
        case NdrParamKind::WideArrayOut: {
          bool present = false;
          good = GetPointer(r, ndr64, &present);
          if (!good || !present) {
            arrays.push_back({i, {}, nullptr});
            break;
          }
          std::uint64_t count = 0;
          good = GetCount(r, ndr64, &count);
          // The count must match the parameter that sizes it, and the data must be there
          // before anything is allocated for it.
          LONG expected = -1;
          for (const auto& [index, value] : longs) {
            if (static_cast<int>(index) == p.sizeParam) expected = value;
          }
          if (!good || expected < 0 || count != static_cast<std::uint64_t>(expected) || count > r.remaining() / 2) {
            good = false;
            break;
          }
          auto* array = static_cast<char16_t*>(MIDL_user_allocate(count ? count * 2 : 2));
          if (!array) {
            discard();
            Raise(RPC_S_OUT_OF_MEMORY);
          }
          r.U16Array(array, static_cast<std::size_t>(count));
          arrays.push_back({i, {}, array});
          break;
        }
        default:
          break;
      }
    }
    if (good && proc.returnsLong) {
      std::uint32_t v = 0;
      good = r.Align(4) && r.U32(&v);
      ret = static_cast<LONG>(v);
    }
    if (!good || r.remaining() != 0) {
      discard();
      Raise(RPC_X_BAD_STUB_DATA);
    }

    for (const auto& [index, value] : longs) **static_cast<LONG**>(args[index]) = value;
    for (const auto& a : arrays) **static_cast<char16_t***>(args[a.param]) = a.array;
    for (const auto& c : contexts) {
      void** ref = *static_cast<void***>(args[c.param]);
      if (proc.params[c.param].kind == NdrParamKind::ContextInOut) {
        auto* existing = static_cast<ClientContext*>(*ref);
        if (c.context.IsNull()) {
          existing->magic = 0;
          delete existing;
          *ref = nullptr;
        } else {
          existing->wire = c.context;
        }
      } else {
        *ref = c.context.IsNull() ? nullptr : new ClientContext{kContextMagic, association, c.context};
      }
    }
    if (result) *result = ret;
  });
}

RPC_STATUS RpcStringBindingComposeW(const wchar_t* objUuid, const wchar_t* protseq, const wchar_t* networkAddr,
                                    const wchar_t* endpoint, const wchar_t* options, RPC_WSTR* stringBinding) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcStringBindingComposeW", [&]() -> RPC_STATUS {
    if (!stringBinding) return RPC_S_INVALID_ARG;
    std::wstring s;
    if (objUuid && *objUuid) s += std::wstring(objUuid) + L"@";
    if (protseq && *protseq) s += std::wstring(protseq) + L":";
    if (networkAddr) s += networkAddr;
    if ((endpoint && *endpoint) || (options && *options)) {
      s += L"[";
      if (endpoint) s += endpoint;
      if (options && *options) s += std::wstring(L",") + options;
      s += L"]";
    }
    auto* out = new (std::nothrow) wchar_t[s.size() + 1];
    if (!out) return RPC_S_OUT_OF_MEMORY;
    std::wmemcpy(out, s.c_str(), s.size() + 1);
    *stringBinding = out;
    return RPC_S_OK;
  });
}

RPC_STATUS RpcStringFreeW(RPC_WSTR* string) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcStringFreeW", [&]() -> RPC_STATUS {
    if (!string) return RPC_S_INVALID_ARG;
    delete[] * string;
    *string = nullptr;
    return RPC_S_OK;
  });
}

RPC_STATUS RpcBindingFromStringBindingW(const wchar_t* stringBinding, RPC_BINDING_HANDLE* binding) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcBindingFromStringBindingW", [&]() -> RPC_STATUS {
    if (!binding) return RPC_S_INVALID_ARG;
    *binding = nullptr;
    if (!stringBinding) return RPC_S_INVALID_STRING_BINDING;
    std::wstring s = stringBinding;
    if (const auto at = s.find(L'@'); at != std::wstring::npos) s = s.substr(at + 1);  // object uuid: unused
    const auto colon = s.find(L':');
    if (colon == std::wstring::npos) return RPC_S_INVALID_STRING_BINDING;
    const std::wstring protseq = s.substr(0, colon);
    if (protseq != L"ncalrpc") return protseq.empty() ? RPC_S_INVALID_RPC_PROTSEQ : RPC_S_PROTSEQ_NOT_SUPPORTED;
    std::wstring rest = s.substr(colon + 1);
    std::wstring endpoint;
    if (const auto open = rest.find(L'['); open != std::wstring::npos) {
      if (rest.back() != L']') return RPC_S_INVALID_STRING_BINDING;
      endpoint = rest.substr(open + 1, rest.size() - open - 2);
      if (const auto comma = endpoint.find(L','); comma != std::wstring::npos) endpoint.resize(comma);
      rest.resize(open);
    }
    // ncalrpc is local only; there is no endpoint mapper to find a missing endpoint.
    if (endpoint.empty() || endpoint == L"." || endpoint == L".." ||
        endpoint.find_first_of(L"/\\") != std::wstring::npos) {
      return RPC_S_INVALID_ENDPOINT_FORMAT;
    }
    auto* b = new (std::nothrow) Binding;
    if (!b) return RPC_S_OUT_OF_MEMORY;
    b->association = std::make_shared<Association>();
    b->association->path = CurrentMachine().Root() / "rpc" / Utf8(endpoint);
    *binding = b;
    return RPC_S_OK;
  });
}

namespace rpc {

RPC_BINDING_HANDLE BindingOverLinks(std::function<std::unique_ptr<Link>()> connect) {
  auto* b = new Binding;
  b->association = std::make_shared<Association>();
  b->association->connect = std::move(connect);
  return b;
}

}  // namespace rpc

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcBindingFree", [&]() -> RPC_STATUS {
    if (!binding || !*binding || static_cast<Binding*>(*binding)->magic != kBindingMagic) return RPC_S_INVALID_BINDING;
    auto* b = static_cast<Binding*>(*binding);
    b->magic = 0;
    delete b;
    *binding = nullptr;
    return RPC_S_OK;
  });
}

void RpcSsDestroyClientContext(void** contextHandle) {
  return base::detail::Traced<void>(base::detail::kTraceRpc, "RpcSsDestroyClientContext", [&]() -> void {
    if (!contextHandle || !*contextHandle) return;
    auto* c = static_cast<ClientContext*>(*contextHandle);
    if (c->magic != kContextMagic) RpcRaiseException(RPC_X_SS_CONTEXT_DAMAGED);
    c->magic = 0;
    delete c;
    *contextHandle = nullptr;
  });
}

RPC_STATUS RpcBindingSetOption(RPC_BINDING_HANDLE binding, unsigned long option, std::uintptr_t value) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcBindingSetOption", [&]() -> RPC_STATUS {
    auto* b = static_cast<Binding*>(binding);
    if (!b || b->magic != kBindingMagic) return RPC_S_INVALID_BINDING;
    if (option != RPC_C_OPT_TRANSFER_SYNTAXES) return RPC_S_INVALID_ARG;
    if (value == 0 || (value & ~std::uintptr_t{RPC_C_TRANSFER_NDR20 | RPC_C_TRANSFER_NDR64})) return RPC_S_INVALID_ARG;
    std::lock_guard lock(b->association->mutex);
    b->association->syntaxes = value;
    return RPC_S_OK;
  });
}

}  // namespace platform
