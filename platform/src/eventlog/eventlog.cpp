#include "platform/eventlog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "platform/machine.h"
#include "platform/src/base/handles.h"
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

class LockedFile {
 public:
  LockedFile(const std::filesystem::path& path, int flags, int lockMode) {
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (::flock(fd_, lockMode) != 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
  ~LockedFile() {
    if (fd_ >= 0) ::close(fd_);  // drops the lock
  }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  int fd() const { return fd_; }
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

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
  // Only the local computer has an event log here; the system never names another.
  if (server != nullptr || sourceName == nullptr || *sourceName == L'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return base::detail::InsertHandle(std::make_shared<EventSource>(sourceName, CurrentLog()));
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  if (!base::detail::LookupHandleAs<EventSource>(eventLog) || !base::detail::RemoveHandle(eventLog)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// Raw data and the user SID are not kept: nothing that reads the log looks at them.
BOOL ReportEvent(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID /*userSid*/, WORD numStrings,
                 DWORD /*dataSize*/, LPCWSTR* strings, LPVOID /*rawData*/) {
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
  LockedFile file(source->log, O_WRONLY | O_CREAT | O_APPEND, LOCK_EX);
  if (file.fd() < 0) {
    SetLastError(Win32ErrorFromErrno(file.error()));
    return FALSE;
  }
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(file.fd(), line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastError(Win32ErrorFromErrno(errno));
      return FALSE;
    }
    done += static_cast<std::size_t>(n);
  }
  return TRUE;
}

namespace eventlog {

std::vector<Event> ReadAll() {
  std::vector<Event> events;
  std::string text;
  {
    // A shared lock keeps a line that is being appended out of what we read.
    LockedFile file(CurrentLog(), O_RDONLY, LOCK_SH);
    if (file.fd() < 0) return events;
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(file.fd(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
  }
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (auto event = ParseLine(std::string_view(text).substr(start, end - start))) events.push_back(std::move(*event));
    start = end + 1;
  }
  return events;
}

const char* TypeName(WORD type) {
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
}

}  // namespace eventlog
}  // namespace platform
