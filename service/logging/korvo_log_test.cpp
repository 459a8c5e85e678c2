#include "service/logging/korvo_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "platform/debug.h"
#include "service/logging/korvo_log_listeners.h"
#include "service/logging/testing/log_test_support.h"

namespace Korvo::Shared {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::kProductKey;
using testing::kProgramKey;

TEST(LogLevelTest, ParsesNamesInAnyCaseAndMapsEverythingElseToNever) {
  EXPECT_EQ(ParseLogLevel(L"TraceIn"), 0);
  EXPECT_EQ(ParseLogLevel(L"traceout"), 1);
  EXPECT_EQ(ParseLogLevel(L"VERBOSE"), 2);
  EXPECT_EQ(ParseLogLevel(L"information"), 3);
  EXPECT_EQ(ParseLogLevel(L"wArNiNg"), 4);
  EXPECT_EQ(ParseLogLevel(L"Error"), 5);
  EXPECT_EQ(ParseLogLevel(L"diag"), 6);
  EXPECT_EQ(ParseLogLevel(L"Never"), 99);
  EXPECT_EQ(ParseLogLevel(L"Info"), 99);
  EXPECT_EQ(ParseLogLevel(L""), 99);
  EXPECT_EQ(ParseLogLevel(nullptr), 99);
  EXPECT_STREQ(LogLevelName(7), L"Undefined");
  EXPECT_STREQ(LogLevelName(-1), L"Undefined");
}

TEST(LogDataTest, LineHasTheDocumentedShape) {
  platform::SYSTEMTIME t{2021, 3, 4, 4, 17, 5, 9, 42};
  LogData data(LogLevel::Information, "CMainService::OnStart", L"Service started", t, 0x1A2C);
  EXPECT_EQ(data.GetLine(), L"2021/03/04 17:05:09.042|00001A2C|Information|CMainService::OnStart|Service started");
  EXPECT_EQ(&data.GetLine(), &data.GetLine());  // built once

  LogData empty(LogLevel::TraceIn, "Utils::GetService", L"", t, 0xDEADBEEF);
  EXPECT_EQ(empty.GetLine(), L"2021/03/04 17:05:09.042|DEADBEEF|TraceIn    |Utils::GetService|");

  LogData odd(7, "X::Y", L"m", t, 1);
  EXPECT_EQ(odd.GetLine(), L"2021/03/04 17:05:09.042|00000001|Undefined  |X::Y|m");

  LogData copy = data;  // the queue keeps copies
  EXPECT_EQ(copy.GetLine(), data.GetLine());
}

TEST(LogDataTest, FileLineWritesEveryLineFeedOfTheMessageAsCrLf) {
  platform::SYSTEMTIME t{2021, 3, 4, 4, 17, 5, 9, 42};
  auto fileLine = [&](const wchar_t* message) {
    std::string out = "kept|";  // appends: what is already there stays
    LogData(LogLevel::Error, "T::F", message, t, 0x1A2C).AppendFileLine(out);
    return out;
  };
  const std::string prefix = "kept|2021/03/04 17:05:09.042|00001A2C|Error      |T::F|";
  EXPECT_EQ(fileLine(L"plain"), prefix + "plain\r\n");
  EXPECT_EQ(fileLine(L"GetEnvironmentVariable failed (203)\n"), prefix + "GetEnvironmentVariable failed (203)\r\n\r\n");
  EXPECT_EQ(fileLine(L"first\nsecond"), prefix + "first\r\nsecond\r\n");
  EXPECT_EQ(fileLine(L"already\r\nthere"), prefix + "already\r\nthere\r\n");
  EXPECT_EQ(fileLine(L"\n\nx\r\n\n"), prefix + "\r\n\r\nx\r\n\r\n\r\n");
  EXPECT_EQ(fileLine(L"lone\rcarriage return"), prefix + "lone\rcarriage return\r\n");
  EXPECT_EQ(fileLine(L"Gr\u00fc\u00dfe\naus K\u00f6ln"), prefix +
                                                             "Gr\xC3\xBC\xC3\x9F"
                                                             "e\r\naus K\xC3\xB6ln\r\n");
}

TEST(LogFormatTest, KeepsTheOriginalPrintfDialect) {
  auto format = [](const wchar_t* f, const auto&... args) {
    return detail::FormatMessage(512, f, fmt::make_wprintf_args(detail::LogArg(args)...));
  };
  EXPECT_EQ(format(L"Service failed to run w/err 0x%08lx", platform::DWORD{0x427}),
            L"Service failed to run w/err 0x00000427");
  EXPECT_EQ(format(L"[hr:0x%08X]", static_cast<platform::HRESULT>(0x80070005)), L"[hr:0x80070005]");
  EXPECT_EQ(format(L"w/err 0x%08lx", static_cast<platform::HRESULT>(-2147024891)), L"w/err 0x80070005");
  EXPECT_EQ(format(L"%S|%s", "narrow", std::wstring(L"wide")), L"narrow|wide");
  EXPECT_EQ(format(L"%hs and %ls", "a", L"b"), L"a and b");
  EXPECT_EQ(format(L"Elapsed time = %7.1Lf ms.", 12.46), L"Elapsed time =    12.5 ms.");
  EXPECT_EQ(format(L"%-11s|", L"Warning"), L"Warning    |");
  EXPECT_EQ(format(L"100%% of %d", 3), L"100% of 3");
  EXPECT_EQ(format(L"%I64u", std::uint64_t{1} << 40), L"1099511627776");
  EXPECT_EQ(format(L"Return Value = %d", -3), L"Return Value = -3");
  // A format that does not fit its arguments is kept as text instead of failing.
  EXPECT_EQ(format(L"count %d", L"not a number"), L"count %d");
  EXPECT_EQ(format(L""), L"");
}

TEST(LogFormatTest, CutsMessagesToTheBufferLessOne) {
  const std::wstring longText(600, L'x');
  auto message = detail::FormatMessage(512, L"%s", fmt::make_wprintf_args(longText));
  EXPECT_EQ(message, std::wstring(511, L'x'));
}

class LoggerTest : public testing::LoggingTest {
 protected:
  std::unique_ptr<CKorvoLogger> Create(int minLevel = 0, unsigned flags = kListenerFileQueued) {
    return std::unique_ptr<CKorvoLogger>(CKorvoLogger::Create(minLevel, flags));
  }
  std::vector<unsigned> Types(const CKorvoLogger& logger) {
    std::vector<unsigned> types;
    for (const auto& l : logger.Listeners()) types.push_back(l->GetType());
    return types;
  }
  std::vector<std::wstring> FileLines(CKorvoLogger& logger) {
    static_cast<CKorvoLogListenerFile*>(logger.fileListener)->Flush();
    return ReadLines(LogPath());
  }
};

TEST_F(LoggerTest, WithoutPolicyHasOneQueuedFileListenerForLevelsZeroToFive) {
  auto logger = Create();
  EXPECT_THAT(Types(*logger), ElementsAre(kListenerFileQueued));
  EXPECT_EQ(logger->listenerCount, 1);
  EXPECT_EQ(logger->minLevel, 0);
  EXPECT_EQ(logger->maxLevel, 5);
  EXPECT_FALSE(logger->timingEnabled);
  EXPECT_EQ(logger->fileListener, logger->Listeners()[0].get());
  EXPECT_EQ(logger->maxMessageChars, 512);

  logger->Log(LogLevel::Information, "CMainService::OnStart", L"started %d", 1);
  logger->Log(LogLevel::Diag, "CMainService::OnStart", L"not written");
  auto lines = FileLines(*logger);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], L"2021/03/04 17:05:09.042|" + fmt::format(L"{:08X}", platform::GetCurrentThreadId()) +
                          L"|Information|CMainService::OnStart|started 1");
}

