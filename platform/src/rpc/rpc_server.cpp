// The server half of the local RPC runtime: endpoints, interfaces, one thread per
// connection, associations with their context handles, and the interpreted server stub.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/machine.h"
#include "platform/security.h"
#include "platform/src/host/fd.h"
#include "platform/src/rpc/rpc_internal.h"

#include "platform/src/base/trace.h"

namespace platform {
namespace {

using namespace rpc;
using namespace rpc::detail;

constexpr unsigned kDefaultMaxRequest = 4 * 1024 * 1024;
// A bind arrives before any fragment size is agreed; nothing legitimate is larger.
constexpr std::size_t kMaxBindPdu = 8192;

struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

struct Endpoint {
  std::wstring name;
  std::filesystem::path path;
  std::vector<BYTE> descriptor;
  int listenFd = -1;
  std::thread acceptThread;
};

struct Interface {
  const RPC_SERVER_INTERFACE* spec = nullptr;
  unsigned maxCalls = RPC_C_LISTEN_MAX_CALLS_DEFAULT;
  unsigned maxRequest = kDefaultMaxRequest;
  std::vector<BYTE> descriptor;
  unsigned activeCalls = 0;
  bool registered = true;
};

struct ContextEntry {
  void* user = nullptr;
  NDR_RUNDOWN rundown = nullptr;
};

// Connections that bound with the same association group share its context handles;
// the contexts are run down when the last of them closes.
struct Group {
  unsigned connections = 0;
  std::map<GUID, ContextEntry, GuidLess> contexts;
};

struct Connection {
  Link* link = nullptr;
  std::unique_ptr<SocketLink> socket;  // the link of an accepted connection
  bool inCall = false;
  std::uint32_t group = 0;
};

class Server {
 public:
  static Server& Get() {
    static Server* server = new Server;  // lives as long as the process: detached threads use it
    return *server;
  }

  RPC_STATUS UseProtseqEp(const wchar_t* protseq, const wchar_t* endpoint, void* descriptor);
  RPC_STATUS RegisterIf(const RPC_SERVER_INTERFACE* spec, unsigned flags, unsigned maxCalls, unsigned maxRpcSize,
                        void* descriptor);
  RPC_STATUS Listen(unsigned maxCalls, bool dontWait);
  RPC_STATUS StopListening();
  RPC_STATUS WaitListen();
  bool Listening() {
    std::lock_guard lock(mutex_);
    return listenCalled_;
  }
  RPC_STATUS UnregisterIf(const RPC_SERVER_INTERFACE* spec, bool wait);
  void ServeLink(Link& link, const PeerIdentity& peer, const std::vector<BYTE>& endpointDescriptor);

