// The registry's part of the machine profile: the "registry" section.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace platform::registry::detail {

// Checks the "registry" section: an object of keys, each an object of values with a
// "type" (REG_SZ, REG_EXPAND_SZ or REG_DWORD) and "data" of that type; throws
// MachineError naming `origin` and the value.
void CheckProfile(const nlohmann::json& profile, const std::string& origin);

}  // namespace platform::registry::detail
