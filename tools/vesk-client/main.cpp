// vesk-client: reads the machine through the running service (see vesk_client.cpp).
#include <iostream>
#include <string_view>
#include <vector>

#include "tools/vesk-client/vesk_client.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return tools::vesk_client::Run(args, std::cout, std::cerr);
}
