#include "platform/devices.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/machine.h"
#include "platform/src/base/handles.h"
#include "platform/src/base/trace.h"
#include "platform/src/devices/devices_profile.h"
#include "platform/text.h"

namespace platform {
namespace devices::detail {
namespace {

struct DeviceTree {
  std::once_flag once;
  std::shared_ptr<const std::vector<DeviceNode>> nodes;
  DWORD error = NO_ERROR;
};

}  // namespace

std::shared_ptr<const std::vector<DeviceNode>> MachineDeviceNodes() {
  Machine& machine = CurrentMachine();
  DeviceTree& tree = machine.State<DeviceTree>();
  std::call_once(tree.once, [&] {
    try {
      tree.nodes =
          std::make_shared<const std::vector<DeviceNode>>(ParseDeviceNodes(machine.Profile(), "machine profile"));
    } catch (const std::exception&) {
      tree.error = ERROR_INVALID_DATA;  // checked at load, so only a profile changed behind our back
    }
  });
  if (tree.error != NO_ERROR) SetLastError(tree.error);
  return tree.nodes;
}

}  // namespace devices::detail

namespace {

using devices::detail::DeviceNode;
using devices::detail::DriverRecord;

using NodeList = std::vector<DeviceNode>;

// Where a caller's SP_DEVINFO_DATA / SP_DEVICE_INTERFACE_DATA points: the set's serial
// in the top half of Reserved, so data of another set is told apart.
std::atomic<std::uint32_t> g_nextSerial{1};

struct DriverList {
  bool built = false;
  std::vector<DriverRecord> drivers;
};

class DeviceInfoSet : public base::detail::KernelObject {
 public:
  std::mutex lock;
  std::uint32_t serial = g_nextSerial.fetch_add(1);
  std::shared_ptr<const NodeList> tree;
  std::vector<const DeviceNode*> devices;  // point into *tree
  std::vector<DriverList> compatDrivers;   // one per device

