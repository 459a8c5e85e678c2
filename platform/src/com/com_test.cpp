#include "platform/com.h"

#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"

namespace platform {
namespace {

class ComTest : public testing::MachineTest {};

// --- Apartments and security ---------------------------------------------------------

TEST_F(ComTest, ApartmentsCountPerThreadAndRefuseTheOtherModel) {
  EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::None);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
  EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::Multithreaded);

  // Another thread joins the existing multithreaded apartment implicitly, and may pick
  // its own model.
  std::thread([] {
    EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::ImplicitMultithreaded);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::SingleThreaded);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::ImplicitMultithreaded);
  }).join();

  // Two successes need two balancing calls; the failed call counts for nothing.
  CoUninitialize();
  EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::Multithreaded);
  CoUninitialize();
  EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::None);
  CoUninitialize();  // unbalanced: harmless
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  CoUninitialize();

  EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_MULTITHREADED), E_INVALIDARG);
  EXPECT_EQ(CoInitializeEx(nullptr, 0x100), E_INVALIDARG);
}

TEST_F(ComTest, EachMachineStartsWithoutApartments) {
  // The thread joined an apartment on the previous test's machine and never left it;
  // this machine does not know about it.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  ReopenMachine();
  EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::None);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  CoUninitialize();
}

TEST_F(ComTest, SecurityIsSetOncePerProcess) {
  EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                 nullptr, EOAC_NONE, nullptr),
            CO_E_NOTINITIALIZED);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_FALSE(com::QueryProcessSecurity().initialized);
  EXPECT_EQ(CoInitializeSecurity(nullptr, -2, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                 nullptr, EOAC_NONE, nullptr),
            E_INVALIDARG);
  EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                 nullptr, EOAC_NONE, nullptr),
            S_OK);
  const auto security = com::QueryProcessSecurity();
  EXPECT_TRUE(security.initialized);
  EXPECT_FALSE(security.hasSecurityDescriptor);
  EXPECT_EQ(security.authServiceCount, -1);
  EXPECT_EQ(security.impLevel, RPC_C_IMP_LEVEL_IMPERSONATE);
  EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IDENTIFY,
                                 nullptr, EOAC_NONE, nullptr),
            RPC_E_TOO_LATE);
  EXPECT_EQ(com::QueryProcessSecurity().authnLevel, RPC_C_AUTHN_LEVEL_DEFAULT);  // the first call's
  CoUninitialize();
}

// --- Activation --------------------------------------------------------------------------

constexpr CLSID kClsidCounter = {0x1B2C3D4E, 0x0001, 0x4000, {0x80, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};

struct ICounter : IUnknown {
  static constexpr IID iid = {0x1B2C3D4E, 0x0002, 0x4000, {0x80, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
  virtual int Increment() = 0;

 protected:
  ~ICounter() = default;
};

struct IOther : IUnknown {
  static constexpr IID iid = {0x1B2C3D4E, 0x0003, 0x4000, {0x80, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
  virtual int Answer() = 0;

 protected:
  ~IOther() = default;
};

int g_liveCounters = 0;

class Counter final : public ComObject<ICounter, IOther> {
 public:
  Counter() { ++g_liveCounters; }
  ~Counter() override { --g_liveCounters; }
  int Increment() override { return ++value_; }
  int Answer() override { return 42; }

 private:
  int value_ = 0;
};

TEST_F(ComTest, ClassRegistryCreatesRegisteredClassesOnly) {
  ComPtr<ICounter> counter;
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&counter)),
            CO_E_NOTINITIALIZED);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&counter)),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(counter.Get(), nullptr);

  const DWORD cookie = com::RegisterClass(
      kClsidCounter, [](REFIID riid, void** object) { return CreateComObject<Counter>(riid, object); });
  EXPECT_NE(cookie, 0u);
  ASSERT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&counter)), S_OK);
  EXPECT_EQ(counter->Increment(), 1);
  EXPECT_EQ(counter->Increment(), 2);
  EXPECT_EQ(g_liveCounters, 1);

  // QueryInterface: other interfaces of the same object, IUnknown, and refusals.
  ComPtr<IOther> other;
  ASSERT_EQ(counter.As(&other), S_OK);
  EXPECT_EQ(other->Answer(), 42);
  ComPtr<IUnknown> unknown1, unknown2;
  ASSERT_EQ(counter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown1)), S_OK);
  ASSERT_EQ(other->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown2)), S_OK);
  EXPECT_EQ(unknown1.Get(), unknown2.Get());  // one identity
  ComPtr<IClassFactory> notThere;
  EXPECT_EQ(counter.As(&notThere), E_NOINTERFACE);
  EXPECT_EQ(notThere.Get(), nullptr);

  // An outer object and a context without in-process servers are refused.
  ComPtr<ICounter> refused;
  EXPECT_EQ(CoCreateInstance(kClsidCounter, unknown1.Get(), CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&refused)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_REMOTE_SERVER, IID_PPV_ARGS(&refused)),
            REGDB_E_CLASSNOTREG);

  // Creation happened, so security can no longer be set.
  EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                 nullptr, EOAC_NONE, nullptr),
            RPC_E_TOO_LATE);

  // The last reference deletes the object.
  counter = nullptr;
  other.Reset();
  unknown1.Reset();
  EXPECT_EQ(g_liveCounters, 1);
  unknown2.Reset();
  EXPECT_EQ(g_liveCounters, 0);

  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&counter)),
            REGDB_E_CLASSNOTREG);
  CoUninitialize();
}

