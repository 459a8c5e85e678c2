#include "platform/debug.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

#include "platform/machine.h"
#include "platform/src/machine/profile_sections.h"
#include "platform/text.h"

namespace platform {

namespace {

// While this thread opens the process's first machine (a damaged file found while
// laying the root out, a traced call), there is no machine to take the text yet and
// waiting for one would wait on ourselves: the text goes to stderr when debugger output
// is copied there, and is lost otherwise, as with no debugger attached.
bool NoMachineYet(const std::wstring& text) {
  if (!machine::detail::OpeningCurrentMachine()) return false;
  const char* copy = std::getenv("KORVO_DEBUG_STDERR");
  if (copy != nullptr && std::string_view(copy) == "1") std::fputs(WideToUtf8(text).c_str(), stderr);
  return true;
}

}  // namespace

// Debugger output must never take the program down: a machine that cannot be opened
// or a sink that fails just loses the text, as output with no debugger attached does.
void OutputDebugString(LPCWSTR text) {
  if (text == nullptr || NoMachineYet(text)) return;
  try {
    CurrentMachine().WriteDebug(text);
  } catch (const std::exception&) {
  }
}

void OutputDebugStringA(LPCSTR text) {
  if (text == nullptr || NoMachineYet(Utf8ToWide(text))) return;
  try {
    CurrentMachine().WriteDebug(Utf8ToWide(text));
  } catch (const std::exception&) {
  }
}

}  // namespace platform
