#include "app/shell/logging_handler.h"

#include "app/runtime/app_data.h"

namespace Korvo_Tallisk {

using namespace app_runtime;

namespace {

ApplicationDataContainer& Settings() {
  return ApplicationData::Current().LocalSettings();
}

// A setting is written by removing the key and inserting the new value; a reset inserts
// a null value.
void WriteSetting(const QString& key, const QVariant& value) {
  auto& settings = Settings();
  if (settings.HasKey(key)) settings.Remove(key);
  settings.Insert(key, value);
}

QString LogFolder() {
  return CreateFolder(ApplicationData::Current().LocalFolder(), QString::fromLatin1(LoggingHandler::kLogFolderName),
                      CreationCollisionOption::OpenIfExists);
}

}  // namespace

std::shared_ptr<LoggingHandler> LoggingHandler::GetInstance() {
  // Made once, under the language's guard for statics, and never destroyed before the
  // process ends.
  static const std::shared_ptr<LoggingHandler> instance = Create(Lifecycle::Current());
  return instance;
}

std::shared_ptr<LoggingHandler> LoggingHandler::Create(Lifecycle& lifecycle, std::int64_t maximumFileSize) {
  std::shared_ptr<LoggingHandler> handler(new LoggingHandler(lifecycle, maximumFileSize));
  handler->Subscribe();
  handler->StartProcedure();
  return handler;
}

LoggingHandler::LoggingHandler(Lifecycle& lifecycle, std::int64_t maximumFileSize)
    : m_lifecycle(lifecycle), m_maximumFileSize(maximumFileSize), m_channel(QString::fromLatin1(kChannelName)) {
  m_debugOutputToken = AddDebugOutputListener(m_channel);
}

LoggingHandler::~LoggingHandler() {
  m_lifecycle.Suspending(m_suspendingToken);
  m_lifecycle.Resuming(m_resumingToken);
  std::unique_ptr<FileLoggingSession> session;
  {
    std::lock_guard lock(m_sessionMutex);
    session.swap(m_session);
  }
}

void LoggingHandler::Subscribe() {
  m_suspendingToken = m_lifecycle.Suspending([this](const SuspendingEventArgs& args) { OnSuspending(args); });
  m_resumingToken = m_lifecycle.Resuming([this] { OnResuming(); });
}

void LoggingHandler::LogMessage(const QString& message) {
  m_channel.LogMessage(message, LoggingLevel::Verbose);
}

void LoggingHandler::LogMessage(const QString& message, LoggingLevel level) {
  m_channel.LogMessage(message, level);
}

bool LoggingHandler::HasSession() const {
  std::lock_guard lock(m_sessionMutex);
  return m_session != nullptr;
}

QString LoggingHandler::TimeStamp(const QDateTime& localTime) {
  const QDate d = localTime.date();
  const QTime t = localTime.time();
  return QString::asprintf("%02u%02u%02u-%02u%02u%02u%03u", static_cast<unsigned>(d.year() - 2000),
                           static_cast<unsigned>(d.month()), static_cast<unsigned>(d.day()),
                           static_cast<unsigned>(t.hour()), static_cast<unsigned>(t.minute()),
                           static_cast<unsigned>(t.second()), static_cast<unsigned>(t.msec()));
}

void LoggingHandler::StartProcedure() {
  const QString enabledKey = QString::fromLatin1(kLoggingEnabledKey);
  if (Settings().HasKey(enabledKey)) {
    if (Settings().Lookup(enabledKey).toBool()) StartFileLogging();
  } else {
    WriteSetting(enabledKey, true);
    StartFileLogging();
  }
  const QString beforeSuspendKey = QString::fromLatin1(kFileBeforeSuspendKey);
  if (Settings().HasKey(beforeSuspendKey)) {
    const QString path = Settings().Lookup(beforeSuspendKey).toString();
    if (!path.isEmpty()) {
      RaiseStatusChanged(LoggingEventArgs::kFileBeforeSuspend, path);
      WriteSetting(beforeSuspendKey, QVariant());
    }
  }
}

void LoggingHandler::StartFileLogging() {
  std::lock_guard lock(m_sessionMutex);
  if (!m_session) {
    m_session = std::make_unique<FileLoggingSession>(QString::fromLatin1(kSessionName), m_maximumFileSize);
    m_session->LogFileGenerated([this](FileLoggingSession& session, const LogFileGeneratedEventArgs& args) {
      OnLogFileGenerated(session, args);
    });
  }
  m_session->AddLoggingChannel(m_channel, LoggingLevel::Verbose);
}

void LoggingHandler::OnLogFileGenerated(FileLoggingSession&, const LogFileGeneratedEventArgs& args) {
  const QString folder = LogFolder();
  const QString name =
      QStringLiteral("Log-Korvo_Tallisk") + TimeStamp(QDateTime::currentDateTime()) + QStringLiteral(".etl");
  const QString moved = MoveFile(args.File(), folder, name, NameCollisionOption::FailIfExists);
  if (!m_suspending) RaiseStatusChanged(LoggingEventArgs::kRolloverFile, moved);
}

task<std::optional<QString>> LoggingHandler::CloseSessionSaveFinalLogFile() {
  FileLoggingSession* session = nullptr;
  {
    std::lock_guard lock(m_sessionMutex);
    session = m_session.get();
  }
  return session->CloseAndSaveToFileAsync().then([this](task<std::optional<QString>> saved) {
    // The session goes whatever the save found: a failed move must not leave the app
    // with a closed session that the next resume would take for a running one.
    auto dropSession = [this] {
      std::unique_ptr<FileLoggingSession> closed;
      {
        std::lock_guard lock(m_sessionMutex);
        closed.swap(m_session);
      }
      if (closed) closed->Close();
    };
    std::optional<QString> result;
    try {
      if (const auto file = saved.get()) {
        const QString folder = LogFolder();
        const QString name = QStringLiteral("Log-") + TimeStamp(QDateTime::currentDateTime()) + QStringLiteral(".etl");
        MoveFile(*file, folder, name, NameCollisionOption::FailIfExists);
        result = GetFileFromPath(folder + u'/' + name);
      }
    } catch (...) {
      dropSession();
      m_suspending = false;
      throw;
    }
    dropSession();
    WriteSetting(QString::fromLatin1(kLoggingEnabledKey), true);
    WriteSetting(QString::fromLatin1(kFileBeforeSuspendKey), result ? QVariant(*result) : QVariant());
    m_suspending = false;
    return result;
  });
}

void LoggingHandler::OnSuspending(const SuspendingEventArgs& args) {
  auto deferral = args.SuspendingOperation().GetDeferral();
  if (HasSession()) {
    m_suspending = true;
    CloseSessionSaveFinalLogFile().then([deferral](task<std::optional<QString>> saved) mutable {
      deferral.Complete();
      saved.get();  // a failure ends this task; nobody reports the reporting path's own faults
    });
    return;
  }
  WriteSetting(QString::fromLatin1(kLoggingEnabledKey), false);
  WriteSetting(QString::fromLatin1(kFileBeforeSuspendKey), QVariant());
  deferral.Complete();
}

void LoggingHandler::OnResuming() {
  StartProcedure();
}

void LoggingHandler::RaiseStatusChanged(std::int32_t code, const QString& path) {
  m_statusChanged(*this, LoggingEventArgs(code, path));
}

void Log(const char* operation, const QString& text, LoggingLevel level) {
  Log(QString::fromLatin1(operation), text, level);
}

void Log(const QString& operation, const QString& text, LoggingLevel level) {
  LoggingHandler::GetInstance()->LogMessage(operation + text, level);
}

}  // namespace Korvo_Tallisk
