#include "app/runtime/logging.h"

#include <algorithm>
#include <filesystem>

#include <QDir>
#include <QLoggingCategory>

#include "app/runtime/app_data.h"
#include "app/runtime/errors.h"
#include "platform/types.h"

namespace app_runtime {
namespace {

Q_LOGGING_CATEGORY(lcChannel, "korvo.tallisk.channel", QtWarningMsg)

std::uint64_t CurrentThreadId() {
  return platform::GetCurrentThreadId();
}

std::filesystem::path HostPath(const QString& path) {
  return std::filesystem::path(path.toStdString());
}

}  // namespace

QString LoggingLevelName(LoggingLevel level) {
  switch (level) {
    case LoggingLevel::Verbose:
      return QStringLiteral("Verbose");
    case LoggingLevel::Information:
      return QStringLiteral("Information");
    case LoggingLevel::Warning:
      return QStringLiteral("Warning");
    case LoggingLevel::Error:
      return QStringLiteral("Error");
    case LoggingLevel::Critical:
      return QStringLiteral("Critical");
  }
  return QString::number(static_cast<int>(level));
}

QString FormatLogRecord(const LogRecord& record) {
  QString message = record.message;
  message.replace(u'\\', QStringLiteral("\\\\"))
      .replace(u'\n', QStringLiteral("\\n"))
      .replace(u'\r', QStringLiteral("\\r"));
  const QString thread =
      QStringLiteral("%1").arg(static_cast<quint32>(record.threadId), 8, 16, QLatin1Char('0')).toUpper();
  return record.time.toString(QStringLiteral("yyyy/MM/dd hh:mm:ss.zzz")) + u'|' + thread + u'|' +
         LoggingLevelName(record.level).leftJustified(11) + u'|' + message;
}

// ---- LoggingChannel -------------------------------------------------------------------

LoggingChannel::LoggingChannel(QString name) : name_(std::move(name)) {}

LoggingChannel::~LoggingChannel() {
  std::vector<Recorder> recorders;
  {
    std::lock_guard lock(recordersMutex_);
    recorders.swap(recorders_);
  }
  for (const auto& r : recorders) r.session->RemoveLoggingChannel(*this);
}

void LoggingChannel::LogMessage(const QString& message) {
  LogMessage(message, LoggingLevel::Verbose);
}

void LoggingChannel::LogMessage(const QString& message, LoggingLevel level) {
  const LogRecord record{QDateTime::currentDateTime(), CurrentThreadId(), level, message};
  listeners_(*this, record);
  std::lock_guard lock(recordersMutex_);
  for (const auto& r : recorders_) {
    if (level >= r.minimum) r.session->Record(record);
  }
}

void LoggingChannel::Attach(FileLoggingSession* session, LoggingLevel minimum) {
  std::lock_guard lock(recordersMutex_);
  for (auto& r : recorders_) {
    if (r.session == session) {
      r.minimum = minimum;
      return;
    }
  }
  recorders_.push_back({session, minimum});
}

void LoggingChannel::Detach(FileLoggingSession* session) {
  std::lock_guard lock(recordersMutex_);
  std::erase_if(recorders_, [&](const Recorder& r) { return r.session == session; });
}

event_token AddDebugOutputListener(LoggingChannel& channel) {
  return channel.AddListener([](const LoggingChannel& from, const LogRecord& record) {
    const QString text = from.Name() + u'|' + LoggingLevelName(record.level) + u'|' + record.message;
    switch (record.level) {
      case LoggingLevel::Verbose:
        qCDebug(lcChannel).noquote() << text;
        break;
      case LoggingLevel::Information:
        qCInfo(lcChannel).noquote() << text;
        break;
      case LoggingLevel::Warning:
        qCWarning(lcChannel).noquote() << text;
        break;
      case LoggingLevel::Error:
      case LoggingLevel::Critical:
        qCCritical(lcChannel).noquote() << text;
        break;
    }
  });
}

// ---- FileLoggingSession ---------------------------------------------------------------

FileLoggingSession::FileLoggingSession(QString name, std::int64_t maximumFileSize)
    : name_(std::move(name)),
      folder_(ApplicationData::Current().TemporaryFolder() + u'/' + name_),
      maximumFileSize_(std::max<std::int64_t>(maximumFileSize, 1)) {
  if (!QDir().mkpath(folder_)) {
    throw hresult_error(E_PATH_NOT_FOUND, QStringLiteral("cannot make the session folder %1").arg(folder_));
  }
}

FileLoggingSession::~FileLoggingSession() {
  Close();
  std::vector<task<void>> handoffs;
  {
    std::lock_guard lock(mutex_);
    handoffs.swap(handoffs_);
  }
  for (auto& h : handoffs) h.wait();
}

void FileLoggingSession::AddLoggingChannel(LoggingChannel& channel, LoggingLevel minimum) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) throw hresult_error(E_ILLEGAL_METHOD_CALL, QStringLiteral("the session %1 is closed").arg(name_));
    if (std::find(channels_.begin(), channels_.end(), &channel) == channels_.end()) channels_.push_back(&channel);
  }
  channel.Attach(this, minimum);
}

