// vesk-machine: the administrator's tool for a machine root (see vesk_machine.cpp).
#include <iostream>
#include <string_view>
#include <vector>

#include "tools/vesk-machine/vesk_machine.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return tools::vesk_machine::Run(args, std::cout, std::cerr);
}
