#include "service/logging/korvo_log.h"

#include <atomic>
#include <cwchar>
#include <mutex>

#include "platform/text.h"
#include "service/logging/korvo_log_config.h"
#include "service/logging/korvo_log_listeners.h"

namespace Korvo::Shared {
namespace {

constexpr const wchar_t* kLevelNames[] = {L"TraceIn", L"TraceOut", L"Verbose", L"Information",
                                          L"Warning", L"Error",    L"Diag"};

// Appends `value` as exactly `digits` decimal digits (zero padded).
template <class String>
void AppendDigits(String& out, unsigned value, int digits) {
  typename String::value_type buf[10];
  for (int i = digits - 1; i >= 0; --i) {
    buf[i] = static_cast<typename String::value_type>('0' + value % 10);
    value /= 10;
  }
  out.append(buf, static_cast<std::size_t>(digits));
}

// "%04d/%02d/%02d %02d:%02d:%02d.%03d|%08X|%-11s|%S|", written by hand: every line of
// the log goes through here, so it must cost little. Shared by the wide and the UTF-8
// form of a line so the two never differ.
template <class String>
void AppendPrefix(String& out, const LogData& data) {
  using Char = typename String::value_type;
  const SYSTEMTIME& t = data.time;
  AppendDigits(out, t.wYear, 4);
  out.push_back(Char('/'));
  AppendDigits(out, t.wMonth, 2);
  out.push_back(Char('/'));
  AppendDigits(out, t.wDay, 2);
  out.push_back(Char(' '));
  AppendDigits(out, t.wHour, 2);
  out.push_back(Char(':'));
  AppendDigits(out, t.wMinute, 2);
  out.push_back(Char(':'));
  AppendDigits(out, t.wSecond, 2);
  out.push_back(Char('.'));
  AppendDigits(out, t.wMilliseconds, 3);
  Char hex[10];
  hex[0] = Char('|');
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 8; ++i) hex[1 + i] = Char(kHex[(data.threadId >> (28 - 4 * i)) & 0xF]);
  hex[9] = Char('|');
  out.append(hex, 10);
  const wchar_t* name = LogLevelName(data.level);
  std::size_t n = 0;
  for (; name[n] != L'\0'; ++n) out.push_back(Char(name[n]));
  for (; n < 11; ++n) out.push_back(Char(' '));
  out.push_back(Char('|'));
  for (char c : data.functionName) out.push_back(Char(static_cast<unsigned char>(c)));
  out.push_back(Char('|'));
}

}  // namespace

int ParseLogLevel(const wchar_t* name) {
  if (name == nullptr || *name == L'\0') return LogLevel::Never;
  for (int level = 0; level <= LogLevel::Diag; ++level) {
    if (platform::EqualsNoCase(name, kLevelNames[level])) return level;
  }
  return LogLevel::Never;
}

const wchar_t* LogLevelName(int level) {
  return level >= 0 && level <= LogLevel::Diag ? kLevelNames[level] : L"Undefined";
}

// --- LogData ----------------------------------------------------------------------

LogData::LogData(int level, std::string functionName, std::wstring message, const SYSTEMTIME& time, DWORD threadId)
    : functionName(std::move(functionName)),
      message(std::move(message)),
      level(level),
      time(time),
      threadId(threadId) {}

const std::wstring& LogData::LevelName() const {
  if (levelName.empty()) levelName = LogLevelName(level);
  return levelName;
}

const std::wstring& LogData::GetLine() const {
  if (!line.empty()) return line;
  line.reserve(48 + functionName.size() + message.size());
  AppendPrefix(line, *this);
  line.append(message);
  return line;
}

void LogData::AppendFileLine(std::string& out) const {
  out.reserve(out.size() + 50 + functionName.size() + message.size());
  AppendPrefix(out, *this);
  // The file is a text stream: a line feed in the message goes out as CR LF, as the
  // line's own end does. fwrite moves raw bytes, so it is done here; a CR LF the
  // message already has stays as it is.
  std::wstring_view rest = message;
  for (std::size_t lf; (lf = rest.find(L'\n')) != std::wstring_view::npos;) {
    platform::AppendUtf8(out, rest.substr(0, lf));
    if (lf == 0 || rest[lf - 1] != L'\r') out.push_back('\r');
    out.push_back('\n');
    rest.remove_prefix(lf + 1);
  }
  platform::AppendUtf8(out, rest);
  out.append("\r\n", 2);
}

// --- Listener base --------------------------------------------------------------------

CKorvoLogListener::CKorvoLogListener(int defaultMinLevel, int skipPolicy)
    : minLevel(defaultMinLevel), skipPolicy(skipPolicy) {
  if (skipPolicy != 0) return;
  CLogPolicyKeys keys;
  if (auto level = keys.ReadLevel(L"MinLogLevel")) minLevel = *level;
  if (auto level = keys.ReadLevel(L"MaxLogLevel")) maxLevel = *level;
}

