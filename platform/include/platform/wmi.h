// WMI on the machine: the WBEM locator (CoCreateInstance of CLSID_WbemLocator,
// in-process), services per namespace, WQL queries with forward-only enumerators, and
// class objects whose properties come back as VARIANTs.
//
// The repository is the "wmi" section of the machine profile:
//
//   "wmi": {
//     "namespaces": {
//       "ROOT\\CIMV2": {
//         "classes": { "Win32_Processor": [ { "Name": "...", "NumberOfCores": 8 } ] },
//         "connectFault": { ... },   // optional, see below
//         "blanketFault": { ... }
//       }
//     },
//     "locatorFault": { ... },
//     "queryFaults": [ { "namespace": "ROOT\\wmi", "class": "MS_SystemInformation",
//                        "query": "<exact text, optional>", "fault": { ... } } ]
//   }
//
// Property values are typed from JSON: a string is CIM_STRING (VT_BSTR), an integer
// CIM_SINT32 (VT_I4) or, beyond that range, CIM_UINT32 (VT_UI4) and then a 64-bit
// CIM type carried as a decimal VT_BSTR (as WMI carries 64-bit values), a bool
// CIM_BOOLEAN, an array of strings CIM_STRING|CIM_FLAG_ARRAY (VT_ARRAY|VT_BSTR), an
// array of integers VT_ARRAY|VT_I4, null VT_NULL. A property may instead be an object
// { "value": <one of those>, "fault": { ... } }.
//
// A fault is { "kind": "...", "hr": "0x80041001" or a number, "count": n }: it acts on
// the first n uses (every use without "count"; counted per machine), then the real
// behaviour comes back. Kinds: for a property read "fail" (Get returns hr), "throw"
// (a _com_error carrying hr), "empty" (an empty string, or VT_NULL for a non-string);
// for a connection "fail" or "noObject" (success without a services object); for the
// blanket and the locator "fail"; for a query "fail" (ExecQuery returns hr),
// "failNext" (Next returns hr) or "noEnumerator" (success without an enumerator).
// "hr" defaults to WBEM_E_FAILED.
//
// Names of namespaces, classes and properties compare without regard to case.
//
// The WQL accepted is: SELECT (* | column[, column...]) FROM class [WHERE property =
// 'text'], keywords in any case, with any blanks between the parts. Anything else
// gives WBEM_E_INVALID_QUERY; an unknown class WBEM_E_INVALID_CLASS.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "platform/com.h"
#include "platform/types.h"

