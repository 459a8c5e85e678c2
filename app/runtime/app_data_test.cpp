#include "app/runtime/app_data.h"

#include <QFile>

#include <gtest/gtest.h>

#include "app/runtime/errors.h"
#include "app/testing/app_test.h"

namespace app_runtime {
namespace {

class ApplicationDataTest : public testing::AppDataTest {
 protected:
  void Write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  QByteArray Read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
};

TEST_F(ApplicationDataTest, SettingsSurviveTheNextStartIncludingANullValue) {
  auto& settings = ApplicationData::Current().LocalSettings();
  EXPECT_FALSE(settings.HasKey(QStringLiteral("Enabled")));
  settings.Insert(QStringLiteral("Enabled"), true);
  settings.Insert(QStringLiteral("Path"), QStringLiteral("/x/Log-261209-064530042.etl"));
  settings.Insert(QStringLiteral("Reset"), QVariant());

  ApplicationData::UseRoot(DataRoot());  // as the app's next start finds them
  auto& again = ApplicationData::Current().LocalSettings();
  EXPECT_TRUE(again.Lookup(QStringLiteral("Enabled")).toBool());
  EXPECT_EQ(again.Lookup(QStringLiteral("Path")).toString(), QStringLiteral("/x/Log-261209-064530042.etl"));
  EXPECT_TRUE(again.HasKey(QStringLiteral("Reset"))) << "a reset key still exists";
  EXPECT_TRUE(again.Lookup(QStringLiteral("Reset")).toString().isEmpty());
  EXPECT_TRUE(again.Remove(QStringLiteral("Path")));
  EXPECT_FALSE(again.Remove(QStringLiteral("Path")));
  EXPECT_FALSE(again.HasKey(QStringLiteral("Path")));
  EXPECT_TRUE(ApplicationData::Current().LocalFolder().startsWith(DataRoot()));
}

TEST_F(ApplicationDataTest, AMoveThatMeetsAnExistingNameFailsAndKeepsBothFiles) {
  const QString local = ApplicationData::Current().LocalFolder();
  const QString folder = CreateFolder(local, QStringLiteral("Logs"), CreationCollisionOption::OpenIfExists);
  EXPECT_EQ(CreateFolder(local, QStringLiteral("Logs"), CreationCollisionOption::OpenIfExists), folder);
  EXPECT_THROW(CreateFolder(local, QStringLiteral("Logs"), CreationCollisionOption::FailIfExists), hresult_error);

  const QString temp = ApplicationData::Current().TemporaryFolder();
  Write(temp + QStringLiteral("/a.etl"), "new");
  Write(folder + QStringLiteral("/Log-1.etl"), "old");
  try {
    MoveFile(temp + QStringLiteral("/a.etl"), folder, QStringLiteral("Log-1.etl"), NameCollisionOption::FailIfExists);
    ADD_FAILURE() << "the move replaced an existing file";
  } catch (const hresult_error& e) {
    EXPECT_EQ(e.code(), E_ALREADY_EXISTS);
  }
  EXPECT_EQ(Read(folder + QStringLiteral("/Log-1.etl")), "old");
  EXPECT_EQ(Read(temp + QStringLiteral("/a.etl")), "new");

  const QString moved =
      MoveFile(temp + QStringLiteral("/a.etl"), folder, QStringLiteral("Log-2.etl"), NameCollisionOption::FailIfExists);
  EXPECT_EQ(moved, folder + QStringLiteral("/Log-2.etl"));
  EXPECT_EQ(Read(moved), "new");
  EXPECT_FALSE(QFile::exists(temp + QStringLiteral("/a.etl")));
  EXPECT_EQ(GetFileFromPath(moved), moved);
  EXPECT_THROW(GetFileFromPath(temp + QStringLiteral("/a.etl")), hresult_error);
  EXPECT_THROW(
      MoveFile(temp + QStringLiteral("/gone.etl"), folder, QStringLiteral("x"), NameCollisionOption::FailIfExists),
      hresult_error);
}

}  // namespace
}  // namespace app_runtime
