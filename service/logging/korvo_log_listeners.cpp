#include "service/logging/korvo_log_listeners.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <thread>

#include "platform/debug.h"
#include "platform/eventlog.h"
#include "platform/text.h"
#include "service/logging/korvo_log_config.h"

namespace Korvo::Shared {

using namespace platform;

namespace {

constexpr const wchar_t* kLogFolder = L"\\kvqLog";
constexpr int kMaxNumberedFiles = 9;
// A writer that finds the queue empty naps a few times before it lets the file go, so
// a steady producer neither pays for a new thread every few lines nor has to wake the
// writer; and it keeps the file (and the mutex other processes wait for) for at most
// one turn. Real time on purpose: these shape batching, they are not time-outs of the
// system, and must not move a virtual clock.
constexpr auto kWriterNap = std::chrono::microseconds(200);
constexpr int kWriterNaps = 5;
constexpr auto kWriterTurn = std::chrono::milliseconds(20);
// A writer waits for the log mutex in slices of this much, so that it notices when the
// listener starts closing and its wait becomes bounded. Must not exceed
// kCloseMutexWaitMs, or a slice begun before closing could outlast the deadline.
constexpr DWORD kWriterMutexSlice = 1000;
static_assert(kWriterMutexSlice <= CKorvoLogListenerFile::kCloseMutexWaitMs);

// Positions of the separators of a line prefix "yyyy/mm/dd hh:mm:ss.mmm|".
bool HasLogLinePrefixShape(const wchar_t* s) {
  if (std::wcslen(s) < 24) return false;
  return s[4] == L'/' && s[7] == L'/' && s[10] == L' ' && s[13] == L':' && s[16] == L':' && s[19] == L'.' &&
         s[23] == L'|';
}

// The number of "<name>_NNNN.log", or -1 when the middle part is not a number.
int NumberOf(const std::wstring& fileName, std::size_t stemLength) {
  if (fileName.size() < stemLength + 5) return -1;
  const std::wstring middle = fileName.substr(stemLength + 1, fileName.size() - stemLength - 5);
  if (middle.empty() || middle.size() > 8) return -1;
  int n = 0;
  for (wchar_t c : middle) {
    if (c < L'0' || c > L'9') return -1;
    n = n * 10 + (c - L'0');
  }
  return n;
}

std::wstring NumberedName(const std::wstring& folder, const std::wstring& name, int number) {
  wchar_t suffix[32];
  std::swprintf(suffix, 32, L"_%04d.log", number);
  return folder + name + suffix;
}

}  // namespace

// --- File listener -----------------------------------------------------------------------

std::wstring CKorvoLogListenerFile::MutexNameFor(const std::wstring& fileName) {
  std::wstring name = fileName;
  if (auto colon = name.find(L':'); colon != std::wstring::npos) name.erase(0, colon + 1);
  std::replace(name.begin(), name.end(), L'\\', L'.');
  return L"Global\\" + name;
}

CKorvoLogListenerFile::CKorvoLogListenerFile(bool queuedWrites, int defaultMinLevel)
    : CKorvoLogListener(defaultMinLevel), m_queuedWrites(queuedWrites) {
  CLogPolicyKeys keys;
  m_maxLogSizeKB = keys.ReadMaxLogSizeKB();
  m_writesUntilCheck = 10LL * m_maxLogSizeKB + 1;  // the first write checks the size

  bool folderReady = false;
  wchar_t folder[MAX_PATH] = {};
  const std::wstring program = GetProgramBaseName();
  if (SUCCEEDED(SHGetFolderPath(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, folder))) {
    std::wstring path = std::wstring(folder) + kLogFolder;
    if (CreateDirectory(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
      path += L"\\" + program + L".log";
      if (path.size() < MAX_PATH && !program.empty()) {
        std::wmemcpy(m_fileName, path.c_str(), path.size() + 1);
        folderReady = true;
      }
    }
  }

  m_mutexName = MutexNameFor(folderReady ? std::wstring(m_fileName) : program + L".log");
  m_hMutex = CreateMutex(nullptr, FALSE, m_mutexName.c_str());

  if (folderReady && AcquireAndOpen()) {
    if (!FirstLineLooksLikeLog()) Rotate(true);
    if (auto queued = keys.ReadQueuedWrites()) m_queuedWrites = *queued;
    if (m_queuedWrites) {
      m_queue = new CKorvoLogQueue;
      m_queue->owner = this;
    }
    CloseAndRelease();
  }
}

CKorvoLogListenerFile::~CKorvoLogListenerFile() {
  if (m_queue != nullptr) {
    // Everything still queued is written: entries logged just before shutdown are the
    // ones that explain it. But the writer waits for the log mutex only until the
    // deadline, so a process that holds it forever cannot hang our exit.
    {
      CriticalSectionLock guard(m_queue->lock);
      m_queue->closing = true;
      m_queue->closeDeadline = GetTickCount64() + kCloseMutexWaitMs;
    }
    Flush();
    HANDLE lastWriter = nullptr;
    std::size_t dropped = 0;
    bool mutexTimedOut = false;
    {
      CriticalSectionLock guard(m_queue->lock);
      dropped = m_queue->entries.ends.size();
      mutexTimedOut = m_queue->mutexTimeouts != 0;
      m_queue->entries.clear();
      lastWriter = m_queue->hWriterThread;
      m_queue->hWriterThread = nullptr;
    }
    if (lastWriter != nullptr) {
      WaitForSingleObject(lastWriter, INFINITE);  // it may still be releasing the file
      CloseHandle(lastWriter);
    }
    if (dropped != 0) {
      // Never silently: the log file is what is missing, so say it where a developer
      // still looks.
      const std::wstring why = mutexTimedOut
                                   ? L"its mutex was not free within " + std::to_wstring(kCloseMutexWaitMs) + L" ms"
                                   : std::wstring(L"it could not be opened");
      const std::wstring text = L"CKorvoLogListenerFile::~CKorvoLogListenerFile : " + std::to_wstring(dropped) +
                                L" queued lines dropped, not written to " + m_fileName + L": " + why + L"\r\n";
      OutputDebugString(text.c_str());
    }
    delete m_queue;
    m_queue = nullptr;
  }
  m_fileName[0] = L'\0';
  if (m_hMutex != nullptr) CloseHandle(m_hMutex);
  m_hMutex = nullptr;
}

bool CKorvoLogListenerFile::FirstLineLooksLikeLog() {
  wchar_t first[25] = {};
  if (fgetws(first, 25, m_file) == nullptr) {
    return feof(m_file) && !ferror(m_file);  // an empty file is fine; a failed read is not
  }
  return HasLogLinePrefixShape(first);
}

bool CKorvoLogListenerFile::AcquireAndOpen() {
  if (m_hMutex == nullptr) return false;
  const DWORD wait = WaitForSingleObject(m_hMutex, INFINITE);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return false;
  return OpenWithMutexHeld();
}

CKorvoLogListenerFile::MutexWait CKorvoLogListenerFile::WaitForMutexAsWriter() {
  if (m_hMutex == nullptr) return MutexWait::kFailed;
  for (;;) {
    DWORD slice = kWriterMutexSlice;
    bool last = false;
    {
      CriticalSectionLock guard(m_queue->lock);
      if (m_queue->closing) {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG left = m_queue->closeDeadline > now ? m_queue->closeDeadline - now : 0;
        if (left <= slice) {
          slice = static_cast<DWORD>(left);
          last = true;
        }
      }
    }
    // A timed wait, also while the listener lives: an unbounded one could not be cut
    // short when it starts closing.
    const DWORD wait = WaitForSingleObject(m_hMutex, slice);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) return MutexWait::kAcquired;
    if (wait != WAIT_TIMEOUT) return MutexWait::kFailed;
    if (last) return MutexWait::kTimedOut;
  }
}

bool CKorvoLogListenerFile::OpenWithMutexHeld() {
  if (m_file != nullptr) {
    fclose(m_file);
    m_file = nullptr;
  }
  if (_wfopen_s(&m_file, m_fileName, L"a+,ccs=UTF-8") != 0 || m_file == nullptr) {
    m_file = nullptr;
    ReleaseMutex(m_hMutex);
    return false;
  }
  return true;
}

void CKorvoLogListenerFile::CloseAndRelease() {
  if (m_file != nullptr) {
    fflush(m_file);
    fclose(m_file);
    m_file = nullptr;
  }
  ReleaseMutex(m_hMutex);
}

void CKorvoLogListenerFile::WriteEntry(std::string_view fileLine) {
  const std::int64_t before = m_writesUntilCheck++;
  if (before > 10LL * m_maxLogSizeKB) {
    if (m_maxLogSizeKB > 0) Rotate(false);  // a zero or negative size never rotates
    m_writesUntilCheck /= 2;
  }
  if (m_file == nullptr) return;                        // could not be reopened after a rotation
  fwrite(fileLine.data(), 1, fileLine.size(), m_file);  // UTF-8 with CR LF already
}

void CKorvoLogListenerFile::Rotate(bool force) {
  // Buffered lines belong to the active file: they count towards its size and move
  // with it.
  if (m_file != nullptr) fflush(m_file);
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  if (!GetFileAttributesEx(m_fileName, GetFileExInfoStandard, &attributes)) return;
  if (!force) {
    if (m_maxLogSizeKB <= 0) return;
    const std::uint64_t size = (std::uint64_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
    if (attributes.nFileSizeHigh == 0 && size <= static_cast<std::uint64_t>(m_maxLogSizeKB) * 1024) return;
  }
  wchar_t drive[_MAX_DRIVE] = {}, dir[_MAX_DIR] = {}, name[_MAX_FNAME] = {}, ext[_MAX_EXT] = {};
  if (_wsplitpath_s(m_fileName, drive, _MAX_DRIVE, dir, _MAX_DIR, name, _MAX_FNAME, ext, _MAX_EXT) != 0) return;
  const std::wstring folder = std::wstring(drive) + dir;
  const std::wstring stem = name;

  // The numbered files, oldest first. Files written within the same clock tick are
  // ordered by their number (a higher number is older), so none is left out.
  struct Numbered {
    std::uint64_t lastWrite;
    int number;
    std::wstring path;
  };
  std::vector<Numbered> files;
  WIN32_FIND_DATA found{};
  HANDLE find = FindFirstFile((folder + stem + L"_*.log").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      files.push_back(
          {FileTimeToUInt64(found.ftLastWriteTime), NumberOf(found.cFileName, stem.size()), folder + found.cFileName});
    } while (FindNextFile(find, &found));
    FindClose(find);
  }
  std::sort(files.begin(), files.end(), [](const Numbered& a, const Numbered& b) {
    return a.lastWrite != b.lastWrite ? a.lastWrite < b.lastWrite : a.number > b.number;
  });
  // Keep room for the file about to become _0001. More than nine can only come from
  // files someone else put there; trimming them keeps the count bounded.
  while (static_cast<int>(files.size()) >= kMaxNumberedFiles) {
    DeleteFile(files.front().path.c_str());
    files.erase(files.begin());
  }

  // Two phases, so that no rename meets a name that is still taken.
  struct Move {
    std::wstring original, temporary, final;
  };
  std::vector<Move> moves;
  const int n = static_cast<int>(files.size());
  bool phaseOneFailed = false;
  for (int i = 0; i < n; ++i) {
    const int number = n + 1 - i;
    wchar_t temporary[MAX_PATH] = {};
    if (GetTempFileName(folder.c_str(), L"_log_", static_cast<UINT>(number & 0xFF), temporary) == 0) {
      phaseOneFailed = true;
      break;
    }
    DeleteFile(temporary);
    if (!MoveFile(files[i].path.c_str(), temporary)) {
      phaseOneFailed = true;
      break;
    }
    moves.push_back({files[i].path, temporary, NumberedName(folder, stem, number)});
  }
  if (phaseOneFailed) {
    // Put back what was moved, so no file is stranded under a temporary name; the
    // active file then cannot take _0001 and writing goes on in it.
    for (auto it = moves.rbegin(); it != moves.rend(); ++it) MoveFile(it->temporary.c_str(), it->original.c_str());
    moves.clear();
  }
  for (const auto& move : moves) MoveFile(move.temporary.c_str(), move.final.c_str());

  const bool wasOpen = m_file != nullptr;
  if (wasOpen) {
    fclose(m_file);
    m_file = nullptr;
  }
  MoveFile(m_fileName, NumberedName(folder, stem, 1).c_str());
  if (wasOpen && _wfopen_s(&m_file, m_fileName, L"a+,ccs=UTF-8") != 0) m_file = nullptr;
}

void CKorvoLogListenerFile::Write(const LogData& data) {
  if (m_fileName[0] == L'\0') return;
  thread_local std::string line;  // keeps its capacity: no allocation per entry
  line.clear();
  data.AppendFileLine(line);
  if (m_queue != nullptr && m_queuedWrites) {
    CriticalSectionLock guard(m_queue->lock);
    m_queue->entries.bytes.append(line);
    m_queue->entries.ends.push_back(static_cast<std::uint32_t>(m_queue->entries.bytes.size()));
    // A writer that is still closing the file takes these up itself.
    if (m_queue->writersActive == 0) StartWriterLocked();
    return;
  }
  if (AcquireAndOpen()) {
    WriteEntry(line);
    CloseAndRelease();
  }
}

void CKorvoLogListenerFile::StartWriterLocked() {
  if (m_queue->hWriterThread != nullptr) CloseHandle(m_queue->hWriterThread);
  m_queue->hWriterThread = CreateThread(nullptr, 0, &CKorvoLogListenerFile::WriterThread, this, 0, nullptr);
  m_queue->writerRunning = m_queue->hWriterThread != nullptr;
  if (m_queue->writerRunning) ++m_queue->writersActive;
}

DWORD CKorvoLogListenerFile::WriterThread(void* param) {
  auto* self = static_cast<CKorvoLogListenerFile*>(param);
  CKorvoLogQueue* queue = self->m_queue;
  CKorvoLogEntries batch;
  for (;;) {
    const MutexWait wait = self->WaitForMutexAsWriter();
    if (wait != MutexWait::kAcquired || !self->OpenWithMutexHeld()) {
      // The entries stay queued: the writer started for the next entry tries again, or
      // the closing listener counts them as dropped.
      CriticalSectionLock guard(queue->lock);
      queue->writerRunning = false;
      ++(wait == MutexWait::kTimedOut ? queue->mutexTimeouts : queue->openFailures);
      --queue->writersActive;
      queue->writerEnded.notify_all();
      return 1;
    }
    // The mutex and the open file are held for the whole batch; the queue lock only
    // while taking entries out, never while writing.
    const auto turnStart = std::chrono::steady_clock::now();
    bool more = false;
    int naps = 0;
    for (;;) {
      {
        CriticalSectionLock guard(queue->lock);
        if (queue->entries.empty() && naps == kWriterNaps) {
          queue->writerRunning = false;
          break;
        }
        batch.swap(queue->entries);
      }
      if (batch.empty()) {
        ++naps;
        std::this_thread::sleep_for(kWriterNap);
        continue;
      }
      naps = 0;
      std::uint32_t begin = 0;
      for (std::uint32_t end : batch.ends) {
        self->WriteEntry(std::string_view(batch.bytes).substr(begin, end - begin));
        begin = end;
      }
      batch.clear();
      if (std::chrono::steady_clock::now() - turnStart > kWriterTurn) {
        more = true;  // let other processes have the file, then carry on
        break;
      }
    }
    self->CloseAndRelease();
    if (more) continue;
    CriticalSectionLock guard(queue->lock);
    if (queue->entries.empty()) {
      --queue->writersActive;
      queue->writerEnded.notify_all();
      return 0;
    }
    queue->writerRunning = true;  // entries came while the file was being closed
  }
}

void CKorvoLogListenerFile::Flush() {
  if (m_queue == nullptr) return;
  std::unique_lock<std::recursive_mutex> lock(m_queue->lock.mutex);
  const unsigned openFailuresAtStart = m_queue->openFailures;
  const unsigned mutexTimeoutsAtStart = m_queue->mutexTimeouts;
  for (;;) {
    if (m_queue->entries.empty() && m_queue->writersActive == 0) return;
    if (m_queue->writersActive == 0) {
      if (m_queue->openFailures != openFailuresAtStart) return;    // the file cannot be opened
      if (m_queue->mutexTimeouts != mutexTimeoutsAtStart) return;  // closing, and the mutex is not free
      StartWriterLocked();
      if (!m_queue->writerRunning) return;  // no thread could be started
    }
    m_queue->writerEnded.wait(lock);  // every writer signals when it has closed the file
  }
}

// --- Console, debugger and event-log listeners ----------------------------------------------

void CKorvoLogListenerConsole::Write(const LogData& data) {
  std::string text = data.functionName;
  text += " : ";
  AppendUtf8(text, data.message);
  text += "\r\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void CKorvoLogListenerDebug::Write(const LogData& data) {
  std::wstring text;
  text.reserve(data.functionName.size() + data.message.size() + 10);
  for (char c : data.functionName) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  text += L" : ";
  text += data.message;
  text += L"\r\n";
  OutputDebugString(text.c_str());
}

CKorvoLogListenerEvent::CKorvoLogListenerEvent(int defaultMinLevel) : CKorvoLogListener(defaultMinLevel) {
  m_hEventSource = RegisterEventSource(nullptr, GetProgramBaseName().c_str());
}

CKorvoLogListenerEvent::~CKorvoLogListenerEvent() {
  if (m_hEventSource != nullptr) DeregisterEventSource(m_hEventSource);
}

void CKorvoLogListenerEvent::Write(const LogData& data) {
  if (m_hEventSource == nullptr) return;
  // Whatever maxLevel says, the event log never gets trace, detail or timing lines
  // above Error.
  if (data.level < minLevel || data.level > LogLevel::Error) return;
  WORD type = EVENTLOG_INFORMATION_TYPE;
  if (data.level == LogLevel::Warning) type = EVENTLOG_WARNING_TYPE;
  if (data.level == LogLevel::Error) type = EVENTLOG_ERROR_TYPE;
  LPCWSTR strings[1] = {data.GetLine().c_str()};
  ReportEvent(m_hEventSource, type, 0, static_cast<DWORD>(data.level), nullptr, 1, 0, strings, nullptr);
}

}  // namespace Korvo::Shared
