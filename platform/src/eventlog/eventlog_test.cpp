#include "platform/eventlog.h"

#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/machine.h"
#include "platform/registry.h"
#include "platform/testing/machine_test.h"

namespace platform {
namespace {

using ::testing::ElementsAre;

class EventLogTest : public testing::MachineTest {
 protected:
  std::filesystem::path LogFile() const { return root() / "eventlog.jsonl"; }

  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    const std::string text = testing::ReadHostFile(LogFile());
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      EXPECT_NE(end, std::string::npos) << "the last line is not terminated";
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }
};

TEST_F(EventLogTest, EventFieldsRoundTrip) {
  HANDLE source = RegisterEventSource(nullptr, L"Korvo Tallisk Service");
  ASSERT_NE(source, nullptr);
  LPCWSTR strings[] = {L"Grüße aus Köln ✓ 😀", L"a \"quoted\" back\\slash", L"two\nlines", L""};
  ASSERT_TRUE(ReportEvent(source, EVENTLOG_ERROR_TYPE, 3, 0xE0000000u, nullptr, 4, 0, strings, nullptr));
  clock().Advance(1500);
  ASSERT_TRUE(ReportEvent(source, EVENTLOG_INFORMATION_TYPE, 0, 7, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));

  const auto events = eventlog::ReadAll();
  ASSERT_EQ(events.size(), 2u);
  const auto& e = events[0];
  EXPECT_EQ(e.time, "2021/03/04 17:05:09.042");  // the virtual clock's start, local offset 0
  EXPECT_EQ(e.source, L"Korvo Tallisk Service");
  EXPECT_EQ(e.type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(e.category, 3);
  EXPECT_EQ(e.eventId, 0xE0000000u);
  EXPECT_THAT(e.strings, ElementsAre(strings[0], strings[1], strings[2], L""));
  EXPECT_EQ(e.pid, GetCurrentProcessId());
  EXPECT_EQ(events[1].time, "2021/03/04 17:05:10.542");
  EXPECT_EQ(events[1].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_TRUE(events[1].strings.empty());

  // One line per event, the id kept as an unsigned number, the fields in their order.
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], ::testing::StartsWith(R"({"time":"2021/03/04 17:05:09.042","source":"Korvo Tallisk Service",)"
                                              R"("type":1,"category":3,"eventId":3758096384,"strings":[)"));
  EXPECT_EQ(nlohmann::json::parse(lines[0])["strings"][0], "Grüße aus Köln ✓ 😀");
}

// Lines that cannot be read are reported by number, not skipped in silence; the
// events around them are all there.
TEST_F(EventLogTest, UnreadableLinesAreReportedByNumber) {
  EXPECT_TRUE(eventlog::ReadLog().events.empty());  // no log yet: nothing, and no error
  HANDLE source = RegisterEventSource(nullptr, L"Korvo");
  ASSERT_TRUE(ReportEvent(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  std::string text = testing::ReadHostFile(LogFile());
  text += "{\"half\": \n\n[\"no source\"]\n";
  testing::WriteHostFile(LogFile(), text);
  ASSERT_TRUE(ReportEvent(source, EVENTLOG_WARNING_TYPE, 0, 2, nullptr, 0, 0, nullptr, nullptr));
  DeregisterEventSource(source);
  const auto log = eventlog::ReadLog();
  ASSERT_EQ(log.events.size(), 2u);
  EXPECT_EQ(log.events[0].eventId, 1u);
  EXPECT_EQ(log.events[1].eventId, 2u);
  EXPECT_EQ(log.unreadableLines, (std::vector<std::size_t>{2, 4}));  // line 3 is empty
  EXPECT_EQ(eventlog::ReadAll().size(), 2u);
}

TEST_F(EventLogTest, InvalidArgumentsFail) {
  SetLastError(0);
  EXPECT_EQ(RegisterEventSource(L"\\\\OTHERPC", L"Korvo"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  EXPECT_EQ(RegisterEventSource(nullptr, L""), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegisterEventSource(nullptr, nullptr), nullptr);

  HANDLE source = RegisterEventSource(nullptr, L"Korvo");
  ASSERT_NE(source, nullptr);
  SetLastError(0);
  EXPECT_FALSE(ReportEvent(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 2, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  LPCWSTR withNull[] = {L"one", nullptr};
  EXPECT_FALSE(ReportEvent(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 2, 0, withNull, nullptr));
  EXPECT_TRUE(eventlog::ReadAll().empty());
}

TEST_F(EventLogTest, BadHandlesFail) {
  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7777770));
  SetLastError(0);
  EXPECT_FALSE(ReportEvent(bogus, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE source = RegisterEventSource(nullptr, L"Korvo");
  ASSERT_TRUE(DeregisterEventSource(source));
  SetLastError(0);
  EXPECT_FALSE(ReportEvent(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeregisterEventSource(source));

  // A handle of another kind is not an event source.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_FALSE(ReportEvent(key, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_FALSE(DeregisterEventSource(key));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(eventlog::ReadAll().empty());
}

TEST_F(EventLogTest, ConcurrentAppendsGiveWholeLines) {
  constexpr int kThreads = 4;
  constexpr int kEventsEach = 50;
  // Long strings, so that a line split across writes would show.
  const std::wstring payload(6000, L'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      HANDLE source = RegisterEventSource(nullptr, (L"Source" + std::to_wstring(t)).c_str());
      ASSERT_NE(source, nullptr);
      for (int i = 0; i < kEventsEach; ++i) {
        const std::wstring text = std::to_wstring(i) + payload;
        LPCWSTR strings[] = {text.c_str()};
        ASSERT_TRUE(
            ReportEvent(source, EVENTLOG_WARNING_TYPE, 0, static_cast<DWORD>(i), nullptr, 1, 0, strings, nullptr));
      }
      DeregisterEventSource(source);
    });
  }
  for (auto& t : threads) t.join();

  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEventsEach));
  for (const auto& line : lines) EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded());
  const auto events = eventlog::ReadAll();
  ASSERT_EQ(events.size(), lines.size());
  std::vector<int> next(kThreads, 0);  // each source's events stay in its order
  for (const auto& e : events) {
    const int t = std::stoi(std::wstring(e.source.substr(6)));
    EXPECT_EQ(e.eventId, static_cast<DWORD>(next[t]));
    EXPECT_EQ(e.strings.at(0), std::to_wstring(next[t]) + payload);
    ++next[t];
  }
  EXPECT_THAT(next, ElementsAre(kEventsEach, kEventsEach, kEventsEach, kEventsEach));
}

TEST_F(EventLogTest, ReadAllSkipsLinesThatDoNotParse) {
  testing::WriteHostFile(LogFile(),
                         "not json\n"
                         R"({"source":"Kept","eventId":5,"type":2})"
                         "\n"
                         R"({"source":"BadId","eventId":-5})"
                         "\n"
                         R"({"source":"BadStrings","eventId":1,"strings":[1]})"
                         "\n"
                         R"({"eventId":1})"
                         "\n"
                         "\n"
                         R"({"source":"Truncated","eventId")");
  const auto events = eventlog::ReadAll();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, L"Kept");
  EXPECT_EQ(events[0].eventId, 5u);
  EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
}

TEST_F(EventLogTest, EventsGoToTheMachineTheSourceWasRegisteredOn) {
  HANDLE source = RegisterEventSource(nullptr, L"Korvo");
  ASSERT_NE(source, nullptr);
  testing::TempDir otherRoot;
  Machine::Options options;
  options.root = otherRoot.path();
  options.clock = std::make_unique<VirtualClock>();
  options.captureDebugOutput = true;
  auto mine = SelectMachine(Machine::Open(std::move(options)));
  const bool reported = ReportEvent(source, EVENTLOG_SUCCESS, 0, 1, nullptr, 0, 0, nullptr, nullptr);
  SelectMachine(mine);
  EXPECT_TRUE(reported);
  EXPECT_FALSE(std::filesystem::exists(otherRoot.path() / "eventlog.jsonl"));
  EXPECT_EQ(eventlog::ReadAll().size(), 1u);
  DeregisterEventSource(source);
}

TEST(EventLogTypeName, NamesEachType) {
  EXPECT_STREQ(eventlog::TypeName(EVENTLOG_SUCCESS), "Success");
  EXPECT_STREQ(eventlog::TypeName(EVENTLOG_ERROR_TYPE), "Error");
  EXPECT_STREQ(eventlog::TypeName(EVENTLOG_WARNING_TYPE), "Warning");
  EXPECT_STREQ(eventlog::TypeName(EVENTLOG_INFORMATION_TYPE), "Information");
  EXPECT_STREQ(eventlog::TypeName(EVENTLOG_AUDIT_SUCCESS), "Audit Success");
  EXPECT_STREQ(eventlog::TypeName(EVENTLOG_AUDIT_FAILURE), "Audit Failure");
  EXPECT_STREQ(eventlog::TypeName(0x40), "Unknown");
}

}  // namespace
}  // namespace platform
