// The four listeners of the logging library: the rotating UTF-8 log file (direct or
// queued), standard output, the debugger output and the event log.
#pragma once

#include <condition_variable>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/sync.h"
#include "service/logging/korvo_log.h"

namespace Korvo::Shared {

class CKorvoLogListenerFile;

// The finished lines of queued entries, in arrival order, back to back in one buffer.
// Each entry is the file form of a LogData (LogData::AppendFileLine), formatted by the
// producer: queuing costs a copy of its bytes and no allocation, and the writer has
// nothing left to do but copy bytes into the file.
struct CKorvoLogEntries {
  std::string bytes;
  std::vector<std::uint32_t> ends;  // where each entry's line ends in `bytes`

  bool empty() const { return ends.empty(); }
  void clear() {
    bytes.clear();
    ends.clear();
  }
  void swap(CKorvoLogEntries& other) noexcept {
    bytes.swap(other.bytes);
    ends.swap(other.ends);
  }
};

// Entries waiting for the writer thread of a queued file listener.
struct CKorvoLogQueue {
  CKorvoLogEntries entries;
  CKorvoLogListenerFile* owner = nullptr;
  bool writerRunning = false;
  platform::HANDLE hWriterThread = nullptr;
  platform::CRITICAL_SECTION lock;
  // Signalled (under `lock`) whenever a writer ends; counts writers that could not open
  // the file, and writers that stopped waiting for the log mutex because the listener
  // was closing. Flush() waits on these.
  std::condition_variable_any writerEnded;
  unsigned openFailures = 0;
  unsigned mutexTimeouts = 0;
  // The writer thread until it has closed the file and taken a last look at the queue:
  // a writer stops taking entries (writerRunning false) before it flushes and closes
  // what it wrote, and takes up whatever came meanwhile. So there is never more than
  // one, and the writers of one listener never wait for each other's mutex.
  unsigned writersActive = 0;
  // Set by the destructor: from then on writers wait for the log mutex only until
  // closeDeadline (GetTickCount64).
  bool closing = false;
  platform::ULONGLONG closeDeadline = 0;
};

class CKorvoLogListenerFile final : public CKorvoLogListener {
 public:
  // How long the destructor of a queued listener lets its writer wait for the log
  // mutex to write what is still queued. A process that holds the mutex and never lets
  // go must not keep the service from exiting; what is left then is dropped, and the
  // count goes to the debugger output.
  static constexpr platform::DWORD kCloseMutexWaitMs = 3000;

  CKorvoLogListenerFile(bool queuedWrites, int defaultMinLevel);
  ~CKorvoLogListenerFile() override;

  void Write(const LogData& data) override;
  unsigned GetType() const override { return m_queuedWrites ? kListenerFileQueued : kListenerFile; }

  const wchar_t* FileName() const { return m_fileName; }
  std::wstring MutexName() const { return m_mutexName; }
  int MaxLogSizeKB() const { return m_maxLogSizeKB; }
  bool IsQueued() const { return m_queue != nullptr && m_queuedWrites; }

  // Blocks until every entry queued so far is in the file (or could not be written
  // because the file cannot be opened, or, once the listener is closing, its mutex was
  // not had in time). For shutdown paths and benchmarks.
  void Flush();

  // "Global\" + the path after its drive, with every "\" turned into ".".
  static std::wstring MutexNameFor(const std::wstring& fileName);

 private:
  enum class MutexWait { kAcquired, kTimedOut, kFailed };

  bool AcquireAndOpen();
  MutexWait WaitForMutexAsWriter();
  bool OpenWithMutexHeld();
  void CloseAndRelease();
  void WriteEntry(std::string_view fileLine);  // stream open, mutex held
  void Rotate(bool force);                     // stream open or closed, mutex held
  bool FirstLineLooksLikeLog();
  // Starts the writer thread; `lock` of the queue held and no writer active.
  void StartWriterLocked();
  static platform::DWORD WriterThread(void* listener);

  wchar_t m_fileName[platform::MAX_PATH] = {};
  int m_maxLogSizeKB = -1;
  std::int64_t m_writesUntilCheck = 0;
  bool m_queuedWrites;
  platform::CrtStream* m_file = nullptr;
  platform::HANDLE m_hMutex = nullptr;
  CKorvoLogQueue* m_queue = nullptr;
  std::wstring m_mutexName;
};

class CKorvoLogListenerConsole final : public CKorvoLogListener {
 public:
  explicit CKorvoLogListenerConsole(int defaultMinLevel) : CKorvoLogListener(defaultMinLevel) {}
  void Write(const LogData& data) override;
  unsigned GetType() const override { return kListenerConsole; }
};

class CKorvoLogListenerDebug final : public CKorvoLogListener {
 public:
  explicit CKorvoLogListenerDebug(int defaultMinLevel) : CKorvoLogListener(defaultMinLevel) {}
  void Write(const LogData& data) override;
  unsigned GetType() const override { return kListenerDebug; }
};

class CKorvoLogListenerEvent final : public CKorvoLogListener {
 public:
  explicit CKorvoLogListenerEvent(int defaultMinLevel);
  ~CKorvoLogListenerEvent() override;
  void Write(const LogData& data) override;
  unsigned GetType() const override { return kListenerEvent; }

 private:
  platform::HANDLE m_hEventSource = nullptr;
};

}  // namespace Korvo::Shared
