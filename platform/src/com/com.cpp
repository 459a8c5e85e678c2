#include "platform/com.h"
#include "platform/security.h"

#include <cstdlib>
#include <cwctype>
#include <limits>
#include <map>
#include <mutex>
#include <optional>

#include <fmt/format.h>

#include "platform/machine.h"
#include "platform/src/com/com_internal.h"
#include "platform/text.h"
#include "platform/wmi.h"
#include "platform/xml.h"

#include "platform/src/base/trace.h"

namespace platform {
namespace {

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

// Apartment, security and class registrations of one machine.
struct ComState {
  static inline std::atomic<std::uint64_t> nextGeneration{1};

  std::mutex lock;
  // Tells this machine's apartments apart from a previous machine's in the
  // thread-local records.
  const std::uint64_t generation = nextGeneration++;
  int mtaThreads = 0;  // threads that joined the multithreaded apartment explicitly
  bool objectCreated = false;
  com::ProcessSecurity security;

  struct Registration {
    CLSID clsid;
    ComPtr<IClassFactory> factory;
    std::wstring assembly;  // side-by-side: creatable only while a context reaches it
  };
  std::map<DWORD, Registration> classes;
  DWORD nextCookie = 1;
  std::once_flag machineClasses;
};

struct ThreadApartment {
  std::uint64_t generation = 0;
  int count = 0;
  bool multithreaded = false;
};
thread_local ThreadApartment t_apartment;

ComState& State() {
  return CurrentMachine().State<ComState>();
}

// The machine's own components join the registry before the first registration or
// creation, so that a class a program registers later replaces them like any other
// later registration. Registering them goes through this very registry: the thread
// doing it passes by.
void EnsureMachineClasses(ComState& state) {
  static thread_local bool registering = false;
  if (registering) return;
  std::call_once(state.machineClasses, [] {
    registering = true;
    struct Done {
      ~Done() { registering = false; }
    } done;
    firmware::detail::RegisterComponents();
  });
}

// The calling thread's record for `state`'s machine (reset when it belonged to another).
ThreadApartment& Apartment(const ComState& state) {
  if (t_apartment.generation != state.generation) t_apartment = ThreadApartment{state.generation, 0, false};
  return t_apartment;
}

// A class registered through com::RegisterClass, seen as an IClassFactory.
class FunctionFactory final : public ComObject<IClassFactory> {
 public:
  explicit FunctionFactory(com::CreateFunction create) : create_(std::move(create)) {}
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return create_(riid, object);
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

 private:
  com::CreateFunction create_;
};

}  // namespace

std::wstring GuidToString(REFGUID g) {
  return base::detail::Traced<std::wstring>(base::detail::kTraceCom, "GuidToString", [&]() -> std::wstring {
    return Utf8ToWide(fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}", g.Data1,
                                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                                  g.Data4[5], g.Data4[6], g.Data4[7]));
  });
}

// --- Apartments and security ---------------------------------------------------------

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "CoInitializeEx", [&]() -> HRESULT {
    if (reserved != nullptr) return E_INVALIDARG;
    if ((coInit & ~(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY)) != 0) {
      return E_INVALIDARG;
    }
    const bool multithreaded = (coInit & COINIT_APARTMENTTHREADED) == 0;
    auto& state = State();
    std::lock_guard guard(state.lock);
    auto& apartment = Apartment(state);
    if (apartment.count > 0) {
      if (apartment.multithreaded != multithreaded) return RPC_E_CHANGED_MODE;
      ++apartment.count;
      return S_FALSE;
    }
    apartment.count = 1;
    apartment.multithreaded = multithreaded;
    if (multithreaded) ++state.mtaThreads;
    return S_OK;
  });
}

HRESULT CoInitialize(LPVOID reserved) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "CoInitialize",
                                       [&]() -> HRESULT { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); });
}