 private:
  RPC_STATUS StartAcceptingLocked();
  void AcceptLoop(Endpoint* endpoint);
  void Serve(const std::shared_ptr<Connection>& conn, const PeerIdentity& peer,
             const std::vector<BYTE>& endpointDescriptor);
  bool HandleBind(Connection& conn, const PeerIdentity& peer, const wire::Header& h,
                  const std::vector<std::uint8_t>& pdu, std::shared_ptr<Interface>* bound, bool* ndr64,
                  std::uint16_t* contextId, std::uint16_t* maxXmit, std::uint16_t* maxRecv);
  std::vector<std::vector<std::uint8_t>> Dispatch(Connection& conn, const std::shared_ptr<Interface>& itf, bool ndr64,
                                                  std::uint32_t callId, std::uint16_t contextId, std::uint16_t opnum,
                                                  const std::vector<std::uint8_t>& stub, std::uint16_t maxXmit);
  void EndConnection(const std::shared_ptr<Connection>& conn);
  bool IdleLocked() const { return !accepting_ && activeCalls_ == 0 && connections_.empty(); }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Endpoint>> endpoints_;
  std::vector<std::shared_ptr<Interface>> interfaces_;
  std::map<std::uint32_t, Group> groups_;
  std::uint32_t nextGroup_ = 1;
  std::set<std::shared_ptr<Connection>> connections_;
  bool accepting_ = false;
  bool listenCalled_ = false;
  bool stopping_ = false;
  unsigned maxCalls_ = RPC_C_LISTEN_MAX_CALLS_DEFAULT;
  unsigned activeCalls_ = 0;
};

RPC_STATUS Server::UseProtseqEp(const wchar_t* protseq, const wchar_t* endpoint, void* descriptor) {
  if (!protseq || std::wstring(protseq) != L"ncalrpc") {
    return protseq && *protseq ? RPC_S_PROTSEQ_NOT_SUPPORTED : RPC_S_INVALID_RPC_PROTSEQ;
  }
  if (!endpoint || !*endpoint) return RPC_S_INVALID_ENDPOINT_FORMAT;
  const std::wstring name = endpoint;
  if (name == L"." || name == L".." || name.find_first_of(L"/\\") != std::wstring::npos || name.size() > 64) {
    return RPC_S_INVALID_ENDPOINT_FORMAT;
  }
  std::vector<BYTE> copy;
  if (descriptor) {
    copy = security::CopySecurityDescriptor(descriptor);
    if (copy.empty()) return RPC_S_INVALID_ARG;
  }
  const auto path = CurrentMachine().Root() / "rpc" / Utf8(name);
  if (path.string().size() >= sizeof(sockaddr_un{}.sun_path)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  std::lock_guard lock(mutex_);
  for (auto& e : endpoints_) {
    if (e->name == name) {
      e->descriptor = std::move(copy);
      return RPC_S_OK;
    }
  }
  auto e = std::make_unique<Endpoint>();
  e->name = name;
  e->path = path;
  e->descriptor = std::move(copy);
  endpoints_.push_back(std::move(e));
  if (accepting_) return StartAcceptingLocked();
  return RPC_S_OK;
}

RPC_STATUS Server::RegisterIf(const RPC_SERVER_INTERFACE* spec, unsigned flags, unsigned maxCalls, unsigned maxRpcSize,
                              void* descriptor) {
  if (!spec || spec->Length != sizeof(RPC_SERVER_INTERFACE) || !spec->Info || !spec->DispatchTable) {
    return RPC_S_UNKNOWN_IF;
  }
  auto itf = std::make_shared<Interface>();
  itf->spec = spec;
  itf->maxCalls = maxCalls ? maxCalls : RPC_C_LISTEN_MAX_CALLS_DEFAULT;
  itf->maxRequest = maxRpcSize ? maxRpcSize : kDefaultMaxRequest;
  if (descriptor) {
    itf->descriptor = security::CopySecurityDescriptor(descriptor);
    if (itf->descriptor.empty()) return RPC_S_INVALID_ARG;
  }
  std::lock_guard lock(mutex_);
  for (const auto& i : interfaces_) {
    if (i->spec->Info->InterfaceId.SyntaxGUID == spec->Info->InterfaceId.SyntaxGUID &&
        i->spec->Info->InterfaceId.SyntaxVersion.MajorVersion == spec->Info->InterfaceId.SyntaxVersion.MajorVersion) {
      return RPC_S_ALREADY_REGISTERED;
    }
  }
  interfaces_.push_back(itf);
  if ((flags & RPC_IF_AUTOLISTEN) && !accepting_) {
    stopping_ = false;
    return StartAcceptingLocked();
  }
  return RPC_S_OK;
}

RPC_STATUS Server::StartAcceptingLocked() {
  if (endpoints_.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
  for (auto& e : endpoints_) {
    if (e->listenFd >= 0) continue;
    std::error_code ec;
    std::filesystem::create_directories(e->path.parent_path(), ec);
    // Every local user may reach the socket and our own access check decides; the
    // sticky bit keeps one user from removing another's endpoint.
    ::chmod(e->path.parent_path().c_str(), 01777);
    std::filesystem::remove(e->path, ec);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return RPC_S_OUT_OF_RESOURCES;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, e->path.c_str(), sizeof(addr.sun_path) - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, SOMAXCONN) != 0) {
      ::close(fd);
      return RPC_S_CANT_CREATE_ENDPOINT;
    }
    ::chmod(e->path.c_str(), 0666);
    e->listenFd = fd;
    Endpoint* raw = e.get();
    e->acceptThread = std::thread([this, raw] { AcceptLoop(raw); });
  }
  accepting_ = true;
  return RPC_S_OK;
}

void Server::AcceptLoop(Endpoint* endpoint) {
  while (true) {
    const int fd = host::RetryOnEintr([&] { return ::accept4(endpoint->listenFd, nullptr, nullptr, SOCK_CLOEXEC); });
    if (fd < 0) {
      if (errno == ECONNABORTED) continue;
      std::lock_guard lock(mutex_);
      if (stopping_ || !accepting_) return;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) continue;
      return;
    }
    auto conn = std::make_shared<Connection>();
    conn->socket = std::make_unique<SocketLink>(fd);
    conn->link = conn->socket.get();
    std::vector<BYTE> descriptor;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) continue;
      connections_.insert(conn);
      // UseProtseqEp may give the endpoint a new descriptor at any time.
      descriptor = endpoint->descriptor;
    }
    auto rpcDir = endpoint->path.parent_path();
    if (!StartThread([this, conn, descriptor = std::move(descriptor), rpcDir = std::move(rpcDir)] {
          Serve(conn, IdentifyPeer(conn->socket->fd(), rpcDir), descriptor);
        })) {
      EndConnection(conn);
    }
  }
}

