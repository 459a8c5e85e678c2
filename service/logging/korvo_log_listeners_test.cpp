#include "service/logging/korvo_log_listeners.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cwchar>
#include <memory>
#include <regex>
#include <thread>

#include "platform/eventlog.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "service/logging/testing/log_test_support.h"

namespace Korvo::Shared {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::kLogFolder;
using testing::kProductKey;
using testing::kProgramKey;
using ::testing::SizeIs;

bool HasLineShape(const std::wstring& line) {
  static const std::wregex shape(LR"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\|[0-9A-F]{8}\|[A-Za-z]+ *\|[^|]+\|.*)");
  return std::regex_match(line, shape) && line[44] == L'|';
}

class FileListenerTest : public testing::LoggingTest {
 protected:
  LogData Entry(int n, std::size_t padding = 0) {
    platform::SYSTEMTIME t;
    platform::GetLocalTime(&t);
    return LogData(LogLevel::Information, "T::Write", L"line " + std::to_wstring(n) + std::wstring(padding, L'.'), t,
                   0x42);
  }
  std::vector<std::wstring> Messages(const std::filesystem::path& path) {
    std::vector<std::wstring> out;
    for (const auto& line : ReadLines(path)) out.push_back(line.substr(line.rfind(L'|') + 1));
    return out;
  }
};

TEST_F(FileListenerTest, FirstStartCreatesTheFolderAndAFileWithByteOrderMark) {
  ASSERT_FALSE(std::filesystem::exists(Host(kLogFolder)));
  CKorvoLogListenerFile listener(true, 0);
  EXPECT_TRUE(std::filesystem::is_directory(Host(kLogFolder)));
  EXPECT_STREQ(listener.FileName(), testing::kLogFile);
  EXPECT_EQ(listener.MutexName(), L"Global\\.Windows.System32.config.systemprofile.AppData.Roaming.kvqLog.Varnel.log");
  EXPECT_EQ(listener.GetType(), kListenerFileQueued);
  listener.Write(Entry(1));
  listener.Flush();
  EXPECT_TRUE(StartsWithBom(LogPath()));
  auto lines = ReadLines(LogPath());
  ASSERT_THAT(lines, SizeIs(1));
  EXPECT_TRUE(HasLineShape(lines[0])) << platform::WideToUtf8(lines[0]);
  EXPECT_EQ(lines[0], L"2021/03/04 17:05:09.042|00000042|Information|T::Write|line 1");
}

TEST_F(FileListenerTest, AForeignFirstLineIsRotatedAwayAtStart) {
  platform::testing::WriteHostFile(LogPath(), "written by another tool\r\nsecond\r\n");
  CKorvoLogListenerFile listener(false, 0);
  EXPECT_EQ(platform::testing::ReadHostFile(NumberedLog(1)), "written by another tool\r\nsecond\r\n");
  listener.Write(Entry(1));
  EXPECT_THAT(Messages(LogPath()), ElementsAre(L"line 1"));
}

TEST_F(FileListenerTest, OurOwnFileIsKeptAndAppendedWithoutASecondMark) {
  {
    CKorvoLogListenerFile first(false, 0);
    first.Write(Entry(1));
  }
  CKorvoLogListenerFile second(false, 0);
  second.Write(Entry(2));
  EXPECT_FALSE(std::filesystem::exists(NumberedLog(1)));
  EXPECT_THAT(Messages(LogPath()), ElementsAre(L"line 1", L"line 2"));
  EXPECT_EQ(platform::testing::ReadHostFile(LogPath()).find("\xEF\xBB\xBF", 1), std::string::npos);
}

TEST_F(FileListenerTest, LineFeedsInMessagesReachTheFileAsCrLf) {
  auto entry = [](const wchar_t* message) {
    return LogData(LogLevel::Error, "T::Write", message, platform::SYSTEMTIME{2021, 3, 4, 4, 17, 5, 9, 42}, 0x42);
  };
  for (bool queued : {true, false}) {
    SetDword(kProgramKey, L"QueuedWrites", queued ? 1 : 0);
    std::filesystem::remove(LogPath());
    {
      CKorvoLogListenerFile listener(queued, 0);
      ASSERT_EQ(listener.IsQueued(), queued);
      listener.Write(entry(L"No driver installed in this Node ACPI\\KVQ0001\n"));
      listener.Write(entry(L"GetEnvironmentVariable failed (203)\nretrying"));
      listener.Write(entry(L"already\r\nterminated"));
    }
    const std::string prefix = "2021/03/04 17:05:09.042|00000042|Error      |T::Write|";
    const std::string bytes = platform::testing::ReadHostFile(LogPath());
    EXPECT_EQ(bytes, "\xEF\xBB\xBF" + prefix + "No driver installed in this Node ACPI\\KVQ0001\r\n\r\n" + prefix +
                         "GetEnvironmentVariable failed (203)\r\nretrying\r\n" + prefix + "already\r\nterminated\r\n")
        << (queued ? "queued" : "direct");
    for (std::size_t at = bytes.find('\n'); at != std::string::npos; at = bytes.find('\n', at + 1)) {
      ASSERT_GT(at, 0u);
      EXPECT_EQ(bytes[at - 1], '\r') << "bare line feed at " << at;
      if (at >= 2) {
        EXPECT_NE(bytes[at - 2], '\r') << "CR CR LF at " << at;
      }
    }
  }
}

TEST_F(FileListenerTest, QueuedWritesZeroMakesEveryWriteSynchronous) {
  SetDword(kProgramKey, L"QueuedWrites", 0);
  CKorvoLogListenerFile listener(true, 0);
  EXPECT_FALSE(listener.IsQueued());
  EXPECT_EQ(listener.GetType(), kListenerFile);
  listener.Write(Entry(7));
  EXPECT_THAT(Messages(LogPath()), ElementsAre(L"line 7"));  // no Flush needed
}

TEST_F(FileListenerTest, QueuedWritesOneTurnsADirectListenerQueued) {
  SetDword(kProductKey, L"QueuedWrites", 1);
  CKorvoLogListenerFile listener(false, 0);
  EXPECT_TRUE(listener.IsQueued());
  EXPECT_EQ(listener.GetType(), kListenerFileQueued);
}

TEST_F(FileListenerTest, MaxLogSizeOneChecksOnTheFirstAndThenEverySixthWrite) {
  SetDword(kProgramKey, L"MaxLogSize", 1);
  SetDword(kProgramKey, L"QueuedWrites", 0);
  CKorvoLogListenerFile listener(false, 0);
  EXPECT_EQ(listener.MaxLogSizeKB(), 1);
  // 300-character lines: two of them already pass 1 KB, so each check rotates.
  for (int n = 1; n <= 13; ++n) listener.Write(Entry(n, 300));
  auto numbers = [&](const std::filesystem::path& p) {
    std::vector<std::wstring> out;
    for (const auto& m : Messages(p)) out.push_back(m.substr(0, m.find(L'.')));
    return out;
  };
  // Checks ran before writes 1 (empty file), 7 and 13.
  EXPECT_THAT(numbers(NumberedLog(2)), ElementsAre(L"line 1", L"line 2", L"line 3", L"line 4", L"line 5", L"line 6"));
  EXPECT_THAT(numbers(NumberedLog(1)),
              ElementsAre(L"line 7", L"line 8", L"line 9", L"line 10", L"line 11", L"line 12"));
  EXPECT_THAT(numbers(LogPath()), ElementsAre(L"line 13"));
}

TEST_F(FileListenerTest, TenRotationsKeepNineNumberedFilesAndDropTheOldest) {
  SetDword(kProgramKey, L"MaxLogSize", 1);
  SetDword(kProgramKey, L"QueuedWrites", 0);
  CKorvoLogListenerFile listener(false, 0);
  // Rotations happen before writes 7, 13, ..., 67: eleven of them. These come faster
  // than the file system's time stamps move, so equal times must not lose files.
  for (int n = 1; n <= 67; ++n) listener.Write(Entry(n, 300));
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(Host(kLogFolder))) files.push_back(e.path().filename());
  std::sort(files.begin(), files.end());
  ASSERT_THAT(files, SizeIs(10));
  EXPECT_EQ(files[0], "Varnel.log");
  for (int n = 1; n <= 9; ++n) EXPECT_EQ(files[n], NumberedLog(n).filename());
  // _0001 holds lines 61-66, ..., _0009 holds lines 13-18; lines 1-12 are gone.
  for (int n = 1; n <= 9; ++n) {
    auto messages = Messages(NumberedLog(n));
    ASSERT_THAT(messages, SizeIs(6)) << n;
    const int first = 61 - 6 * (n - 1);
    EXPECT_EQ(messages.front().substr(0, messages.front().find(L'.')), L"line " + std::to_wstring(first)) << n;
  }
  EXPECT_THAT(Messages(LogPath()), SizeIs(1));
}