// --- Message formatting ------------------------------------------------------------------

namespace detail {

std::wstring LogArg(const char* s) {
  return s ? platform::Utf8ToWide(s) : std::wstring(L"(null)");
}
std::wstring LogArg(const std::string& s) {
  return platform::Utf8ToWide(s);
}
std::wstring LogArg(std::string_view s) {
  return platform::Utf8ToWide(s);
}

const wchar_t* NormalizeFormat(const wchar_t* format, std::wstring& scratch) {
  const wchar_t* p = std::wcschr(format, L'%');
  if (p == nullptr) return nullptr;
  bool changed = false;
  scratch.assign(format, p);
  while (*p != L'\0') {
    if (*p != L'%') {
      scratch.push_back(*p++);
      continue;
    }
    scratch.push_back(*p++);  // '%'
    if (*p == L'%') {
      scratch.push_back(*p++);
      continue;
    }
    while (*p != L'\0' && std::wcschr(L"-+ #0", *p) != nullptr) scratch.push_back(*p++);
    while (*p == L'*' || (*p >= L'0' && *p <= L'9')) scratch.push_back(*p++);
    if (*p == L'.') {
      scratch.push_back(*p++);
      while (*p == L'*' || (*p >= L'0' && *p <= L'9')) scratch.push_back(*p++);
    }
    // Length modifiers. "hh", "h", "ll", "j", "z", "t" are standard and kept.
    bool narrowString = false;
    if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
      p += 3, changed = true;
    } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
      p += 3, changed = true;
    } else if (p[0] == L'I') {
      p += 1, changed = true;
    } else if (p[0] == L'l' && p[1] == L'l') {
      scratch.append(L"ll"), p += 2;
    } else if (p[0] == L'l' || p[0] == L'L' || p[0] == L'w') {
      p += 1, changed = true;
    } else if (p[0] == L'h' && (p[1] == L's' || p[1] == L'S' || p[1] == L'c' || p[1] == L'C')) {
      p += 1, changed = true, narrowString = true;
    }
    (void)narrowString;
    if (*p == L'S') {
      scratch.push_back(L's'), ++p, changed = true;
    } else if (*p == L'C') {
      scratch.push_back(L'c'), ++p, changed = true;
    } else if (*p != L'\0') {
      scratch.push_back(*p++);
    }
  }
  return changed ? scratch.c_str() : nullptr;
}

std::wstring FormatMessage(std::size_t maxChars, const wchar_t* format, fmt::wprintf_args args) {
  if (format == nullptr || *format == L'\0') return {};
  thread_local std::wstring scratch;
  const wchar_t* normalized = NormalizeFormat(format, scratch);
  std::wstring message;
  try {
    message = fmt::vsprintf(fmt::wstring_view(normalized ? normalized : format), args);
  } catch (const std::exception&) {
    // A format that does not match its arguments: keep the text so the line still says
    // where it came from, and never let logging fail the caller.
    message = format;
  }
  if (maxChars > 0 && message.size() > maxChars - 1) message.resize(maxChars - 1);
  return message;
}

}  // namespace detail

// --- Logger ---------------------------------------------------------------------------

CKorvoLogger* CKorvoLogger::Create(int defaultMinLevel, unsigned listenerFlags) {
  CLogPolicyKeys keys;
  if ((listenerFlags & kListenerFileQueued) && (listenerFlags & kListenerFile)) listenerFlags &= ~kListenerFile;
  if (auto type = keys.ReadLoggingType(); type && !type->empty()) {
    const std::wstring upper = platform::ToUpper(*type);
    unsigned selected = 0;
    if (upper.find(L"EVENT") != std::wstring::npos) selected |= kListenerEvent;
    if (upper.find(L"FILE") != std::wstring::npos) selected |= kListenerFile;
    if (upper.find(L"CONSOLE") != std::wstring::npos) selected |= kListenerConsole;
    if (upper.find(L"DEBUG") != std::wstring::npos) selected |= kListenerDebug;
    if (selected != 0) listenerFlags = selected;
  }

  auto* logger = new CKorvoLogger;
  auto add = [&](std::unique_ptr<CKorvoLogListener> listener) { logger->listeners.push_back(std::move(listener)); };
  if (listenerFlags & kListenerEvent) add(std::make_unique<CKorvoLogListenerEvent>(defaultMinLevel));
  if (listenerFlags & kListenerFile) add(std::make_unique<CKorvoLogListenerFile>(false, defaultMinLevel));
  if (listenerFlags & kListenerFileQueued) add(std::make_unique<CKorvoLogListenerFile>(true, defaultMinLevel));
  if (listenerFlags & kListenerDebug) add(std::make_unique<CKorvoLogListenerDebug>(defaultMinLevel));
  if (listenerFlags & kListenerConsole) add(std::make_unique<CKorvoLogListenerConsole>(defaultMinLevel));

  logger->listenerCount = static_cast<int>(logger->listeners.size());
  logger->minLevel = LogLevel::Never;
  logger->maxLevel = LogLevel::Error;
  for (const auto& listener : logger->listeners) {
    logger->minLevel = std::min(logger->minLevel, listener->minLevel);
    logger->maxLevel = std::max(logger->maxLevel, listener->maxLevel);
    const unsigned type = listener->GetType();
    if (type == kListenerFileQueued || type == kListenerFile) logger->fileListener = listener.get();
  }
  logger->timingEnabled = logger->fileListener != nullptr && logger->fileListener->maxLevel > LogLevel::Error &&
                          logger->fileListener->minLevel <= LogLevel::Diag;
  return logger;
}

