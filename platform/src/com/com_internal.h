// Classes the platform itself provides through CoCreateInstance (the WBEM locator,
// the XML DOM document, ...). Looked up after the classes registered at run time.
#pragma once

#include "platform/com.h"

namespace platform::com::detail {

// Creates an object of a built-in class; REGDB_E_CLASSNOTREG when `clsid` is none.
HRESULT CreateBuiltInObject(REFCLSID clsid, REFIID riid, void** object);

}  // namespace platform::com::detail

namespace platform::wmi::detail {
HRESULT CreateWbemLocator(REFIID riid, void** object);
}  // namespace platform::wmi::detail

namespace platform::xml::detail {
HRESULT CreateDomDocument(REFIID riid, void** object);  // CLSID_DOMDocument30
}  // namespace platform::xml::detail