TEST_F(ComTest, ComPtrCountsReferences) {
  ComPtr<ICounter> a;
  ASSERT_EQ(CreateComObject<Counter>(ICounter::iid, reinterpret_cast<void**>(&a)), S_OK);
  {
    ComPtr<ICounter> b = a;             // copy: one more reference
    ComPtr<ICounter> c = std::move(b);  // move: none
    EXPECT_EQ(b.Get(), nullptr);
    EXPECT_EQ(c->AddRef(), 3u);  // a, c and this one
    c->Release();
  }
  EXPECT_EQ(a->AddRef(), 2u);
  ICounter* raw = a.Detach();
  EXPECT_EQ(raw->Release(), 1u);
  ComPtr<ICounter> owner;
  owner.Attach(raw);
  EXPECT_EQ(g_liveCounters, 1);
  owner.Reset();
  EXPECT_EQ(g_liveCounters, 0);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(CreateComObject<Counter>(IClassFactory::iid, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(g_liveCounters, 0);
}

TEST_F(ComTest, GuidsPrintLikeTheRegistry) {
  EXPECT_EQ(GuidToString(kClsidCounter), L"{1B2C3D4E-0001-4000-8000-001122334455}");
  EXPECT_EQ(GuidToString(IID_IUnknown), L"{00000000-0000-0000-C000-000000000046}");
  EXPECT_FALSE(ICounter::iid == IOther::iid);
}

// --- BSTR ----------------------------------------------------------------------------------

TEST_F(ComTest, BstrCarriesItsLengthInFront) {
  BSTR b = SysAllocString(L"Korvo");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(SysStringByteLen(b), 5 * sizeof(wchar_t));
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
  EXPECT_EQ(prefix, 5 * sizeof(wchar_t));
  EXPECT_EQ(b[5], L'\0');
  EXPECT_EQ(std::wstring(b), L"Korvo");
  SysFreeString(b);

  // Embedded NULs count; the terminator does not.
  const wchar_t withNul[] = {L'a', L'\0', L'b'};
  b = SysAllocStringLen(withNul, 3);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(b[2], L'b');
  EXPECT_EQ(b[3], L'\0');
  EXPECT_EQ(SysReAllocString(&b, L"xyz!"), TRUE);
  EXPECT_EQ(SysStringLen(b), 4u);
  SysFreeString(b);

  b = SysAllocStringLen(nullptr, 4);  // room, zero-filled
  EXPECT_EQ(SysStringLen(b), 4u);
  EXPECT_EQ(b[0], L'\0');
  SysFreeString(b);
  b = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringByteLen(b), 3u);
  EXPECT_EQ(std::memcmp(b, "abc", 3), 0);
  SysFreeString(b);

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);

  BStr holder(std::wstring_view(L"held"));
  BStr copy = holder;
  EXPECT_NE(copy.Get(), holder.Get());
  EXPECT_EQ(copy.Str(), L"held");
  EXPECT_EQ(BStr().Str(), L"");
}

// --- SAFEARRAY -----------------------------------------------------------------------------

TEST_F(ComTest, SafeArrayOfStringsCopiesElementsInAndOut) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 1, 3);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(psa), 1u);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
  LONG lower = 0, upper = 0;
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &upper), S_OK);
  EXPECT_EQ(lower, 1);
  EXPECT_EQ(upper, 3);
  EXPECT_EQ(SafeArrayGetUBound(psa, 2, &upper), DISP_E_BADINDEX);

  for (LONG i = 1; i <= 3; ++i) {
    BStr text(std::wstring(L"s") + std::to_wstring(i));
    ASSERT_EQ(SafeArrayPutElement(psa, &i, text.Get()), S_OK);
  }
  LONG index = 2;
  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  EXPECT_EQ(std::wstring(out), L"s2");
  SysFreeString(out);  // a copy: the array keeps its own
  index = 4;
  EXPECT_EQ(SafeArrayGetElement(psa, &index, &out), DISP_E_BADINDEX);
  index = 0;
  EXPECT_EQ(SafeArrayGetElement(psa, &index, &out), DISP_E_BADINDEX);

  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  EXPECT_EQ(std::wstring(static_cast<BSTR*>(data)[2]), L"s3");
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

  EXPECT_EQ(SafeArrayCreateVector(VT_R8, 0, 1), nullptr);  // not an element type we keep
  SAFEARRAYBOUND bounds[2] = {{1, 0}, {1, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 2, bounds), nullptr);
}