TEST_F(LoggerTest, BothFileFlagsKeepOnlyTheQueuedOne) {
  auto logger = Create(0, kListenerFile | kListenerFileQueued | kListenerConsole);
  EXPECT_THAT(Types(*logger), ElementsAre(kListenerFileQueued, kListenerConsole));
}

TEST_F(LoggerTest, LoggingTypeKeywordsReplaceTheListenerSet) {
  SetString(kProgramKey, L"LoggingType", L"console");
  EXPECT_THAT(Types(*Create()), ElementsAre(kListenerConsole));

  SetString(kProgramKey, L"LoggingType", L"debug+EVENT, file; Console");
  EXPECT_THAT(Types(*Create()), ElementsAre(kListenerEvent, kListenerFile, kListenerDebug, kListenerConsole));

  SetString(kProgramKey, L"LoggingType", L"nothing we know");
  EXPECT_THAT(Types(*Create()), ElementsAre(kListenerFileQueued));

  SetString(kProgramKey, L"LoggingType", L"");  // exists but empty: the defaults
  SetString(kProductKey, L"LoggingType", L"DEBUG");
  EXPECT_THAT(Types(*Create()), ElementsAre(kListenerFileQueued));
}

TEST_F(LoggerTest, LoggingTypeFallsBackToTheProductKeyOnlyWhenTheProgramKeyHasNone) {
  SetString(kProductKey, L"LoggingType", L"DEBUG");
  EXPECT_THAT(Types(*Create()), ElementsAre(kListenerDebug));

  // Too long for its 63 characters: the program key's read fails, the product key wins.
  SetString(kProgramKey, L"LoggingType", std::wstring(70, L'C').append(L"CONSOLE").c_str());
  EXPECT_THAT(Types(*Create()), ElementsAre(kListenerDebug));
}