void CoUninitialize() {
  return base::detail::Traced<void>(base::detail::kTraceCom, "CoUninitialize", [&]() -> void {
    auto& state = State();
    std::lock_guard guard(state.lock);
    auto& apartment = Apartment(state);
    if (apartment.count == 0) return;
    if (--apartment.count == 0 && apartment.multithreaded) --state.mtaThreads;
  });
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR securityDescriptor, LONG authServiceCount,
                             SOLE_AUTHENTICATION_SERVICE* authServices, void* /*reserved1*/, DWORD authnLevel,
                             DWORD impLevel, void* authList, DWORD capabilities, void* /*reserved3*/) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "CoInitializeSecurity", [&]() -> HRESULT {
    auto& state = State();
    std::lock_guard guard(state.lock);
    const auto& apartment = Apartment(state);
    if (apartment.count == 0 && state.mtaThreads == 0) return CO_E_NOTINITIALIZED;
    if (state.security.initialized || state.objectCreated) return RPC_E_TOO_LATE;
    if (authServiceCount < -1 || (authServiceCount > 0 && authServices == nullptr)) return E_INVALIDARG;
    if (authnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || impLevel > RPC_C_IMP_LEVEL_DELEGATE) return E_INVALIDARG;
    // With EOAC_APPID the first parameter is the application id, not a descriptor.
    if ((capabilities & EOAC_APPID) != 0 && securityDescriptor == nullptr) return E_INVALIDARG;
    if ((capabilities & EOAC_AUTHN_INFO_DEFAULT) != 0 || authList != nullptr) return E_INVALIDARG;
    std::vector<BYTE> copy;
    if (securityDescriptor != nullptr) {
      copy = security::CopySecurityDescriptor(securityDescriptor);
      if (copy.empty()) return E_INVALIDARG;
    }
    state.security = com::ProcessSecurity{
        true, securityDescriptor != nullptr, authServiceCount, authnLevel, impLevel, capabilities, std::move(copy)};
    return S_OK;
  });
}

com::ProcessSecurity com::QueryProcessSecurity() {
  auto& state = State();
  std::lock_guard guard(state.lock);
  return state.security;
}

com::ApartmentKind com::CurrentApartment() {
  auto& state = State();
  std::lock_guard guard(state.lock);
  const auto& apartment = Apartment(state);
  if (apartment.count > 0)
    return apartment.multithreaded ? ApartmentKind::Multithreaded : ApartmentKind::SingleThreaded;
  return state.mtaThreads > 0 ? ApartmentKind::ImplicitMultithreaded : ApartmentKind::None;
}

// --- Activation ------------------------------------------------------------------------

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid, LPVOID* object) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "CoCreateInstance", [&]() -> HRESULT {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    auto& state = State();
    EnsureMachineClasses(state);
    ComPtr<IClassFactory> factory;
    {
      std::lock_guard guard(state.lock);
      const auto& apartment = Apartment(state);
      if (apartment.count == 0 && state.mtaThreads == 0) return CO_E_NOTINITIALIZED;
      // The latest registration of a class wins; a side-by-side one counts only while
      // the calling thread's active context makes the class creatable.
      for (auto it = state.classes.rbegin(); it != state.classes.rend(); ++it) {
        const auto& r = it->second;
        if (r.clsid != clsid) continue;
        if (!r.assembly.empty() && !com::detail::ActiveContextHasClass(r.assembly, clsid)) continue;
        factory = r.factory;
        break;
      }
    }
    if ((clsContext & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER)) == 0) return REGDB_E_CLASSNOTREG;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    HRESULT hr = factory ? factory->CreateInstance(nullptr, riid, object)
                         : com::detail::CreateBuiltInObject(clsid, riid, object);
    if (SUCCEEDED(hr)) {
      std::lock_guard guard(state.lock);
      state.objectCreated = true;
    }
    return hr;
  });
}

namespace {

HRESULT Register(REFCLSID clsid, IUnknown* factory, std::wstring assembly, LPDWORD cookie) {
  if (factory == nullptr || cookie == nullptr) return E_INVALIDARG;
  ComPtr<IClassFactory> classFactory;
  if (FAILED(factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&classFactory)))) {
    return E_NOINTERFACE;
  }
  auto& state = State();
  EnsureMachineClasses(state);
  std::lock_guard guard(state.lock);
  *cookie = state.nextCookie++;
  state.classes[*cookie] = ComState::Registration{clsid, std::move(classFactory), std::move(assembly)};
  return S_OK;
}