// --- VARIANT -------------------------------------------------------------------------------

TEST_F(ComTest, VariantOwnsWhatItHoldsAndCopiesDeeply) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
  LONG i = 0;
  BStr one(L"one");
  SafeArrayPutElement(v.parray, &i, one.Get());

  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_NE(copy.parray, v.parray);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(copy.parray, &i, &out), S_OK);
  EXPECT_EQ(std::wstring(out), L"one");
  SysFreeString(out);
  EXPECT_EQ(VariantClear(&copy), S_OK);

  v.vt = 0x7F;  // nothing this area knows
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
}

TEST_F(ComTest, VariantChangeTypeConvertsBetweenTextNumbersAndBooleans) {
  Variant text(std::wstring_view(L"  8589934592 "));
  Variant out;
  EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I4), DISP_E_OVERFLOW);
  ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_I8), S_OK);
  EXPECT_EQ(out.vt, VT_I8);
  EXPECT_EQ(out.llVal, 8589934592LL);

  Variant small(std::wstring_view(L"-17"));
  ASSERT_EQ(VariantChangeType(&out, &small, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, -17);
  EXPECT_EQ(VariantChangeType(&out, &small, 0, VT_UI4), DISP_E_OVERFLOW);
  Variant junk(std::wstring_view(L"12abc"));
  EXPECT_EQ(VariantChangeType(&out, &junk, 0, VT_I4), DISP_E_TYPEMISMATCH);
  Variant empty(std::wstring_view(L""));
  EXPECT_EQ(VariantChangeType(&out, &empty, 0, VT_UINT), DISP_E_TYPEMISMATCH);

  Variant number(LONG{-5});
  ASSERT_EQ(VariantChangeType(&out, &number, 0, VT_BSTR), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_EQ(std::wstring(out.bstrVal), L"-5");
  ASSERT_EQ(VariantChangeType(&out, &number, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);

  Variant flag;
  flag.vt = VT_BOOL;
  flag.boolVal = VARIANT_TRUE;
  ASSERT_EQ(VariantChangeType(&out, &flag, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(std::wstring(out.bstrVal), L"True");
  ASSERT_EQ(VariantChangeType(&out, &flag, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::wstring(out.bstrVal), L"-1");
  ASSERT_EQ(VariantChangeType(&out, &flag, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, -1);
  Variant word(std::wstring_view(L"false"));
  ASSERT_EQ(VariantChangeType(&out, &word, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_FALSE);

  Variant unsignedValue;
  unsignedValue.vt = VT_UI4;
  unsignedValue.ulVal = 0xFFFFFFFFu;
  ASSERT_EQ(VariantChangeType(&out, &unsignedValue, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::wstring(out.bstrVal), L"4294967295");
  EXPECT_EQ(VariantChangeType(&out, &unsignedValue, 0, VT_I4), DISP_E_OVERFLOW);
  ASSERT_EQ(VariantChangeType(&out, &unsignedValue, 0, VT_UINT), S_OK);
  EXPECT_EQ(out.uintVal, 0xFFFFFFFFu);

  // Empty becomes zero or empty text; null converts to nothing else.
  Variant nothing;
  ASSERT_EQ(VariantChangeType(&out, &nothing, 0, VT_BSTR), S_OK);
  EXPECT_EQ(SysStringLen(out.bstrVal), 0u);
  ASSERT_EQ(VariantChangeType(&out, &nothing, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 0);
  Variant null;
  null.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_BSTR), DISP_E_TYPEMISMATCH);

  // In place: the source is converted over itself.
  Variant inPlace(std::wstring_view(L"42"));
  ASSERT_EQ(VariantChangeType(&inPlace, &inPlace, 0, VT_UI4), S_OK);
  EXPECT_EQ(inPlace.vt, VT_UI4);
  EXPECT_EQ(inPlace.ulVal, 42u);

  // Arrays do not convert.
  Variant array;
  array.vt = VT_ARRAY | VT_BSTR;
  array.parray = SafeArrayCreateVector(VT_BSTR, 0, 0);
  EXPECT_EQ(VariantChangeType(&out, &array, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
}

// --- Errors --------------------------------------------------------------------------------

TEST_F(ComTest, ComErrorCarriesItsCode) {
  try {
    _com_issue_error(static_cast<HRESULT>(0x80041001));
    FAIL() << "no exception";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), static_cast<HRESULT>(0x80041001));
    EXPECT_EQ(e.ErrorMessage(), L"Unknown error 0x80041001");
  }
  EXPECT_EQ(_com_error(REGDB_E_CLASSNOTREG).ErrorMessage(), L"Class not registered");
}

}  // namespace
}  // namespace platform
