// COM on the machine: apartments per thread, the process-wide security set-up, an
// in-process class registry behind CoCreateInstance, reference-counted interfaces
// with a smart pointer, and the value types the system passes around (BSTR, VARIANT,
// SAFEARRAY) together with the COM error exception the system catches.
//
// Objects are free-threaded: calls are never marshalled between apartments, so the
// apartment model only decides what CoInitializeEx and CoUninitialize report.
// Apartment, security and class-registry state belong to the current machine, so a
// test's fresh machine starts with none of it.
#pragma once

#include <atomic>
#include <compare>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include <vector>

#include "platform/types.h"

namespace platform {

using LPDWORD = DWORD*;  // same alias as anywhere else it is declared

// --- Identities --------------------------------------------------------------------

// GUID and REFGUID come from types.h.
using CLSID = GUID;
using IID = GUID;
using REFCLSID = const CLSID&;
using REFIID = const IID&;

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in upper case, as StringFromGUID2 writes it.
std::wstring GuidToString(REFGUID guid);

// --- HRESULTs of this area ---------------------------------------------------------

inline constexpr HRESULT E_PENDING = static_cast<HRESULT>(0x8000000A);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0);
inline constexpr HRESULT CO_E_OBJNOTREG = static_cast<HRESULT>(0x800401FB);
inline constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106);
inline constexpr HRESULT RPC_E_TOO_LATE = static_cast<HRESULT>(0x80010119);
inline constexpr HRESULT RPC_E_NO_GOOD_SECURITY_PACKAGES = static_cast<HRESULT>(0x8001011A);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
inline constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = static_cast<HRESULT>(0x8002000D);

// --- Apartments and security -------------------------------------------------------

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
inline constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
inline constexpr DWORD COINIT_SPEED_OVER_MEMORY = 0x8;

// Joins the calling thread to the multithreaded apartment or gives it a single-threaded
// one. S_OK the first time, S_FALSE when the thread is already in an apartment of the
// same kind (each success needs its own CoUninitialize), RPC_E_CHANGED_MODE for the
// other kind (not counted). `reserved` must be null.
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
HRESULT CoInitialize(LPVOID reserved);  // single-threaded apartment
// Balances one successful CoInitializeEx; the last one leaves the apartment. A thread
// that is in no apartment is left alone.
void CoUninitialize();

// Authentication and impersonation levels, services and capabilities.
inline constexpr DWORD RPC_C_AUTHN_LEVEL_DEFAULT = 0;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_NONE = 1;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_CONNECT = 2;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_CALL = 3;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT = 4;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT_INTEGRITY = 5;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT_PRIVACY = 6;
inline constexpr DWORD RPC_C_IMP_LEVEL_DEFAULT = 0;
inline constexpr DWORD RPC_C_IMP_LEVEL_ANONYMOUS = 1;
inline constexpr DWORD RPC_C_IMP_LEVEL_IDENTIFY = 2;
inline constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
inline constexpr DWORD RPC_C_IMP_LEVEL_DELEGATE = 4;
inline constexpr DWORD RPC_C_AUTHN_NONE = 0;
inline constexpr DWORD RPC_C_AUTHN_WINNT = 10;
inline constexpr DWORD RPC_C_AUTHN_DEFAULT = 0xFFFFFFFF;
inline constexpr DWORD RPC_C_AUTHZ_NONE = 0;
inline constexpr DWORD RPC_C_AUTHZ_DEFAULT = 0xFFFFFFFF;
inline constexpr DWORD EOAC_NONE = 0x0;
inline constexpr DWORD EOAC_STATIC_CLOAKING = 0x20;
inline constexpr DWORD EOAC_DYNAMIC_CLOAKING = 0x40;
inline constexpr DWORD EOAC_APPID = 0x8;
inline constexpr DWORD EOAC_AUTHN_INFO_DEFAULT = 0x800;  // not accepted here

// The security descriptor parameter is opaque to this area (security.h owns the type).
using PSECURITY_DESCRIPTOR = void*;
struct SOLE_AUTHENTICATION_SERVICE;