DWORD RegisterFunction(REFCLSID clsid, com::CreateFunction create, std::wstring assembly) {
  ComPtr<IClassFactory> factory;
  CreateComObject<FunctionFactory>(IID_IClassFactory, reinterpret_cast<void**>(&factory), std::move(create));
  DWORD cookie = 0;
  Register(clsid, factory.Get(), std::move(assembly), &cookie);
  return cookie;
}

}  // namespace

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD /*clsContext*/, DWORD /*flags*/,
                              LPDWORD cookie) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "CoRegisterClassObject",
                                       [&]() -> HRESULT { return Register(clsid, factory, {}, cookie); });
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "CoRevokeClassObject", [&]() -> HRESULT {
    ComPtr<IClassFactory> released;  // released outside the lock
    auto& state = State();
    std::lock_guard guard(state.lock);
    auto it = state.classes.find(cookie);
    if (it == state.classes.end()) return CO_E_OBJNOTREG;
    released = std::move(it->second.factory);
    state.classes.erase(it);
    return S_OK;
  });
}

DWORD com::RegisterClass(REFCLSID clsid, CreateFunction create) {
  return base::detail::Traced<DWORD>(base::detail::kTraceCom, "com::RegisterClass",
                                     [&]() -> DWORD { return RegisterFunction(clsid, std::move(create), {}); });
}

DWORD com::RegisterSideBySideClass(std::wstring_view assemblyName, REFCLSID clsid, CreateFunction create) {
  return base::detail::Traced<DWORD>(base::detail::kTraceCom, "com::RegisterSideBySideClass", [&]() -> DWORD {
    return RegisterFunction(clsid, std::move(create), std::wstring(assemblyName));
  });
}

HRESULT OleRun(IUnknown* unknown) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "OleRun",
                                       [&]() -> HRESULT { return unknown == nullptr ? E_INVALIDARG : S_OK; });
}

HRESULT com::detail::CreateBuiltInObject(REFCLSID clsid, REFIID riid, void** object) {
  if (clsid == CLSID_WbemLocator) return wmi::detail::CreateWbemLocator(riid, object);
  if (clsid == CLSID_DOMDocument30) return xml::detail::CreateDomDocument(riid, object);
  return REGDB_E_CLASSNOTREG;
}

HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authnSvc, DWORD authzSvc, LPWSTR serverPrincName, DWORD authnLevel,
                          DWORD impLevel, void* authInfo, DWORD capabilities) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "CoSetProxyBlanket", [&]() -> HRESULT {
    if (proxy == nullptr) return E_INVALIDARG;
    ComPtr<IClientSecurity> security;
    HRESULT hr = proxy->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&security));
    if (FAILED(hr)) return hr;
    return security->SetBlanket(proxy, authnSvc, authzSvc, serverPrincName, authnLevel, impLevel, authInfo,
                                capabilities);
  });
}

HRESULT CoQueryProxyBlanket(IUnknown* proxy, DWORD* authnSvc, DWORD* authzSvc, LPWSTR* serverPrincName,
                            DWORD* authnLevel, DWORD* impLevel, void** authInfo, DWORD* capabilities) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "CoQueryProxyBlanket", [&]() -> HRESULT {
    if (proxy == nullptr) return E_INVALIDARG;
    ComPtr<IClientSecurity> security;
    HRESULT hr = proxy->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&security));
    if (FAILED(hr)) return hr;
    return security->QueryBlanket(proxy, authnSvc, authzSvc, serverPrincName, authnLevel, impLevel, authInfo,
                                  capabilities);
  });
}

LPVOID CoTaskMemAlloc(std::size_t size) {
  return base::detail::Traced<LPVOID>(base::detail::kTraceCom, "CoTaskMemAlloc",
                                      [&]() -> LPVOID { return std::malloc(size == 0 ? 1 : size); });
}

