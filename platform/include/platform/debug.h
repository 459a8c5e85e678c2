// Debugger output. Text passed to OutputDebugString goes to the current machine's
// debug sink: in tests it is captured (platform/testing), on a real run it is appended
// to <root>/debug.log (one line per call), where a developer can follow it with
// `tail -f`. With KORVO_DEBUG_STDERR=1 it is also written to standard error.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

void OutputDebugString(LPCWSTR text);
void OutputDebugStringA(LPCSTR text);

}  // namespace platform
