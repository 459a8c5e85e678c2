// Collects what the service's code logs while a test runs: a listener of its own that
// joins the process logger for the lifetime of the object. One capture at a time; no
// other thread may log while a capture is made or removed.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/testing/machine_test.h"
#include "service/logging/korvo_log.h"

namespace Korvo::Shared::testing {

class LogCapture {
 public:
  // An exclusive capture takes the logger's other listeners away while it lives, so
  // that nothing else (the log file) sees what the test logs.
  explicit LogCapture(bool exclusive = false);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every entry so far as "Level|Function|message", the log line without its time
  // stamp, thread id and level padding.
  std::vector<std::wstring> Lines() const;
  // Only the entries of one function, as "Level|message".
  std::vector<std::wstring> Lines(const std::string& functionName) const;
  void Clear();
  // The entries themselves, in order.
  std::vector<LogData> Entries() const;

  // True when an entry of `level` and `functionName` has exactly `message`.
  bool Has(int level, const std::string& functionName, const std::wstring& message) const;
  // How many entries of `functionName` have `level`.
  int Count(int level, const std::string& functionName) const;
  // Every line, for failure messages.
  std::string Dump() const;
  // While held, any other thread that logs waits in its next log call, which keeps a
  // worker thread at a known point; the holding thread logs on.
  void HoldOtherThreads(bool hold);

 private:
  class Listener;
  Listener* m_pListener;  // owned by the logger while attached
  int m_savedMinLevel = 0;
  int m_savedMaxLevel = 0;
  std::vector<std::unique_ptr<CKorvoLogListener>> m_setAside;  // of an exclusive capture
};

// Waits until the process logger's file listener has written everything queued and its
// writer thread has let go of the file (nothing to wait for without one).
void FlushProcessLogger();

// A machine test for code that logs through the process logger. The logger outlives
// the test, and its queued file listener writes on a thread of its own through
// whatever machine is current; the machine must not go while that writer still uses
// it, so the fixture waits for the writer first.
class ProcessLoggerTest : public platform::testing::MachineTest {
 protected:
  void TearDown() override;
};

}  // namespace Korvo::Shared::testing
