#include "platform/wmi.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/machine.h"
#include "platform/src/com/wmi_internal.h"
#include "platform/testing/machine_test.h"
#include "platform/text.h"

namespace platform {
namespace {

using ::testing::HasSubstr;

constexpr LONG kQueryFlags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;

class WmiTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  }
  void TearDown() override {
    locator_.Reset();
    CoUninitialize();
    MachineTest::TearDown();
  }

  // Replaces the machine by one with `profile` (as a new process on a changed root).
  void UseProfile(const nlohmann::json& profile) {
    locator_.Reset();
    CoUninitialize();
    testing::WriteHostFile(root() / "machine.json", profile.dump());
    ReopenMachine();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  }

  // A profile whose WMI holds only `wmi`.
  static nlohmann::json ProfileWith(nlohmann::json wmi) { return nlohmann::json{{"wmi", std::move(wmi)}}; }

  HRESULT Connect(const wchar_t* nameSpace, ComPtr<IWbemServices>& services) {
    if (!locator_) {
      HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                    reinterpret_cast<void**>(&locator_));
      if (FAILED(hr)) return hr;
    }
    return locator_->ConnectServer(BStr(nameSpace), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
  }

  ComPtr<IWbemServices> MustConnect(const wchar_t* nameSpace) {
    ComPtr<IWbemServices> services;
    EXPECT_EQ(Connect(nameSpace, services), WBEM_S_NO_ERROR) << "connecting to " << WideToUtf8(nameSpace);
    return services;
  }

  // Runs a query and collects its objects one Next at a time; `end` gets the code
  // that ended the enumeration.
  std::vector<ComPtr<IWbemClassObject>> Run(IWbemServices* services, const std::wstring& query, HRESULT* end) {
    std::vector<ComPtr<IWbemClassObject>> objects;
    ComPtr<IEnumWbemClassObject> enumerator;
    HRESULT hr = services->ExecQuery(BStr(L"WQL"), BStr(query), kQueryFlags, nullptr, &enumerator);
    if (FAILED(hr) || !enumerator) {
      *end = hr;
      return objects;
    }
    for (;;) {
      ComPtr<IWbemClassObject> object;
      ULONG returned = 99;
      hr = enumerator->Next(WBEM_INFINITE, 1, &object, &returned);
      if (returned == 0 || FAILED(hr)) break;
      EXPECT_EQ(hr, WBEM_S_NO_ERROR);
      objects.push_back(std::move(object));
    }
    *end = hr;
    return objects;
  }

  std::wstring Text(IWbemClassObject* object, const wchar_t* property, HRESULT* hr = nullptr) {
    Variant value;
    HRESULT result = object->Get(property, 0, &value, nullptr, nullptr);
    if (hr != nullptr) *hr = result;
    if (FAILED(result)) return L"<failed>";
    if (value.vt != VT_BSTR) return L"<vt " + std::to_wstring(value.vt) + L">";
    return value.bstrVal == nullptr ? L"" : std::wstring(value.bstrVal, SysStringLen(value.bstrVal));
  }

  ComPtr<IWbemLocator> locator_;
};

// --- WQL -----------------------------------------------------------------------------------

TEST_F(WmiTest, WqlAcceptsTheQueriesAsTheServiceWritesThem) {
  using wmi::detail::ParseWql;
  auto q = ParseWql(L"Select * from MS_SystemInformation");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->className, L"MS_SystemInformation");
  EXPECT_TRUE(q->columns.empty());
  EXPECT_FALSE(q->whereProperty);

  q = ParseWql(L"SELECT * FROM KorvoBIOS_BIOSString  WHERE Name='Feature Byte'");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->className, L"KorvoBIOS_BIOSString");
  EXPECT_EQ(q->whereProperty.value_or(L""), L"Name");
  EXPECT_EQ(q->whereValue, L"Feature Byte");

  q = ParseWql(L" SELECT IsSet FROM KorvoBIOS_BIOSPassword WHERE Name='Setup Password'");
  ASSERT_TRUE(q);
  EXPECT_THAT(q->columns, ::testing::ElementsAre(L"IsSet"));
  EXPECT_EQ(q->whereValue, L"Setup Password");

  q = ParseWql(
      L"SELECT Value FROM KorvoBIOS_BIOSString where Name='Enhanced BIOS Authentication Mode Local Access Key 1'");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->whereValue, L"Enhanced BIOS Authentication Mode Local Access Key 1");

  q = ParseWql(L"\tselect Name ,Value,IsSet from Korvo_BIOSSetting where Name = \"x\"  ");
  ASSERT_TRUE(q);
  EXPECT_THAT(q->columns, ::testing::ElementsAre(L"Name", L"Value", L"IsSet"));
  EXPECT_EQ(q->whereValue, L"x");
}

