// The companion's logic in-process, on the fixture's machine: what it stands for, the
// record it makes from its row of the process table (a row written here by hand), which
// records count as running, what the window says and how the wait ends.
#include "tools/companion/companion.h"

#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sync.h"
#include "platform/testing/machine_test.h"

namespace tools::companion {
namespace {

using nlohmann::json;
using platform::testing::ReadHostFile;
using platform::testing::WriteHostFile;

constexpr const char* kMsinfo = "C:\\Windows\\System32\\msinfo32.exe";

class CompanionTest : public platform::testing::MachineTest {
 protected:
  // A process table of declared rows (no host process has to be behind them).
  void WriteTable(const std::vector<std::pair<platform::DWORD, std::string>>& rows) {
    json processes = json::array();
    for (const auto& [pid, path] : rows) {
      processes.push_back({{"pid", pid},
                           {"session", 1},
                           {"name", "x.exe"},
                           {"path", path},
                           {"user", "alex"},
                           {"uiAccess", true},
                           {"elevation", "full"},
                           {"real", false}});
    }
    WriteHostFile(root() / "processes.json", json{{"nextId", 9000000}, {"processes", processes}}.dump());
  }
  int RunAs(std::vector<std::string> argv, platform::DWORD entryWaitMs = 5000) {
    platform::UniqueHandle ended(platform::CreateEvent(nullptr, platform::TRUE, platform::TRUE, nullptr));
    out_.str("");
    err_.str("");
    return companion::Run(argv, out_, err_, Options{ended.get(), nullptr, entryWaitMs});
  }
  json OwnRecord() {
    return json::parse(
        ReadHostFile(root() / "companions" / (std::to_string(platform::GetCurrentProcessId()) + ".json")));
  }
  std::ostringstream out_, err_;
};

TEST_F(CompanionTest, ItStandsForWhatItsFileNameSays) {
  EXPECT_EQ(StandsFor("MSINFO32.EXE", {"/report"}), "System Information");
  EXPECT_EQ(StandsFor("control.exe", {"/name", "Microsoft.PowerOptions"}), "Power Options");
  EXPECT_EQ(StandsFor("control.exe", {}), "Control Panel");
  EXPECT_EQ(StandsFor("control.exe", {"/NAME", "Microsoft.Mouse"}), "Control Panel: Microsoft.Mouse");
  EXPECT_EQ(StandsFor("KorvoPeltry.exe", {"60"}), "Korvo hotkey notifications");
  EXPECT_EQ(StandsFor("Rennet.exe", {}), "USB Type-C configuration");
  EXPECT_EQ(StandsFor("msinfo32", {}), "Korvo companion") << "the whole name must match";
}

TEST_F(CompanionTest, RunRecordsHowItWasStartedAndWaitsABoundedTimeForItsRow) {
  const platform::DWORD self = platform::GetCurrentProcessId();
  WriteTable({{self + 1, kMsinfo}, {self, kMsinfo}});
  ASSERT_EQ(RunAs({(root() / "drive_c/Windows/System32/msinfo32.exe").string(), "/report", "C:\\x y.txt"}), kExitOk)
      << err_.str();
  EXPECT_EQ(out_.str() + err_.str(), "");
  json record = OwnRecord();
  EXPECT_EQ(record["standsFor"], "System Information");
  EXPECT_EQ(record["program"], kMsinfo);
  EXPECT_EQ(record["arguments"], json({"/report", "C:\\x y.txt"}));
  EXPECT_EQ(record["user"], "alex");
  EXPECT_EQ(record["elevation"], "full");
  EXPECT_EQ(record["uiAccess"], true);
  EXPECT_EQ(record["environment"].size(), platform::ProcessEnvironment().size());
  EXPECT_EQ(record["started"], "2021-03-04T17:05:09.042Z") << "on the machine's clock";
  EXPECT_EQ(clock().ElapsedMilliseconds(), 0u);

  WriteTable({{self + 1, kMsinfo}});
  ASSERT_EQ(RunAs({"/opt/korvo/KorvoPeltry.exe"}, 3000), kExitOk);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 3000u) << "looked for its row as long as it was told, no longer";
  record = OwnRecord();
  EXPECT_EQ(record["program"], "Z:\\opt\\korvo\\KorvoPeltry.exe") << "where the host says it is";
  EXPECT_EQ(record["standsFor"], "Korvo hotkey notifications");
  for (const char* key : {"user", "session", "elevation", "uiAccess"}) EXPECT_TRUE(record[key].is_null()) << key;

  WriteHostFile(root() / "processes.json", "{ not json");
  EXPECT_EQ(RunAs({"msinfo32.exe"}), kExitFailed);
  EXPECT_THAT(err_.str(), ::testing::StartsWith("korvo-companion: the process table "));
  EXPECT_EQ(OwnRecord()["standsFor"], "Korvo hotkey notifications") << "the last record is left alone";

  EXPECT_EQ(RunAs({"msinfo32.exe", "--help"}), kExitOk);
  EXPECT_THAT(out_.str(), ::testing::StartsWith("usage: korvo-companion [ARGS...]\n"));
}

TEST_F(CompanionTest, OnlyRecordsOfCompanionsStillInTheTableRun) {
  WriteTable({{100, kMsinfo}, {200, "C:\\Windows\\System32\\control.exe"}, {400, kMsinfo}});
  for (const auto& [pid, program] : std::vector<std::pair<int, std::string>>{
           {400, "c:\\windows\\system32\\MSINFO32.EXE"}, {100, kMsinfo}, {200, kMsinfo}, {300, kMsinfo}}) {
    WriteHostFile(root() / "companions" / (std::to_string(pid) + ".json"),
                  json{{"pid", pid}, {"program", program}}.dump());
  }
  WriteHostFile(root() / "companions" / "500.json", "{ half");
  const auto running = RunningRecords();
  ASSERT_EQ(running.size(), 2u) << "200 is another program now, 300 ended, 500 is damaged";
  EXPECT_EQ(running[0]["pid"], 100);
  EXPECT_EQ(running[1]["pid"], 400);
}

TEST_F(CompanionTest, TheWindowSaysWhatItStandsForAndTheWaitEndsWhenAskedOrWhenTheMachineIsGone) {
  const json record = {{"standsFor", "System Information"},
                       {"inProcessTable", true},
                       {"user", "alex"},
                       {"session", 1},
                       {"elevation", "limited"},
                       {"uiAccess", false},
                       {"program", kMsinfo},
                       {"arguments", json::array()}};
  EXPECT_THAT(
      WindowLines(record),
      ::testing::ElementsAre("System Information", "Started for alex in session 1", "Elevation: limited, UI access: no",
                             std::string("Program: ") + kMsinfo, "Arguments: none", "Computer name: KORVO-T14",
                             "Processor architecture: AMD64", "Processors: 8"));

  platform::UniqueHandle asked(platform::CreateEvent(nullptr, platform::TRUE, platform::TRUE, nullptr));
  EXPECT_TRUE(AwaitEnd(asked.get()));
  platform::UniqueHandle never(platform::CreateEvent(nullptr, platform::TRUE, platform::FALSE, nullptr));
  std::filesystem::rename(root() / "machine.json", root() / "machine.json.gone");
  EXPECT_FALSE(AwaitEnd(never.get(), 2000));
  EXPECT_EQ(clock().ElapsedMilliseconds(), 2000u) << "noticed at the first look";
}

}  // namespace
}  // namespace tools::companion
