// korvo-companion (see companion.h): main() takes over the end signals, hands the
// command line to the library and, when built with Qt and a display is there, the
// window.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "tools/companion/companion.h"
#ifdef KORVO_COMPANION_WINDOW
#include "tools/companion/window.h"
#endif

namespace {

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  // Taken before anything else, so that an end asked for while starting is not lost.
  platform::UniqueHandle endRequest(platform::CreateEndRequestEvent());
  if (!endRequest) {
    std::cerr << "korvo-companion: cannot watch for the end signals (error " << platform::GetLastError() << ")\n";
    return tools::companion::kExitFailed;
  }
  tools::companion::Options options;
  options.endRequest = endRequest.get();
#ifdef KORVO_COMPANION_WINDOW
  if (DisplayAvailable()) options.window = tools::companion::ShowWindow;
#else
  (void)DisplayAvailable;
#endif
  return tools::companion::Run(args, std::cout, std::cerr, options);
}
