// The app's one logging object. Every part of the app writes its lines through it: it
// publishes them on the channel "Korvo_Tallisk_Channel", records the channel with the
// file session "Korvo_Tallisk_Session", moves each finished file into the folder
// "Korvo_Tallisk_LogFiles" of the app's local folder, closes the session when the app
// is suspended (remembering the final file in the local settings) and starts a new one
// when it resumes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include <QString>

#include "app/runtime/event.h"
#include "app/runtime/lifecycle.h"
#include "app/runtime/logging.h"
#include "app/runtime/task.h"

namespace Korvo_Tallisk {

using app_runtime::LoggingLevel;

class LoggingHandler;

class LoggingEventArgs {
 public:
  // Rollover file produced while the app was running.
  static constexpr std::int32_t kRolloverFile = 1;
  // Final file of the last suspension, reported after the next start or resume.
  static constexpr std::int32_t kFileBeforeSuspend = 3;

  LoggingEventArgs(std::int32_t statusCode, QString logFilePath)
      : m_statusCode(statusCode), m_logFilePath(std::move(logFilePath)) {}
  std::int32_t StatusCode() const { return m_statusCode; }
  const QString& LogFilePath() const { return m_logFilePath; }

 private:
  std::int32_t m_statusCode;
  QString m_logFilePath;
};

using StatusChangedHandler = std::function<void(LoggingHandler& sender, const LoggingEventArgs& args)>;

class LoggingHandler {
 public:
  static constexpr const char* kChannelName = "Korvo_Tallisk_Channel";
  static constexpr const char* kSessionName = "Korvo_Tallisk_Session";
  static constexpr const char* kLogFolderName = "Korvo_Tallisk_LogFiles";
  static constexpr const char* kLoggingEnabledKey = "Korvo_Tallisk_LoggingEnabled";
  static constexpr const char* kFileBeforeSuspendKey = "Korvo_Tallisk_LogFileGeneratedBeforeSuspend";

  // The process's handler, made by the first call (the app's first log line).
  static std::shared_ptr<LoggingHandler> GetInstance();

  // A handler of its own on `lifecycle`, for tests; `maximumFileSize` is the size at
  // which its session rolls over.
  static std::shared_ptr<LoggingHandler> Create(
      app_runtime::Lifecycle& lifecycle,
      std::int64_t maximumFileSize = app_runtime::FileLoggingSession::kDefaultMaximumFileSize);

  ~LoggingHandler();
  LoggingHandler(const LoggingHandler&) = delete;
  LoggingHandler& operator=(const LoggingHandler&) = delete;

  void LogMessage(const QString& message);  // at Verbose
  void LogMessage(const QString& message, LoggingLevel level);

  app_runtime::event_token StatusChanged(StatusChangedHandler handler) {
    return m_statusChanged.Add(std::move(handler));
  }
  void StatusChanged(app_runtime::event_token token) { m_statusChanged.Remove(token); }

  app_runtime::LoggingChannel& Channel() { return m_channel; }
  bool HasSession() const;
  // "Log-" or "Log-Korvo_Tallisk" + this + ".etl": local time as
  // "%02u%02u%02u-%02u%02u%02u%03u" of year - 2000, month, day, hour, minute, second, ms.
  static QString TimeStamp(const QDateTime& localTime);

 private:
  friend class LoggingHandlerTest;
  LoggingHandler(app_runtime::Lifecycle& lifecycle, std::int64_t maximumFileSize);
  void Subscribe();

  void StartProcedure();
  void StartFileLogging();
  app_runtime::task<std::optional<QString>> CloseSessionSaveFinalLogFile();
  void OnLogFileGenerated(app_runtime::FileLoggingSession& session, const app_runtime::LogFileGeneratedEventArgs& args);
  void OnSuspending(const app_runtime::SuspendingEventArgs& args);
  void OnResuming();
  void RaiseStatusChanged(std::int32_t code, const QString& path);

  app_runtime::Lifecycle& m_lifecycle;
  const std::int64_t m_maximumFileSize;
  app_runtime::LoggingChannel m_channel;
  mutable std::mutex m_sessionMutex;
  std::unique_ptr<app_runtime::FileLoggingSession> m_session;
  std::atomic<bool> m_suspending{false};
  app_runtime::Event<LoggingHandler&, const LoggingEventArgs&> m_statusChanged;
  app_runtime::event_token m_suspendingToken;
  app_runtime::event_token m_resumingToken;
  app_runtime::event_token m_debugOutputToken;
};

// One line of the app's log: the caller's qualified operation name immediately followed
// by `text` (Korvo_Tallisk::MainPage::UpdateUI + "Entry").
void Log(const char* operation, const QString& text, LoggingLevel level = LoggingLevel::Verbose);
void Log(const QString& operation, const QString& text, LoggingLevel level = LoggingLevel::Verbose);

}  // namespace Korvo_Tallisk