void Server::EndConnection(const std::shared_ptr<Connection>& conn) {
  std::vector<ContextEntry> rundown;
  {
    std::lock_guard lock(mutex_);
    if (conn->group) {
      auto it = groups_.find(conn->group);
      if (it != groups_.end() && --it->second.connections == 0) {
        for (auto& [uuid, entry] : it->second.contexts) rundown.push_back(entry);
        groups_.erase(it);
      }
    }
  }
  for (const auto& entry : rundown) {
    if (entry.rundown) {
      try {
        entry.rundown(entry.user);
      } catch (...) {
        // A rundown routine must not take the server down with it.
      }
    }
  }
  std::lock_guard lock(mutex_);
  connections_.erase(conn);
  conn->link = nullptr;
  conn->socket.reset();
  changed_.notify_all();
}

bool Server::HandleBind(Connection& conn, const PeerIdentity& peer, const wire::Header& h,
                        const std::vector<std::uint8_t>& pdu, std::shared_ptr<Interface>* bound, bool* ndr64,
                        std::uint16_t* contextId, std::uint16_t* maxXmit, std::uint16_t* maxRecv) {
  wire::Bind bind;
  if (!wire::DecodeBind(pdu.data(), pdu.size(), h, &bind)) {
    SendPdus(*conn.link, {wire::EncodeBindNak(h.callId, wire::kRejectNotSpecified)});
    return false;
  }
  if (bind.maxXmitFrag < wire::kMinFragment || bind.maxRecvFrag < wire::kMinFragment) {
    SendPdus(*conn.link, {wire::EncodeBindNak(h.callId, wire::kRejectLocalLimitExceeded)});
    return false;
  }
  wire::BindAck ack;
  std::shared_ptr<Interface> accepted;
  {
    std::lock_guard lock(mutex_);
    for (const auto& c : bind.contexts) {
      wire::BindResult result{wire::kResultProviderRejection, wire::kReasonAbstractSyntaxNotSupported, {}};
      std::shared_ptr<Interface> itf;
      for (const auto& i : interfaces_) {
        const auto& id = i->spec->Info->InterfaceId;
        if (id.SyntaxGUID == c.abstractSyntax.SyntaxGUID &&
            id.SyntaxVersion.MajorVersion == c.abstractSyntax.SyntaxVersion.MajorVersion &&
            c.abstractSyntax.SyntaxVersion.MinorVersion <= id.SyntaxVersion.MinorVersion) {
          itf = i;
        }
      }
      if (itf) {
        result.reason = wire::kReasonTransferSyntaxesNotSupported;
        if (!accepted) {
          const auto* info = itf->spec->Info;
          for (const auto& offered : c.transferSyntaxes) {
            for (unsigned k = 0; k < info->TransferSyntaxCount && !accepted; ++k) {
              const auto& mine = info->TransferSyntaxes[k];
              if (offered.SyntaxGUID == mine.SyntaxGUID &&
                  offered.SyntaxVersion.MajorVersion == mine.SyntaxVersion.MajorVersion &&
                  offered.SyntaxVersion.MinorVersion == mine.SyntaxVersion.MinorVersion) {
                accepted = itf;
                *ndr64 = mine.SyntaxGUID == NDR64_TRANSFER_SYNTAX.SyntaxGUID;
                *contextId = c.id;
                result = {wire::kResultAcceptance, 0, mine};
              }
            }
            if (accepted) break;
          }
        }
      }
      ack.results.push_back(result);
    }
  }
  if (accepted && !PeerAllowed(peer, accepted->descriptor)) {
    SendPdus(*conn.link, {wire::EncodeFault(h.callId, 0, static_cast<std::uint32_t>(RPC_S_ACCESS_DENIED), true)});
    return false;
  }
  *maxXmit = std::min(bind.maxRecvFrag, wire::kDefaultFragment);
  *maxRecv = std::min(bind.maxXmitFrag, wire::kDefaultFragment);
  ack.maxXmitFrag = *maxXmit;
  ack.maxRecvFrag = *maxRecv;
  {
    std::lock_guard lock(mutex_);
    std::uint32_t group = bind.assocGroupId;
    if (group == 0 || groups_.find(group) == groups_.end()) {
      group = nextGroup_++;
      if (nextGroup_ == 0) nextGroup_ = 1;
    }
    ++groups_[group].connections;
    conn.group = group;
    ack.assocGroupId = group;
  }
  ack.secondaryAddress = "";
  *bound = accepted;
  return SendPdus(*conn.link, {wire::EncodeBindAck(h.callId, ack)});
}

