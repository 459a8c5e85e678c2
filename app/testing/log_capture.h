// The app's log lines as a test sees them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "app/runtime/logging.h"
#include "app/shell/logging_handler.h"

namespace Korvo_Tallisk::testing {

// The app's log lines while it lives, as "Level|tag+text".
class LogCapture {
 public:
  LogCapture() {
    token_ = LoggingHandler::GetInstance()->Channel().AddListener(
        [this](const app_runtime::LoggingChannel&, const app_runtime::LogRecord& r) {
          std::lock_guard lock(mutex_);
          lines_.push_back((app_runtime::LoggingLevelName(r.level) + u'|' + r.message).toStdString());
        });
  }
  ~LogCapture() { LoggingHandler::GetInstance()->Channel().RemoveListener(token_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Where `line` is first found at or after `from`; -1 when it is not.
  int Find(const std::string& line, int from = 0) const {
    const auto lines = Lines();
    for (int i = from; i < static_cast<int>(lines.size()); ++i) {
      if (lines[i] == line) return i;
    }
    return -1;
  }
  bool Has(const std::string& line) const { return Find(line) >= 0; }
  int Count(const std::string& line) const {
    int count = 0;
    for (const auto& l : Lines()) count += l == line ? 1 : 0;
    return count;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }
  std::string Text() const {
    std::string text;
    for (const auto& l : Lines()) text += l + "\n";
    return text;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  app_runtime::event_token token_;
};

}  // namespace Korvo_Tallisk::testing