// Sets the process's default COM security, once. RPC_E_TOO_LATE when it was set
// before or after the first object was created; CO_E_NOTINITIALIZED when the calling
// thread is in no apartment; E_INVALIDARG for a service count other than -1 with no
// list, or an EOAC_APPID without an application id.
HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR securityDescriptor, LONG authServiceCount,
                             SOLE_AUTHENTICATION_SERVICE* authServices, void* reserved1, DWORD authnLevel,
                             DWORD impLevel, void* authList, DWORD capabilities, void* reserved3);

namespace com {
// What CoInitializeSecurity recorded for the machine (tests, diagnostics).
struct ProcessSecurity {
  bool initialized = false;
  bool hasSecurityDescriptor = false;
  LONG authServiceCount = 0;
  DWORD authnLevel = 0;
  DWORD impLevel = 0;
  DWORD capabilities = 0;
  // A self-relative copy of the descriptor given (empty without one), which the
  // process's objects are checked against.
  std::vector<BYTE> securityDescriptor;
};
ProcessSecurity QueryProcessSecurity();
// Whether the calling thread is in an apartment, and which kind.
enum class ApartmentKind { None, Multithreaded, SingleThreaded, ImplicitMultithreaded };
ApartmentKind CurrentApartment();
}  // namespace com

// --- Interfaces ----------------------------------------------------------------------

// Every interface declares its identity as `static constexpr IID iid`, which
// __uuidof-style lookups (IID_PPV_ARGS, ComPtr::As) use.
struct IUnknown {
  static constexpr IID iid = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};
inline constexpr IID IID_IUnknown = IUnknown::iid;

struct IClassFactory : IUnknown {
  static constexpr IID iid = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};
inline constexpr IID IID_IClassFactory = IClassFactory::iid;

// The proxy side of call security: CoSetProxyBlanket and CoQueryProxyBlanket go
// through it.
struct IClientSecurity : IUnknown {
  static constexpr IID iid = {0x0000013D, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  virtual HRESULT QueryBlanket(IUnknown* proxy, DWORD* authnSvc, DWORD* authzSvc, LPWSTR* serverPrincName,
                               DWORD* authnLevel, DWORD* impLevel, void** authInfo, DWORD* capabilities) = 0;
  virtual HRESULT SetBlanket(IUnknown* proxy, DWORD authnSvc, DWORD authzSvc, LPWSTR serverPrincName, DWORD authnLevel,
                             DWORD impLevel, void* authInfo, DWORD capabilities) = 0;
  virtual HRESULT CopyProxy(IUnknown* proxy, IUnknown** copy) = 0;

 protected:
  ~IClientSecurity() = default;
};
inline constexpr IID IID_IClientSecurity = IClientSecurity::iid;

template <class T>
constexpr const IID& IidOf() {
  return T::iid;
}

// IID_PPV_ARGS(&p): the interface id and the out pointer of a typed pointer.
template <class T>
std::pair<const IID&, void**> IidPpvArgs(T** pp) {
  return {T::iid, reinterpret_cast<void**>(pp)};
}
#define IID_PPV_ARGS(pp) ::platform::IidPpvArgs(pp).first, ::platform::IidPpvArgs(pp).second

// A counted interface pointer (the role of _com_ptr_t / CComPtr).
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Adds a reference to `p`.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ComPtr() { Reset(); }
  ComPtr& operator=(const ComPtr& other) {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters: releases what is held and hands out the slot.
  T** operator&() {
    Reset();
    return &p_;
  }
  T** GetAddressOf() { return &p_; }
  T** ReleaseAndGetAddressOf() { return &(*this); }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Takes over a reference the caller owns.
  void Attach(T* p) {
    Reset();
    p_ = p;
  }
  T* Detach() { return std::exchange(p_, nullptr); }
  void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  // QueryInterface into another pointer: p.As(&other) or p.As(other).
  template <class U>
  HRESULT As(U** out) const {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!p_) return E_POINTER;
    return p_->QueryInterface(U::iid, reinterpret_cast<void**>(out));
  }
  template <class U>
  HRESULT As(ComPtr<U>& out) const {
    return As(&out);
  }

 private:
  T* p_ = nullptr;
};

