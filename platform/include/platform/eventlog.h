// The machine's event log: <root>/eventlog.jsonl, one JSON object a line with the
// fields "time" (local, "YYYY/MM/DD hh:mm:ss.mmm"), "source", "type", "category",
// "eventId", "strings" and "pid". Appends from every process are serialised by a lock
// on the file, so lines never interleave.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

inline constexpr WORD EVENTLOG_SUCCESS = 0x0000;
inline constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
inline constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
inline constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
inline constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
inline constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

using PSID = void*;

// `server` must be null (the local computer). Returns null with ERROR_INVALID_PARAMETER
// for an empty source name.
HANDLE RegisterEventSource(LPCWSTR server, LPCWSTR sourceName);
BOOL DeregisterEventSource(HANDLE eventLog);
BOOL ReportEvent(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                 DWORD dataSize, LPCWSTR* strings, LPVOID rawData);

namespace eventlog {

struct Event {
  std::string time;
  std::wstring source;
  WORD type = 0;
  WORD category = 0;
  DWORD eventId = 0;
  std::vector<std::wstring> strings;
  DWORD pid = 0;
};

// The event log of the current machine as read: every event, oldest first, and the
// numbers (from 1) of the lines that could not be read, which are reported rather
// than skipped in silence. Throws std::system_error when the file cannot be read.
struct Log {
  std::vector<Event> events;
  std::vector<std::size_t> unreadableLines;
};
Log ReadLog();
// The events alone; none when the file cannot be read.
std::vector<Event> ReadAll();
const char* TypeName(WORD type);  // "Error", "Warning", "Information", ...

}  // namespace eventlog
}  // namespace platform
