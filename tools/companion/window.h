// The companion's window (built only when Qt 6 Widgets is there).
#pragma once

#include <nlohmann/json.hpp>

#include "platform/types.h"

namespace tools::companion {

// Shows what the program stands for until the window is closed or `endRequest` is
// signalled; returns the exit code.
int ShowWindow(const nlohmann::ordered_json& record, platform::HANDLE endRequest);

}  // namespace tools::companion
