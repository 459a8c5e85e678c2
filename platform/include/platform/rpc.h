// The local RPC runtime of the machine: protocol sequence "ncalrpc" is a Unix-domain
// stream socket at <root>/rpc/<endpoint>. Calls keep the original's names, parameters
// and status codes; stubs are fully interpreted from the per-procedure format tables
// that tools/idlgen generates from an interface definition.
//
// Wire: connection-oriented DCE/RPC PDUs version 5.0 (bind, bind_ack, bind_nak,
// request, response, fault; no authentication trailer) carrying NDR 2.0 or NDR64.
// A client offers both transfer syntaxes, the server accepts the first it supports.
//
// Who may connect: the peer's credentials are read from the socket (SO_PEERCRED) and
// turned into SIDs of the machine, then checked with AccessCheckBySids against the
// endpoint's and the interface's security descriptors:
//   host uid 0           -> S-1-5-18 (LocalSystem), member of Administrators
//   host uid u           -> S-1-22-1-u ("Unix user" authority), member of Users
//   host gid g           -> S-1-22-2-g
//   every peer           -> Everyone, Authenticated Users, Interactive
// A process that the machine started as the packaged app is marked with
// rpc::RegisterAppContainerProcess (a record under <root>/rpc/appcontainer/); such a
// peer is checked as an app container holding its package SID and capability SIDs.
// A refused peer's bind is answered with a fault carrying RPC_S_ACCESS_DENIED, and the
// connection is closed; nothing of it reaches a procedure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "platform/types.h"

// Memory of the stubs: the deliverable (and every test binary that makes calls) defines
// these. The runtime allocates out arrays on the client with MIDL_user_allocate and
// releases the server routine's out arrays with MIDL_user_free once they are sent.
void* MIDL_user_allocate(std::size_t size);
void MIDL_user_free(void* pointer);

