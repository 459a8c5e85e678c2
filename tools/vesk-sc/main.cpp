// vesk-sc: the machine's service controller on the command line (see vesk_sc.cpp).
#include <iostream>
#include <string_view>
#include <vector>

#include "tools/vesk-sc/vesk_sc.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return tools::vesk_sc::Run(args, std::cout, std::cerr);
}
