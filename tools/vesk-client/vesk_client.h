// vesk-client's verbs as a library: main() hands them its command line and std::cout
// and std::cerr, the tests their own streams on the machine of their fixture.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/cli.h"

namespace tools::vesk_client {

// Exit codes beyond the common ones (0 done, 1 failed, 2 usage).
inline constexpr int kExitNoService = 3;  // nobody serves the endpoint
inline constexpr int kExitRefused = 4;    // the service refused this caller

// Runs one command line (argv without the program name); returns the exit code.
int Run(cli::Args args, std::ostream& out, std::ostream& err);

// The fields of a served record, split on "<.^.>"; nothing for an empty record.
std::vector<std::string> SplitRecord(std::string_view record);

}  // namespace tools::vesk_client