void CoTaskMemFree(LPVOID p) {
  return base::detail::Traced<void>(base::detail::kTraceCom, "CoTaskMemFree", [&]() -> void { std::free(p); });
}

// --- BSTR ------------------------------------------------------------------------------

namespace {

BSTR AllocBstrBytes(const void* bytes, UINT byteLength) {
  // Length prefix, the bytes, and a whole wide NUL after them.
  auto* block = static_cast<char*>(std::malloc(sizeof(std::uint32_t) + byteLength + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const std::uint32_t prefix = byteLength;
  std::memcpy(block, &prefix, sizeof prefix);
  char* data = block + sizeof prefix;
  if (bytes != nullptr) {
    std::memcpy(data, bytes, byteLength);
  } else {
    std::memset(data, 0, byteLength);
  }
  std::memset(data + byteLength, 0, sizeof(OLECHAR));
  return reinterpret_cast<BSTR>(data);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  return base::detail::Traced<BSTR>(base::detail::kTraceCom, "SysAllocString", [&]() -> BSTR {
    if (text == nullptr) return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(std::wcslen(text)));
  });
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  return base::detail::Traced<BSTR>(base::detail::kTraceCom, "SysAllocStringLen", [&]() -> BSTR {
    if (length > (std::numeric_limits<std::uint32_t>::max() - 16) / sizeof(OLECHAR)) return nullptr;
    return AllocBstrBytes(text, static_cast<UINT>(length * sizeof(OLECHAR)));
  });
}

BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length) {
  return base::detail::Traced<BSTR>(base::detail::kTraceCom, "SysAllocStringByteLen", [&]() -> BSTR {
    if (length > std::numeric_limits<std::uint32_t>::max() - 16) return nullptr;
    return AllocBstrBytes(bytes, length);
  });
}

INT SysReAllocString(BSTR* bstr, const OLECHAR* text) {
  return base::detail::Traced<INT>(base::detail::kTraceCom, "SysReAllocString", [&]() -> INT {
    if (bstr == nullptr) return FALSE;
    BSTR fresh = SysAllocString(text);
    if (text != nullptr && fresh == nullptr) return FALSE;
    SysFreeString(*bstr);
    *bstr = fresh;
    return TRUE;
  });
}

void SysFreeString(BSTR bstr) {
  return base::detail::Traced<void>(base::detail::kTraceCom, "SysFreeString", [&]() -> void {
    if (bstr != nullptr) std::free(reinterpret_cast<char*>(bstr) - sizeof(std::uint32_t));
  });
}

UINT SysStringByteLen(BSTR bstr) {
  return base::detail::Traced<UINT>(base::detail::kTraceCom, "SysStringByteLen", [&]() -> UINT {
    if (bstr == nullptr) return 0;
    std::uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(bstr) - sizeof prefix, sizeof prefix);
    return prefix;
  });
}

UINT SysStringLen(BSTR bstr) {
  return base::detail::Traced<UINT>(base::detail::kTraceCom, "SysStringLen",
                                    [&]() -> UINT { return SysStringByteLen(bstr) / sizeof(OLECHAR); });
}

// --- SAFEARRAY -------------------------------------------------------------------------

namespace {

// The element type sits in front of the descriptor, where the original keeps it too.
struct SafeArrayBlock {
  VARTYPE vt;
  SAFEARRAY sa;
};

SafeArrayBlock* BlockOf(SAFEARRAY* psa) {
  return reinterpret_cast<SafeArrayBlock*>(reinterpret_cast<char*>(psa) - offsetof(SafeArrayBlock, sa));
}

std::optional<ULONG> ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_I4:
    case VT_UI4:
      return 4;
    case VT_BOOL:
      return sizeof(VARIANT_BOOL);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return std::nullopt;
  }
}

// Address of the element at `index`, or null when it is out of bounds.
void* ElementAt(SAFEARRAY* psa, LONG index) {
  const auto& bound = psa->rgsabound[0];
  const std::int64_t offset = std::int64_t{index} - bound.lLbound;
  if (offset < 0 || offset >= std::int64_t{bound.cElements}) return nullptr;
  return static_cast<char*>(psa->pvData) + offset * psa->cbElements;
}