void FileLoggingSession::RemoveLoggingChannel(LoggingChannel& channel) {
  {
    std::lock_guard lock(mutex_);
    std::erase(channels_, &channel);
  }
  channel.Detach(this);
}

void FileLoggingSession::DetachAll() {
  std::vector<LoggingChannel*> channels;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    channels.swap(channels_);
  }
  // Detaching waits for a line being recorded on another thread: the channel holds its
  // lock while it hands the line over.
  for (auto* c : channels) c->Detach(this);
}

void FileLoggingSession::Record(const LogRecord& record) {
  std::optional<QString> finished;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (!file_.is_open()) {
      ++fileNumber_;
      filePath_ = QStringLiteral("%1/%2-%3.etl").arg(folder_, name_).arg(fileNumber_);
      file_.open(HostPath(filePath_), std::ios::binary | std::ios::trunc);
      fileSize_ = 0;
      if (!file_) {
        qCWarning(lcChannel) << "cannot write the log file" << filePath_;
        return;
      }
    }
    const QByteArray line = FormatLogRecord(record).toUtf8() + '\n';
    file_.write(line.constData(), line.size());
    file_.flush();
    fileSize_ += line.size();
    if (fileSize_ >= maximumFileSize_) finished = FinishFileLocked();
    if (finished) {
      // The handler takes the finished file on a pool thread, never on the thread that
      // logged (which may hold locks of its own).
      handoffs_.push_back(
          create_task([this, file = *finished] { generated_(*this, LogFileGeneratedEventArgs(file)); }));
      std::erase_if(handoffs_, [](const task<void>& t) { return t.is_done(); });
    }
  }
}

std::optional<QString> FileLoggingSession::FinishFileLocked() {
  if (!file_.is_open()) return std::nullopt;
  file_.close();
  const QString path = filePath_;
  const bool empty = fileSize_ == 0;
  filePath_.clear();
  fileSize_ = 0;
  if (empty) {
    std::error_code ignored;
    std::filesystem::remove(HostPath(path), ignored);
    return std::nullopt;
  }
  return path;
}

task<std::optional<QString>> FileLoggingSession::CloseAndSaveToFileAsync() {
  DetachAll();
  std::optional<QString> file;
  {
    std::lock_guard lock(mutex_);
    file = FinishFileLocked();
  }
  return create_task([file] { return file; });
}

void FileLoggingSession::Close() {
  DetachAll();
  std::lock_guard lock(mutex_);
  if (auto file = FinishFileLocked()) {
    std::error_code ignored;
    std::filesystem::remove(HostPath(*file), ignored);
  }
}

}  // namespace app_runtime