void Server::ServeLink(Link& link, const PeerIdentity& peer, const std::vector<BYTE>& endpointDescriptor) {
  auto conn = std::make_shared<Connection>();
  conn->link = &link;
  {
    std::lock_guard lock(mutex_);
    connections_.insert(conn);
  }
  Serve(conn, peer, endpointDescriptor);
}

void Server::Serve(const std::shared_ptr<Connection>& conn, const PeerIdentity& peer,
                   const std::vector<BYTE>& endpointDescriptor) {
  const bool admitted = PeerAllowed(peer, endpointDescriptor);
  bool bound = false;
  std::shared_ptr<Interface> itf;
  bool ndr64 = false;
  std::uint16_t contextId = 0, maxXmit = wire::kMinFragment, maxRecv = wire::kMinFragment;
  // The request being reassembled from its fragments.
  bool inRequest = false;
  std::uint32_t requestCallId = 0;
  std::uint16_t requestOpnum = 0, requestContext = 0;
  std::vector<std::uint8_t> stub;
  wire::Header h;
  std::vector<std::uint8_t> pdu;
  PduReader reader(*conn->link);
  while (true) {
    const auto read = reader.Read(bound ? maxRecv : kMaxBindPdu, &h, &pdu);
    if (read == ReadResult::kBadVersion && !bound && h.type == wire::kBind) {
      SendPdus(*conn->link, {wire::EncodeBindNak(h.callId, wire::kRejectProtocolVersionNotSupported)});
      break;
    }
    if (read != ReadResult::kOk) break;
    if (h.type == wire::kBind) {
      if (bound) break;  // one bind per connection
      if (!admitted) {
        SendPdus(*conn->link, {wire::EncodeFault(h.callId, 0, static_cast<std::uint32_t>(RPC_S_ACCESS_DENIED), true)});
        break;
      }
      if (!HandleBind(*conn, peer, h, pdu, &itf, &ndr64, &contextId, &maxXmit, &maxRecv)) break;
      bound = true;
      continue;
    }
    if (h.type == wire::kRequest) {
      wire::CallFragment f;
      if (!bound || !itf || !wire::DecodeRequest(pdu.data(), pdu.size(), h, &f)) {
        SendPdus(*conn->link, {wire::EncodeFault(h.callId, 0, wire::nca_s_proto_error, true)});
        break;
      }
      if (h.flags & wire::PFC_FIRST_FRAG) {
        inRequest = true;
        requestCallId = h.callId;
        requestOpnum = f.opnum;
        requestContext = f.contextId;
        stub.clear();
      } else if (!inRequest || h.callId != requestCallId) {
        SendPdus(*conn->link, {wire::EncodeFault(h.callId, 0, wire::nca_s_proto_error, true)});
        break;
      }
      if (stub.size() + f.stubSize > itf->maxRequest) {
        SendPdus(*conn->link,
                 {wire::EncodeFault(h.callId, 0, static_cast<std::uint32_t>(RPC_S_SERVER_OUT_OF_MEMORY), true)});
        break;
      }
      stub.insert(stub.end(), f.stub, f.stub + f.stubSize);
      if (!(h.flags & wire::PFC_LAST_FRAG)) continue;
      inRequest = false;
      std::vector<std::vector<std::uint8_t>> reply;
      if (requestContext != contextId) {
        reply = {wire::EncodeFault(requestCallId, requestContext, wire::nca_s_unk_if, true)};
      } else {
        reply = Dispatch(*conn, itf, ndr64, requestCallId, contextId, requestOpnum, stub, maxXmit);
      }
      stub.clear();
      if (stub.capacity() > 64 * 1024) stub.shrink_to_fit();  // a large request's buffer is not kept
      const bool sent = SendPdus(*conn->link, reply);
      bool stop = false;
      {
        std::lock_guard lock(mutex_);
        conn->inCall = false;
        stop = stopping_;
        changed_.notify_all();
      }
      if (!sent || stop) break;
      continue;
    }
    if (h.type == wire::kOrphaned || h.type == wire::kCoCancel) {
      inRequest = false;
      stub.clear();
      continue;
    }
    // Packet types a server never receives, or does not take (alter context).
    if (h.type == wire::kAlterContext) {
      SendPdus(*conn->link, {wire::EncodeFault(h.callId, 0, wire::nca_s_unsupported_type, true)});
    }
    break;
  }
  EndConnection(conn);
}

