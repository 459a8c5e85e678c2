// vesk-sc's verbs as a library: main() hands them its command line and std::cout and
// std::cerr, the tests their own streams on the machine of their fixture.
#pragma once

#include <ostream>

#include "tools/common/cli.h"

namespace tools::vesk_sc {

// Runs one command line (argv without the program name); returns the exit code.
int Run(cli::Args args, std::ostream& out, std::ostream& err);

}  // namespace tools::vesk_sc
