#include "app/shell/desktop_entry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "app/runtime/errors.h"

namespace Korvo_Tallisk {

namespace {

constexpr const char* kEntryName = "korvo-tallisk.desktop";
constexpr const char* kSchemeHandler = "x-scheme-handler/korvovesk";

void WriteWhole(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
    throw app_runtime::hresult_error(app_runtime::E_ACCESS_DENIED_CODE,
                                     QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
  }
}

// mimeapps.list with our handler as the default: the line replaced in, or added to,
// the [Default Applications] group; everything else as it was.
QByteArray WithDefaultHandler(const QByteArray& existing) {
  const QByteArray entry = QByteArray(kSchemeHandler) + '=' + kEntryName;
  QList<QByteArray> lines = existing.split('\n');
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
  int group = -1;
  for (int i = 0; i < lines.size(); ++i) {
    if (lines[i].trimmed() == "[Default Applications]") {
      group = i;
      break;
    }
  }
  if (group < 0) {
    if (!lines.isEmpty()) lines << QByteArray();
    lines << "[Default Applications]" << entry;
  } else {
    int i = group + 1;
    for (; i < lines.size() && !lines[i].trimmed().startsWith('['); ++i) {
      if (lines[i].trimmed().startsWith(QByteArray(kSchemeHandler) + '=')) {
        lines[i] = entry;
        return lines.join('\n') + '\n';
      }
    }
    lines.insert(i, entry);
  }
  return lines.join('\n') + '\n';
}

}  // namespace

QString DesktopEntryText(const QString& programPath) {
  // Exec quotes the path: the desktop's launcher splits it on blanks otherwise.
  QString quoted = programPath;
  quoted.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
  return QStringLiteral(
             "[Desktop Entry]\n"
             "Type=Application\n"
             "Name=Korvo Tallisk\n"
             "Comment=What this laptop is: model, serial number, processor, memory, BIOS and USB Type-C\n"
             "Exec=\"%1\" %u\n"
             "Terminal=false\n"
             "Categories=System;Utility;\n"
             "MimeType=%2;\n")
      .arg(quoted, QString::fromLatin1(kSchemeHandler));
}

QString RegisterDesktopEntry(const QString& programPath, const QString& applicationsFolder,
                             const QString& mimeAppsList) {
  const QString folder = applicationsFolder.isEmpty()
                             ? QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation)
                             : applicationsFolder;
  const QString list =
      mimeAppsList.isEmpty()
          ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/mimeapps.list")
          : mimeAppsList;
  const QString entry = folder + u'/' + QString::fromLatin1(kEntryName);
  WriteWhole(entry, DesktopEntryText(programPath).toUtf8());
  QFile existing(list);
  const QByteArray before = existing.open(QIODevice::ReadOnly) ? existing.readAll() : QByteArray();
  existing.close();
  WriteWhole(list, WithDefaultHandler(before));
  return QStringLiteral("wrote %1\nmade it the handler of korvovesk: links in %2").arg(entry, list);
}

}  // namespace Korvo_Tallisk