TEST_F(LoggerTest, BadLoggingTypeOfTheWrongTypeLeavesTheDefaults) {
  SetDword(kProgramKey, L"LoggingType", 16);
  EXPECT_THAT(Types(*Create()), ElementsAre(kListenerFileQueued));
}

TEST_F(LoggerTest, MinLogLevelWarningInAnyCaseSuppressesLowerLevels) {
  SetString(kProductKey, L"MinLogLevel", L"wARNING");
  auto logger = Create();
  EXPECT_EQ(logger->minLevel, LogLevel::Warning);
  for (int level = 0; level <= 5; ++level) logger->Log(level, "T::Levels", L"level %d", level);
  auto lines = FileLines(*logger);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr(L"|Warning    |T::Levels|level 4"));
  EXPECT_THAT(lines[1], HasSubstr(L"|Error      |T::Levels|level 5"));
}

TEST_F(LoggerTest, ProgramKeyLevelsWinOverProductKeyLevels) {
  SetString(kProductKey, L"MinLogLevel", L"Error");
  SetString(kProgramKey, L"MinLogLevel", L"Verbose");
  SetString(kProductKey, L"MaxLogLevel", L"Warning");
  auto logger = Create();
  EXPECT_EQ(logger->Listeners()[0]->minLevel, LogLevel::Verbose);
  EXPECT_EQ(logger->Listeners()[0]->maxLevel, LogLevel::Warning);
  EXPECT_EQ(logger->maxLevel, LogLevel::Error);  // never below Error
}

TEST_F(LoggerTest, UnusableLevelValuesKeepTheDefaults) {
  SetDword(kProgramKey, L"MinLogLevel", 4);                                 // not a string
  SetString(kProgramKey, L"MaxLogLevel", std::wstring(200, L'E').c_str());  // longer than 127
  auto logger = Create();
  EXPECT_EQ(logger->Listeners()[0]->minLevel, 0);
  EXPECT_EQ(logger->Listeners()[0]->maxLevel, 5);
}

TEST_F(LoggerTest, NeverAsMinimumSilencesAndUnknownMaximumAdmitsEverything) {
  SetString(kProgramKey, L"MaxLogLevel", L"no such level");
  auto logger = Create();
  EXPECT_EQ(logger->maxLevel, 99);
  logger->Log(7, "T::Odd", L"seven");
  auto lines = FileLines(*logger);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr(L"|Undefined  |T::Odd|seven"));

  SetString(kProgramKey, L"MinLogLevel", L"Never");
  auto silent = Create();
  EXPECT_EQ(silent->minLevel, 99);
  silent->Log(LogLevel::Error, "T::Silent", L"dropped");
  EXPECT_EQ(FileLines(*silent).size(), 1u);
}