// --- The interpreted server stub --------------------------------------------------------------

class StubError {
 public:
  explicit StubError(std::uint32_t status) : status(status) {}
  std::uint32_t status;
};

std::vector<std::vector<std::uint8_t>> Server::Dispatch(Connection& conn, const std::shared_ptr<Interface>& itf,
                                                        bool ndr64, std::uint32_t callId, std::uint16_t contextId,
                                                        std::uint16_t opnum, const std::vector<std::uint8_t>& stubData,
                                                        std::uint16_t maxXmit) {
  auto fault = [&](std::uint32_t status, bool didNotExecute) {
    return std::vector<std::vector<std::uint8_t>>{wire::EncodeFault(callId, contextId, status, didNotExecute)};
  };
  const RPC_INTERFACE_INFO* info = itf->spec->Info;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return fault(static_cast<std::uint32_t>(RPC_S_SERVER_UNAVAILABLE), true);
    if (!itf->registered) return fault(wire::nca_s_unk_if, true);
    if (opnum >= info->ProcCount) return fault(wire::nca_s_op_rng_error, true);
    if (activeCalls_ >= maxCalls_ || itf->activeCalls >= itf->maxCalls) {
      return fault(wire::nca_s_server_too_busy, true);
    }
    ++activeCalls_;
    ++itf->activeCalls;
    conn.inCall = true;
  }
  struct CallDone {
    Server* server;
    Interface* itf;
    ~CallDone() {
      std::lock_guard lock(server->mutex_);
      --server->activeCalls_;
      --itf->activeCalls;
      server->changed_.notify_all();
    }
  } done{this, itf.get()};

  const NdrProcFormat& proc = info->Procs[opnum];
  const unsigned n = proc.paramCount;
  // What each parameter's argument points at. Interfaces have few parameters: they
  // live on the stack unless there are more.
  struct Slot {
    void* handle = nullptr;      // binding and context handle values
    void** handleRef = nullptr;  // for context handles passed by pointer
    LONG value = 0;
    LONG* valueRef = nullptr;
    char16_t* array = nullptr;
    char16_t** arrayRef = nullptr;
    GUID inUuid{};
  };
  constexpr unsigned kOnStack = 8;
  std::array<Slot, kOnStack> stackSlots{};
  std::array<void*, kOnStack> stackArgs{};
  std::vector<Slot> heapSlots;
  std::vector<void*> heapArgs;
  if (n > kOnStack) {
    heapSlots.resize(n);
    heapArgs.resize(n);
  }
  Slot* const slots = n > kOnStack ? heapSlots.data() : stackSlots.data();
  void** const args = n > kOnStack ? heapArgs.data() : stackArgs.data();
  LONG result = 0;
  auto freeArrays = [&] {
    for (unsigned i = 0; i < n; ++i) {
      if (slots[i].array) MIDL_user_free(slots[i].array);
      slots[i].array = nullptr;
    }
  };

  try {
    wire::Reader r(stubData.data(), stubData.size(), true);
    for (unsigned i = 0; i < n; ++i) {
      const auto& p = proc.params[i];
      switch (p.kind) {
        case NdrParamKind::BindingHandle:
          slots[i].handle = &conn;  // the call's own binding; only compared with null by servers
          args[i] = &slots[i].handle;
          break;
        case NdrParamKind::ContextIn:
        case NdrParamKind::ContextInOut: {
          WireContext c;
          if (!GetContext(r, &c)) throw StubError(static_cast<std::uint32_t>(RPC_X_BAD_STUB_DATA));
          std::lock_guard lock(mutex_);
          auto g = groups_.find(conn.group);
          if (c.IsNull() || g == groups_.end()) throw StubError(wire::nca_s_fault_context_mismatch);
          auto it = g->second.contexts.find(c.uuid);
          if (it == g->second.contexts.end()) throw StubError(wire::nca_s_fault_context_mismatch);
          slots[i].handle = it->second.user;
          slots[i].inUuid = c.uuid;
          if (p.kind == NdrParamKind::ContextIn) {
            args[i] = &slots[i].handle;
          } else {
            slots[i].handleRef = &slots[i].handle;
            args[i] = &slots[i].handleRef;
          }
          break;
        }
        case NdrParamKind::ContextOut:
          slots[i].handleRef = &slots[i].handle;
          args[i] = &slots[i].handleRef;
          break;
        case NdrParamKind::LongIn: {
          std::uint32_t v = 0;
          if (!r.Align(4) || !r.U32(&v)) throw StubError(static_cast<std::uint32_t>(RPC_X_BAD_STUB_DATA));
          slots[i].value = static_cast<LONG>(v);
          args[i] = &slots[i].value;
          break;
        }
        case NdrParamKind::LongOut:
          slots[i].valueRef = &slots[i].value;
          args[i] = &slots[i].valueRef;
          break;
        case NdrParamKind::WideArrayOut:
          slots[i].arrayRef = &slots[i].array;
          args[i] = &slots[i].arrayRef;
          break;
      }
    }
    if (r.remaining() != 0) throw StubError(static_cast<std::uint32_t>(RPC_X_BAD_STUB_DATA));
  } catch (const StubError& e) {
    return fault(e.status, true);
  }

  try {
    itf->spec->DispatchTable[opnum](args, &result);
  } catch (...) {
    freeArrays();
    return fault(static_cast<std::uint32_t>(RpcCurrentExceptionCode()), false);
  }

  wire::Writer w;
  for (unsigned i = 0; i < n; ++i) {
    const auto& p = proc.params[i];
    switch (p.kind) {
      case NdrParamKind::ContextOut:
      case NdrParamKind::ContextInOut: {
        WireContext c;
        std::lock_guard lock(mutex_);
        auto& group = groups_[conn.group];
        if (p.kind == NdrParamKind::ContextInOut) {
          auto it = group.contexts.find(slots[i].inUuid);
          if (slots[i].handle == nullptr) {
            if (it != group.contexts.end()) group.contexts.erase(it);
          } else {
            if (it != group.contexts.end()) it->second.user = slots[i].handle;
            c.uuid = slots[i].inUuid;
          }
        } else if (slots[i].handle != nullptr) {
          c.uuid = NewUuid();
          group.contexts[c.uuid] = ContextEntry{slots[i].handle, itf->spec->Rundown};
        }
        PutContext(w, c);
        break;
      }
      case NdrParamKind::LongOut:
        w.Align(4);
        w.U32(static_cast<std::uint32_t>(slots[i].value));
        break;
      case NdrParamKind::WideArrayOut: {
        const LONG count = p.sizeParam >= 0 ? slots[p.sizeParam].value : 0;
        if (slots[i].array && count < 0) {
          freeArrays();
          return fault(static_cast<std::uint32_t>(RPC_X_BAD_STUB_DATA), false);
        }
        PutPointer(w, ndr64, slots[i].array != nullptr);
        if (slots[i].array) {
          PutCount(w, ndr64, static_cast<std::uint64_t>(count));
          w.U16Array(slots[i].array, static_cast<std::size_t>(count));
        }
        break;
      }
      default:
        break;
    }
  }
  if (proc.returnsLong) {
    w.Align(4);
    w.U32(static_cast<std::uint32_t>(result));
  }
  freeArrays();
  return wire::EncodeResponse(callId, contextId, w.bytes(), maxXmit);
}

