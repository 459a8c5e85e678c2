// The table of resource_strings.cpp, for the resource loader.
#pragma once

#include <span>

namespace app_runtime::detail {

std::span<const char* const> ResourceKeys();

}  // namespace app_runtime::detail
