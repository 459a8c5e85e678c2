// The service's logging library: levels, the entry record, the listener base, the
// process-wide logger and the elapsed-time timer. The concrete listeners are in
// korvo_log_listeners.h; the policy values that configure them in korvo_log_config.h.
//
// Every function of the service logs through GetLogger()->Log(level, "Class::Method",
// L"printf-style format", args...). The format strings keep the original's printf
// dialect ("%s" wide, "%S" narrow, "%08lx" for 32-bit codes, "%7.1Lf"); arguments are
// checked against them at run time and a mismatch never reaches the caller.
#pragma once

#include <fmt/printf.h>
#include <fmt/xchar.h>

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/clock.h"
#include "platform/types.h"

namespace Korvo::Shared {

using platform::DWORD;
using platform::SYSTEMTIME;

enum LogLevel : int {
  TraceIn = 0,
  TraceOut = 1,
  Verbose = 2,
  Information = 3,
  Warning = 4,
  Error = 5,
  Diag = 6,
  Never = 99,
};

// The level number of a name, without regard to case; 99 for null, empty, "Never"
// and any name that is not a level.
int ParseLogLevel(const wchar_t* name);
// The name printed in a line: the level's name for 0..6, "Undefined" otherwise.
const wchar_t* LogLevelName(int level);

class CKorvoLogListener {
 public:
  // One log entry, built once per Log call and handed to every listener by reference.
  class LogData {
   public:
    LogData() = default;
    LogData(int level, std::string functionName, std::wstring message, const SYSTEMTIME& time, DWORD threadId);
    virtual ~LogData() = default;
    LogData(const LogData&) = default;
    LogData& operator=(const LogData&) = default;
    LogData(LogData&&) noexcept = default;
    LogData& operator=(LogData&&) noexcept = default;

    // "yyyy/mm/dd hh:mm:ss.mmm|TTTTTTTT|Level      |Function|message", built on the
    // first call and reused afterwards.
    const std::wstring& GetLine() const;
    const std::wstring& LevelName() const;
    // Appends the same line in UTF-8, followed by CR LF: the form the log file holds
    // (a text stream, so every line feed of the message is preceded by CR as well).
    // The file listener formats with this on the producer's thread, so a queued entry
    // is one string and the writer thread only copies bytes.
    void AppendFileLine(std::string& out) const;

    std::string functionName;
    std::wstring message;
    int level = 0;
    SYSTEMTIME time{};
    DWORD threadId = 0;

   private:
    mutable std::wstring levelName;
    mutable std::wstring line;
  };

  // Reads "MinLogLevel"/"MaxLogLevel" from the policy keys unless skipPolicy is set.
  explicit CKorvoLogListener(int defaultMinLevel, int skipPolicy = 0);
  virtual ~CKorvoLogListener() = default;
  CKorvoLogListener(const CKorvoLogListener&) = delete;
  CKorvoLogListener& operator=(const CKorvoLogListener&) = delete;

  virtual void Write(const LogData& data) = 0;
  virtual unsigned GetType() const = 0;

  bool Accepts(int level) const { return level >= minLevel && level <= maxLevel; }

  int minLevel;
  int maxLevel = LogLevel::Error;
  int skipPolicy;
};

using LogData = CKorvoLogListener::LogData;

// Listener type bits: GetType() values and the flags of CKorvoLogger::Create.
inline constexpr unsigned kListenerEvent = 1;
inline constexpr unsigned kListenerDebug = 2;
inline constexpr unsigned kListenerFileQueued = 4;
inline constexpr unsigned kListenerFile = 8;
inline constexpr unsigned kListenerConsole = 16;

namespace detail {

// Rewrites the original's printf dialect into the one fmt understands: "%S"/"%hs"
// take narrow strings (converted to wide by LogArg below), and the length modifiers
// "l", "L", "w", "I", "I32" and "I64" are dropped because the arguments carry their
// real width. Returns null when the format needs no change.
const wchar_t* NormalizeFormat(const wchar_t* format, std::wstring& scratch);

// Narrow strings become wide ones; everything else passes through.
std::wstring LogArg(const char* s);  // UTF-8; null prints "(null)"
inline std::wstring LogArg(char* s) {
  return LogArg(static_cast<const char*>(s));
}
inline wchar_t LogArg(char c) {
  return static_cast<wchar_t>(static_cast<unsigned char>(c));
}
std::wstring LogArg(const std::string& s);
std::wstring LogArg(std::string_view s);
template <class T>
decltype(auto) LogArg(const T& v) {
  if constexpr (std::is_enum_v<T>) {
    return static_cast<std::underlying_type_t<T>>(v);
  } else {
    return (v);
  }
}

// Formats with the printf rules above into at most `maxChars - 1` characters. A format
// that does not fit its arguments yields the format text itself.
std::wstring FormatMessage(std::size_t maxChars, const wchar_t* format, fmt::wprintf_args args);

}  // namespace detail

class CKorvoLogTimer;

class CKorvoLogger {
 public:
  // Builds a logger with the listeners that `listenerFlags` select, or that the
  // "LoggingType" policy value selects instead.
  static CKorvoLogger* Create(int defaultMinLevel, unsigned listenerFlags);
  // A logger without listeners: every Log call returns at once.
  static CKorvoLogger* CreateSilent() { return new CKorvoLogger; }