void ClearElements(SAFEARRAY* psa, VARTYPE vt) {
  for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
    void* element = static_cast<char*>(psa->pvData) + std::size_t{i} * psa->cbElements;
    if (vt == VT_BSTR) {
      SysFreeString(*static_cast<BSTR*>(element));
      *static_cast<BSTR*>(element) = nullptr;
    } else if (vt == VT_VARIANT) {
      VariantClear(static_cast<VARIANT*>(element));
    }
  }
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds) {
  return base::detail::Traced<SAFEARRAY*>(base::detail::kTraceCom, "SafeArrayCreate", [&]() -> SAFEARRAY* {
    if (dims != 1 || bounds == nullptr) return nullptr;
    const auto size = ElementSize(vt);
    if (!size) return nullptr;
    auto* block = new (std::nothrow) SafeArrayBlock{};
    if (block == nullptr) return nullptr;
    block->vt = vt;
    SAFEARRAY& sa = block->sa;
    sa.cDims = 1;
    sa.fFeatures = FADF_HAVEVARTYPE | (vt == VT_BSTR ? FADF_BSTR : 0) | (vt == VT_VARIANT ? FADF_VARIANT : 0);
    sa.cbElements = *size;
    sa.rgsabound[0] = bounds[0];
    sa.pvData = std::calloc(bounds[0].cElements == 0 ? 1 : bounds[0].cElements, *size);
    if (sa.pvData == nullptr) {
      delete block;
      return nullptr;
    }
    if (vt == VT_VARIANT) {
      for (ULONG i = 0; i < bounds[0].cElements; ++i) VariantInit(static_cast<VARIANT*>(sa.pvData) + i);
    }
    return &sa;
  });
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
  return base::detail::Traced<SAFEARRAY*>(base::detail::kTraceCom, "SafeArrayCreateVector", [&]() -> SAFEARRAY* {
    SAFEARRAYBOUND bound{elements, lowerBound};
    return SafeArrayCreate(vt, 1, &bound);
  });
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayDestroy", [&]() -> HRESULT {
    if (psa == nullptr) return S_OK;
    if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    auto* block = BlockOf(psa);
    ClearElements(psa, block->vt);
    std::free(psa->pvData);
    delete block;
    return S_OK;
  });
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayCopy", [&]() -> HRESULT {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (psa == nullptr) return S_OK;
    const VARTYPE vt = BlockOf(psa)->vt;
    SAFEARRAY* copy = SafeArrayCreate(vt, 1, psa->rgsabound);
    if (copy == nullptr) return E_OUTOFMEMORY;
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
      LONG index = psa->rgsabound[0].lLbound + static_cast<LONG>(i);
      HRESULT hr = SafeArrayPutElement(copy, &index, [&]() -> void* {
        void* element = ElementAt(psa, index);
        return vt == VT_BSTR ? *static_cast<BSTR*>(element) : element;
      }());
      if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
      }
    }
    *out = copy;
    return S_OK;
  });
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
  return base::detail::Traced<UINT>(base::detail::kTraceCom, "SafeArrayGetDim",
                                    [&]() -> UINT { return psa == nullptr ? 0 : psa->cDims; });
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
  return base::detail::Traced<UINT>(base::detail::kTraceCom, "SafeArrayGetElemsize",
                                    [&]() -> UINT { return psa == nullptr ? 0 : psa->cbElements; });
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayGetVartype", [&]() -> HRESULT {
    if (psa == nullptr || vt == nullptr) return E_INVALIDARG;
    *vt = BlockOf(psa)->vt;
    return S_OK;
  });
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* bound) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayGetLBound", [&]() -> HRESULT {
    if (psa == nullptr || bound == nullptr) return E_INVALIDARG;
    if (dim < 1 || dim > psa->cDims) return DISP_E_BADINDEX;
    *bound = psa->rgsabound[0].lLbound;
    return S_OK;
  });
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* bound) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayGetUBound", [&]() -> HRESULT {
    if (psa == nullptr || bound == nullptr) return E_INVALIDARG;
    if (dim < 1 || dim > psa->cDims) return DISP_E_BADINDEX;
    *bound = static_cast<LONG>(std::int64_t{psa->rgsabound[0].lLbound} + psa->rgsabound[0].cElements - 1);
    return S_OK;
  });
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* indices, void* value) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayGetElement", [&]() -> HRESULT {
    if (psa == nullptr || indices == nullptr || value == nullptr) return E_INVALIDARG;
    void* element = ElementAt(psa, indices[0]);
    if (element == nullptr) return DISP_E_BADINDEX;
    switch (BlockOf(psa)->vt) {
      case VT_BSTR: {
        BSTR source = *static_cast<BSTR*>(element);
        BSTR copy = source == nullptr ? nullptr : SysAllocStringLen(source, SysStringLen(source));
        if (source != nullptr && copy == nullptr) return E_OUTOFMEMORY;
        *static_cast<BSTR*>(value) = copy;
        return S_OK;
      }
      case VT_VARIANT:
        VariantInit(static_cast<VARIANT*>(value));
        return VariantCopy(static_cast<VARIANT*>(value), static_cast<VARIANT*>(element));
      default:
        std::memcpy(value, element, psa->cbElements);
        return S_OK;
    }
  });
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* indices, void* value) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayPutElement", [&]() -> HRESULT {
    if (psa == nullptr || indices == nullptr) return E_INVALIDARG;
    void* element = ElementAt(psa, indices[0]);
    if (element == nullptr) return DISP_E_BADINDEX;
    switch (BlockOf(psa)->vt) {
      case VT_BSTR: {
        // For BSTR arrays `value` is the BSTR itself, as on the original.
        auto source = static_cast<BSTR>(value);
        BSTR copy = source == nullptr ? nullptr : SysAllocStringLen(source, SysStringLen(source));
        if (source != nullptr && copy == nullptr) return E_OUTOFMEMORY;
        SysFreeString(*static_cast<BSTR*>(element));
        *static_cast<BSTR*>(element) = copy;
        return S_OK;
      }
      case VT_VARIANT:
        if (value == nullptr) return E_INVALIDARG;
        return VariantCopy(static_cast<VARIANT*>(element), static_cast<VARIANT*>(value));
      default:
        if (value == nullptr) return E_INVALIDARG;
        std::memcpy(element, value, psa->cbElements);
        return S_OK;
    }
  });
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayLock", [&]() -> HRESULT {
    if (psa == nullptr) return E_INVALIDARG;
    ++psa->cLocks;
    return S_OK;
  });
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayUnlock", [&]() -> HRESULT {
    if (psa == nullptr) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
  });
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayAccessData", [&]() -> HRESULT {
    if (psa == nullptr || data == nullptr) return E_INVALIDARG;
    ++psa->cLocks;
    *data = psa->pvData;
    return S_OK;
  });
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "SafeArrayUnaccessData",
                                       [&]() -> HRESULT { return SafeArrayUnlock(psa); });
}