TEST_F(FileListenerTest, StrayNumberedFilesDoNotGrowTheSetBeyondNine) {
  for (int n = 1; n <= 12; ++n) {
    platform::testing::WriteHostFile(NumberedLog(n), "old " + std::to_string(n) + "\r\n");
    platform::FILETIME ft = platform::UInt64ToFileTime(platform::VirtualClock::kDefaultStart - n * 10000000ULL);
    ASSERT_TRUE(platform::SetFileLastWriteTime(
        (std::wstring(kLogFolder) + L"\\Varnel_" + fmt::format(L"{:04d}", n) + L".log").c_str(), &ft));
  }
  platform::testing::WriteHostFile(LogPath(), "foreign\r\n");
  CKorvoLogListenerFile listener(false, 0);
  std::size_t count = 0;
  for (const auto& e : std::filesystem::directory_iterator(Host(kLogFolder))) {
    (void)e;
    ++count;
  }
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(platform::testing::ReadHostFile(NumberedLog(1)), "foreign\r\n");
  EXPECT_EQ(platform::testing::ReadHostFile(NumberedLog(2)), "old 1\r\n");
  EXPECT_EQ(platform::testing::ReadHostFile(NumberedLog(9)), "old 8\r\n");
}

TEST_F(FileListenerTest, DestroyingTheListenerWritesEverythingStillQueued) {
  {
    CKorvoLogListenerFile listener(true, 0);
    for (int n = 0; n < 5000; ++n) listener.Write(Entry(n));
  }
  auto messages = Messages(LogPath());
  ASSERT_THAT(messages, SizeIs(5000));
  for (int n = 0; n < 5000; ++n) ASSERT_EQ(messages[n], L"line " + std::to_wstring(n));
  EXPECT_THAT(machine().CapturedDebugOutput(), IsEmpty());  // nothing dropped, nothing to say
}

