#include "service/logging/testing/log_capture.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

#include "platform/text.h"
#include "service/logging/korvo_log_listeners.h"

namespace Korvo::Shared::testing {

using Korvo::Shared::CKorvoLogListener;
using Korvo::Shared::GetLogger;
using Korvo::Shared::LogData;

class LogCapture::Listener : public CKorvoLogListener {
 public:
  // skipPolicy: a test's capture must not depend on the machine's policy values.
  Listener() : CKorvoLogListener(Korvo::Shared::TraceIn, 1) { maxLevel = Korvo::Shared::Diag; }

  void Write(const LogData& data) override {
    std::unique_lock guard(m_lock);
    m_released.wait(guard, [&] { return !m_holding || std::this_thread::get_id() == m_holder; });
    m_entries.push_back(data);
  }
  void Hold(bool hold) {
    {
      std::lock_guard guard(m_lock);
      m_holding = hold;
      m_holder = std::this_thread::get_id();
    }
    m_released.notify_all();
  }
  unsigned GetType() const override { return 0; }

  std::vector<LogData> Entries() const {
    std::lock_guard guard(m_lock);
    return m_entries;
  }
  void Clear() {
    std::lock_guard guard(m_lock);
    m_entries.clear();
  }

 private:
  mutable std::mutex m_lock;
  std::condition_variable m_released;
  bool m_holding = false;
  std::thread::id m_holder;
  std::vector<LogData> m_entries;
};

LogCapture::LogCapture(bool exclusive) {
  auto listener = std::make_unique<Listener>();
  m_pListener = listener.get();
  auto* logger = GetLogger();
  if (exclusive) {
    m_setAside = std::move(logger->listeners);
    logger->listeners.clear();
  }
  logger->listeners.push_back(std::move(listener));
  logger->listenerCount = static_cast<int>(logger->listeners.size());
  // Even a logger that came up without listeners passes TraceIn..Error on to us.
  m_savedMinLevel = logger->minLevel;
  m_savedMaxLevel = logger->maxLevel;
  logger->minLevel = std::min(logger->minLevel, int{Korvo::Shared::TraceIn});
  logger->maxLevel = std::max(logger->maxLevel, int{Korvo::Shared::Error});
}

void LogCapture::HoldOtherThreads(bool hold) {
  m_pListener->Hold(hold);
}

LogCapture::~LogCapture() {
  auto* logger = GetLogger();
  auto& all = logger->listeners;
  all.erase(std::remove_if(all.begin(), all.end(), [&](const auto& l) { return l.get() == m_pListener; }), all.end());
  for (auto& listener : m_setAside) all.push_back(std::move(listener));
  logger->listenerCount = static_cast<int>(all.size());
  logger->minLevel = m_savedMinLevel;
  logger->maxLevel = m_savedMaxLevel;
}

std::vector<std::wstring> LogCapture::Lines() const {
  std::vector<std::wstring> lines;
  for (const auto& e : m_pListener->Entries()) {
    lines.push_back(std::wstring(Korvo::Shared::LogLevelName(e.level)) + L"|" +
                    Korvo::Shared::detail::LogArg(e.functionName) + L"|" + e.message);
  }
  return lines;
}

std::vector<std::wstring> LogCapture::Lines(const std::string& functionName) const {
  std::vector<std::wstring> lines;
  for (const auto& e : m_pListener->Entries()) {
    if (e.functionName != functionName) continue;
    lines.push_back(std::wstring(Korvo::Shared::LogLevelName(e.level)) + L"|" + e.message);
  }
  return lines;
}

std::vector<LogData> LogCapture::Entries() const {
  return m_pListener->Entries();
}

void LogCapture::Clear() {
  m_pListener->Clear();
}

bool LogCapture::Has(int level, const std::string& functionName, const std::wstring& message) const {
  const auto entries = m_pListener->Entries();
  return std::any_of(entries.begin(), entries.end(), [&](const LogData& e) {
    return e.level == level && e.functionName == functionName && e.message == message;
  });
}

int LogCapture::Count(int level, const std::string& functionName) const {
  const auto entries = m_pListener->Entries();
  return static_cast<int>(std::count_if(entries.begin(), entries.end(), [&](const LogData& e) {
    return e.level == level && e.functionName == functionName;
  }));
}

std::string LogCapture::Dump() const {
  std::string out;
  for (const auto& line : Lines()) out += platform::WideToUtf8(line) + "\n";
  return out;
}

void FlushProcessLogger() {
  CKorvoLogListener* listener = GetLogger()->fileListener;
  if (listener == nullptr) return;
  const unsigned type = listener->GetType();
  if (type == Korvo::Shared::kListenerFile || type == Korvo::Shared::kListenerFileQueued) {
    static_cast<Korvo::Shared::CKorvoLogListenerFile*>(listener)->Flush();
  }
}

void ProcessLoggerTest::TearDown() {
  FlushProcessLogger();
  MachineTest::TearDown();
}

}  // namespace Korvo::Shared::testing
