// The device nodes a machine profile declares (its "devices" array), checked and
// turned into the records the setup API serves. Shared by the profile check at load
// and by the device area.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/devices.h"
#include "platform/types.h"

namespace platform::devices::detail {

struct DriverRecord {
  std::wstring description;
  std::wstring manufacturer;
  std::wstring provider;
  DWORD type = SPDIT_COMPATDRIVER;
  DWORDLONG version = 0;
  FILETIME date{};
};

// How the driver behind an interface answers a control request (an interface's
// "driver" object of the profile).
struct IoAnswer {
  enum class Kind { kComplete, kPend, kPendForever, kFail };
  Kind kind = Kind::kComplete;
  DWORD ms = 0;                        // kPend: machine-clock time until it completes
  DWORD error = ERROR_GEN_FAILURE;     // kFail
  std::optional<std::uint64_t> count;  // acts on the first `count` requests only
};

struct InterfaceDriver {
  IoAnswer fallback;                 // "default": codes without an answer of their own
  std::map<DWORD, IoAnswer> ioctls;  // control code -> answer
};

struct InterfaceRecord {
  GUID classGuid{};
  std::wstring path;
  std::map<std::string, DWORD> faults;  // call name -> error it fails with
  InterfaceDriver driver;
};

struct DeviceNode {
  std::wstring instanceId;
  bool present = true;
  GUID classGuid{};
  DWORD devInst = 0;  // 1, 2, ... in profile order
  std::vector<InterfaceRecord> interfaces;
  std::vector<DriverRecord> drivers;
  std::map<std::string, DWORD> faults;

  // The error a scripted fault makes `call` fail with, or NO_ERROR.
  DWORD Fault(std::string_view call) const;
};

// The nodes of `profile` (none when it has no "devices" key). Throws MachineError
// naming `origin`, the JSON path of the offending value and what is wrong with it.
std::vector<DeviceNode> ParseDeviceNodes(const nlohmann::json& profile, const std::string& origin);

// The current machine's nodes, parsed from its profile on first use and shared by
// every set made from them. Null with the last error set when they cannot be had.
std::shared_ptr<const std::vector<DeviceNode>> MachineDeviceNodes();

// Checks the "devices" section only; called while a profile is loaded.
void ValidateDevicesProfile(const nlohmann::json& profile, const std::string& origin);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", braces optional, any letter case.
bool ParseGuid(std::string_view text, GUID* out);
// Upper-case, with braces, as the original's registry shows it.
std::wstring GuidToString(const GUID& guid);

// "0x93000010": "0x" and one to eight hex digits, either letter case.
bool ParseControlCode(std::string_view text, DWORD* out);

// "a.b.c.d" with each part 0..65535, packed a first (top word).
bool ParseDriverVersion(std::string_view text, DWORDLONG* out);

}  // namespace platform::devices::detail