TEST_F(FileListenerTest, LinesThatCannotBeWrittenAtCloseAreCountedInTheDebugOutput) {
  auto listener = std::make_unique<CKorvoLogListenerFile>(true, 0);
  ASSERT_TRUE(listener->IsQueued());
  // After start-up the log file turns into a folder: no writer can open it.
  ASSERT_TRUE(std::filesystem::remove(LogPath()));
  ASSERT_TRUE(std::filesystem::create_directory(LogPath()));
  listener->Write(Entry(1));
  listener->Write(Entry(2));
  listener.reset();
  EXPECT_THAT(machine().CapturedDebugOutput(),
              ElementsAre(std::wstring(L"CKorvoLogListenerFile::~CKorvoLogListenerFile : 2 queued lines dropped, not "
                                       L"written to ") +
                          testing::kLogFile + L": it could not be opened\r\n"));
}

using FileListenerConcurrencyTest = FileListenerTest;

TEST_F(FileListenerConcurrencyTest, ThreadsLoggingAtOnceThroughOneQueueLoseNothing) {
  SetDword(kProgramKey, L"MaxLogSize", 256);  // a few rotations (fewer than nine) while the threads write
  constexpr int kThreads = 4;
  constexpr int kLines = 3000;
  {
    std::unique_ptr<CKorvoLogger> logger(CKorvoLogger::Create(0, kListenerFileQueued));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int n = 0; n < kLines; ++n) logger->Log(LogLevel::Information, "T::Thread", L"thread %d line %d", t, n);
      });
    }
    for (auto& th : threads) th.join();
  }
  std::vector<std::vector<int>> seen(kThreads);
  auto collect = [&](const std::filesystem::path& path) {
    for (const auto& message : Messages(path)) {
      int t = -1, n = -1;
      ASSERT_EQ(std::swscanf(message.c_str(), L"thread %d line %d", &t, &n), 2) << platform::WideToUtf8(message);
      seen.at(static_cast<std::size_t>(t)).push_back(n);
    }
  };
  for (int n = 9; n >= 1; --n) {
    if (std::filesystem::exists(NumberedLog(n))) collect(NumberedLog(n));
  }
  collect(LogPath());
  EXPECT_TRUE(std::filesystem::exists(NumberedLog(1)));
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_THAT(seen[t], SizeIs(kLines)) << "thread " << t;
    for (int n = 0; n < kLines; ++n) ASSERT_EQ(seen[t][n], n) << "thread " << t;
  }
}

