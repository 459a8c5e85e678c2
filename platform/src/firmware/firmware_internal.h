// The "firmware" section of a machine profile: which components exist and how they are
// registered, the settings they answer from, and the faults scripted on their calls.
// Shared by the profile check at load, the components and their tests.
//
// The components get an area of their own rather than a corner of com: they are
// outside components that the machine answers from its profile, like the device
// requests, and only use COM's public face (ComObject, the class registry).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/firmware.h"

namespace platform::firmware::detail {

inline constexpr const char* kLegacyTarget = "VantorCommand";
inline constexpr const char* kModernTarget = "MeridSdkVantorCommand";
// The side-by-side assembly that makes the modern component creatable.
inline constexpr const wchar_t* kModernAssembly = L"KorvoMeridManager";

struct Fault {
  enum class Kind { Fail, Throw, ZeroFlag, Slow };
  Kind kind = Kind::Fail;
  HRESULT hr = E_FAIL;
  std::optional<std::uint64_t> count;  // none: every use
  DWORD ms = 0;                        // Slow: how long the call takes
  std::string key;                     // the JSON path, which also names its counter
};

struct ComponentConfig {
  bool present = false;
  bool sideBySide = false;  // the modern one only
  std::optional<Fault> createFault;
};

struct CallFault {
  bool modern = false;
  // The modern method's name; for the legacy component "Get" or "Set" (every command)
  // or "Get <command>" / "Set <command>".
  std::string call;
  Fault fault;
};

struct Config {
  ComponentConfig legacy;
  ComponentConfig modern;
  nlohmann::json settings = nlohmann::json::object();  // names and types checked
  std::vector<CallFault> faults;
};

// Reads the "firmware" section (null: no component, no settings). Throws MachineError
// naming `origin` and the JSON path of the first problem.
Config ParseConfig(const nlohmann::json& firmware, const std::string& origin);

// CheckSetting without the trace (the profile check and the store's reader use it).
bool CheckSettingValue(std::string_view name, const nlohmann::json& value, std::string* error);

// Checks the "firmware" section of a profile; called while a profile is loaded.
void ValidateProfile(const nlohmann::json& profile, const std::string& origin);

}  // namespace platform::firmware::detail
