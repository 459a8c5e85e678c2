#include "platform/debug.h"

#include <exception>

#include "platform/machine.h"
#include "platform/text.h"

namespace platform {

// Debugger output must never take the program down: a machine that cannot be opened
// or a sink that fails just loses the text, as output with no debugger attached does.
void OutputDebugString(LPCWSTR text) {
  if (text == nullptr) return;
  try {
    CurrentMachine().WriteDebug(text);
  } catch (const std::exception&) {
  }
}

void OutputDebugStringA(LPCSTR text) {
  if (text == nullptr) return;
  try {
    CurrentMachine().WriteDebug(Utf8ToWide(text));
  } catch (const std::exception&) {
  }
}

}  // namespace platform