// --- VARIANT ---------------------------------------------------------------------------

void VariantInit(VARIANT* v) {
  return base::detail::Traced<void>(base::detail::kTraceCom, "VariantInit", [&]() -> void {
    if (v == nullptr) return;
    v->vt = VT_EMPTY;
    v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
    v->llVal = 0;
  });
}

HRESULT VariantClear(VARIANT* v) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "VariantClear", [&]() -> HRESULT {
    if (v == nullptr) return E_INVALIDARG;
    if ((v->vt & VT_ARRAY) != 0) {
      if ((v->vt & VT_BYREF) == 0 && v->parray != nullptr) {
        HRESULT hr = SafeArrayDestroy(v->parray);
        if (FAILED(hr)) return hr;
      }
    } else {
      switch (v->vt & ~VT_BYREF) {
        case VT_BSTR:
          if ((v->vt & VT_BYREF) == 0) SysFreeString(v->bstrVal);
          break;
        case VT_UNKNOWN:
          if ((v->vt & VT_BYREF) == 0 && v->punkVal != nullptr) v->punkVal->Release();
          break;
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R8:
        case VT_ERROR:
        case VT_BOOL:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
          break;
        default:
          return DISP_E_BADVARTYPE;
      }
    }
    VariantInit(v);
    return S_OK;
  });
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "VariantCopy", [&]() -> HRESULT {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (dest == src) return S_OK;
    VARIANT copy = *src;
    if ((src->vt & VT_BYREF) == 0) {
      if ((src->vt & VT_ARRAY) != 0) {
        HRESULT hr = SafeArrayCopy(src->parray, &copy.parray);
        if (FAILED(hr)) return hr;
      } else if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
      } else if (src->vt == VT_UNKNOWN && src->punkVal != nullptr) {
        src->punkVal->AddRef();
      }
    }
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
      VariantClear(&copy);
      return hr;
    }
    *dest = copy;
    return S_OK;
  });
}