TEST_F(WmiTest, WqlRefusesEverythingElseAsAnInvalidQuery) {
  for (const wchar_t* text :
       {L"", L"   ", L"SELECT", L"SELECT * FROM", L"SELECT FROM A", L"SELECT *, Name FROM A", L"SELECT * FROM A B",
        L"SELECT * FROM A WHERE Name='x' AND Value='y'", L"SELECT * FROM A WHERE Name LIKE 'x%'",
        L"SELECT * FROM A WHERE Name='unterminated", L"SELECT * FROM A WHERE Name=5", L"SELECT * FROM A WHERE",
        L"SELECT * FROM A WHERE Name<>'x'", L"ASSOCIATORS OF {Win32_Processor}", L"DELETE FROM A", L"SELECT * FROM A;",
        L"SELECT Name, FROM A", L"SELECT * FROM WHERE"}) {
    EXPECT_FALSE(wmi::detail::ParseWql(text)) << WideToUtf8(text);
  }

  auto services = MustConnect(L"ROOT\\CIMV2");
  ASSERT_TRUE(services);
  ComPtr<IEnumWbemClassObject> enumerator;
  EXPECT_EQ(services->ExecQuery(BStr(L"WQL"), BStr(L"SELECT * FROM Win32_Processor WHERE Name LIKE '%i7%'"),
                                kQueryFlags, nullptr, &enumerator),
            WBEM_E_INVALID_QUERY);
  EXPECT_EQ(
      services->ExecQuery(BStr(L"SQL"), BStr(L"SELECT * FROM Win32_Processor"), kQueryFlags, nullptr, &enumerator),
      WBEM_E_INVALID_QUERY_TYPE);
  EXPECT_EQ(
      services->ExecQuery(BStr(L"WQL"), BStr(L"SELECT * FROM Win32_NoSuchClass"), kQueryFlags, nullptr, &enumerator),
      WBEM_E_INVALID_CLASS);
  EXPECT_EQ(services->ExecQuery(BStr(L"WQL"), BStr(L"SELECT NoSuchColumn FROM Win32_Processor"), kQueryFlags, nullptr,
                                &enumerator),
            WBEM_E_INVALID_QUERY);
  EXPECT_EQ(services->ExecQuery(BStr(L"WQL"), nullptr, kQueryFlags, nullptr, &enumerator), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(enumerator.Get(), nullptr);
}

// --- The default machine's repository ------------------------------------------------------

TEST_F(WmiTest, DefaultMachineServesTheSampleLaptopThroughTheLocator) {
  auto services = MustConnect(L"ROOT\\wmi");
  ASSERT_TRUE(services);
  ASSERT_EQ(CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
            S_OK);
  DWORD authn = 0, level = 0, imp = 0;
  ASSERT_EQ(CoQueryProxyBlanket(services.Get(), &authn, nullptr, nullptr, &level, &imp, nullptr, nullptr), S_OK);
  EXPECT_EQ(authn, RPC_C_AUTHN_WINNT);
  EXPECT_EQ(level, RPC_C_AUTHN_LEVEL_CALL);
  EXPECT_EQ(imp, RPC_C_IMP_LEVEL_IMPERSONATE);

  HRESULT end = E_FAIL;
  auto objects = Run(services.Get(), L"Select * from MS_SystemInformation", &end);
  EXPECT_EQ(end, WBEM_S_FALSE);
  ASSERT_EQ(objects.size(), 1u);
  Variant value;
  CIMTYPE type = CIM_EMPTY;
  ASSERT_EQ(objects[0]->Get(L"SystemProductName", 0, &value, &type, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(type, CIM_STRING);
  EXPECT_EQ(std::wstring(value.bstrVal), L"Korvo T14 Gen 3");
  EXPECT_EQ(Text(objects[0].Get(), L"biosreleasedate"), L"01/15/2021");  // names ignore case
  HRESULT hr = S_OK;
  Text(objects[0].Get(), L"NoSuchProperty", &hr);
  EXPECT_EQ(hr, WBEM_E_NOT_FOUND);

  services = MustConnect(L"root\\cimv2");
  ASSERT_TRUE(services);
  auto modules = Run(services.Get(), L"Select * from Win32_PhysicalMemory", &end);
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(Text(modules[1].Get(), L"Capacity"), L"8589934592");
  auto systems = Run(services.Get(), L"Select * from Win32_ComputerSystem", &end);
  ASSERT_EQ(systems.size(), 1u);
  Variant oem;
  ASSERT_EQ(systems[0]->Get(L"OEMStringArray", 0, &oem, &type, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(oem.vt, VT_ARRAY | VT_BSTR);
  EXPECT_EQ(type, CIM_STRING | CIM_FLAG_ARRAY);
  LONG lower = -1, upper = -1;
  ASSERT_EQ(SafeArrayGetLBound(oem.parray, 1, &lower), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(oem.parray, 1, &upper), S_OK);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(upper, 3);
  BSTR element = nullptr;
  LONG index = 2;
  ASSERT_EQ(SafeArrayGetElement(oem.parray, &index, &element), S_OK);
  EXPECT_EQ(std::wstring(element), L"BUILDID#21WWCBAU6aq#SABA#DABA;");
  SysFreeString(element);
  for (const wchar_t* cls : {L"Win32_Processor", L"Win32_ComputerSystemProduct"}) {
    EXPECT_EQ(Run(services.Get(), std::wstring(L"Select * from ") + cls, &end).size(), 1u) << WideToUtf8(cls);
  }

  services = MustConnect(L"ROOT\\korvo\\instrumentedbios");
  ASSERT_TRUE(services);
  auto feature = Run(services.Get(), L"SELECT * FROM KorvoBIOS_BIOSString  WHERE Name='Feature Byte'", &end);
  ASSERT_EQ(feature.size(), 1u);
  EXPECT_EQ(Text(feature[0].Get(), L"Value"), L"3X47aq");
  auto key = Run(services.Get(),
                 L"SELECT Value FROM KorvoBIOS_BIOSString where Name='Enhanced BIOS Authentication Mode Local Access "
                 L"Key 1'",
                 &end);
  ASSERT_EQ(key.size(), 1u);
  EXPECT_EQ(Text(key[0].Get(), L"Value"), L"");
  Text(key[0].Get(), L"Name", &hr);  // not selected
  EXPECT_EQ(hr, WBEM_E_NOT_FOUND);
  auto password = Run(services.Get(), L" SELECT IsSet FROM KorvoBIOS_BIOSPassword WHERE Name='Setup Password'", &end);
  ASSERT_EQ(password.size(), 1u);
  Variant isSet;
  ASSERT_EQ(password[0]->Get(L"IsSet", 0, &isSet, &type, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(isSet.vt, VT_I4);
  EXPECT_EQ(type, CIM_SINT32);
  EXPECT_EQ(isSet.lVal, 1);
  EXPECT_EQ(Run(services.Get(), L"SELECT * FROM Korvo_BIOSSetting WHERE Name='No Such Setting'", &end).size(), 0u);
  EXPECT_EQ(end, WBEM_S_FALSE);
}

TEST_F(WmiTest, ConnectionsNameLocalNamespacesOnly) {
  ComPtr<IWbemServices> services;
  EXPECT_EQ(Connect(L"ROOT\\korvo\\nothere", services), WBEM_E_INVALID_NAMESPACE);
  EXPECT_EQ(services.Get(), nullptr);
  EXPECT_EQ(Connect(L"\\\\.\\root\\CIMV2", services), WBEM_S_NO_ERROR);
  EXPECT_EQ(Connect(L"root/wmi", services), WBEM_S_NO_ERROR);
  EXPECT_EQ(Connect(L"\\\\OTHERPC\\ROOT\\CIMV2", services), WBEM_E_TRANSPORT_FAILURE);
  EXPECT_EQ(locator_->ConnectServer(BStr(L"ROOT\\CIMV2"), BStr(L"admin"), BStr(L"secret"), nullptr, 0, nullptr, nullptr,
                                    &services),
            WBEM_E_LOCAL_CREDENTIALS);
  EXPECT_EQ(locator_->ConnectServer(nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
            WBEM_E_INVALID_PARAMETER);
}

TEST_F(WmiTest, EnumeratorsHandOutObjectsInOrderAndEndWithFalse) {
  auto services = MustConnect(L"ROOT\\CIMV2");
  ASSERT_TRUE(services);
  ComPtr<IEnumWbemClassObject> enumerator;
  ASSERT_EQ(
      services->ExecQuery(BStr(L"WQL"), BStr(L"Select * from Win32_PhysicalMemory"), kQueryFlags, nullptr, &enumerator),
      WBEM_S_NO_ERROR);
  IWbemClassObject* objects[3] = {};
  ULONG returned = 0;
  EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 3, objects, &returned), WBEM_S_FALSE);  // fewer than asked
  ASSERT_EQ(returned, 2u);
  EXPECT_EQ(Text(objects[0], L"Tag"), L"Physical Memory 0");
  EXPECT_EQ(Text(objects[1], L"Tag"), L"Physical Memory 1");
  objects[0]->Release();
  objects[1]->Release();
  EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, objects, &returned), WBEM_S_FALSE);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(enumerator->Reset(), WBEM_E_INVALID_OPERATION);  // forward-only

  // Without the forward-only flag the enumerator can start again.
  ASSERT_EQ(services->ExecQuery(BStr(L"WQL"), BStr(L"Select * from Win32_PhysicalMemory"), WBEM_FLAG_RETURN_IMMEDIATELY,
                                nullptr, &enumerator),
            WBEM_S_NO_ERROR);
  EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 2, objects, &returned), WBEM_S_NO_ERROR);
  objects[0]->Release();
  objects[1]->Release();
  EXPECT_EQ(enumerator->Reset(), WBEM_S_NO_ERROR);
  EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, objects, &returned), WBEM_S_NO_ERROR);
  objects[0]->Release();
  EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, objects, nullptr), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(wmi::QueryCount(L"ROOT\\CIMV2", L"win32_physicalmemory"), 2u);
}

