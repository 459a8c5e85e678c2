// The "firmware" section of a machine profile and the rules of the settings.

#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/machine.h"
#include "platform/src/com/wmi_internal.h"
#include "platform/src/firmware/firmware_internal.h"

#include "platform/src/base/trace.h"

namespace platform::firmware {
namespace {

enum class Type { Number, Bool, Text };

struct SettingRule {
  const char* name;
  Type type;
};

constexpr SettingRule kSettings[] = {
    {"HotKeys.SingleScanCode", Type::Number}, {"HotKeys.SingleScanCode.Supported", Type::Bool},
    {"Platform.USBC.Supported", Type::Bool},  {"Platform.USBC.Configuration", Type::Text},
    {"PrivacyPanelState", Type::Number},      {"UsbTypeCInfo", Type::Text},
};

const SettingRule* FindRule(std::string_view name) {
  for (const auto& rule : kSettings) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

std::string KnownNames() {
  std::string names;
  for (const auto& rule : kSettings) names += (names.empty() ? "" : ", ") + std::string(rule.name);
  return names;
}

}  // namespace

const std::vector<std::string>& SettingNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const auto& rule : kSettings) out.emplace_back(rule.name);
    return out;
  }();
  return base::detail::Traced<const std::vector<std::string>&>(
      base::detail::kTraceCom, "firmware::SettingNames", [&]() -> const std::vector<std::string>& { return names; });
}

bool CheckSetting(std::string_view name, const nlohmann::json& value, std::string* error) {
  return base::detail::Traced<bool>(base::detail::kTraceCom, "firmware::CheckSetting",
                                    [&]() -> bool { return detail::CheckSettingValue(name, value, error); });
}