CKorvoLogger::~CKorvoLogger() {
  // Array order, as created. The queued file listener writes what is still queued.
  for (auto& listener : listeners) listener.reset();
}

void CKorvoLogger::LogFormatted(int level, const char* functionName, const wchar_t* format, fmt::wprintf_args args) {
  const DWORD savedError = platform::GetLastError();
  std::wstring message = detail::FormatMessage(static_cast<std::size_t>(maxMessageChars), format, args);
  SYSTEMTIME now;
  platform::GetLocalTime(&now);
  LogData data(level, functionName ? functionName : "", std::move(message), now, platform::GetCurrentThreadId());
  for (const auto& listener : listeners) {
    if (listener->Accepts(level)) listener->Write(data);
  }
  platform::SetLastError(savedError);
}

// --- The process-wide logger ------------------------------------------------------------

namespace {

std::mutex g_loggerLock;
std::atomic<CKorvoLogger*> g_logger{nullptr};
std::atomic<bool> g_loggerGone{false};

// Destroys the logger at process exit; later calls get the silent logger. It is a
// function-local static made right after the first logger, so it is destroyed before
// everything the logger's creation brought up (threads, mutexes, the machine), which
// the queued file listener still needs to write what is queued.
struct LoggerOwner {
  ~LoggerOwner() {
    g_loggerGone.store(true);
    std::lock_guard guard(g_loggerLock);
    delete g_logger.exchange(nullptr);
  }
};

CKorvoLogger* SilentLogger() {
  static CKorvoLogger* silent = CKorvoLogger::CreateSilent();
  return silent;
}

}  // namespace

CKorvoLogger* GetLogger() {
  if (CKorvoLogger* logger = g_logger.load(std::memory_order_acquire)) return logger;
  std::lock_guard guard(g_loggerLock);
  if (CKorvoLogger* logger = g_logger.load(std::memory_order_acquire)) return logger;
  if (g_loggerGone.load()) return SilentLogger();
  CKorvoLogger* logger = nullptr;
  try {
    logger = CKorvoLogger::Create(LogLevel::TraceIn, kListenerFileQueued);
  } catch (const std::exception&) {
    logger = nullptr;  // tried again on the next call
  }
  if (logger == nullptr) return SilentLogger();
  static LoggerOwner owner;
  g_logger.store(logger, std::memory_order_release);
  return logger;
}

// --- Timer and trace scope ----------------------------------------------------------------

CKorvoLogTimer::CKorvoLogTimer(CKorvoLogger* logger, const char* functionName)
    : m_logger(logger), m_functionName(functionName) {
  platform::QueryUnbiasedInterruptTime(&m_start);
}

void CKorvoLogTimer::End() {
  platform::ULONGLONG now = 0;
  platform::QueryUnbiasedInterruptTime(&now);
  m_elapsedMs = static_cast<double>(now - m_start) / 10000.0;
  if (m_elapsedMs < 1000000.0) {
    m_logger->Log(LogLevel::Diag, m_functionName, L"Elapsed time = %7.1Lf ms.", m_elapsedMs);
  } else {
    m_logger->Log(LogLevel::Diag, m_functionName, L"Elapsed time = %7.1Lf s.", m_elapsedMs / 1000.0);
  }
}

TraceScope::TraceScope(const char* functionName) : m_functionName(functionName) {
  GetLogger()->Log(LogLevel::TraceIn, functionName, L"");
  StartTimer();
}

void TraceScope::StartTimer() {
  CKorvoLogger* logger = GetLogger();
  if (logger->timingEnabled) m_timer = std::make_unique<CKorvoLogTimer>(logger, m_functionName);
}

TraceScope::~TraceScope() {
  CKorvoLogger* logger = GetLogger();
  if (m_hasOut) {
    logger->Log(LogLevel::TraceOut, m_functionName, L"%s", m_outText);
  } else {
    logger->Log(LogLevel::TraceOut, m_functionName, L"");
  }
  if (m_timer) m_timer->End();
}

}  // namespace Korvo::Shared
