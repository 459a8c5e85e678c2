#include "app/runtime/app_data.h"

#include <filesystem>

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "app/runtime/errors.h"

namespace app_runtime {
namespace {

std::mutex g_currentMutex;
std::unique_ptr<ApplicationData> g_current;

std::filesystem::path HostPath(const QString& path) {
  return std::filesystem::path(path.toStdString());
}

}  // namespace

// ---- ApplicationDataContainer ---------------------------------------------------------

ApplicationDataContainer::ApplicationDataContainer(const QString& file)
    : settings_(std::make_unique<QSettings>(file, QSettings::IniFormat)) {}

bool ApplicationDataContainer::HasKey(const QString& key) const {
  std::lock_guard lock(mutex_);
  return settings_->contains(key);
}

QVariant ApplicationDataContainer::Lookup(const QString& key) const {
  std::lock_guard lock(mutex_);
  return settings_->value(key);
}

void ApplicationDataContainer::Insert(const QString& key, const QVariant& value) {
  std::lock_guard lock(mutex_);
  settings_->setValue(key, value);
  settings_->sync();
}

bool ApplicationDataContainer::Remove(const QString& key) {
  std::lock_guard lock(mutex_);
  const bool had = settings_->contains(key);
  settings_->remove(key);
  settings_->sync();
  return had;
}

// ---- ApplicationData ------------------------------------------------------------------

ApplicationData::ApplicationData(const QString& root)
    : root_(QDir::cleanPath(root)), settings_(root_ + QStringLiteral("/settings.ini")) {
  for (const QString& folder : {LocalFolder(), TemporaryFolder()}) {
    if (!QDir().mkpath(folder)) {
      throw hresult_error(E_ACCESS_DENIED_CODE, QStringLiteral("cannot make the app's folder %1").arg(folder));
    }
  }
}

QString ApplicationData::DefaultRoot() {
  const QByteArray overridden = qgetenv("KORVO_TALLISK_DATA");
  if (!overridden.isEmpty()) return QString::fromLocal8Bit(overridden);
  QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.local/share");
  return base + QStringLiteral("/korvo/Korvo Tallisk");
}

ApplicationData& ApplicationData::Current() {
  std::lock_guard lock(g_currentMutex);
  if (!g_current) g_current = std::make_unique<ApplicationData>(DefaultRoot());
  return *g_current;
}

void ApplicationData::UseRoot(const QString& root) {
  auto next = std::make_unique<ApplicationData>(root);
  std::lock_guard lock(g_currentMutex);
  g_current = std::move(next);
}

QString ApplicationData::LocalFolder() const {
  return root_ + QStringLiteral("/LocalState");
}

QString ApplicationData::TemporaryFolder() const {
  return root_ + QStringLiteral("/TempState");
}

// ---- Files and folders ----------------------------------------------------------------

QString CreateFolder(const QString& parent, const QString& name, CreationCollisionOption option) {
  const QString path = QDir::cleanPath(parent + u'/' + name);
  const QFileInfo info(path);
  if (info.exists()) {
    if (!info.isDir()) throw hresult_error(E_ALREADY_EXISTS, QStringLiteral("%1 is a file").arg(path));
    if (option == CreationCollisionOption::FailIfExists) {
      throw hresult_error(E_ALREADY_EXISTS, QStringLiteral("%1 exists").arg(path));
    }
    return path;
  }
  if (!QDir().mkpath(path)) throw hresult_error(E_ACCESS_DENIED_CODE, QStringLiteral("cannot make %1").arg(path));
  return path;
}

QString MoveFile(const QString& file, const QString& folder, const QString& newName, NameCollisionOption option) {
  const QString target = QDir::cleanPath(folder + u'/' + newName);
  std::error_code error;
  if (!std::filesystem::exists(HostPath(file), error)) {
    throw hresult_error(E_FILE_NOT_FOUND, QStringLiteral("%1 does not exist").arg(file));
  }
  if (option == NameCollisionOption::FailIfExists) {
    // A hard link fails on an existing name atomically; the source then goes. Where
    // links are not possible, fall back to a checked rename.
    std::filesystem::create_hard_link(HostPath(file), HostPath(target), error);
    if (!error) {
      std::filesystem::remove(HostPath(file), error);
      return target;
    }
    if (error == std::errc::file_exists) {
      throw hresult_error(E_ALREADY_EXISTS, QStringLiteral("%1 already exists").arg(target));
    }
    if (std::filesystem::exists(HostPath(target))) {
      throw hresult_error(E_ALREADY_EXISTS, QStringLiteral("%1 already exists").arg(target));
    }
    error.clear();
  }
  std::filesystem::rename(HostPath(file), HostPath(target), error);
  if (error) {
    throw hresult_error(
        E_ACCESS_DENIED_CODE,
        QStringLiteral("cannot move %1 to %2: %3").arg(file, target, QString::fromStdString(error.message())));
  }
  return target;
}

QString GetFileFromPath(const QString& path) {
  const QFileInfo info(path);
  if (!info.exists() || info.isDir()) throw hresult_error(E_FILE_NOT_FOUND, QStringLiteral("%1 not found").arg(path));
  return info.absoluteFilePath();
}

}  // namespace app_runtime
