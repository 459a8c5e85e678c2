// The app's logging channel and file logging session.
//
// A LoggingChannel takes lines with a level and hands each to its trace listeners and
// to the file sessions that record it. The app's own listener is the debug output: Qt's
// message log under the category "korvo.tallisk.channel" (off unless enabled, e.g.
// QT_LOGGING_RULES="korvo.tallisk.channel=true"; Qt sends it to standard error).
//
// A FileLoggingSession records the channels added to it into files, one record a line:
//
//   2026/12/09 06:39:12.042|00001F2A|Verbose    |Korvo_Tallisk::App::OnLaunchedEntry
//
// (local time, thread id, level name padded to 11, the message; a line break inside a
// message is written as "\n", a backslash as "\\"). The file in progress lives in
// <temporary folder>/<session name>/; when it reaches the session's maximum size the
// session closes it, starts the next one and raises LogFileGenerated with the finished
// file on a pool thread: the handler owns the file from then on (moves or deletes it).
// CloseAndSaveToFileAsync stops recording and yields the file in progress, or none when
// nothing was recorded since the last file was handed over.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <QDateTime>
#include <QString>

#include "app/runtime/event.h"
#include "app/runtime/task.h"

namespace app_runtime {

enum class LoggingLevel : int { Verbose = 0, Information = 1, Warning = 2, Error = 3, Critical = 4 };

// "Verbose", "Information", ...
QString LoggingLevelName(LoggingLevel level);

struct LogRecord {
  QDateTime time;  // local time
  std::uint64_t threadId = 0;
  LoggingLevel level = LoggingLevel::Verbose;
  QString message;
};

// One record as the session writes it, without the line break.
QString FormatLogRecord(const LogRecord& record);

class FileLoggingSession;

class LoggingChannel {
 public:
  using Listener = std::function<void(const LoggingChannel&, const LogRecord&)>;

  explicit LoggingChannel(QString name);
  ~LoggingChannel();
  LoggingChannel(const LoggingChannel&) = delete;
  LoggingChannel& operator=(const LoggingChannel&) = delete;

  const QString& Name() const { return name_; }

  void LogMessage(const QString& message);  // at Verbose
  void LogMessage(const QString& message, LoggingLevel level);

  // Trace listeners: every line of every level.
  event_token AddListener(Listener listener) { return listeners_.Add(std::move(listener)); }
  void RemoveListener(event_token token) { listeners_.Remove(token); }

 private:
  friend class FileLoggingSession;
  struct Recorder {
    FileLoggingSession* session;
    LoggingLevel minimum;
  };
  void Attach(FileLoggingSession* session, LoggingLevel minimum);
  void Detach(FileLoggingSession* session);

  QString name_;
  Event<const LoggingChannel&, const LogRecord&> listeners_;
  std::mutex recordersMutex_;
  std::vector<Recorder> recorders_;
};

// Hands Qt's message log the channel's lines (the app's debug output).
event_token AddDebugOutputListener(LoggingChannel& channel);

class LogFileGeneratedEventArgs {
 public:
  explicit LogFileGeneratedEventArgs(QString file) : file_(std::move(file)) {}
  // Full path of the finished file.
  const QString& File() const { return file_; }

 private:
  QString file_;
};

class FileLoggingSession {
 public:
  // The size at which a file is finished and the next one begins, when the session is
  // made without one.
  static constexpr std::int64_t kDefaultMaximumFileSize = 256 * 1024;

  using LogFileGeneratedHandler = std::function<void(FileLoggingSession&, const LogFileGeneratedEventArgs&)>;

  explicit FileLoggingSession(QString name, std::int64_t maximumFileSize = kDefaultMaximumFileSize);
  // Closes the session; a file in progress is discarded.
  ~FileLoggingSession();
  FileLoggingSession(const FileLoggingSession&) = delete;
  FileLoggingSession& operator=(const FileLoggingSession&) = delete;

  const QString& Name() const { return name_; }

  void AddLoggingChannel(LoggingChannel& channel, LoggingLevel minimum = LoggingLevel::Verbose);
  void RemoveLoggingChannel(LoggingChannel& channel);

  event_token LogFileGenerated(LogFileGeneratedHandler handler) { return generated_.Add(std::move(handler)); }
  void LogFileGenerated(event_token token) { generated_.Remove(token); }

  // Stops recording and yields the file in progress (its full path), or none when
  // nothing was recorded since the last file. A second call yields none.
  task<std::optional<QString>> CloseAndSaveToFileAsync();
  // Stops recording and discards the file in progress.
  void Close();

 private:
  friend class LoggingChannel;
  void Record(const LogRecord& record);
  void DetachAll();
  // Under mutex_: finishes the file in progress and returns its path.
  std::optional<QString> FinishFileLocked();

  QString name_;
  QString folder_;
  std::int64_t maximumFileSize_;
  Event<FileLoggingSession&, const LogFileGeneratedEventArgs&> generated_;

  std::mutex mutex_;
  bool closed_ = false;
  std::vector<LoggingChannel*> channels_;
  std::ofstream file_;
  QString filePath_;
  std::int64_t fileSize_ = 0;
  int fileNumber_ = 0;
  // Handlers of rollover files still running; the destructor waits for them.
  std::vector<task<void>> handoffs_;
};

}  // namespace app_runtime
