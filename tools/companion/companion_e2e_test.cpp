// The companion as the service starts it: on a fresh machine of the default profile,
// System Information is the built korvo-companion, started with CreateProcessAsUser as
// the console user's elevated token with UI access. Its record and `vesk-machine ps` say
// so; ending it leaves the record but takes it off the listing.
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sessions.h"
#include "platform/sync.h"
#include "platform/testing/machine_test.h"
#include "platform/testing/run_program.h"
#include "platform/text.h"

namespace platform {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

class CompanionEndToEndTest : public testing::MachineTest {
 protected:
  void TearDown() override {
    // No companion outlives its test, whatever failed.
    for (const auto& p : machine_sessions::Processes()) {
      UniqueHandle process(p.real ? OpenProcess(PROCESS_TERMINATE, FALSE, p.processId) : nullptr);
      if (process) TerminateProcess(process.get(), 1);
    }
    MachineTest::TearDown();
  }
  std::string Vm(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root().string()});
    const auto r = testing::RunProgram(scratch_.path(), VESK_MACHINE_PATH, args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
  }
  testing::TempDir scratch_;
};

TEST_F(CompanionEndToEndTest, SystemInformationIsTheCompanionAndSaysHowItWasStarted) {
  const std::wstring msinfo = L"C:\\Windows\\System32\\msinfo32.exe";
  EXPECT_EQ(std::filesystem::read_symlink(Host(msinfo)), KORVO_COMPANION_PATH);
  // The console user's elevated token with UI access, as the service's launcher makes it.
  HANDLE limited = nullptr;
  ASSERT_TRUE(WTSQueryUserToken(1, &limited));
  UniqueHandle limitedOwner(limited);
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(limited, TokenLinkedToken, &linked, sizeof(linked), &size));
  UniqueHandle token(linked.LinkedToken);
  const DWORD uiAccess = 1;
  ASSERT_TRUE(SetTokenInformation(token.get(), TokenUIAccess, &uiAccess, sizeof(uiAccess)));
  // The user's own variables only: no display, so it waits headless.
  void* environment = nullptr;
  ASSERT_TRUE(CreateEnvironmentBlock(&environment, token.get(), FALSE));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  std::wstring commandLine = L"msinfo32.exe /report \"C:\\x y.txt\"";
  PROCESS_INFORMATION pi{};
  const BOOL started = CreateProcessAsUser(token.get(), msinfo.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                           CREATE_UNICODE_ENVIRONMENT, environment, nullptr, &startup, &pi);
  DestroyEnvironmentBlock(environment);
  ASSERT_TRUE(started) << GetLastError();
  UniqueHandle process(pi.hProcess);
  UniqueHandle thread(pi.hThread);

  const auto recordFile = root() / "companions" / (std::to_string(pi.dwProcessId) + ".json");
  ASSERT_TRUE(testing::Eventually([&] { return std::filesystem::exists(recordFile); }, 20000))
      << "the companion (pid " << pi.dwProcessId << ") wrote no " << recordFile << " within 20 s";
  const json record = json::parse(testing::ReadHostFile(recordFile));
  EXPECT_EQ(record["standsFor"], "System Information");
  EXPECT_EQ(record["program"], WideToUtf8(msinfo));
  EXPECT_EQ(record["arguments"], json({"/report", "C:\\x y.txt"}));
  EXPECT_EQ(record["user"], "alex");
  EXPECT_EQ(record["session"], 1);
  EXPECT_EQ(record["elevation"], "full");
  EXPECT_EQ(record["uiAccess"], true);
  EXPECT_EQ(record["environment"]["KORVO_MACHINE_ROOT"], root().string());
  EXPECT_FALSE(record["environment"].contains("DISPLAY"));

  EXPECT_THAT(Vm({"ps", "--session", "1"}),
              HasSubstr("  real      full       yes       msinfo32.exe          " + WideToUtf8(commandLine) + "\n"));
  EXPECT_THAT(Vm({"ps", "--companions"}), HasSubstr(std::to_string(pi.dwProcessId) +
                                                    "  System Information            alex            1  full       "
                                                    "yes       C:\\Windows\\System32\\msinfo32.exe /report \"C:\\x "
                                                    "y.txt\"\n"));

  ASSERT_TRUE(TerminateProcess(process.get(), 1));
  EXPECT_THAT(Vm({"ps", "--companions"}), ::testing::Not(HasSubstr("System Information")));
  EXPECT_TRUE(std::filesystem::exists(recordFile)) << "the record outlives the program";
}

}  // namespace
}  // namespace platform