RPC_STATUS Server::Listen(unsigned maxCalls, bool dontWait) {
  std::unique_lock lock(mutex_);
  if (listenCalled_) return RPC_S_ALREADY_LISTENING;
  if (maxCalls == 0) return RPC_S_MAX_CALLS_TOO_SMALL;
  maxCalls_ = maxCalls;
  stopping_ = false;
  if (!accepting_) {
    const RPC_STATUS status = StartAcceptingLocked();
    if (status != RPC_S_OK) return status;
  }
  listenCalled_ = true;
  if (dontWait) return RPC_S_OK;
  changed_.wait(lock, [&] { return !listenCalled_ && IdleLocked(); });
  return RPC_S_OK;
}

RPC_STATUS Server::StopListening() {
  std::vector<std::thread> acceptThreads;
  {
    std::lock_guard lock(mutex_);
    if (!accepting_) return RPC_S_NOT_LISTENING;
    stopping_ = true;
    accepting_ = false;
    for (auto& e : endpoints_) {
      if (e->listenFd >= 0) ::shutdown(e->listenFd, SHUT_RDWR);
      acceptThreads.push_back(std::move(e->acceptThread));
    }
    // Idle connections close now; those in a call close after answering it.
    for (const auto& c : connections_) {
      if (!c->inCall && c->socket) ::shutdown(c->socket->fd(), SHUT_RDWR);
    }
  }
  for (auto& t : acceptThreads) {
    if (t.joinable()) t.join();
  }
  std::lock_guard lock(mutex_);
  for (auto& e : endpoints_) {
    if (e->listenFd >= 0) ::close(e->listenFd);
    std::error_code ec;
    std::filesystem::remove(e->path, ec);
  }
  endpoints_.clear();
  listenCalled_ = false;
  changed_.notify_all();
  return RPC_S_OK;
}

