// Captures what the process-wide logger writes while the object lives, so that a test
// can check the lines a function logs. One capture at a time; no other thread may log
// while a capture is made or removed.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "korvo_log.h"
#include "platform/text.h"

namespace Korvo::Shared::testing {

class LogCapture {
 public:
  struct Line {
    int level;
    std::string function;
    std::wstring message;
  };

  LogCapture() {
    auto listener = std::make_unique<Listener>(this);
    m_listener = listener.get();
    CKorvoLogger* logger = GetLogger();
    logger->listeners.push_back(std::move(listener));
    ++logger->listenerCount;
  }
  ~LogCapture() {
    CKorvoLogger* logger = GetLogger();
    auto& all = logger->listeners;
    all.erase(std::remove_if(all.begin(), all.end(), [&](const auto& l) { return l.get() == m_listener; }), all.end());
    --logger->listenerCount;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> Lines() const {
    std::lock_guard guard(m_lock);
    return m_lines;
  }
  // True when a line of `level` and `function` has exactly `message`.
  bool Has(int level, const std::string& function, const std::wstring& message) const {
    std::lock_guard guard(m_lock);
    return std::any_of(m_lines.begin(), m_lines.end(), [&](const Line& l) {
      return l.level == level && l.function == function && l.message == message;
    });
  }
  // How many lines of `function` have `level`.
  int Count(int level, const std::string& function) const {
    std::lock_guard guard(m_lock);
    return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(),
                                          [&](const Line& l) { return l.level == level && l.function == function; }));
  }
  // Every line, one per text line, for failure messages.
  std::string Dump() const {
    std::string out;
    for (const auto& l : Lines()) {
      out += std::to_string(l.level) + "|" + l.function + "|" + platform::WideToUtf8(l.message) + "\n";
    }
    return out;
  }

 private:
  class Listener final : public CKorvoLogListener {
   public:
    explicit Listener(LogCapture* owner) : CKorvoLogListener(LogLevel::TraceIn, 1), m_owner(owner) {
      maxLevel = LogLevel::Diag;
    }
    void Write(const LogData& data) override {
      std::lock_guard guard(m_owner->m_lock);
      m_owner->m_lines.push_back(Line{data.level, data.functionName, data.message});
    }
    unsigned GetType() const override { return 0; }

   private:
    LogCapture* m_owner;
  };

  mutable std::mutex m_lock;
  std::vector<Line> m_lines;
  Listener* m_listener = nullptr;
};

}  // namespace Korvo::Shared::testing