TEST_F(WmiTest, ValuesAreTypedFromTheProfile) {
  UseProfile(ProfileWith({{"namespaces",
                           {{"ROOT\\test",
                             {{"classes",
                               {{"Typed",
                                 {{{"Small", -7},
                                   {"Unsigned", 4000000000LL},
                                   {"Huge", 17179869184LL},
                                   {"Flag", true},
                                   {"Nothing", nullptr},
                                   {"Numbers", {1, 2, 3}},
                                   {"Texts", nlohmann::json::array()}}}}}}}}}}}));
  auto services = MustConnect(L"ROOT\\test");
  ASSERT_TRUE(services);
  HRESULT end = S_OK;
  auto objects = Run(services.Get(), L"SELECT * FROM Typed", &end);
  ASSERT_EQ(objects.size(), 1u);
  auto get = [&](const wchar_t* name, CIMTYPE* type) {
    Variant v;
    EXPECT_EQ(objects[0]->Get(name, 0, &v, type, nullptr), WBEM_S_NO_ERROR);
    return v;
  };
  CIMTYPE type = 0;
  auto v = get(L"Small", &type);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, -7);
  v = get(L"Unsigned", &type);
  EXPECT_EQ(v.vt, VT_UI4);
  EXPECT_EQ(type, CIM_UINT32);
  EXPECT_EQ(v.ulVal, 4000000000u);
  v = get(L"Huge", &type);
  EXPECT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(type, CIM_UINT64);
  EXPECT_EQ(std::wstring(v.bstrVal), L"17179869184");
  v = get(L"Flag", &type);
  EXPECT_EQ(v.vt, VT_BOOL);
  EXPECT_EQ(v.boolVal, VARIANT_TRUE);
  v = get(L"Nothing", &type);
  EXPECT_EQ(v.vt, VT_NULL);
  v = get(L"Numbers", &type);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_I4);
  LONG index = 2, element = 0;
  ASSERT_EQ(SafeArrayGetElement(v.parray, &index, &element), S_OK);
  EXPECT_EQ(element, 3);
  v = get(L"Texts", &type);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_BSTR);
  LONG upper = 0;
  ASSERT_EQ(SafeArrayGetUBound(v.parray, 1, &upper), S_OK);
  EXPECT_EQ(upper, -1);  // empty
}