// Reference counting and QueryInterface for an implementation of one or more
// interfaces. Objects start with no reference; the first QueryInterface (or AddRef)
// gives the creator its reference, and the last Release deletes the object.
template <class... Interfaces>
class ComObject : public Interfaces... {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown) {
      *object = static_cast<IUnknown*>(static_cast<FirstInterface*>(this));
    } else {
      (void)((riid == Interfaces::iid ? (*object = static_cast<Interfaces*>(this), true) : false) || ...);
    }
    if (*object == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~ComObject() = default;

 private:
  using FirstInterface = std::tuple_element_t<0, std::tuple<Interfaces...>>;
  std::atomic<ULONG> refs_{0};
};

// Creates `Impl` with `args` and hands out interface `riid` (the object goes away
// again when it has no such interface).
template <class Impl, class... Args>
HRESULT CreateComObject(REFIID riid, void** object, Args&&... args) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  auto* impl = new Impl(std::forward<Args>(args)...);
  impl->AddRef();
  HRESULT hr = impl->QueryInterface(riid, object);
  impl->Release();
  return hr;
}

// --- Activation --------------------------------------------------------------------

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
inline constexpr DWORD REGCLS_SINGLEUSE = 0;
inline constexpr DWORD REGCLS_MULTIPLEUSE = 1;

// Creates an object of a registered class. The calling thread must be in an apartment
// (or the machine's multithreaded apartment must exist): CO_E_NOTINITIALIZED
// otherwise. REGDB_E_CLASSNOTREG for a class no one registered, CLASS_E_NOAGGREGATION
// for an outer object, and whatever the class factory returns.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid, LPVOID* object);

// Registers a class factory on the machine (until revoked); `*cookie` names it.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD clsContext, DWORD flags, LPDWORD cookie);
HRESULT CoRevokeClassObject(DWORD cookie);  // CO_E_OBJNOTREG for an unknown cookie

namespace com {
// The factory function behind a class, for platform areas and tests that do not
// need a full IClassFactory. Returns the cookie for CoRevokeClassObject.
using CreateFunction = std::function<HRESULT(REFIID riid, void** object)>;
DWORD RegisterClass(REFCLSID clsid, CreateFunction create);
}  // namespace com

// Puts a created object into its running state. Objects of this machine are running
// once created, so this only checks the pointer: E_INVALIDARG for null.
HRESULT OleRun(IUnknown* unknown);

// --- Side-by-side activation contexts -----------------------------------------------

// A context is built from a manifest file (XML): an application manifest that depends
// on assemblies, or an assembly manifest itself. Dependencies are looked up in the
// assembly directory (lpAssemblyDirectory with ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID, else
// the folder of lpSource) as "<name>.manifest" or "<name>\<name>.manifest", and theirs
// in turn. The classes the context makes creatable are the <comClass clsid="..."/> of
// every assembly it reaches. Element names match without their namespace prefix; nothing
// outside the manifest's text (DTDs, entities) is ever read. With
// ACTCTX_FLAG_RESOURCE_NAME_VALID, lpSource names a program whose manifest resource
// (ReadManifestResource, version.h) is used. The other flags are accepted and change
// nothing. Contexts are handles of the process; each thread of a machine has its own
// stack of activated contexts, and the top one decides which side-by-side classes
// CoCreateInstance can create.
using ULONG_PTR = std::uintptr_t;
using USHORT = std::uint16_t;
using LANGID = std::uint16_t;

struct ACTCTXW {
  ULONG cbSize;  // sizeof(ACTCTXW)
  DWORD dwFlags;
  LPCWSTR lpSource;  // manifest file: a full path, or a name in lpAssemblyDirectory
  USHORT wProcessorArchitecture;
  LANGID wLangId;
  LPCWSTR lpAssemblyDirectory;
  LPCWSTR lpResourceName;
  LPCWSTR lpApplicationName;
  HMODULE hModule;
};
using PCACTCTXW = const ACTCTXW*;

inline constexpr DWORD ACTCTX_FLAG_PROCESSOR_ARCHITECTURE_VALID = 0x001;
inline constexpr DWORD ACTCTX_FLAG_LANGID_VALID = 0x002;
inline constexpr DWORD ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID = 0x004;
inline constexpr DWORD ACTCTX_FLAG_RESOURCE_NAME_VALID = 0x008;
inline constexpr DWORD ACTCTX_FLAG_SET_PROCESS_DEFAULT = 0x010;
inline constexpr DWORD ACTCTX_FLAG_APPLICATION_NAME_VALID = 0x020;
inline constexpr DWORD ACTCTX_FLAG_HMODULE_VALID = 0x080;