namespace platform {

using RPC_STATUS = LONG;
using RPC_BINDING_HANDLE = void*;
using handle_t = RPC_BINDING_HANDLE;
using RPC_WSTR = wchar_t*;
using RPC_IF_HANDLE = const void*;
using RPC_MGR_EPV = void;
using UUID = GUID;
using RPC_IF_CALLBACK_FN = RPC_STATUS (*)(RPC_IF_HANDLE interfaceHandle, void* context);

// Status codes.
inline constexpr RPC_STATUS RPC_S_OK = 0;
inline constexpr RPC_STATUS RPC_S_INVALID_ARG = 87;
inline constexpr RPC_STATUS RPC_S_OUT_OF_MEMORY = 14;
inline constexpr RPC_STATUS RPC_S_ACCESS_DENIED = 5;
inline constexpr RPC_STATUS RPC_S_SERVER_OUT_OF_MEMORY = 1130;  // ERROR_NOT_ENOUGH_SERVER_MEMORY
inline constexpr RPC_STATUS RPC_S_INVALID_STRING_BINDING = 1700;
inline constexpr RPC_STATUS RPC_S_WRONG_KIND_OF_BINDING = 1701;
inline constexpr RPC_STATUS RPC_S_INVALID_BINDING = 1702;
inline constexpr RPC_STATUS RPC_S_PROTSEQ_NOT_SUPPORTED = 1703;
inline constexpr RPC_STATUS RPC_S_INVALID_RPC_PROTSEQ = 1704;
inline constexpr RPC_STATUS RPC_S_INVALID_STRING_UUID = 1705;
inline constexpr RPC_STATUS RPC_S_INVALID_ENDPOINT_FORMAT = 1706;
inline constexpr RPC_STATUS RPC_S_ALREADY_REGISTERED = 1711;
inline constexpr RPC_STATUS RPC_S_TYPE_ALREADY_REGISTERED = 1712;
inline constexpr RPC_STATUS RPC_S_ALREADY_LISTENING = 1713;
inline constexpr RPC_STATUS RPC_S_NO_PROTSEQS_REGISTERED = 1714;
inline constexpr RPC_STATUS RPC_S_NOT_LISTENING = 1715;
inline constexpr RPC_STATUS RPC_S_UNKNOWN_MGR_TYPE = 1716;
inline constexpr RPC_STATUS RPC_S_UNKNOWN_IF = 1717;
inline constexpr RPC_STATUS RPC_S_CANT_CREATE_ENDPOINT = 1720;
inline constexpr RPC_STATUS RPC_S_OUT_OF_RESOURCES = 1721;
inline constexpr RPC_STATUS RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr RPC_STATUS RPC_S_SERVER_TOO_BUSY = 1723;
inline constexpr RPC_STATUS RPC_S_CALL_FAILED = 1726;
inline constexpr RPC_STATUS RPC_S_CALL_FAILED_DNE = 1727;
inline constexpr RPC_STATUS RPC_S_PROTOCOL_ERROR = 1728;
inline constexpr RPC_STATUS RPC_S_UNSUPPORTED_TRANS_SYN = 1730;
inline constexpr RPC_STATUS RPC_S_INVALID_BOUND = 1734;
inline constexpr RPC_STATUS RPC_S_MAX_CALLS_TOO_SMALL = 1742;
inline constexpr RPC_STATUS RPC_S_PROCNUM_OUT_OF_RANGE = 1745;
inline constexpr RPC_STATUS RPC_S_INTERNAL_ERROR = 1766;
inline constexpr RPC_STATUS RPC_X_SS_IN_NULL_CONTEXT = 1775;
inline constexpr RPC_STATUS RPC_X_SS_CONTEXT_DAMAGED = 1777;
inline constexpr RPC_STATUS RPC_X_NULL_REF_POINTER = 1780;
inline constexpr RPC_STATUS RPC_X_BAD_STUB_DATA = 1783;
inline constexpr RPC_STATUS RPC_X_SS_CONTEXT_MISMATCH = 6;  // ERROR_INVALID_HANDLE, as on the original
// What a C++ exception escaping a server routine reaches the client as: the code the
// original's structured exceptions give a C++ throw.
inline constexpr RPC_STATUS RPC_S_CPP_EXCEPTION_CODE = static_cast<RPC_STATUS>(0xE06D7363);

// Registration flags and limits.
inline constexpr unsigned RPC_IF_AUTOLISTEN = 0x0001;
inline constexpr unsigned RPC_IF_OLE = 0x0002;
inline constexpr unsigned RPC_IF_ALLOW_UNKNOWN_AUTHORITY = 0x0004;
inline constexpr unsigned RPC_IF_ALLOW_SECURE_ONLY = 0x0008;
inline constexpr unsigned RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH = 0x0010;
inline constexpr unsigned RPC_IF_ALLOW_LOCAL_ONLY = 0x0020;
inline constexpr unsigned RPC_C_LISTEN_MAX_CALLS_DEFAULT = 1234;
inline constexpr unsigned RPC_C_PROTSEQ_MAX_REQS_DEFAULT = 10;

// Our own binding option (RpcBindingSetOption): which transfer syntaxes the binding
// offers, a mask of the two bits below. Both by default.
inline constexpr unsigned long RPC_C_OPT_TRANSFER_SYNTAXES = 0x10001;
inline constexpr unsigned long RPC_C_TRANSFER_NDR20 = 0x1;
inline constexpr unsigned long RPC_C_TRANSFER_NDR64 = 0x2;

// --- Interface descriptions (written by the stub generator) ---------------------------------------

struct RPC_VERSION {
  unsigned short MajorVersion;
  unsigned short MinorVersion;
};

struct RPC_SYNTAX_IDENTIFIER {
  GUID SyntaxGUID;
  RPC_VERSION SyntaxVersion;
};

inline constexpr RPC_SYNTAX_IDENTIFIER NDR20_TRANSFER_SYNTAX = {
    {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, {2, 0}};
inline constexpr RPC_SYNTAX_IDENTIFIER NDR64_TRANSFER_SYNTAX = {
    {0x71710533, 0xbeba, 0x4937, {0x83, 0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36}}, {1, 0}};

// The shapes of parameters the interpreted engine knows. Each names what the
// parameter is in C (the generated stubs pass a pointer to each argument).
enum class NdrParamKind : unsigned char {
  BindingHandle,  // [in] handle_t: explicit binding, not marshalled
  ContextIn,      // [in] context handle
  ContextOut,     // [out] context handle*
  ContextInOut,   // [in, out] context handle*
  LongIn,         // [in] long
  LongOut,        // [out] long* (reference pointer)
  WideArrayOut,   // [out, size_is(, *p)] wchar_t**: ref pointer to a unique pointer to a
                  // conformant array of 16-bit units, counted by the LongOut at sizeParam
};

struct NdrParamFormat {
  NdrParamKind kind;
  signed char sizeParam;  // WideArrayOut: index of the parameter holding the count, else -1
  const char* name;
};

struct NdrProcFormat {
  const char* name;
  unsigned short opnum;
  signed char bindingParam;  // the parameter the call is bound by (binding or context handle)
  bool returnsLong;
  unsigned char paramCount;
  const NdrParamFormat* params;
};

struct RPC_INTERFACE_INFO {
  RPC_SYNTAX_IDENTIFIER InterfaceId;
  const RPC_SYNTAX_IDENTIFIER* TransferSyntaxes;
  unsigned TransferSyntaxCount;
  const NdrProcFormat* Procs;
  unsigned ProcCount;
  bool ContextNoSerialize;
};

// A server routine as the dispatch table calls it: `args[i]` points to the value of
// parameter i; a long result goes to *result.
using NdrServerRoutine = void (*)(void** args, LONG* result);
using NDR_RUNDOWN = void (*)(void* context);

struct RPC_SERVER_INTERFACE {
  unsigned Length;  // sizeof(RPC_SERVER_INTERFACE): tells a server handle from others
  const RPC_INTERFACE_INFO* Info;
  const NdrServerRoutine* DispatchTable;
  NDR_RUNDOWN Rundown;
};

struct RPC_CLIENT_INTERFACE {
  unsigned Length;  // sizeof(RPC_CLIENT_INTERFACE)
  const RPC_INTERFACE_INFO* Info;
};

// --- Exceptions and the guard -----------------------------------------------------------------

// What the runtime raises on the client: a failure or a fault, as its numeric code.
class RpcRaisedException : public std::exception {
 public:
  explicit RpcRaisedException(RPC_STATUS code) : code_(code) {}
  RPC_STATUS code() const { return code_; }
  const char* what() const noexcept override { return "RPC exception"; }

 private:
  RPC_STATUS code_;
};

[[noreturn]] void RpcRaiseException(RPC_STATUS code);

// The code of the exception being handled: an RPC exception's own code, out of memory
// for bad_alloc, RPC_S_CPP_EXCEPTION_CODE for anything else. Only inside a catch block.
RPC_STATUS RpcCurrentExceptionCode() noexcept;

// Runs `call` and turns whatever it throws into its code; 0 when it returned.
template <class F>
RPC_STATUS RpcGuard(F&& call) noexcept {
  try {
    call();
    return RPC_S_OK;
  } catch (...) {
    return RpcCurrentExceptionCode();
  }
}

// The guard in the shape the system's code is written in.
#define RpcTryExcept try {
#define RpcExcept(filter)                                                                       \
  }                                                                                             \
  catch (...) {                                                                                 \
    const ::platform::RPC_STATUS korvoRpcExceptionCode = ::platform::RpcCurrentExceptionCode(); \
    if (!(filter)) throw;
#define RpcEndExcept }
#define RpcExceptionCode() (korvoRpcExceptionCode)

// The interpreted client call: marshals `args` by procedure `opnum` of the interface,
// makes the call and unmarshals the answer. Raises RpcRaisedException on any failure.
void NdrClientCall(const RPC_CLIENT_INTERFACE* interfaceSpec, unsigned opnum, void** args, LONG* result);

// --- Server ------------------------------------------------------------------------------------

// Only "ncalrpc". The endpoint is a file name (no '/', not "." or ".."). `maxCalls` is
// the connection backlog hint. The descriptor (either form, may be null: everyone) is
// copied. Registering the same endpoint again replaces its descriptor.
RPC_STATUS RpcServerUseProtseqEpW(const wchar_t* protseq, unsigned maxCalls, const wchar_t* endpoint,
                                  void* securityDescriptor);
inline RPC_STATUS RpcServerUseProtseqEp(const wchar_t* protseq, unsigned maxCalls, const wchar_t* endpoint,
                                        void* securityDescriptor) {
  return RpcServerUseProtseqEpW(protseq, maxCalls, endpoint, securityDescriptor);
}

// Manager types and entry-point vectors other than null are not supported
// (RPC_S_UNKNOWN_MGR_TYPE). RPC_IF_AUTOLISTEN makes the endpoints serve at once,
// without RpcServerListen. `maxCalls` bounds this interface's concurrent calls;
// `maxRpcSize` bounds a request's stub data (0: 4 MiB). The descriptor is checked at
// bind time, after the endpoint's.
RPC_STATUS RpcServerRegisterIf3(RPC_IF_HANDLE interfaceSpec, UUID* mgrTypeUuid, RPC_MGR_EPV* mgrEpv, unsigned flags,
                                unsigned maxCalls, unsigned maxRpcSize, RPC_IF_CALLBACK_FN* ifCallback,
                                void* securityDescriptor);
// Starts serving the endpoints with at most `maxCalls` concurrent calls (calls past
// it get a server-too-busy fault). With dontWait FALSE it returns once the server
// stopped listening and every call has finished. RPC_S_ALREADY_LISTENING while a
// listen is in effect.
RPC_STATUS RpcServerListen(unsigned minimumCallThreads, unsigned maxCalls, unsigned dontWait);
// Stops accepting: the endpoint sockets go away, new calls on open connections are
// answered with a fault, calls in progress finish, then the connections close (which
// runs down their context handles) and the endpoints are forgotten. `binding` must be
// null (the own server).
RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE binding);
// RPC_S_OK while a listen is in effect, else RPC_S_NOT_LISTENING. `binding` must be
// null (the own server).
RPC_STATUS RpcMgmtIsServerListening(RPC_BINDING_HANDLE binding);
// Waits until the server has stopped and its calls have finished.
RPC_STATUS RpcMgmtWaitServerListen();
// Null `interfaceSpec` removes every interface. With waitForCallsToComplete it waits
// for the interface's calls in progress.
RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE interfaceSpec, UUID* mgrTypeUuid, unsigned waitForCallsToComplete);