// --- Faults --------------------------------------------------------------------------------

nlohmann::json FaultyProfile() {
  return nlohmann::json::parse(R"({
    "wmi": {
      "namespaces": {
        "ROOT\\wmi": {
          "classes": { "MS_SystemInformation": [ {
            "SystemProductName": { "value": "Model X", "fault": { "kind": "fail", "hr": "0x80041004", "count": 2 } },
            "SystemSKU": { "value": "SKU1", "fault": { "kind": "throw", "hr": 2147749889, "count": 1 } },
            "BIOSVersion": { "value": "V1", "fault": { "kind": "empty" } },
            "BIOSMajorRelease": { "value": 1, "fault": { "kind": "empty", "count": 1 } }
          } ] }
        },
        "ROOT\\CIMV2": {
          "classes": { "Win32_Processor": [ { "Name": "P" } ], "Win32_ComputerSystem": [ { "Name": "C" } ],
                       "Win32_BIOS": [ { "Name": "B" } ] },
          "blanketFault": { "kind": "fail", "hr": "0x80070005", "count": 1 }
        },
        "ROOT\\down": { "classes": {}, "connectFault": { "kind": "fail", "hr": "0x80041015" } },
        "ROOT\\empty": { "classes": {}, "connectFault": { "kind": "noObject", "count": 1 } }
      },
      "queryFaults": [
        { "namespace": "ROOT\\CIMV2", "class": "Win32_Processor", "fault": { "kind": "fail", "hr": "0x80041004", "count": 1 } },
        { "namespace": "root\\cimv2", "class": "Win32_ComputerSystem", "fault": { "kind": "failNext", "hr": "0x80041006" } },
        { "namespace": "ROOT\\CIMV2", "query": "Select * from Win32_BIOS", "fault": { "kind": "noEnumerator" } }
      ]
    }
  })");
}

