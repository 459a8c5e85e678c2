// varnel: the service program. Everything it does is VarnelMain's (varnel_main.h);
// this only hands it the command line as wide text and standard output.
#include <iostream>
#include <string>
#include <vector>

#include "platform/text.h"
#include "service/host/varnel_main.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(platform::Utf8ToWide(argv[i]));
  std::vector<wchar_t*> wideArgv;
  for (auto& argument : arguments) wideArgv.push_back(argument.data());
  wideArgv.push_back(nullptr);
  return VarnelMain(argc, wideArgv.data(), std::cout);
}