// --- Client ------------------------------------------------------------------------------------

// "[objuuid@]protseq:[netaddr][[endpoint[,options]]]"; null arguments are left out.
// The string is freed with RpcStringFree.
RPC_STATUS RpcStringBindingComposeW(const wchar_t* objUuid, const wchar_t* protseq, const wchar_t* networkAddr,
                                    const wchar_t* endpoint, const wchar_t* options, RPC_WSTR* stringBinding);
RPC_STATUS RpcStringFreeW(RPC_WSTR* string);
// The binding refers to the current machine's endpoint; nothing connects until the
// first call.
RPC_STATUS RpcBindingFromStringBindingW(const wchar_t* stringBinding, RPC_BINDING_HANDLE* binding);
RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding);
// Frees a client context handle without telling the server (which has run it down
// or is gone) and sets it null.
void RpcSsDestroyClientContext(void** contextHandle);
// Supports RPC_C_OPT_TRANSFER_SYNTAXES only; it applies to connections made afterwards.
RPC_STATUS RpcBindingSetOption(RPC_BINDING_HANDLE binding, unsigned long option, std::uintptr_t value);

inline RPC_STATUS RpcStringBindingCompose(const wchar_t* objUuid, const wchar_t* protseq, const wchar_t* networkAddr,
                                          const wchar_t* endpoint, const wchar_t* options, RPC_WSTR* stringBinding) {
  return RpcStringBindingComposeW(objUuid, protseq, networkAddr, endpoint, options, stringBinding);
}
inline RPC_STATUS RpcStringFree(RPC_WSTR* string) {
  return RpcStringFreeW(string);
}
inline RPC_STATUS RpcBindingFromStringBinding(const wchar_t* stringBinding, RPC_BINDING_HANDLE* binding) {
  return RpcBindingFromStringBindingW(stringBinding, binding);
}

namespace rpc {

// Marks host process `pid` as the packaged app running in an app container of
// `packageName` with the given capability names. The record holds the process's start
// time, so a later process that reuses the id is not taken for it.
BOOL RegisterAppContainerProcess(DWORD pid, const std::wstring& packageName,
                                 const std::vector<std::wstring>& capabilityNames);
BOOL UnregisterAppContainerProcess(DWORD pid);

}  // namespace rpc

}  // namespace platform
