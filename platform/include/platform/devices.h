// The machine's device tree as the setup API shows it: device information sets,
// device nodes, their compatible drivers and their device interfaces.
//
// The nodes come from the machine profile's "devices" array, one object a node:
//
//   {
//     "instanceId": "ACPI\\QVZC000C\\0",              device instance id (required)
//     "present": true,                                 false: a phantom (known, not attached)
//     "classGuid": "{4d36e97d-e325-11ce-bfc1-08002be10318}",   setup class (optional)
//     "interfaces": [                                  device interfaces (optional)
//       {"classGuid": "{...}", "path": "\\\\?\\...",   path defaults to the instance id form
//        "faults": {"SetupDiGetDeviceInterfaceDetail": 87}}
//     ],
//     "drivers": [                                     compatible drivers, best first (optional)
//       {"description": "...", "manufacturer": "...", "provider": "...",
//        "type": 2, "version": "1.0.12.3", "date": "2023-05-17"}
//     ],
//     "faults": {"SetupDiBuildDriverInfoList": 5, "SetupDiEnumDriverInfo": 13}
//   }
//
// A "faults" entry makes that call fail for the node (or interface) with the given
// Win32 error code, so the callers' failure paths can be exercised.
//
// An enumerator passed to SetupDiGetClassDevs is matched against instance ids without
// regard to case, at a "\" boundary: "ACPI" and "ACPI\QVZC000C" both find
// "ACPI\QVZC000C\0", "ACPI\QVZC000" does not. An enumerator that names no node of
// the machine fails the call with ERROR_INVALID_DATA, as an unknown enumerator does on
// the original; a known one whose nodes are all filtered out gives an empty set.
//
// A set is a snapshot: it keeps the nodes as they were when it was made. Sets live in
// the process's handle table; only SetupDiDestroyDeviceInfoList closes one.
//
// Device I/O: CreateFile opens a present device interface's path (never a file), and
// DeviceIoControl sends it control requests that the device's driver answers from the
// profile (the interface's "driver" object, machines/README.md): at once, pending then
// completed after a delay of machine-clock time, pending for ever, or failing with a
// code. A device is opened without sharing: a second CreateFile of the path fails with
// ERROR_SHARING_VIOLATION while the first handle is open. The exclusion is in-process
// only (each process of a root keeps its own open devices). Every CreateFile,
// DeviceIoControl, GetOverlappedResult and device CloseHandle is journalled (journal.h).
#pragma once

#include <cstdint>

#include "platform/security.h"  // GENERIC_READ, GENERIC_WRITE, SECURITY_ATTRIBUTES
#include "platform/types.h"

namespace platform {

using HDEVINFO = void*;
using HWND = void*;
using ULONG_PTR = std::uintptr_t;
using DWORDLONG = std::uint64_t;

inline constexpr DWORD ERROR_GEN_FAILURE = 31;  // what a device's driver fails with by default
inline constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;

// SetupDiGetClassDevs flags.
inline constexpr DWORD DIGCF_DEFAULT = 0x00000001;
inline constexpr DWORD DIGCF_PRESENT = 0x00000002;
inline constexpr DWORD DIGCF_ALLCLASSES = 0x00000004;
inline constexpr DWORD DIGCF_PROFILE = 0x00000008;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x00000010;

// Driver list types.
inline constexpr DWORD SPDIT_NODRIVER = 0x00000000;
inline constexpr DWORD SPDIT_CLASSDRIVER = 0x00000001;
inline constexpr DWORD SPDIT_COMPATDRIVER = 0x00000002;

// SP_DEVICE_INTERFACE_DATA flags.
inline constexpr DWORD SPINT_ACTIVE = 0x00000001;
inline constexpr DWORD SPINT_DEFAULT = 0x00000002;
inline constexpr DWORD SPINT_REMOVED = 0x00000004;

inline constexpr DWORD LINE_LEN = 256;

struct SP_DEVINFO_DATA {
  DWORD cbSize;  // sizeof(SP_DEVINFO_DATA)
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;  // sizeof(SP_DEVICE_INTERFACE_DATA)
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};

// Variable length: DevicePath runs on past the structure. cbSize is the size of the
// fixed structure, the buffer's size is passed separately.
struct SP_DEVICE_INTERFACE_DETAIL_DATA {
  DWORD cbSize;  // sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA)
  WCHAR DevicePath[1];
};

struct SP_DRVINFO_DATA {
  DWORD cbSize;  // sizeof(SP_DRVINFO_DATA)
  DWORD DriverType;
  ULONG_PTR Reserved;
  WCHAR Description[LINE_LEN];
  WCHAR MfgName[LINE_LEN];
  WCHAR ProviderName[LINE_LEN];
  FILETIME DriverDate;
  DWORDLONG DriverVersion;  // a.b.c.d as four 16-bit parts, a in the top word
};

// Devices of the machine. `classGuid` is a setup class, ignored with DIGCF_ALLCLASSES;
// with DIGCF_DEVICEINTERFACE it is a device interface class and the set holds the
// devices that expose it (all devices with an interface when DIGCF_ALLCLASSES is set
// too). DIGCF_PRESENT leaves out phantom devices and, for interfaces, removed ones.
// INVALID_HANDLE_VALUE on failure: ERROR_INVALID_PARAMETER without a class and without
// DIGCF_ALLCLASSES, ERROR_INVALID_FLAGS for unknown flags, ERROR_INVALID_DATA for an
// enumerator that names no device.
HDEVINFO SetupDiGetClassDevs(const GUID* classGuid, LPCWSTR enumerator, HWND hwndParent, DWORD flags);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet);

