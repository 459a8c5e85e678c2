// Hardware nodes of the machine.
#pragma once

namespace Utils {

// For a device instance path such as "ACPI\QVZC000C": 1 a device under it exists and
// has a compatible driver; 0 the device exists without one (or its driver list cannot
// be built); -1 there is no such device.
int IsHardwareNodePresent(const wchar_t* pszEnumerator);

}  // namespace Utils
