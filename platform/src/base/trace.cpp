#include "platform/src/base/trace.h"

#include <cstdlib>
#include <string_view>

#include "platform/debug.h"

namespace platform::base::detail {
namespace {

constexpr struct {
  std::string_view name;
  std::uint32_t area;
} kAreas[] = {
    {"scm", kTraceScm},
    {"reg", kTraceReg},
    {"rpc", kTraceRpc},
    {"eventlog", kTraceEventlog},
    {"sessions", kTraceSessions},
    {"sync", kTraceSync},
    {"fs", kTraceFs},
    {"com", kTraceCom},
    {"devices", kTraceDevices},
    {"version", kTraceVersion},
    {"security", kTraceSecurity},
};

std::string_view AreaName(std::uint32_t area) {
  for (const auto& a : kAreas) {
    if (a.area == area) return a.name;
  }
  return "?";
}

}  // namespace

std::uint32_t ParseTraceAreas(const char* text, std::string* unknown) {
  std::uint32_t mask = 0;
  if (text == nullptr) return 0;
  std::string_view rest(text);
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    std::string_view word = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
    while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
    if (word.empty()) continue;
    if (word == "all") {
      for (const auto& a : kAreas) mask |= a.area;
      continue;
    }
    bool known = false;
    for (const auto& a : kAreas) {
      if (a.name == word) {
        mask |= a.area;
        known = true;
      }
    }
    if (!known && unknown != nullptr) {
      if (!unknown->empty()) unknown->push_back(',');
      unknown->append(word);
    }
  }
  return mask;
}

std::uint32_t TraceMask() {
  static const std::uint32_t mask = [] {
    std::string unknown;
    const std::uint32_t m = ParseTraceAreas(std::getenv("KORVO_TRACE"), &unknown);
    if (!unknown.empty()) {
      InsideTrace() = true;
      OutputDebugStringA(("KORVO_TRACE: unknown areas ignored: " + unknown + "\n").c_str());
      InsideTrace() = false;
    }
    return m;
  }();
  return mask;
}

bool& InsideTrace() {
  thread_local bool inside = false;
  return inside;
}

void WriteTrace(std::uint32_t area, const char* call, const std::string& result, DWORD lastError) {
  InsideTrace() = true;
  OutputDebugStringA(
      fmt::format("trace {} {} -> {} (last error {})\n", AreaName(area), call, result, lastError).c_str());
  InsideTrace() = false;
}

}  // namespace platform::base::detail
