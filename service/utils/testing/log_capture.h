// Collects what the service's code logs while a test runs: a listener of its own that
// joins the process logger for the lifetime of the object.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "korvo_log.h"

namespace Utils::testing {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every entry so far as "Level|Function|message", the log line without its time
  // stamp, thread id and level padding.
  std::vector<std::wstring> Lines() const;
  // Only the entries of one function.
  std::vector<std::wstring> Lines(const std::string& functionName) const;
  void Clear();

 private:
  class Listener;
  Listener* m_pListener;  // owned by the logger while attached
  int m_savedMinLevel = 0;
  int m_savedMaxLevel = 0;
};

}  // namespace Utils::testing