inline constexpr DWORD ERROR_SXS_CANT_GEN_ACTCTX = 14001;
inline constexpr DWORD ERROR_SXS_ASSEMBLY_NOT_FOUND = 14003;
inline constexpr DWORD ERROR_SXS_MANIFEST_PARSE_ERROR = 14005;
inline constexpr DWORD ERROR_SXS_INVALID_DEACTIVATION = 14082;  // not the top of the thread's stack

// INVALID_HANDLE_VALUE on failure: ERROR_INVALID_PARAMETER for a bad cbSize or no
// source, ERROR_FILE_NOT_FOUND for a missing manifest, ERROR_SXS_MANIFEST_PARSE_ERROR for
// one that is not well-formed XML or has no assembly identity (name and version),
// ERROR_SXS_CANT_GEN_ACTCTX when a dependency cannot be found, cannot be read, or is of
// another version than the one named (the debug output says which).
HANDLE CreateActCtx(PCACTCTXW actCtx);
// Pushes the context on the calling thread's stack; the cookie is never 0. A null
// handle pushes no context at all (no side-by-side class is creatable under it);
// ERROR_INVALID_HANDLE for a handle that is not a context's.
BOOL ActivateActCtx(HANDLE actCtx, ULONG_PTR* cookie);
// Pops the context the cookie names, which must be the top of the calling thread's
// stack: ERROR_SXS_INVALID_DEACTIVATION otherwise, ERROR_INVALID_PARAMETER for a cookie
// of no activation on this thread or flags other than 0.
BOOL DeactivateActCtx(DWORD flags, ULONG_PTR cookie);
// Releases a context; an activation still on a stack keeps it alive until popped.
void ReleaseActCtx(HANDLE actCtx);

namespace com {
// Registers a class that only a side-by-side assembly makes creatable: CoCreateInstance
// creates it only while the calling thread's active context reaches `assemblyName`
// with a <comClass> of that clsid. Returns the cookie for CoRevokeClassObject.
DWORD RegisterSideBySideClass(std::wstring_view assemblyName, REFCLSID clsid, CreateFunction create);
}  // namespace com

// Sets the call security of an interface proxy through its IClientSecurity.
// E_NOINTERFACE when the object is not a proxy.
HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authnSvc, DWORD authzSvc, LPWSTR serverPrincName, DWORD authnLevel,
                          DWORD impLevel, void* authInfo, DWORD capabilities);
HRESULT CoQueryProxyBlanket(IUnknown* proxy, DWORD* authnSvc, DWORD* authzSvc, LPWSTR* serverPrincName,
                            DWORD* authnLevel, DWORD* impLevel, void** authInfo, DWORD* capabilities);

// Task memory (what a caller frees after CoQueryProxyBlanket and the like).
LPVOID CoTaskMemAlloc(std::size_t size);
void CoTaskMemFree(LPVOID p);

// --- BSTR --------------------------------------------------------------------------

// A BSTR points at the characters of a block that starts 4 bytes earlier with the
// length in bytes (not counting the terminating NUL, which always follows). It may
// hold embedded NULs; a null BSTR means the empty string.
using OLECHAR = wchar_t;
using BSTR = OLECHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

BSTR SysAllocString(const OLECHAR* text);                  // null for null input
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);  // text may be null: zero-filled
BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length);
INT SysReAllocString(BSTR* bstr, const OLECHAR* text);
void SysFreeString(BSTR bstr);
UINT SysStringLen(BSTR bstr);  // characters; 0 for null
UINT SysStringByteLen(BSTR bstr);