TEST_F(FileListenerTest, AnUnusableLogFolderLeavesASilentListener) {
  // A file where the folder should be: the folder step "succeeds" with
  // ERROR_ALREADY_EXISTS, but the log file cannot be opened.
  platform::testing::WriteHostFile(Host(kLogFolder), "not a folder");
  CKorvoLogListenerFile listener(true, 0);
  EXPECT_FALSE(listener.IsQueued());
  listener.Write(Entry(1));
  EXPECT_EQ(platform::testing::ReadHostFile(Host(kLogFolder)), "not a folder");
}

TEST_F(FileListenerTest, MutexNameDropsTheDriveAndTurnsBackslashesIntoDots) {
  EXPECT_EQ(CKorvoLogListenerFile::MutexNameFor(L"C:\\a\\b.log"), L"Global\\.a.b.log");
  EXPECT_EQ(CKorvoLogListenerFile::MutexNameFor(L"Varnel.log"), L"Global\\Varnel.log");
}

class OtherListenersTest : public testing::LoggingTest {
 protected:
  LogData Entry(int level, const wchar_t* message) {
    return LogData(level, "CMainService::OnStart", message, platform::SYSTEMTIME{2021, 3, 4, 4, 17, 5, 9, 42}, 0x1A2C);
  }
};

TEST_F(OtherListenersTest, EventListenerNeverReportsAboveError) {
  SetString(kProgramKey, L"MaxLogLevel", L"Diag");
  CKorvoLogListenerEvent listener(0);
  EXPECT_EQ(listener.maxLevel, LogLevel::Diag);
  listener.Write(Entry(LogLevel::Diag, L"timing"));
  listener.Write(Entry(LogLevel::Warning, L"careful"));
  listener.Write(Entry(LogLevel::Error, L"broken"));
  listener.Write(Entry(LogLevel::Verbose, L"detail"));
  auto events = platform::eventlog::ReadAll();
  ASSERT_THAT(events, SizeIs(3));
  EXPECT_EQ(events[0].source, L"Varnel");
  EXPECT_EQ(events[0].type, platform::EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(events[0].eventId, 4u);
  EXPECT_EQ(events[0].category, 0);
  EXPECT_THAT(events[0].strings,
              ElementsAre(L"2021/03/04 17:05:09.042|00001A2C|Warning    |CMainService::OnStart|careful"));
  EXPECT_EQ(events[1].type, platform::EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[2].type, platform::EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[2].eventId, 2u);
}

TEST_F(OtherListenersTest, ConsoleListenerPrintsNameAndMessageOnly) {
  CKorvoLogListenerConsole listener(0);
  ::testing::internal::CaptureStdout();
  listener.Write(Entry(LogLevel::Information, L"Grüße"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "CMainService::OnStart : Grüße\r\n");
}

TEST_F(OtherListenersTest, DebugListenerSendsNameAndMessageToTheDebugger) {
  CKorvoLogListenerDebug listener(0);
  listener.Write(Entry(LogLevel::Error, L"KorvoSYS ready"));
  EXPECT_THAT(machine().CapturedDebugOutput(), ElementsAre(L"CMainService::OnStart : KorvoSYS ready\r\n"));
}

}  // namespace
}  // namespace Korvo::Shared
