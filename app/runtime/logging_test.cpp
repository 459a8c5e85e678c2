#include "app/runtime/logging.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <QFile>
#include <QFileInfo>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/runtime/app_data.h"
#include "app/testing/app_test.h"

namespace app_runtime {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

QStringList Lines(const QString& file) {
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly)) return {};
  QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n');
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
  return lines;
}

class FileLoggingSessionTest : public testing::AppDataTest {};

TEST_F(FileLoggingSessionTest, RecordsEveryLineAtOrAboveItsLevelOneLineARecord) {
  LoggingChannel channel(QStringLiteral("Test_Channel"));
  std::vector<QString> heard;
  channel.AddListener([&](const LoggingChannel& from, const LogRecord& r) {
    heard.push_back(from.Name() + u' ' + LoggingLevelName(r.level) + u' ' + r.message);
  });
  FileLoggingSession session(QStringLiteral("Test_Session"));
  channel.LogMessage(QStringLiteral("before the session"));
  session.AddLoggingChannel(channel, LoggingLevel::Information);
  channel.LogMessage(QStringLiteral("Korvo_Tallisk::App::OnLaunchedEntry"));  // Verbose: below the minimum
  channel.LogMessage(QStringLiteral("two\nlines and a \\"), LoggingLevel::Warning);
  channel.LogMessage(QStringLiteral("Korvo_Tallisk::X::YFailed"), LoggingLevel::Critical);

  const auto file = session.CloseAndSaveToFileAsync().get();
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->startsWith(ApplicationData::Current().TemporaryFolder() + QStringLiteral("/Test_Session/")));
  const QStringList lines = Lines(*file);
  ASSERT_EQ(lines.size(), 2);
  EXPECT_THAT(lines[0].toStdString(),
              MatchesRegex(R"(20[0-9][0-9]/[01][0-9]/[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\.[0-9]{3}\|)"
                           R"([0-9A-F]{8}\|Warning    \|two\\nlines and a \\\\)"));
  EXPECT_THAT(lines[1].toStdString(), MatchesRegex(R"(.*\|Critical   \|Korvo_Tallisk::X::YFailed)"));
  // The channel's listeners hear everything, with or without a session.
  EXPECT_EQ(heard.size(), 4u);
  EXPECT_EQ(heard[1], QStringLiteral("Test_Channel Verbose Korvo_Tallisk::App::OnLaunchedEntry"));

  channel.LogMessage(QStringLiteral("after closing"), LoggingLevel::Critical);
  EXPECT_FALSE(session.CloseAndSaveToFileAsync().get().has_value()) << "a closed session records nothing";
}

TEST_F(FileLoggingSessionTest, RolloverHandsOverEveryFullFileAndLosesNoLineAcrossThreads) {
  LoggingChannel channel(QStringLiteral("Test_Channel"));
  std::mutex handedMutex;
  QStringList handed;
  const QString keep = ApplicationData::Current().LocalFolder();
  {
    FileLoggingSession session(QStringLiteral("Test_Session"), 2000);
    session.LogFileGenerated([&](FileLoggingSession& from, const LogFileGeneratedEventArgs& args) {
      EXPECT_EQ(&from, &session);
      // The handler owns the file: it moves it away, as the app's handler does.
      const QString moved =
          MoveFile(args.File(), keep, QFileInfo(args.File()).fileName(), NameCollisionOption::FailIfExists);
      std::lock_guard lock(handedMutex);
      handed << moved;
    });
    session.AddLoggingChannel(channel);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < 100; ++i) channel.LogMessage(QStringLiteral("writer %1 line %2").arg(t).arg(i));
      });
    }
    for (auto& w : writers) w.join();
    const auto last = session.CloseAndSaveToFileAsync().get();
    ASSERT_TRUE(last.has_value());
    std::lock_guard lock(handedMutex);
    handed << MoveFile(*last, keep, QStringLiteral("last.etl"), NameCollisionOption::FailIfExists);
  }  // the session waits for the handlers still running
  ASSERT_GT(handed.size(), 5) << "lines of about 70 bytes roll over every 2000 bytes";
  int total = 0;
  for (const QString& file : handed) {
    const QStringList lines = Lines(file);
    EXPECT_LE(QFileInfo(file).size(), 2000 + 200) << file;
    total += lines.size();
  }
  EXPECT_EQ(total, 400);
}

TEST_F(FileLoggingSessionTest, NothingRecordedSinceTheLastFileSavesNoFile) {
  LoggingChannel channel(QStringLiteral("Test_Channel"));
  FileLoggingSession session(QStringLiteral("Test_Session"));
  session.AddLoggingChannel(channel);
  EXPECT_FALSE(session.CloseAndSaveToFileAsync().get().has_value());
  EXPECT_THAT(FilesIn(QStringLiteral("TempState/Test_Session")), ElementsAre());
}

}  // namespace
}  // namespace app_runtime