// The set's devices in the profile's order; ERROR_NO_MORE_ITEMS past the last one.
BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex, SP_DEVINFO_DATA* deviceInfoData);
// Two-call protocol: ERROR_INSUFFICIENT_BUFFER with *requiredSize (characters,
// terminator included) when the buffer is null or too small.
BOOL SetupDiGetDeviceInstanceId(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA* deviceInfoData, LPWSTR deviceInstanceId,
                                DWORD deviceInstanceIdSize, DWORD* requiredSize);

// Compatible drivers of one device (SPDIT_COMPATDRIVER; class driver lists are not
// kept by this machine and fail with ERROR_NOT_SUPPORTED). Enumerating a list that
// was not built, or past its end, fails with ERROR_NO_MORE_ITEMS.
BOOL SetupDiBuildDriverInfoList(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData, DWORD driverType);
BOOL SetupDiEnumDriverInfo(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData, DWORD driverType, DWORD memberIndex,
                           SP_DRVINFO_DATA* driverInfoData);
BOOL SetupDiDestroyDriverInfoList(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData, DWORD driverType);

// Interfaces of class `interfaceClassGuid` of the set's devices (of one device when
// deviceInfoData is given), in device order.
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData,
                                 const GUID* interfaceClassGuid, DWORD memberIndex,
                                 SP_DEVICE_INTERFACE_DATA* deviceInterfaceData);
// Two-call protocol: with no buffer (size 0) or one that is too small it fails with
// ERROR_INSUFFICIENT_BUFFER and sets *requiredSize in bytes; a buffer whose cbSize is
// not sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA) fails with ERROR_INVALID_USER_BUFFER.
// deviceInfoData, when given, receives the device that owns the interface.
BOOL SetupDiGetDeviceInterfaceDetail(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA* deviceInterfaceData,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA* deviceInterfaceDetailData,
                                     DWORD deviceInterfaceDetailDataSize, DWORD* requiredSize,
                                     SP_DEVINFO_DATA* deviceInfoData);

// --- Device I/O ------------------------------------------------------------------------

inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
inline constexpr DWORD METHOD_BUFFERED = 0;
inline constexpr DWORD FILE_ANY_ACCESS = 0;

constexpr DWORD CTL_CODE(DWORD deviceType, DWORD function, DWORD method, DWORD access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

struct OVERLAPPED {
  ULONG_PTR Internal;      // the request's status while it runs and after
  ULONG_PTR InternalHigh;  // bytes transferred
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;  // reset when the request starts, set when it completes
};
using LPOVERLAPPED = OVERLAPPED*;

// Opens a device interface path (letter case aside). INVALID_HANDLE_VALUE on failure:
// ERROR_FILE_NOT_FOUND for a path of no present interface, ERROR_SHARING_VIOLATION while
// the device is open, ERROR_INVALID_PARAMETER for a disposition other than
// OPEN_EXISTING. Access and share mode are not checked; FILE_FLAG_OVERLAPPED makes the
// handle overlapped. CloseHandle closes it, cancels its pending requests (their status
// becomes ERROR_OPERATION_ABORTED and their events are set) and frees the device.
HANDLE CreateFile(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES securityAttributes,
                  DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);

// Sends a control request. Without FILE_FLAG_OVERLAPPED on the handle the call waits
// for the answer (an OVERLAPPED passed is ignored; bytesReturned is required). With it
// (the OVERLAPPED is required), the OVERLAPPED's event is reset first; a request the
// driver completes at once returns TRUE and sets the event; one it keeps returns FALSE
// with ERROR_IO_PENDING, and its completion sets the event. A request the driver fails
// returns FALSE with the driver's code. The status lives in OVERLAPPED::Internal
// (STATUS_PENDING 0x103 while pending), which the caller must keep until the request
// completed or its handle was closed. Drivers return no output: bytes are always 0.
// ERROR_INVALID_PARAMETER for a buffer pointer missing for a non-zero size.
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, DWORD* bytesReturned, LPOVERLAPPED overlapped);

// The result of an overlapped request, from its OVERLAPPED: waits for it when `wait` is
// TRUE (on the machine clock; a CloseHandle of the device from another thread ends the
// wait with ERROR_OPERATION_ABORTED), else fails with ERROR_IO_INCOMPLETE while it is
// still pending. FALSE with the request's error when it failed or was cancelled.
BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped, DWORD* bytesTransferred, BOOL wait);

}  // namespace platform
