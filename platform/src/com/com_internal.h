// Classes the platform itself provides through CoCreateInstance: the built-in ones (the
// WBEM locator, the XML DOM document, ...), looked up after the classes registered at
// run time, and the machine's outside components (the firmware command components),
// which join the class registry of each machine before anything else is registered or
// created there.
#pragma once

#include <string_view>

#include "platform/com.h"

namespace platform::com::detail {

// Creates an object of a built-in class; REGDB_E_CLASSNOTREG when `clsid` is none.
HRESULT CreateBuiltInObject(REFCLSID clsid, REFIID riid, void** object);

// Whether the calling thread's active activation context (the top of its stack)
// reaches the assembly `assembly` with a <comClass> of `clsid` (actctx.cpp).
bool ActiveContextHasClass(std::wstring_view assembly, REFCLSID clsid);

}  // namespace platform::com::detail

namespace platform::firmware::detail {
// Registers the components the current machine's profile declares (firmware.cpp).
// Called once per machine by the class registry.
void RegisterComponents();
}  // namespace platform::firmware::detail

namespace platform::wmi::detail {
HRESULT CreateWbemLocator(REFIID riid, void** object);
}  // namespace platform::wmi::detail

namespace platform::xml::detail {
HRESULT CreateDomDocument(REFIID riid, void** object);  // CLSID_DOMDocument30
}  // namespace platform::xml::detail