RPC_STATUS Server::WaitListen() {
  std::unique_lock lock(mutex_);
  if (!accepting_ && !stopping_ && connections_.empty()) return RPC_S_NOT_LISTENING;
  changed_.wait(lock, [&] {
    if (!accepting_) {
      for (const auto& c : connections_) {
        if (!c->inCall && c->socket) ::shutdown(c->socket->fd(), SHUT_RDWR);
      }
    }
    return IdleLocked();
  });
  return RPC_S_OK;
}

RPC_STATUS Server::UnregisterIf(const RPC_SERVER_INTERFACE* spec, bool wait) {
  std::unique_lock lock(mutex_);
  std::vector<std::shared_ptr<Interface>> removed;
  for (auto it = interfaces_.begin(); it != interfaces_.end();) {
    if (!spec || (*it)->spec == spec) {
      (*it)->registered = false;
      removed.push_back(*it);
      it = interfaces_.erase(it);
    } else {
      ++it;
    }
  }
  if (removed.empty()) return RPC_S_UNKNOWN_IF;
  if (wait) {
    changed_.wait(lock, [&] {
      return std::all_of(removed.begin(), removed.end(), [](const auto& i) { return i->activeCalls == 0; });
    });
  }
  return RPC_S_OK;
}

}  // namespace