  ~CKorvoLogger();
  CKorvoLogger(const CKorvoLogger&) = delete;
  CKorvoLogger& operator=(const CKorvoLogger&) = delete;

  template <class... Args>
  void Log(int level, const char* functionName, const wchar_t* format, const Args&... args) {
    if (listenerCount == 0 || level < minLevel || level > maxLevel) return;
    LogFormatted(level, functionName, format, fmt::make_wprintf_args(detail::LogArg(args)...));
  }

  bool IsEnabled(int level) const { return listenerCount != 0 && level >= minLevel && level <= maxLevel; }

  // The listener array in creation order (tests and the shutdown path use it).
  const std::vector<std::unique_ptr<CKorvoLogListener>>& Listeners() const { return listeners; }

  std::int64_t maxMessageChars = 512;
  std::vector<std::unique_ptr<CKorvoLogListener>> listeners;  // at most 10
  int listenerCount = 0;
  int minLevel = LogLevel::Never;
  int maxLevel = LogLevel::Error;
  bool timingEnabled = false;
  CKorvoLogListener* fileListener = nullptr;

 private:
  CKorvoLogger() = default;
  void LogFormatted(int level, const char* functionName, const wchar_t* format, fmt::wprintf_args args);
};

// The process-wide logger, created on first use with CKorvoLogger::Create(0, 4)
// (thread-safe). Never null: while no logger can be made, and after the logger was
// destroyed at exit, it is a logger without listeners.
CKorvoLogger* GetLogger();

// One line through the process-wide logger: Log(LogLevel::Error, kName, L"... %d", n).
template <class... Args>
void Log(int level, const char* functionName, const wchar_t* format, const Args&... args) {
  GetLogger()->Log(level, functionName, format, args...);
}

class CKorvoLogTimer {
 public:
  CKorvoLogTimer(CKorvoLogger* logger, const char* functionName);
  // Logs "Elapsed time = %7.1Lf ms." (or "... s." from 1,000,000 ms on) at Diag.
  void End();

 private:
  CKorvoLogger* m_logger;
  platform::ULONGLONG m_start = 0;
  double m_elapsedMs = 0;
  const char* m_functionName;
};

// The trace convention of every non-trivial function:
//
//   Korvo::Shared::TraceScope trace("CMainService::OnStart");
//   ...
//   trace.Out(L"Return Value = %d", result);   // optional text of the TraceOut line
//
// writes TraceIn on construction (optionally with a text), creates a timer only when
// the logger's timingEnabled is set, and on destruction writes TraceOut followed by
// the timer's elapsed-time line.
class TraceScope {
 public:
  explicit TraceScope(const char* functionName);
  template <class... Args>
  TraceScope(const char* functionName, const wchar_t* inFormat, const Args&... args) : m_functionName(functionName) {
    GetLogger()->Log(LogLevel::TraceIn, functionName, inFormat, args...);
    StartTimer();
  }
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

  template <class... Args>
  void Out(const wchar_t* format, const Args&... args) {
    CKorvoLogger* logger = GetLogger();
    if (!logger->IsEnabled(LogLevel::TraceOut)) return;
    m_outText = detail::FormatMessage(static_cast<std::size_t>(logger->maxMessageChars), format,
                                      fmt::make_wprintf_args(detail::LogArg(args)...));
    m_hasOut = true;
  }

 private:
  void StartTimer();
  const char* m_functionName;
  std::unique_ptr<CKorvoLogTimer> m_timer;
  std::wstring m_outText;
  bool m_hasOut = false;
};

}  // namespace Korvo::Shared