TEST_F(WmiTest, PropertyFaultsActOnTheFirstReadsOnly) {
  UseProfile(FaultyProfile());
  auto services = MustConnect(L"ROOT\\wmi");
  ASSERT_TRUE(services);
  HRESULT end = S_OK;
  auto objects = Run(services.Get(), L"Select * from MS_SystemInformation", &end);
  ASSERT_EQ(objects.size(), 1u);
  IWbemClassObject* object = objects[0].Get();

  HRESULT hr = S_OK;
  Text(object, L"SystemProductName", &hr);
  EXPECT_EQ(hr, WBEM_E_PROVIDER_FAILURE);
  Text(object, L"SystemProductName", &hr);
  EXPECT_EQ(hr, WBEM_E_PROVIDER_FAILURE);
  EXPECT_EQ(Text(object, L"SystemProductName", &hr), L"Model X");
  EXPECT_EQ(hr, WBEM_S_NO_ERROR);
  EXPECT_EQ(wmi::PropertyReadCount(L"ROOT\\wmi", L"MS_SystemInformation", L"SystemProductName"), 3u);

  // The count holds per machine, not per object: a second query continues it.
  auto again = Run(services.Get(), L"Select * from MS_SystemInformation", &end);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(Text(again[0].Get(), L"SystemProductName"), L"Model X");

  Variant value;
  try {
    object->Get(L"SystemSKU", 0, &value, nullptr, nullptr);
    ADD_FAILURE() << "the first read of SystemSKU should throw";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), WBEM_E_FAILED);
  }
  EXPECT_EQ(Text(object, L"SystemSKU"), L"SKU1");

  for (int i = 0; i < 3; ++i) EXPECT_EQ(Text(object, L"BIOSVersion", &hr), L"");  // always empty
  EXPECT_EQ(hr, WBEM_S_NO_ERROR);
  ASSERT_EQ(object->Get(L"BIOSMajorRelease", 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(value.vt, VT_NULL);  // an empty non-text value
  ASSERT_EQ(object->Get(L"BIOSMajorRelease", 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(value.vt, VT_I4);

  // A fresh machine with the same profile starts counting again.
  UseProfile(FaultyProfile());
  services = MustConnect(L"ROOT\\wmi");
  ASSERT_TRUE(services);
  objects = Run(services.Get(), L"Select * from MS_SystemInformation", &end);
  ASSERT_EQ(objects.size(), 1u);
  Text(objects[0].Get(), L"SystemProductName", &hr);
  EXPECT_EQ(hr, WBEM_E_PROVIDER_FAILURE);
  EXPECT_EQ(wmi::PropertyReadCount(L"ROOT\\wmi", L"MS_SystemInformation", L"SystemProductName"), 1u);
}

TEST_F(WmiTest, QueryConnectionBlanketAndLocatorFaults) {
  UseProfile(FaultyProfile());
  ComPtr<IWbemServices> services;
  EXPECT_EQ(Connect(L"ROOT\\down", services), WBEM_E_TRANSPORT_FAILURE);
  EXPECT_EQ(Connect(L"ROOT\\down", services), WBEM_E_TRANSPORT_FAILURE);  // every time
  EXPECT_EQ(Connect(L"ROOT\\empty", services), WBEM_S_NO_ERROR);
  EXPECT_EQ(services.Get(), nullptr);  // success without an object, once
  EXPECT_EQ(Connect(L"ROOT\\empty", services), WBEM_S_NO_ERROR);
  EXPECT_NE(services.Get(), nullptr);

  services = MustConnect(L"ROOT\\CIMV2");
  ASSERT_TRUE(services);
  EXPECT_EQ(CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
            E_ACCESSDENIED);
  EXPECT_EQ(CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
            S_OK);

  HRESULT end = S_OK;
  EXPECT_TRUE(Run(services.Get(), L"Select * from Win32_Processor", &end).empty());
  EXPECT_EQ(end, WBEM_E_PROVIDER_FAILURE);
  EXPECT_EQ(Run(services.Get(), L"Select * from Win32_Processor", &end).size(), 1u);
  EXPECT_EQ(end, WBEM_S_FALSE);

  // The query starts, its enumeration fails.
  ComPtr<IEnumWbemClassObject> enumerator;
  ASSERT_EQ(
      services->ExecQuery(BStr(L"WQL"), BStr(L"Select * from Win32_ComputerSystem"), kQueryFlags, nullptr, &enumerator),
      WBEM_S_NO_ERROR);
  ComPtr<IWbemClassObject> object;
  ULONG returned = 7;
  EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, &object, &returned), WBEM_E_OUT_OF_MEMORY);
  EXPECT_EQ(returned, 0u);

  // Only the exact query text is hit.
  ASSERT_EQ(services->ExecQuery(BStr(L"WQL"), BStr(L"Select * from Win32_BIOS"), kQueryFlags, nullptr, &enumerator),
            WBEM_S_NO_ERROR);
  EXPECT_EQ(enumerator.Get(), nullptr);
  ASSERT_EQ(services->ExecQuery(BStr(L"WQL"), BStr(L"SELECT * FROM Win32_BIOS"), kQueryFlags, nullptr, &enumerator),
            WBEM_S_NO_ERROR);
  EXPECT_NE(enumerator.Get(), nullptr);

  UseProfile(ProfileWith({{"locatorFault", {{"kind", "fail"}, {"hr", "0x80040154"}}}}));
  ComPtr<IWbemLocator> locator;
  EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&locator)),
            REGDB_E_CLASSNOTREG);
}

