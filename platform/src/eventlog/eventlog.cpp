#include "platform/eventlog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "platform/machine.h"
#include "platform/src/base/handles.h"
#include "platform/src/base/trace.h"
#include "platform/src/host/fd.h"
#include "platform/src/host/files.h"
#include "platform/text.h"

namespace platform {
namespace {

constexpr const char* kEventLogFile = "eventlog.jsonl";

class EventSource final : public base::detail::KernelObject {
 public:
  EventSource(std::wstring name, std::filesystem::path log) : name(std::move(name)), log(std::move(log)) {}
  const std::wstring name;
  const std::filesystem::path log;  // the event log of the machine the source was registered on
};

std::filesystem::path CurrentLog() {
  return CurrentMachine().Root() / kEventLogFile;
}

std::string FormatTime(const SYSTEMTIME& st) {
  return fmt::format("{:04}/{:02}/{:02} {:02}:{:02}:{:02}.{:03}", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                     st.wSecond, st.wMilliseconds);
}

template <class T>
bool ReadUnsigned(const nlohmann::json& line, const char* field, T& out) {
  auto it = line.find(field);
  if (it == line.end()) return true;  // optional: keeps the default
  if (!it->is_number_unsigned() || it->get<std::uint64_t>() > std::numeric_limits<T>::max()) return false;
  out = static_cast<T>(it->get<std::uint64_t>());
  return true;
}

std::optional<eventlog::Event> ParseLine(std::string_view text) {
  auto line = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (line.is_discarded() || !line.is_object()) return std::nullopt;
  auto source = line.find("source");
  if (source == line.end() || !source->is_string() || !line.contains("eventId")) return std::nullopt;
  eventlog::Event event;
  event.source = Utf8ToWide(source->get<std::string>());
  if (auto time = line.find("time"); time != line.end()) {
    if (!time->is_string()) return std::nullopt;
    event.time = time->get<std::string>();
  }
  if (!ReadUnsigned(line, "type", event.type) || !ReadUnsigned(line, "category", event.category) ||
      !ReadUnsigned(line, "eventId", event.eventId) || !ReadUnsigned(line, "pid", event.pid)) {
    return std::nullopt;
  }
  if (auto strings = line.find("strings"); strings != line.end()) {
    if (!strings->is_array()) return std::nullopt;
    for (const auto& s : *strings) {
      if (!s.is_string()) return std::nullopt;
      event.strings.push_back(Utf8ToWide(s.get<std::string>()));
    }
  }
  return event;
}

}  // namespace

HANDLE RegisterEventSource(LPCWSTR server, LPCWSTR sourceName) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceEventlog, "RegisterEventSource", [&]() -> HANDLE {
    // Only the local computer has an event log here; the system never names another.
    if (server != nullptr || sourceName == nullptr || *sourceName == L'\0') {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    return base::detail::InsertHandle(std::make_shared<EventSource>(sourceName, CurrentLog()));
  });
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  return base::detail::Traced<BOOL>(base::detail::kTraceEventlog, "DeregisterEventSource", [&]() -> BOOL {
    if (!base::detail::LookupHandleAs<EventSource>(eventLog) || !base::detail::RemoveHandle(eventLog)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    return TRUE;
  });
}

// Raw data and the user SID are not kept: nothing that reads the log looks at them.
BOOL ReportEvent(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID /*userSid*/, WORD numStrings,
                 DWORD /*dataSize*/, LPCWSTR* strings, LPVOID /*rawData*/) {
  return base::detail::Traced<BOOL>(base::detail::kTraceEventlog, "ReportEvent", [&]() -> BOOL {
    auto source = base::detail::LookupHandleAs<EventSource>(eventLog);
    if (!source) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (numStrings != 0 && strings == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    nlohmann::json list = nlohmann::json::array();
    for (WORD i = 0; i < numStrings; ++i) {
      if (strings[i] == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      list.push_back(WideToUtf8(strings[i]));
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    // ordered_json keeps the fields in the documented order, which makes the file easy
    // to read with `tail`.
    nlohmann::ordered_json event;
    event["time"] = FormatTime(now);
    event["source"] = WideToUtf8(source->name);
    event["type"] = type;
    event["category"] = category;
    event["eventId"] = eventId;
    event["strings"] = std::move(list);
    event["pid"] = GetCurrentProcessId();
    std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line.push_back('\n');

    // One write of the whole line under the lock: other processes appending at the same
    // time cannot get between its parts.
    try {
      host::LockFile lock(source->log, host::LockFile::Mode::kExclusive);
      host::UniqueFd file(
          host::RetryOnEintr([&] { return ::open(source->log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC); }));
      if (!file.valid() || !host::WriteAll(file.get(), line.data(), line.size())) {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
      }
    } catch (const std::system_error& e) {
      SetLastError(Win32ErrorFromErrno(e.code().value()));
      return FALSE;
    }
    return TRUE;
  });
}

namespace eventlog {

Log ReadLog() {
  return base::detail::Traced<Log>(base::detail::kTraceEventlog, "ReadLog", [&]() -> Log {
    Log log;
    const auto path = CurrentLog();
    std::optional<std::string> text;
    {
      std::error_code ec;
      if (!std::filesystem::exists(path, ec)) return log;
      // A shared lock keeps a line that is being appended out of what we read.
      host::LockFile lock(path, host::LockFile::Mode::kShared);
      text = host::ReadFile(path);
    }
    if (!text) return log;
    std::size_t start = 0;
    for (std::size_t number = 1; start < text->size(); ++number) {
      std::size_t end = text->find('\n', start);
      if (end == std::string::npos) end = text->size();
      const auto line = std::string_view(*text).substr(start, end - start);
      if (auto event = ParseLine(line)) {
        log.events.push_back(std::move(*event));
      } else if (!line.empty()) {
        log.unreadableLines.push_back(number);
      }
      start = end + 1;
    }
    return log;
  });
}

std::vector<Event> ReadAll() {
  return base::detail::Traced<std::vector<Event>>(base::detail::kTraceEventlog, "ReadAll", [&]() -> std::vector<Event> {
    try {
      return ReadLog().events;
    } catch (const std::system_error&) {
      return {};
    }
  });
}

const char* TypeName(WORD type) {
  return base::detail::Traced<const char*>(base::detail::kTraceEventlog, "TypeName", [&]() -> const char* {
    switch (type) {
      case EVENTLOG_SUCCESS:
        return "Success";
      case EVENTLOG_ERROR_TYPE:
        return "Error";
      case EVENTLOG_WARNING_TYPE:
        return "Warning";
      case EVENTLOG_INFORMATION_TYPE:
        return "Information";
      case EVENTLOG_AUDIT_SUCCESS:
        return "Audit Success";
      case EVENTLOG_AUDIT_FAILURE:
        return "Audit Failure";
      default:
        return "Unknown";
    }
  });
}

}  // namespace eventlog
}  // namespace platform