namespace platform {

// --- Codes and flags ----------------------------------------------------------------

inline constexpr HRESULT WBEM_S_NO_ERROR = 0;
inline constexpr HRESULT WBEM_S_FALSE = 1;
inline constexpr HRESULT WBEM_S_TIMEDOUT = 0x40004;
inline constexpr HRESULT WBEM_E_FAILED = static_cast<HRESULT>(0x80041001);
inline constexpr HRESULT WBEM_E_NOT_FOUND = static_cast<HRESULT>(0x80041002);
inline constexpr HRESULT WBEM_E_ACCESS_DENIED = static_cast<HRESULT>(0x80041003);
inline constexpr HRESULT WBEM_E_PROVIDER_FAILURE = static_cast<HRESULT>(0x80041004);
inline constexpr HRESULT WBEM_E_TYPE_MISMATCH = static_cast<HRESULT>(0x80041005);
inline constexpr HRESULT WBEM_E_OUT_OF_MEMORY = static_cast<HRESULT>(0x80041006);
inline constexpr HRESULT WBEM_E_INVALID_PARAMETER = static_cast<HRESULT>(0x80041008);
inline constexpr HRESULT WBEM_E_NOT_SUPPORTED = static_cast<HRESULT>(0x8004100C);
inline constexpr HRESULT WBEM_E_INVALID_NAMESPACE = static_cast<HRESULT>(0x8004100E);
inline constexpr HRESULT WBEM_E_INVALID_CLASS = static_cast<HRESULT>(0x80041010);
inline constexpr HRESULT WBEM_E_TRANSPORT_FAILURE = static_cast<HRESULT>(0x80041015);
inline constexpr HRESULT WBEM_E_INVALID_OPERATION = static_cast<HRESULT>(0x80041016);
inline constexpr HRESULT WBEM_E_INVALID_QUERY = static_cast<HRESULT>(0x80041017);
inline constexpr HRESULT WBEM_E_INVALID_QUERY_TYPE = static_cast<HRESULT>(0x80041018);
inline constexpr HRESULT WBEM_E_LOCAL_CREDENTIALS = static_cast<HRESULT>(0x80041064);

inline constexpr LONG WBEM_FLAG_RETURN_WBEM_COMPLETE = 0x0;
inline constexpr LONG WBEM_FLAG_BIDIRECTIONAL = 0x0;
inline constexpr LONG WBEM_FLAG_RETURN_IMMEDIATELY = 0x10;
inline constexpr LONG WBEM_FLAG_FORWARD_ONLY = 0x20;
inline constexpr LONG WBEM_FLAG_ENSURE_LOCATABLE = 0x100;
inline constexpr LONG WBEM_FLAG_USE_AMENDED_QUALIFIERS = 0x20000;
inline constexpr LONG WBEM_INFINITE = -1;
inline constexpr LONG WBEM_NO_WAIT = 0;

using CIMTYPE = LONG;
enum CIMTYPE_ENUMERATION : CIMTYPE {
  CIM_EMPTY = 0,
  CIM_SINT32 = 3,
  CIM_STRING = 8,
  CIM_BOOLEAN = 11,
  CIM_UINT32 = 19,
  CIM_SINT64 = 20,
  CIM_UINT64 = 21,
  CIM_FLAG_ARRAY = 0x2000,
};

inline constexpr LONG WBEM_FLAVOR_ORIGIN_LOCAL = 0x0;

// --- Interfaces ---------------------------------------------------------------------

struct IWbemContext : IUnknown {
  static constexpr IID iid = {0x44ACA674, 0xE8FC, 0x11D0, {0xA0, 0x7C, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};

 protected:
  ~IWbemContext() = default;
};

struct IWbemClassObject : IUnknown {
  static constexpr IID iid = {0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
  // The value of a property (the caller clears `value`). WBEM_E_NOT_FOUND for a
  // property the object does not have; `type` and `flavor` may be null.
  virtual HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) = 0;

 protected:
  ~IWbemClassObject() = default;
};

struct IEnumWbemClassObject : IUnknown {
  static constexpr IID iid = {0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
  // WBEM_E_INVALID_OPERATION on a forward-only enumerator.
  virtual HRESULT Reset() = 0;
  // Up to `count` objects: WBEM_S_NO_ERROR when all were returned, WBEM_S_FALSE when
  // fewer (the end), or a failure. `returned` counts them.
  virtual HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) = 0;

 protected:
  ~IEnumWbemClassObject() = default;
};

struct IWbemServices : IUnknown {
  static constexpr IID iid = {0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
  virtual HRESULT ExecQuery(const BSTR queryLanguage, const BSTR query, LONG flags, IWbemContext* context,
                            IEnumWbemClassObject** enumerator) = 0;

 protected:
  ~IWbemServices() = default;
};

struct IWbemLocator : IUnknown {
  static constexpr IID iid = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
  // Opens a namespace of the local machine ("ROOT\\CIMV2", also "\\\\.\\ROOT\\CIMV2").
  // WBEM_E_INVALID_NAMESPACE for a namespace the machine does not have,
  // WBEM_E_LOCAL_CREDENTIALS when a user or password is given.
  virtual HRESULT ConnectServer(const BSTR networkResource, const BSTR user, const BSTR password, const BSTR locale,
                                LONG securityFlags, const BSTR authority, IWbemContext* context,
                                IWbemServices** services) = 0;

 protected:
  ~IWbemLocator() = default;
};

inline constexpr CLSID CLSID_WbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
inline constexpr IID IID_IWbemLocator = IWbemLocator::iid;
inline constexpr IID IID_IWbemServices = IWbemServices::iid;
inline constexpr IID IID_IEnumWbemClassObject = IEnumWbemClassObject::iid;
inline constexpr IID IID_IWbemClassObject = IWbemClassObject::iid;
inline constexpr IID IID_IWbemContext = IWbemContext::iid;

namespace wmi {

// How often the current machine's repository was used: Get calls of a property
// (over every object of the class) and ExecQuery calls of a class, faults included.
std::uint64_t PropertyReadCount(std::wstring_view nameSpace, std::wstring_view className, std::wstring_view property);
std::uint64_t QueryCount(std::wstring_view nameSpace, std::wstring_view className);

}  // namespace wmi

}  // namespace platform
