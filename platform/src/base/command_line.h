// Command-line splitting, shared by the service controller (a service's binary path)
// and the process table (a started program's command line).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::base::detail {

// Splits arguments the way the original's command-line parser does: white space
// separates, quotes group, 2n backslashes before a quote become n and the quote
// toggles, 2n+1 become n and a literal quote, "" inside quotes is a literal quote.
std::vector<std::wstring> SplitCommandLineArguments(std::wstring_view text);

}  // namespace platform::base::detail
