#include "app/shell/logging_handler.h"

#include <mutex>
#include <thread>
#include <vector>

#include <QFile>
#include <QFileInfo>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/runtime/app_data.h"
#include "app/testing/app_test.h"

namespace Korvo_Tallisk {

using namespace app_runtime;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

class LoggingHandlerTest : public app_runtime::testing::AppDataTest {
 protected:
  struct Status {
    std::int32_t code;
    QString path;
  };

  std::shared_ptr<LoggingHandler> Make(std::int64_t maximumFileSize = FileLoggingSession::kDefaultMaximumFileSize) {
    auto handler = LoggingHandler::Create(lifecycle_, maximumFileSize);
    handler->StatusChanged([this](LoggingHandler&, const LoggingEventArgs& args) {
      std::lock_guard lock(statusMutex_);
      statuses_.push_back({args.StatusCode(), args.LogFilePath()});
    });
    return handler;
  }
  void Suspend() { ASSERT_TRUE(lifecycle_.RaiseSuspending().WaitFor(std::chrono::seconds(10))); }
  std::vector<Status> Statuses() {
    std::lock_guard lock(statusMutex_);
    return statuses_;
  }
  QVariant Setting(const char* key) {
    return ApplicationData::Current().LocalSettings().Lookup(QString::fromLatin1(key));
  }
  bool HasSetting(const char* key) {
    return ApplicationData::Current().LocalSettings().HasKey(QString::fromLatin1(key));
  }
  QStringList LogFiles() { return FilesIn(QStringLiteral("LocalState/Korvo_Tallisk_LogFiles")); }
  static QString Text(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }
  void RaiseRollover(LoggingHandler& handler, const QString& file, bool suspending) {
    handler.m_suspending = suspending;
    handler.OnLogFileGenerated(*handler.m_session, LogFileGeneratedEventArgs(file));
    handler.m_suspending = false;
  }

