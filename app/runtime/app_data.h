// The app's data location: its local settings and its local and temporary folders.
//
// Everything lives under one data root:
//   KORVO_TALLISK_DATA when set, else
//   ${XDG_DATA_HOME:-~/.local/share}/korvo/Korvo Tallisk (Qt's AppLocalDataLocation)
//
//   <data root>/settings.ini   the local settings (QSettings, INI format)
//   <data root>/LocalState/    the local folder
//   <data root>/TempState/     the temporary folder (file logging sessions work here)
//
// Tests point the app at a fresh root with ApplicationData::UseRoot.
#pragma once

#include <memory>
#include <mutex>

#include <QSettings>
#include <QString>
#include <QVariant>

namespace app_runtime {

// A settings container: values by key. Insert replaces; a null QVariant is a value too
// (the key exists and holds nothing).
class ApplicationDataContainer {
 public:
  explicit ApplicationDataContainer(const QString& file);
  bool HasKey(const QString& key) const;
  QVariant Lookup(const QString& key) const;  // null when absent
  void Insert(const QString& key, const QVariant& value);
  bool Remove(const QString& key);  // false when it was absent

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<QSettings> settings_;
};

class ApplicationData {
 public:
  static ApplicationData& Current();
  // Re-roots the app's data at `root` (tests; the first Current() uses the default).
  static void UseRoot(const QString& root);
  static QString DefaultRoot();

  const QString& Root() const { return root_; }
  QString LocalFolder() const;
  QString TemporaryFolder() const;
  ApplicationDataContainer& LocalSettings() { return settings_; }

  explicit ApplicationData(const QString& root);

 private:
  QString root_;
  ApplicationDataContainer settings_;
};

enum class CreationCollisionOption { OpenIfExists, FailIfExists };
enum class NameCollisionOption { FailIfExists, ReplaceExisting };

// Creates folder `name` in `parent` or opens it; the folder's full path. Raises
// hresult_error when it cannot be made.
QString CreateFolder(const QString& parent, const QString& name, CreationCollisionOption option);
// Moves `file` into `folder` as `newName`; the moved file's full path. With
// FailIfExists a move onto an existing name raises hresult_error(E_ALREADY_EXISTS) and
// leaves both files alone.
QString MoveFile(const QString& file, const QString& folder, const QString& newName, NameCollisionOption option);
// Looks a file up by its full path; raises hresult_error(E_FILE_NOT_FOUND) when absent.
QString GetFileFromPath(const QString& path);

}  // namespace app_runtime