TEST_F(WmiTest, ConcurrencyThreadsShareTheRepositoryAndItsFaultCounts) {
  UseProfile(ProfileWith(nlohmann::json::parse(R"({
    "namespaces": { "ROOT\\wmi": { "classes": { "MS_SystemInformation": [ {
      "SystemSKU": { "value": "SKU1", "fault": { "kind": "fail", "count": 20 } } } ] } } } })")));
  constexpr int kThreads = 8;
  constexpr int kReads = 10;
  std::atomic<int> failures{0};
  std::atomic<int> values{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    // The threads join the multithreaded apartment the fixture's thread made.
    threads.emplace_back([&] {
      ComPtr<IWbemLocator> locator;
      ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&locator)), S_OK);
      ComPtr<IWbemServices> services;
      ASSERT_EQ(locator->ConnectServer(BStr(L"ROOT\\wmi"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
                S_OK);
      ComPtr<IEnumWbemClassObject> enumerator;
      ASSERT_EQ(services->ExecQuery(BStr(L"WQL"), BStr(L"SELECT * FROM MS_SystemInformation"), kQueryFlags, nullptr,
                                    &enumerator),
                S_OK);
      ComPtr<IWbemClassObject> object;
      ULONG returned = 0;
      ASSERT_EQ(enumerator->Next(WBEM_INFINITE, 1, &object, &returned), S_OK);
      for (int i = 0; i < kReads; ++i) {
        ComPtr<IWbemClassObject> copy = object;  // references taken and dropped at once
        Variant value;
        if (FAILED(copy->Get(L"SystemSKU", 0, &value, nullptr, nullptr))) {
          ++failures;
        } else if (value.vt == VT_BSTR && std::wstring(value.bstrVal) == L"SKU1") {
          ++values;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 20);
  EXPECT_EQ(values.load(), kThreads * kReads - 20);
  EXPECT_EQ(wmi::PropertyReadCount(L"ROOT\\wmi", L"MS_SystemInformation", L"SystemSKU"),
            static_cast<std::uint64_t>(kThreads * kReads));
}

// --- Profile checks ------------------------------------------------------------------------

TEST_F(WmiTest, ProfileLoadNamesTheJsonPathOfABadWmiSection) {
  auto message = [](const std::string& wmi) -> std::string {
    try {
      ParseProfile("{\"wmi\": " + wmi + "}", "test.json");
    } catch (const MachineError& e) {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_EQ(message(R"({"namespaces": {"ROOT\\wmi": {"classes": {"C": [{"P": 1}]}}}})"), "accepted");
  EXPECT_THAT(message(R"([])"), HasSubstr("test.json: wmi: must be an object"));
  EXPECT_THAT(message(R"({"namespace": {}})"), HasSubstr("wmi.namespace: is not a WMI setting"));
  EXPECT_THAT(message(R"({"namespaces": {"ROOT\\wmi": {"classes": {"C": {}}}}})"),
              HasSubstr("wmi.namespaces[\"ROOT\\\\wmi\"].classes.C: must be a list of objects"));
  EXPECT_THAT(message(R"({"namespaces": {"ROOT\\wmi": {"classes": {"C": [{"P": {"x": 1}}]}}}})"),
              HasSubstr("wmi.namespaces[\"ROOT\\\\wmi\"].classes.C[0].P: a property written as an object needs"));
  EXPECT_THAT(message(R"({"namespaces": {"N": {"classes": {"C": [{}, {"P": ["a", 1]}]}}}})"),
              HasSubstr("classes.C[1].P: an array must hold only strings or only integers"));
  EXPECT_THAT(message(R"({"namespaces": {"N": {"classes": {"C": [{"P": {"value": 1, "fault": {"kind": "boom"}}}]}}}})"),
              HasSubstr("classes.C[0].P.fault.kind: must be one of fail, throw, empty"));
  EXPECT_THAT(
      message(
          R"({"namespaces": {"N": {"classes": {"C": [{"P": {"value": 1, "fault": {"kind": "fail", "hr": "bad"}}}]}}}})"),
      HasSubstr("P.fault.hr: \"bad\" is not an HRESULT"));
  EXPECT_THAT(message(R"({"namespaces": {"N": {"connectFault": {"kind": "throw"}}}})"),
              HasSubstr("wmi.namespaces[\"N\"].connectFault.kind: must be one of fail, noObject"));
  EXPECT_THAT(message(R"({"queryFaults": [{"class": "C", "fault": {"kind": "fail"}}]})"),
              HasSubstr("wmi.queryFaults[0].namespace: is missing"));
  EXPECT_THAT(message(R"({"namespaces": {"N": {"classes": {"C": [{"P": 18446744073709551615}]}}}})"),
              HasSubstr("must be written as a string"));
  EXPECT_THAT(message(R"({"namespaces": {"N": {}, "n": {}}})"), HasSubstr("names a namespace given before"));
}

}  // namespace
}  // namespace platform