namespace {

// A number or a text taken out of a variant on the way to another type.
struct Scalar {
  bool isText = false;
  bool isBool = false;
  Int128 number = 0;
  std::wstring text;
};

HRESULT ToScalar(const VARIANT& v, Scalar& out) {
  switch (v.vt) {
    case VT_EMPTY:
      out.number = 0;
      return S_OK;
    case VT_I2:
      out.number = v.iVal;
      return S_OK;
    case VT_I4:
      out.number = v.lVal;
      return S_OK;
    case VT_INT:
      out.number = v.intVal;
      return S_OK;
    case VT_UI1:
      out.number = v.bVal;
      return S_OK;
    case VT_UI2:
      out.number = v.uiVal;
      return S_OK;
    case VT_UI4:
      out.number = v.ulVal;
      return S_OK;
    case VT_UINT:
      out.number = v.uintVal;
      return S_OK;
    case VT_I8:
      out.number = v.llVal;
      return S_OK;
    case VT_UI8:
      out.number = v.ullVal;
      return S_OK;
    case VT_BOOL:
      out.isBool = true;
      out.number = v.boolVal != VARIANT_FALSE ? -1 : 0;
      return S_OK;
    case VT_BSTR:
      out.isText = true;
      out.text = v.bstrVal == nullptr ? std::wstring() : std::wstring(v.bstrVal, SysStringLen(v.bstrVal));
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// A decimal number with optional blanks around it and an optional sign.
HRESULT ParseNumber(const std::wstring& text, Int128& out) {
  std::size_t i = 0;
  while (i < text.size() && std::iswspace(static_cast<wint_t>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
  std::size_t digits = 0;
  Int128 value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i, ++digits) {
    value = value * 10 + (text[i] - L'0');
    if (value > (Int128{1} << 70)) return DISP_E_OVERFLOW;
  }
  while (i < text.size() && std::iswspace(static_cast<wint_t>(text[i]))) ++i;
  if (digits == 0 || i != text.size()) return DISP_E_TYPEMISMATCH;
  out = negative ? -value : value;
  return S_OK;
}

std::wstring NumberText(Int128 n) {
  const bool negative = n < 0;
  auto magnitude = static_cast<UInt128>(negative ? -n : n);
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  return negative ? L"-" + digits : digits;
}

template <class T>
bool InRange(Int128 n) {
  return n >= static_cast<Int128>(std::numeric_limits<T>::min()) &&
         n <= static_cast<Int128>(std::numeric_limits<T>::max());
}

}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, WORD flags, VARTYPE vt) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceCom, "VariantChangeType", [&]() -> HRESULT {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (src->vt == vt) return VariantCopy(dest, src);
    if (src->vt == VT_NULL || vt == VT_NULL) return DISP_E_TYPEMISMATCH;
    if (((src->vt | vt) & (VT_ARRAY | VT_BYREF)) != 0) return DISP_E_TYPEMISMATCH;

    Scalar scalar;
    HRESULT hr = ToScalar(*src, scalar);
    if (FAILED(hr)) return hr;

    VARIANT result;
    VariantInit(&result);
    if (vt == VT_BSTR) {
      std::wstring text;
      if (scalar.isText) {
        text = scalar.text;
      } else if (scalar.isBool) {
        text = (flags & VARIANT_ALPHABOOL) != 0 ? (scalar.number != 0 ? L"True" : L"False") : NumberText(scalar.number);
      } else if (src->vt != VT_EMPTY) {
        text = NumberText(scalar.number);
      }
      result.vt = VT_BSTR;
      result.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      if (result.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else {
      Int128 n = scalar.number;
      if (scalar.isText) {
        if (vt == VT_BOOL && (EqualsNoCase(scalar.text, L"True") || EqualsNoCase(scalar.text, L"False"))) {
          n = EqualsNoCase(scalar.text, L"True") ? -1 : 0;
        } else {
          hr = ParseNumber(scalar.text, n);
          if (FAILED(hr)) return hr;
        }
      }
      result.vt = vt;
      switch (vt) {
        case VT_EMPTY:
          break;
        case VT_BOOL:
          result.boolVal = n != 0 ? VARIANT_TRUE : VARIANT_FALSE;
          break;
        case VT_I2:
          if (!InRange<std::int16_t>(n)) return DISP_E_OVERFLOW;
          result.iVal = static_cast<std::int16_t>(n);
          break;
        case VT_I4:
        case VT_INT:
          if (!InRange<std::int32_t>(n)) return DISP_E_OVERFLOW;
          result.lVal = static_cast<LONG>(n);
          break;
        case VT_UI1:
          if (!InRange<std::uint8_t>(n)) return DISP_E_OVERFLOW;
          result.bVal = static_cast<BYTE>(n);
          break;
        case VT_UI2:
          if (!InRange<std::uint16_t>(n)) return DISP_E_OVERFLOW;
          result.uiVal = static_cast<WORD>(n);
          break;
        case VT_UI4:
        case VT_UINT:
          if (!InRange<std::uint32_t>(n)) return DISP_E_OVERFLOW;
          result.ulVal = static_cast<ULONG>(n);
          break;
        case VT_I8:
          if (!InRange<std::int64_t>(n)) return DISP_E_OVERFLOW;
          result.llVal = static_cast<LONGLONG>(n);
          break;
        case VT_UI8:
          if (!InRange<std::uint64_t>(n)) return DISP_E_OVERFLOW;
          result.ullVal = static_cast<ULONGLONG>(n);
          break;
        default:
          return DISP_E_BADVARTYPE;
      }
    }
    // `dest` may be `src`: clear it only now that the source is no longer needed.
    hr = VariantClear(dest);
    if (FAILED(hr)) {
      VariantClear(&result);
      return hr;
    }
    *dest = result;
    return S_OK;
  });
}

Variant::Variant(std::wstring_view text) {
  VariantInit(this);
  vt = VT_BSTR;
  bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// --- Errors ----------------------------------------------------------------------------

std::wstring _com_error::ErrorMessage() const {
  switch (hr_) {
    case S_OK:
      return L"The operation completed successfully.";
    case E_FAIL:
      return L"Unspecified error";
    case E_NOINTERFACE:
      return L"No such interface supported";
    case E_INVALIDARG:
      return L"The parameter is incorrect.";
    case E_OUTOFMEMORY:
      return L"Not enough memory resources are available to complete this operation.";
    case E_ACCESSDENIED:
      return L"Access is denied.";
    case REGDB_E_CLASSNOTREG:
      return L"Class not registered";
    case CO_E_NOTINITIALIZED:
      return L"CoInitialize has not been called.";
    case RPC_E_CHANGED_MODE:
      return L"Cannot change thread mode after it is set.";
    case RPC_E_TOO_LATE:
      return L"Security must be initialized before any interfaces are marshalled or unmarshalled.";
    default:
      return Utf8ToWide(fmt::format("Unknown error 0x{:08X}", static_cast<DWORD>(hr_)));
  }
}

void _com_issue_error(HRESULT hr) {
  throw _com_error(hr);
}

}  // namespace platform