  ULONG_PTR DeviceToken(std::size_t index) const { return (ULONG_PTR{serial} << 32) | (index + 1); }
  ULONG_PTR InterfaceToken(std::size_t device, std::size_t iface) const {
    return (ULONG_PTR{serial} << 32) | (device << 16) | (iface + 1);
  }
};

std::shared_ptr<DeviceInfoSet> SetFromHandle(HDEVINFO handle) {
  auto set = handle == nullptr || handle == INVALID_HANDLE_VALUE ? nullptr
                                                                 : base::detail::LookupHandleAs<DeviceInfoSet>(handle);
  if (!set) SetLastError(ERROR_INVALID_HANDLE);
  return set;
}

// Does `enumerator` name `id` or one of its ancestors ("ACPI", "ACPI\QVZC000C")?
bool EnumeratorMatches(const std::wstring& enumerator, const std::wstring& id) {
  if (enumerator.size() > id.size()) return false;
  if (!EqualsNoCase(std::wstring_view(id).substr(0, enumerator.size()), enumerator)) return false;
  return enumerator.size() == id.size() || id[enumerator.size()] == L'\\';
}

// The device index an SP_DEVINFO_DATA of this set refers to, or -1 with the error set.
long DeviceIndex(const DeviceInfoSet& set, const SP_DEVINFO_DATA* data) {
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return -1;
  }
  const ULONG_PTR token = data->Reserved;
  const std::size_t index = static_cast<std::size_t>(token & 0xFFFFFFFFu);
  if ((token >> 32) != set.serial || index == 0 || index > set.devices.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  return static_cast<long>(index - 1);
}

void FillDeviceData(const DeviceInfoSet& set, std::size_t index, SP_DEVINFO_DATA* data) {
  data->ClassGuid = set.devices[index]->classGuid;
  data->DevInst = set.devices[index]->devInst;
  data->Reserved = set.DeviceToken(index);
}

void CopyText(WCHAR (&to)[LINE_LEN], const std::wstring& from) {
  const std::size_t n = std::min<std::size_t>(from.size(), LINE_LEN - 1);
  std::wmemcpy(to, from.data(), n);
  to[n] = L'\0';
}

}  // namespace

HDEVINFO SetupDiGetClassDevs(const GUID* classGuid, LPCWSTR enumerator, HWND /*hwndParent*/, DWORD flags) {
  return base::detail::Traced<HDEVINFO>(base::detail::kTraceDevices, "SetupDiGetClassDevs", [&]() -> HDEVINFO {
    constexpr DWORD kKnownFlags =
        DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
    if ((flags & ~kKnownFlags) != 0) {
      SetLastError(ERROR_INVALID_FLAGS);
      return INVALID_HANDLE_VALUE;
    }
    const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
    const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
    if (classGuid == nullptr && !allClasses) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<const NodeList> tree;
    try {
      tree = devices::detail::MachineDeviceNodes();
    } catch (const MachineError&) {
      SetLastError(ERROR_INVALID_DATA);
      return INVALID_HANDLE_VALUE;
    }
    if (!tree) return INVALID_HANDLE_VALUE;

    const std::wstring filter = enumerator == nullptr ? std::wstring() : std::wstring(enumerator);
    if (!filter.empty()) {
      bool known = false;
      for (const auto& node : *tree) known = known || EnumeratorMatches(filter, node.instanceId);
      if (!known) {
        SetLastError(ERROR_INVALID_DATA);
        return INVALID_HANDLE_VALUE;
      }
    }

    auto set = std::make_shared<DeviceInfoSet>();
    set->tree = tree;
    for (const auto& node : *tree) {
      if (!filter.empty() && !EnumeratorMatches(filter, node.instanceId)) continue;
      if ((flags & DIGCF_PRESENT) && !node.present) continue;
      if (interfaces) {
        bool exposes = false;
        for (const auto& iface : node.interfaces) exposes = exposes || allClasses || iface.classGuid == *classGuid;
        if (!exposes) continue;
      } else if (!allClasses && !(node.classGuid == *classGuid)) {
        continue;
      }
      set->devices.push_back(&node);
    }
    set->compatDrivers.resize(set->devices.size());
    return base::detail::InsertHandle(std::move(set));
  });
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
  return base::detail::Traced<BOOL>(base::detail::kTraceDevices, "SetupDiDestroyDeviceInfoList", [&]() -> BOOL {
    if (!SetFromHandle(deviceInfoSet)) return FALSE;
    base::detail::RemoveHandle(deviceInfoSet);
    return TRUE;
  });
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex, SP_DEVINFO_DATA* deviceInfoData) {
  return base::detail::Traced<BOOL>(base::detail::kTraceDevices, "SetupDiEnumDeviceInfo", [&]() -> BOOL {
    auto set = SetFromHandle(deviceInfoSet);
    if (!set) return FALSE;
    if (deviceInfoData == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    std::lock_guard guard(set->lock);
    if (memberIndex >= set->devices.size()) {
      SetLastError(ERROR_NO_MORE_ITEMS);
      return FALSE;
    }
    FillDeviceData(*set, memberIndex, deviceInfoData);
    return TRUE;
  });
}

BOOL SetupDiGetDeviceInstanceId(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA* deviceInfoData, LPWSTR deviceInstanceId,
                                DWORD deviceInstanceIdSize, DWORD* requiredSize) {
  return base::detail::Traced<BOOL>(base::detail::kTraceDevices, "SetupDiGetDeviceInstanceId", [&]() -> BOOL {
    auto set = SetFromHandle(deviceInfoSet);
    if (!set) return FALSE;
    std::lock_guard guard(set->lock);
    const long index = DeviceIndex(*set, deviceInfoData);
    if (index < 0) return FALSE;
    if (deviceInstanceId == nullptr && deviceInstanceIdSize != 0) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    const std::wstring& id = set->devices[static_cast<std::size_t>(index)]->instanceId;
    const DWORD needed = static_cast<DWORD>(id.size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (deviceInstanceIdSize < needed) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::wmemcpy(deviceInstanceId, id.c_str(), needed);
    return TRUE;
  });
}

BOOL SetupDiBuildDriverInfoList(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData, DWORD driverType) {
  return base::detail::Traced<BOOL>(base::detail::kTraceDevices, "SetupDiBuildDriverInfoList", [&]() -> BOOL {
    auto set = SetFromHandle(deviceInfoSet);
    if (!set) return FALSE;
    if (driverType == SPDIT_CLASSDRIVER) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    if (driverType != SPDIT_COMPATDRIVER) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::lock_guard guard(set->lock);
    const long index = DeviceIndex(*set, deviceInfoData);
    if (index < 0) return FALSE;
    const DeviceNode& node = *set->devices[static_cast<std::size_t>(index)];
    if (DWORD fault = node.Fault("SetupDiBuildDriverInfoList"); fault != NO_ERROR) {
      SetLastError(fault);
      return FALSE;
    }
    // A second build keeps the list that is there, as the original does.
    DriverList& list = set->compatDrivers[static_cast<std::size_t>(index)];
    if (!list.built) {
      list.built = true;
      list.drivers = node.drivers;
    }
    return TRUE;
  });
}

BOOL SetupDiEnumDriverInfo(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData, DWORD driverType, DWORD memberIndex,
                           SP_DRVINFO_DATA* driverInfoData) {
  return base::detail::Traced<BOOL>(base::detail::kTraceDevices, "SetupDiEnumDriverInfo", [&]() -> BOOL {
    auto set = SetFromHandle(deviceInfoSet);
    if (!set) return FALSE;
    if (driverType != SPDIT_COMPATDRIVER && driverType != SPDIT_CLASSDRIVER) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (driverInfoData == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (driverInfoData->cbSize != sizeof(SP_DRVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    std::lock_guard guard(set->lock);
    if (driverType == SPDIT_CLASSDRIVER) {
      // No class list is ever built on this machine.
      SetLastError(ERROR_NO_MORE_ITEMS);
      return FALSE;
    }
    const long index = DeviceIndex(*set, deviceInfoData);
    if (index < 0) return FALSE;
    const DeviceNode& node = *set->devices[static_cast<std::size_t>(index)];
    const DriverList& list = set->compatDrivers[static_cast<std::size_t>(index)];
    if (list.built) {
      if (DWORD fault = node.Fault("SetupDiEnumDriverInfo"); fault != NO_ERROR) {
        SetLastError(fault);
        return FALSE;
      }
    }
    if (!list.built || memberIndex >= list.drivers.size()) {
      SetLastError(ERROR_NO_MORE_ITEMS);
      return FALSE;
    }
    const DriverRecord& driver = list.drivers[memberIndex];
    driverInfoData->DriverType = driver.type;
    driverInfoData->Reserved = set->DeviceToken(static_cast<std::size_t>(index));
    CopyText(driverInfoData->Description, driver.description);
    CopyText(driverInfoData->MfgName, driver.manufacturer);
    CopyText(driverInfoData->ProviderName, driver.provider);
    driverInfoData->DriverDate = driver.date;
    driverInfoData->DriverVersion = driver.version;
    return TRUE;
  });
}

BOOL SetupDiDestroyDriverInfoList(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData, DWORD driverType) {
  return base::detail::Traced<BOOL>(base::detail::kTraceDevices, "SetupDiDestroyDriverInfoList", [&]() -> BOOL {
    auto set = SetFromHandle(deviceInfoSet);
    if (!set) return FALSE;
    if (driverType != SPDIT_COMPATDRIVER && driverType != SPDIT_CLASSDRIVER) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::lock_guard guard(set->lock);
    if (driverType == SPDIT_CLASSDRIVER) return TRUE;  // nothing was built
    const long index = DeviceIndex(*set, deviceInfoData);
    if (index < 0) return FALSE;
    set->compatDrivers[static_cast<std::size_t>(index)] = DriverList{};
    return TRUE;
  });
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData,
                                 const GUID* interfaceClassGuid, DWORD memberIndex,
                                 SP_DEVICE_INTERFACE_DATA* deviceInterfaceData) {
  return base::detail::Traced<BOOL>(base::detail::kTraceDevices, "SetupDiEnumDeviceInterfaces", [&]() -> BOOL {
    auto set = SetFromHandle(deviceInfoSet);
    if (!set) return FALSE;
    if (interfaceClassGuid == nullptr || deviceInterfaceData == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    std::lock_guard guard(set->lock);
    std::size_t first = 0, last = set->devices.size();
    if (deviceInfoData != nullptr) {
      const long index = DeviceIndex(*set, deviceInfoData);
      if (index < 0) return FALSE;
      first = static_cast<std::size_t>(index);
      last = first + 1;
    }
    DWORD seen = 0;
    for (std::size_t d = first; d < last; ++d) {
      const DeviceNode& node = *set->devices[d];
      for (std::size_t i = 0; i < node.interfaces.size(); ++i) {
        if (!(node.interfaces[i].classGuid == *interfaceClassGuid)) continue;
        if (seen++ != memberIndex) continue;
        deviceInterfaceData->InterfaceClassGuid = node.interfaces[i].classGuid;
        deviceInterfaceData->Flags = node.present ? SPINT_ACTIVE : 0;
        deviceInterfaceData->Reserved = set->InterfaceToken(d, i);
        return TRUE;
      }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  });
}

BOOL SetupDiGetDeviceInterfaceDetail(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA* deviceInterfaceData,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA* deviceInterfaceDetailData,
                                     DWORD deviceInterfaceDetailDataSize, DWORD* requiredSize,
                                     SP_DEVINFO_DATA* deviceInfoData) {
  return base::detail::Traced<BOOL>(base::detail::kTraceDevices, "SetupDiGetDeviceInterfaceDetail", [&]() -> BOOL {
    auto set = SetFromHandle(deviceInfoSet);
    if (!set) return FALSE;
    if (deviceInterfaceData == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    std::lock_guard guard(set->lock);
    const ULONG_PTR token = deviceInterfaceData->Reserved;
    const std::size_t device = static_cast<std::size_t>((token >> 16) & 0xFFFF);
    const std::size_t iface = static_cast<std::size_t>(token & 0xFFFF);
    if ((token >> 32) != set->serial || device >= set->devices.size() || iface == 0 ||
        iface > set->devices[device]->interfaces.size()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const auto& record = set->devices[device]->interfaces[iface - 1];
    if (const auto fault = record.faults.find("SetupDiGetDeviceInterfaceDetail"); fault != record.faults.end()) {
      SetLastError(fault->second);
      return FALSE;
    }
    if (deviceInterfaceDetailData == nullptr
            ? deviceInterfaceDetailDataSize != 0
            : deviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    if (deviceInfoData != nullptr && deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA, DevicePath) +
                                            (record.path.size() + 1) * sizeof(WCHAR));
    if (requiredSize != nullptr) *requiredSize = needed;
    if (deviceInterfaceDetailData == nullptr || deviceInterfaceDetailDataSize < needed) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    // DevicePath runs on past the declared array, so copy through the buffer's bytes.
    std::memcpy(
        reinterpret_cast<char*>(deviceInterfaceDetailData) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA, DevicePath),
        record.path.c_str(), (record.path.size() + 1) * sizeof(WCHAR));
    if (deviceInfoData != nullptr) FillDeviceData(*set, device, deviceInfoData);
    return TRUE;
  });
}

}  // namespace platform
