// Tracing of platform calls: KORVO_TRACE=scm,reg,rpc,... (or all) writes every call of
// the named areas, with its result and the thread's last error, to the machine's debug
// output. It is how to see what the system asks of its platform when a test or a
// user's machine misbehaves. Off by default; when off, a call pays one load and one
// branch.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include <fmt/format.h>

#include "platform/types.h"

namespace platform::base::detail {

enum TraceArea : std::uint32_t {
  kTraceScm = 1u << 0,
  kTraceReg = 1u << 1,
  kTraceRpc = 1u << 2,
  kTraceEventlog = 1u << 3,
  kTraceSessions = 1u << 4,
  kTraceSync = 1u << 5,
  kTraceFs = 1u << 6,
  kTraceCom = 1u << 7,
  kTraceDevices = 1u << 8,
  kTraceVersion = 1u << 9,
  kTraceSecurity = 1u << 10,
};

// The areas KORVO_TRACE names ("scm,reg", "all"); read once per process. Unknown
// names are said once in the debug output and ignored.
std::uint32_t ParseTraceAreas(const char* text, std::string* unknown);
std::uint32_t TraceMask();

// Writes one line: "trace <area> <call> -> <result> (last error <n>)".
void WriteTrace(std::uint32_t area, const char* call, const std::string& result, DWORD lastError);

// Whether this thread is writing a trace line already: what the debug output itself
// calls is not traced.
bool& InsideTrace();

template <class T>
std::string TraceResult(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
    const auto v = static_cast<long long>(value);
    return v < 0 || v > 9 ? fmt::format("{} (0x{:X})", v, static_cast<unsigned long long>(v) & 0xFFFFFFFFull)
                          : fmt::format("{}", v);
  } else if constexpr (std::is_pointer_v<T>) {
    return value == nullptr ? "null" : fmt::format("{}", static_cast<const void*>(value));
  } else {
    return "done";
  }
}

// Runs the body of the call `name` of `area` and traces it when the area is traced.
template <class R, class Body>
R Traced(std::uint32_t area, const char* name, Body&& body) {
  if ((TraceMask() & area) == 0 || InsideTrace()) return body();
  if constexpr (std::is_void_v<R>) {
    body();
    const DWORD error = GetLastError();
    WriteTrace(area, name, "done", error);
    SetLastError(error);
  } else {
    R result = body();
    const DWORD error = GetLastError();
    WriteTrace(area, name, TraceResult(result), error);
    SetLastError(error);
    return result;
  }
}

}  // namespace platform::base::detail