namespace rpc {

void ServeLink(Link& link, const PeerIdentity& peer, const std::vector<BYTE>& endpointDescriptor) {
  Server::Get().ServeLink(link, peer, endpointDescriptor);
}

}  // namespace rpc

RPC_STATUS RpcServerUseProtseqEpW(const wchar_t* protseq, unsigned maxCalls, const wchar_t* endpoint,
                                  void* securityDescriptor) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcServerUseProtseqEpW", [&]() -> RPC_STATUS {
    static_cast<void>(maxCalls);  // a backlog hint; the socket takes the system's
    return Server::Get().UseProtseqEp(protseq, endpoint, securityDescriptor);
  });
}

RPC_STATUS RpcServerRegisterIf3(RPC_IF_HANDLE interfaceSpec, UUID* mgrTypeUuid, RPC_MGR_EPV* mgrEpv, unsigned flags,
                                unsigned maxCalls, unsigned maxRpcSize, RPC_IF_CALLBACK_FN* ifCallback,
                                void* securityDescriptor) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcServerRegisterIf3", [&]() -> RPC_STATUS {
    if ((mgrTypeUuid && !(*mgrTypeUuid == GUID{})) || mgrEpv || ifCallback) return RPC_S_UNKNOWN_MGR_TYPE;
    return Server::Get().RegisterIf(static_cast<const RPC_SERVER_INTERFACE*>(interfaceSpec), flags, maxCalls,
                                    maxRpcSize, securityDescriptor);
  });
}

RPC_STATUS RpcServerListen(unsigned minimumCallThreads, unsigned maxCalls, unsigned dontWait) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcServerListen", [&]() -> RPC_STATUS {
    static_cast<void>(minimumCallThreads);  // every connection has its own call thread
    return Server::Get().Listen(maxCalls, dontWait != 0);
  });
}

RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE binding) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcMgmtStopServerListening", [&]() -> RPC_STATUS {
    if (binding) return RPC_S_WRONG_KIND_OF_BINDING;
    return Server::Get().StopListening();
  });
}

RPC_STATUS RpcMgmtIsServerListening(RPC_BINDING_HANDLE binding) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcMgmtIsServerListening", [&]() -> RPC_STATUS {
    if (binding) return RPC_S_WRONG_KIND_OF_BINDING;
    return Server::Get().Listening() ? RPC_S_OK : RPC_S_NOT_LISTENING;
  });
}

RPC_STATUS RpcMgmtWaitServerListen() {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcMgmtWaitServerListen",
                                          [&]() -> RPC_STATUS { return Server::Get().WaitListen(); });
}

RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE interfaceSpec, UUID* mgrTypeUuid, unsigned waitForCallsToComplete) {
  return base::detail::Traced<RPC_STATUS>(base::detail::kTraceRpc, "RpcServerUnregisterIf", [&]() -> RPC_STATUS {
    static_cast<void>(mgrTypeUuid);  // any manager type: there is only the null one
    return Server::Get().UnregisterIf(static_cast<const RPC_SERVER_INTERFACE*>(interfaceSpec),
                                      waitForCallsToComplete != 0);
  });
}

}  // namespace platform