namespace detail {

bool CheckSettingValue(std::string_view name, const nlohmann::json& value, std::string* error) {
  auto refuse = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  const SettingRule* rule = FindRule(name);
  if (rule == nullptr) return refuse("\"" + std::string(name) + "\" is not a firmware setting (" + KnownNames() + ")");
  switch (rule->type) {
    case Type::Number: {
      // Integers only: 110.0 from a hand-written file is as wrong as "110".
      const bool fits = value.is_number_unsigned() ? value.get<std::uint64_t>() <= 0xFFFFFFFFu
                                                   : value.is_number_integer() && value.get<std::int64_t>() >= 0 &&
                                                         value.get<std::int64_t>() <= 0xFFFFFFFFll;
      if (!fits) return refuse(std::string(name) + " must be a number from 0 to 4294967295, not " + value.dump());
      return true;
    }
    case Type::Bool:
      if (!value.is_boolean()) return refuse(std::string(name) + " must be true or false, not " + value.dump());
      return true;
    case Type::Text:
      if (!value.is_string()) return refuse(std::string(name) + " must be a string, not " + value.dump());
      return true;
  }
  return false;
}

namespace {

constexpr const char* kModernMethods[] = {
    "GetSdkVersion",        "GetSingleScanCodeSupported", "GetUsbTypeCSupported",
    "GetSingleScanCode",    "SetSingleScanCode",          "GetFnLockState",
    "GetPrivacyPanelState", "GetCameraShutterState",      "GetBatteryConservationMode",
    "GetUsbTypeCInfo",
};

[[noreturn]] void Fail(const std::string& origin, const std::string& path, const std::string& problem) {
  throw MachineError(origin + ": " + path + ": " + problem);
}

// The fault vocabulary of the wmi section, with the kinds a firmware call knows.
// `kinds` lists those allowed where the fault sits.
Fault ParseFault(const nlohmann::json& v, const std::string& origin, const std::string& path,
                 std::initializer_list<std::pair<const char*, Fault::Kind>> kinds, HRESULT defaultHr) {
  if (!v.is_object()) Fail(origin, path, "a fault must be an object with \"kind\"");
  Fault fault;
  fault.key = path;
  fault.hr = defaultHr;
  const auto kind = v.contains("kind") && v["kind"].is_string() ? v["kind"].get<std::string>() : std::string();
  std::string names;
  bool found = false;
  for (const auto& [name, k] : kinds) {
    names += (names.empty() ? "" : ", ") + std::string(name);
    if (kind == name) {
      fault.kind = k;
      found = true;
    }
  }
  if (!found) Fail(origin, path + ".kind", "must be one of " + names);
  for (const auto& [key, value] : v.items()) {
    if (key == "kind") continue;
    if (key == "hr") {
      fault.hr = wmi::detail::ParseHr(value, origin, path + ".hr");
    } else if (key == "count") {
      if (!value.is_number_unsigned()) Fail(origin, path + ".count", "must be a number of uses, 0 or more");
      fault.count = value.get<std::uint64_t>();
    } else if (key == "ms" && fault.kind == Fault::Kind::Slow) {
      if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFFFFFFu) {
        Fail(origin, path + ".ms", "must be a number of milliseconds from 0 to 4294967295");
      }
      fault.ms = value.get<DWORD>();
    } else {
      Fail(origin, path + "." + key,
           fault.kind == Fault::Kind::Slow ? "is not a fault setting (kind, hr, count, ms)"
                                           : "is not a fault setting (kind, hr, count; ms only with slow)");
    }
  }
  if (fault.kind == Fault::Kind::Slow && !v.contains("ms")) Fail(origin, path + ".ms", "is missing");
  return fault;
}

bool ParseBool(const nlohmann::json& v, const std::string& origin, const std::string& path) {
  if (!v.is_boolean()) Fail(origin, path, "must be true or false");
  return v.get<bool>();
}

ComponentConfig ParseComponent(const nlohmann::json& v, bool modern, const std::string& origin,
                               const std::string& path) {
  if (!v.is_object()) Fail(origin, path, "must be an object");
  ComponentConfig component;
  component.sideBySide = modern;
  for (const auto& [key, value] : v.items()) {
    const std::string itemPath = path + "." + key;
    if (key == "present") {
      component.present = ParseBool(value, origin, itemPath);
    } else if (key == "createFault") {
      component.createFault = ParseFault(value, origin, itemPath, {{"fail", Fault::Kind::Fail}}, REGDB_E_CLASSNOTREG);
    } else if (key == "registration" && modern) {
      const auto text = value.is_string() ? value.get<std::string>() : std::string();
      if (text != "sideBySide" && text != "global") Fail(origin, itemPath, "must be \"sideBySide\" or \"global\"");
      component.sideBySide = text == "sideBySide";
    } else {
      Fail(origin, itemPath,
           modern ? "is not a component setting (present, registration, createFault)"
                  : "is not a component setting (present, createFault)");
    }
  }
  return component;
}

// "Get", "Set", "Get <command>" or "Set <command>".
bool IsLegacyCall(const std::string& call) {
  for (std::string_view verb : {"Get", "Set"}) {
    if (call == verb) return true;
    if (call.size() > verb.size() + 1 && call.compare(0, verb.size(), verb) == 0 && call[verb.size()] == ' ' &&
        call[verb.size() + 1] != ' ') {
      return true;
    }
  }
  return false;
}

bool IsModernCall(const std::string& call) {
  for (const char* method : kModernMethods) {
    if (call == method) return true;
  }
  return false;
}

CallFault ParseCallFault(const nlohmann::json& v, const std::string& origin, const std::string& path) {
  if (!v.is_object()) Fail(origin, path, "must be an object with component, call and fault");
  CallFault entry;
  std::string component;
  const nlohmann::json* fault = nullptr;
  for (const auto& [key, value] : v.items()) {
    const std::string itemPath = path + "." + key;
    if (key == "component") {
      component = value.is_string() ? value.get<std::string>() : std::string();
      if (component != "legacy" && component != "modern") Fail(origin, itemPath, "must be \"legacy\" or \"modern\"");
    } else if (key == "call") {
      if (!value.is_string()) Fail(origin, itemPath, "must be a string");
      entry.call = value.get<std::string>();
    } else if (key == "fault") {
      fault = &value;
    } else {
      Fail(origin, itemPath, "is not a fault entry setting (component, call, fault)");
    }
  }
  if (component.empty()) Fail(origin, path + ".component", "is missing");
  entry.modern = component == "modern";
  if (entry.call.empty()) Fail(origin, path + ".call", "is missing");
  if (entry.modern && !IsModernCall(entry.call)) {
    std::string names;
    for (const char* method : kModernMethods) names += (names.empty() ? "" : ", ") + std::string(method);
    Fail(origin, path + ".call", "\"" + entry.call + "\" is not a method of the modern component (" + names + ")");
  }
  if (!entry.modern && !IsLegacyCall(entry.call)) {
    Fail(origin, path + ".call",
         "\"" + entry.call +
             "\" is not a call of the legacy component (Get, Set, \"Get <command>\", \"Set <command>\")");
  }
  if (fault == nullptr) Fail(origin, path + ".fault", "is missing");
  entry.fault = ParseFault(*fault, origin, path + ".fault",
                           {{"fail", Fault::Kind::Fail},
                            {"throw", Fault::Kind::Throw},
                            {"zeroFlag", Fault::Kind::ZeroFlag},
                            {"slow", Fault::Kind::Slow}},
                           E_FAIL);
  if (entry.fault.kind == Fault::Kind::ZeroFlag && !(entry.modern && entry.call == "SetSingleScanCode")) {
    Fail(origin, path + ".fault.kind", "zeroFlag acts on the modern component's SetSingleScanCode only");
  }
  return entry;
}

}  // namespace

Config ParseConfig(const nlohmann::json& firmware, const std::string& origin) {
  Config config;
  config.modern.sideBySide = true;
  if (firmware.is_null()) return config;
  const std::string root = "firmware";
  if (!firmware.is_object()) Fail(origin, root, "must be an object");
  for (const auto& [key, value] : firmware.items()) {
    const std::string path = root + "." + key;
    if (key == "legacy") {
      config.legacy = ParseComponent(value, false, origin, path);
    } else if (key == "modern") {
      config.modern = ParseComponent(value, true, origin, path);
    } else if (key == "settings") {
      if (!value.is_object()) Fail(origin, path, "must be an object of setting names and values");
      for (const auto& [name, setting] : value.items()) {
        std::string why;
        if (!CheckSettingValue(name, setting, &why)) Fail(origin, path + "[" + nlohmann::json(name).dump() + "]", why);
        config.settings[name] = setting;
      }
    } else if (key == "faults") {
      if (!value.is_array()) Fail(origin, path, "must be a list");
      for (std::size_t i = 0; i < value.size(); ++i) {
        config.faults.push_back(ParseCallFault(value[i], origin, path + "[" + std::to_string(i) + "]"));
      }
    } else {
      Fail(origin, path, "is not a firmware setting (legacy, modern, settings, faults)");
    }
  }
  return config;
}

void ValidateProfile(const nlohmann::json& profile, const std::string& origin) {
  if (profile.contains("firmware")) (void)ParseConfig(profile["firmware"], origin);
}

}  // namespace detail
}  // namespace platform::firmware