  Lifecycle lifecycle_;
  std::mutex statusMutex_;
  std::vector<Status> statuses_;
};

TEST_F(LoggingHandlerTest, AFreshInstallLogsToAFileThatSuspensionSavesAndResumptionReports) {
  auto handler = Make();
  EXPECT_TRUE(Setting(LoggingHandler::kLoggingEnabledKey).toBool()) << "created as true";
  EXPECT_TRUE(handler->HasSession());
  handler->LogMessage(QStringLiteral("Korvo_Tallisk::App::OnLaunchedEntry"));
  handler->LogMessage(QStringLiteral("Korvo_Tallisk::MainViewModel::ReadSysInfoReadSysInfo() failed"),
                      LoggingLevel::Error);

  Suspend();
  EXPECT_FALSE(handler->HasSession());
  const QStringList files = LogFiles();
  ASSERT_EQ(files.size(), 1);
  EXPECT_THAT(files[0].toStdString(), MatchesRegex(R"(Log-[0-9]{6}-[0-9]{9}\.etl)"));
  const QString saved =
      ApplicationData::Current().LocalFolder() + QStringLiteral("/Korvo_Tallisk_LogFiles/") + files[0];
  EXPECT_EQ(Setting(LoggingHandler::kFileBeforeSuspendKey).toString(), saved);
  EXPECT_TRUE(Setting(LoggingHandler::kLoggingEnabledKey).toBool());
  const QStringList lines = Text(saved).split(u'\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 2);
  EXPECT_THAT(lines[0].toStdString(), MatchesRegex(R"(.*\|Verbose    \|Korvo_Tallisk::App::OnLaunchedEntry)"));
  EXPECT_THAT(lines[1].toStdString(), MatchesRegex(R"(.*\|Error      \|.*ReadSysInfo\(\) failed)"));
  EXPECT_TRUE(Statuses().empty()) << "the final file is reported only after the next start";

  ASSERT_TRUE(lifecycle_.RaiseResuming());
  ASSERT_EQ(Statuses().size(), 1u);
  EXPECT_EQ(Statuses()[0].code, 3);
  EXPECT_EQ(Statuses()[0].path, saved);
  EXPECT_TRUE(HasSetting(LoggingHandler::kFileBeforeSuspendKey));
  EXPECT_TRUE(Setting(LoggingHandler::kFileBeforeSuspendKey).toString().isEmpty()) << "reset once reported";
  EXPECT_TRUE(handler->HasSession()) << "a new session";

  // Nothing logged since: no file, and the stored path is reset.
  Suspend();
  EXPECT_EQ(LogFiles().size(), 1);
  EXPECT_TRUE(Setting(LoggingHandler::kFileBeforeSuspendKey).toString().isEmpty());
  ASSERT_TRUE(lifecycle_.RaiseResuming());
  EXPECT_EQ(Statuses().size(), 1u) << "nothing to report";
}

TEST_F(LoggingHandlerTest, WithLoggingDisabledNoFileIsEverWritten) {
  ApplicationData::Current().LocalSettings().Insert(QString::fromLatin1(LoggingHandler::kLoggingEnabledKey), false);
  auto handler = Make(200);
  EXPECT_FALSE(handler->HasSession());
  for (int i = 0; i < 50; ++i) handler->LogMessage(QStringLiteral("a line long enough to roll over %1").arg(i));
  Suspend();
  EXPECT_FALSE(Setting(LoggingHandler::kLoggingEnabledKey).toBool()) << "kept false";
  ASSERT_TRUE(lifecycle_.RaiseResuming());
  handler->LogMessage(QStringLiteral("after resuming"));
  Suspend();
  EXPECT_THAT(LogFiles(), ElementsAre());
  EXPECT_THAT(FilesIn(QStringLiteral("TempState/Korvo_Tallisk_Session")), ElementsAre());
  EXPECT_TRUE(Statuses().empty());
}

TEST_F(LoggingHandlerTest, RolloverFilesAreKeptAndReportedExceptDuringSuspension) {
  auto handler = Make(1000);
  for (size_t file = 1; file <= 2; ++file) {
    // Files handed over in the same millisecond would meet the same name: one at a time.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (int i = 0; i < 15; ++i) handler->LogMessage(QStringLiteral("Korvo_Tallisk::Test::LineEntry %1").arg(i));
    ASSERT_TRUE(app_runtime::testing::PumpUntil([&] { return Statuses().size() == file; }));
  }
  for (const auto& s : Statuses()) {
    EXPECT_EQ(s.code, 1);
    EXPECT_THAT(QFileInfo(s.path).fileName().toStdString(), MatchesRegex(R"(Log-Korvo_Tallisk[0-9]{6}-[0-9]{9}\.etl)"));
    EXPECT_TRUE(QFile::exists(s.path));
  }

  // A rollover handed over while the suspension saves is moved into the folder, quietly.
  const size_t reported = Statuses().size();
  const QString late = ApplicationData::Current().TemporaryFolder() + QStringLiteral("/late.etl");
  {
    QFile f(late);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("line\n");
  }
  const int before = LogFiles().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // not the last rollover's millisecond
  RaiseRollover(*handler, late, true);
  EXPECT_EQ(Statuses().size(), reported);
  EXPECT_EQ(LogFiles().size(), before + 1);
  EXPECT_FALSE(QFile::exists(late));
}

TEST_F(LoggingHandlerTest, TheTimeStampHasTheTwoDigitYearAndTheMilliseconds) {
  EXPECT_EQ(LoggingHandler::TimeStamp(QDateTime(QDate(2026, 12, 7), QTime(9, 15, 30, 42))),
            QStringLiteral("261207-091530042"));
}

TEST_F(LoggingHandlerTest, TheAppsLogLineIsTheOperationNameFollowedByTheText) {
  auto& handler = *LoggingHandler::GetInstance();
  std::vector<QString> heard;
  auto token = handler.Channel().AddListener([&](const LoggingChannel&, const LogRecord& r) {
    if (r.level == LoggingLevel::Verbose) heard.push_back(r.message);
  });
  Log("Korvo_Tallisk::App::OnLaunched", QStringLiteral("Entry"));
  handler.Channel().RemoveListener(token);
  EXPECT_EQ(heard, std::vector<QString>{QStringLiteral("Korvo_Tallisk::App::OnLaunchedEntry")});
}

}  // namespace Korvo_Tallisk
