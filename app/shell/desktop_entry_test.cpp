#include "app/shell/desktop_entry.h"

#include <QFile>

#include <gtest/gtest.h>

#include "app/testing/app_test.h"
#include "platform/testing/machine_test.h"

namespace Korvo_Tallisk {
namespace {

QString Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

TEST(DesktopEntryTest, RegisteringMakesTheAppTheSchemesHandlerAndKeepsTheUsersOtherChoices) {
  platform::testing::TempDir dir;
  const QString root = QString::fromStdString(dir.path().string());
  const QString apps = root + QStringLiteral("/applications");
  const QString list = root + QStringLiteral("/mimeapps.list");
  platform::testing::WriteHostFile(dir.path() / "mimeapps.list",
                                   "[Added Associations]\ntext/plain=editor.desktop;\n\n"
                                   "[Default Applications]\nx-scheme-handler/korvovesk=old.desktop\n"
                                   "text/html=browser.desktop\n");
  RegisterDesktopEntry(QStringLiteral("/opt/korvo tallisk/korvo-tallisk"), apps, list);

  const QString entry = Read(apps + QStringLiteral("/korvo-tallisk.desktop"));
  EXPECT_TRUE(entry.contains(QStringLiteral("Exec=\"/opt/korvo tallisk/korvo-tallisk\" %u\n"))) << entry;
  EXPECT_TRUE(entry.contains(QStringLiteral("MimeType=x-scheme-handler/korvovesk;\n"))) << entry;
  EXPECT_EQ(Read(list), QStringLiteral("[Added Associations]\ntext/plain=editor.desktop;\n\n"
                                       "[Default Applications]\nx-scheme-handler/korvovesk=korvo-tallisk.desktop\n"
                                       "text/html=browser.desktop\n"));

  // A list without the group gets it; registering twice changes nothing more.
  platform::testing::WriteHostFile(dir.path() / "mimeapps.list", "[Added Associations]\na/b=c.desktop;\n");
  RegisterDesktopEntry(QStringLiteral("/usr/bin/korvo-tallisk"), apps, list);
  RegisterDesktopEntry(QStringLiteral("/usr/bin/korvo-tallisk"), apps, list);
  EXPECT_EQ(Read(list), QStringLiteral("[Added Associations]\na/b=c.desktop;\n\n"
                                       "[Default Applications]\nx-scheme-handler/korvovesk=korvo-tallisk.desktop\n"));
}

}  // namespace
}  // namespace Korvo_Tallisk