TEST_F(LoggerTest, DiagMaximumTurnsOnTimersAndElapsedTimeLines) {
  SetString(kProgramKey, L"MaxLogLevel", L"Diag");
  auto logger = Create();
  EXPECT_TRUE(logger->timingEnabled);
  CKorvoLogTimer timer(logger.get(), "CMainService::OnStart");
  clock().Sleep(1234);
  timer.End();
  CKorvoLogTimer slow(logger.get(), "CMainService::OnStop");
  clock().Advance(1000000);
  clock().Advance(500000);
  slow.End();
  auto lines = FileLines(*logger);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr(L"|Diag       |CMainService::OnStart|Elapsed time =  1234.0 ms."));
  EXPECT_THAT(lines[1], HasSubstr(L"|CMainService::OnStop|Elapsed time =  1500.0 s."));
}

TEST_F(LoggerTest, DiagNeedsTheFileListenerToAcceptIt) {
  SetString(kProgramKey, L"LoggingType", L"CONSOLE");
  SetString(kProgramKey, L"MaxLogLevel", L"Diag");
  EXPECT_FALSE(Create()->timingEnabled);
  SetString(kProgramKey, L"LoggingType", L"FILE");
  SetString(kProgramKey, L"MinLogLevel", L"Never");
  EXPECT_FALSE(Create()->timingEnabled);
}

TEST_F(LoggerTest, LoggingKeepsTheCallersLastError) {
  auto logger = Create();
  platform::SetLastError(0x424);
  logger->Log(LogLevel::Error, "T::Err", L"OpenService failed w/err 0x%08lx", platform::GetLastError());
  EXPECT_EQ(platform::GetLastError(), 0x424u);
  logger->Log(LogLevel::Diag, "T::Err", L"filtered");
  EXPECT_EQ(platform::GetLastError(), 0x424u);
  auto lines = FileLines(*logger);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr(L"OpenService failed w/err 0x00000424"));
}

TEST_F(LoggerTest, A600CharacterMessageIsWrittenAsItsFirst511) {
  auto logger = Create();
  logger->Log(LogLevel::Information, "T::Long", L"%s", std::wstring(600, L'q'));
  auto lines = FileLines(*logger);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(L"|T::Long|" + std::wstring(511, L'q')));
}

TEST_F(LoggerTest, ListenersOnlyGetTheLevelsTheyAccept) {
  SetString(kProgramKey, L"LoggingType", L"DEBUG FILE");
  SetString(kProgramKey, L"MinLogLevel", L"Warning");
  auto logger = Create();
  logger->Log(LogLevel::Information, "T::F", L"info");
  logger->Log(LogLevel::Warning, "T::F", L"warn %S", "x");
  EXPECT_THAT(machine().CapturedDebugOutput(), ElementsAre(L"T::F : warn x\r\n"));
}

TEST_F(LoggerTest, TimerFollowsTheTraceOutLineOfItsFunction) {
  SetString(kProgramKey, L"MaxLogLevel", L"Diag");
  auto logger = Create();
  CKorvoLogTimer timer(logger.get(), "T::Scope");
  logger->Log(LogLevel::TraceIn, "T::Scope", L"");
  clock().Sleep(100);
  logger->Log(LogLevel::TraceOut, "T::Scope", L"Return Value = %d", 17);
  timer.End();
  auto lines = FileLines(*logger);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[0].ends_with(L"|TraceIn    |T::Scope|"));
  EXPECT_TRUE(lines[1].ends_with(L"|TraceOut   |T::Scope|Return Value = 17"));
  EXPECT_THAT(lines[2], HasSubstr(L"|Diag       |T::Scope|Elapsed time =   100.0 ms."));
}

TEST_F(LoggerTest, NoListenerFlagsAndNoPolicyMakeASilentLogger) {
  auto logger = Create(0, 0);
  EXPECT_EQ(logger->listenerCount, 0);
  EXPECT_FALSE(logger->IsEnabled(LogLevel::Error));
  logger->Log(LogLevel::Error, "T::None", L"nowhere");  // must not crash
}

}  // namespace
}  // namespace Korvo::Shared