// A BSTR owned by one object (the role of _bstr_t / CComBSTR).
class BStr {
 public:
  BStr() = default;
  BStr(const wchar_t* text) : b_(SysAllocString(text)) {}
  BStr(std::wstring_view text) : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  BStr(const BStr& other) : b_(other.b_ ? SysAllocStringLen(other.b_, SysStringLen(other.b_)) : nullptr) {}
  BStr(BStr&& other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
  ~BStr() { SysFreeString(b_); }
  BStr& operator=(BStr other) noexcept {
    std::swap(b_, other.b_);
    return *this;
  }
  BSTR Get() const { return b_; }
  operator BSTR() const { return b_; }
  UINT Length() const { return SysStringLen(b_); }
  std::wstring Str() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }
  BSTR* operator&() {
    SysFreeString(std::exchange(b_, nullptr));
    return &b_;
  }
  void Attach(BSTR b) {
    SysFreeString(b_);
    b_ = b;
  }
  BSTR Detach() { return std::exchange(b_, nullptr); }

 private:
  BSTR b_ = nullptr;
};

// --- SAFEARRAY ---------------------------------------------------------------------

using VARTYPE = WORD;
using VARIANT_BOOL = std::int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R8 = 5,
  VT_BSTR = 8,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

inline constexpr WORD FADF_BSTR = 0x0100;
inline constexpr WORD FADF_VARIANT = 0x0800;
inline constexpr WORD FADF_HAVEVARTYPE = 0x0080;

struct SAFEARRAY {
  WORD cDims;
  WORD fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  LPVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

// One-dimensional arrays of VT_BSTR, VT_I4, VT_UI4, VT_BOOL and VT_VARIANT elements.
// Other element types or dimension counts give null.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);  // DISP_E_ARRAYISLOCKED while locked
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt);
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* bound);  // DISP_E_BADINDEX for a bad dim
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* bound);
// Copies an element out (a BSTR or VARIANT element is copied; the caller frees it).
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* indices, void* value);
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* indices, void* value);  // copies in
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);

// --- VARIANT -----------------------------------------------------------------------

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    std::int16_t iVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    BSTR bstrVal;
    IUnknown* punkVal;
    SAFEARRAY* parray;
    WORD uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
  };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

inline constexpr WORD VARIANT_NOVALUEPROP = 0x1;
inline constexpr WORD VARIANT_ALPHABOOL = 0x2;

void VariantInit(VARIANT* v);
// Frees what the variant owns (BSTR, array, interface) and leaves it VT_EMPTY.
// DISP_E_BADVARTYPE for a type this area does not know.
HRESULT VariantClear(VARIANT* v);
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// Converts `src` to `vt` into `dest` (which may be `src`). Supported: between
// VT_EMPTY, VT_I2, VT_I4, VT_UI1, VT_UI2, VT_UI4, VT_INT, VT_UINT, VT_I8, VT_UI8, VT_BOOL
// and VT_BSTR (numbers in decimal; booleans as "True"/"False" with VARIANT_ALPHABOOL,
// else "-1"/"0"). VT_NULL converts only to VT_NULL (DISP_E_TYPEMISMATCH otherwise);
// a text that is no number gives DISP_E_TYPEMISMATCH, one out of range DISP_E_OVERFLOW.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, WORD flags, VARTYPE vt);

// A VARIANT cleared when it goes away (the role of _variant_t / CComVariant).
class Variant : public VARIANT {
 public:
  Variant() { VariantInit(this); }
  explicit Variant(std::wstring_view text);
  explicit Variant(LONG value) {
    VariantInit(this);
    vt = VT_I4;
    lVal = value;
  }
  Variant(const Variant& other) {
    VariantInit(this);
    VariantCopy(this, &other);
  }
  Variant& operator=(const Variant& other) {
    if (this != &other) VariantCopy(this, &other);
    return *this;
  }
  ~Variant() { VariantClear(this); }
  void Clear() { VariantClear(this); }
};

// --- COM error exceptions ----------------------------------------------------------

// What a COM call reports by throwing (the smart-pointer wrappers of the original's
// compiler support). Carries the HRESULT.
class _com_error {
 public:
  explicit _com_error(HRESULT hr) noexcept : hr_(hr) {}
  HRESULT Error() const noexcept { return hr_; }
  // A short description of the code ("Unknown error 0x%08X" for codes it does not know).
  std::wstring ErrorMessage() const;

 private:
  HRESULT hr_;
};

[[noreturn]] void _com_issue_error(HRESULT hr);

}  // namespace platform
