// End to end with real processes: a service built on CServiceBase is installed, started
// and controlled with vesk-sc, and the controller sees the base class's reports.
#include <signal.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/scm.h"
#include "platform/testing/machine_test.h"
#include "platform/testing/run_program.h"

namespace {

using namespace platform;
using platform::testing::Eventually;
using platform::testing::ProgramResult;
using platform::testing::ReadHostFile;

class ServiceBaseEndToEndTest : public platform::testing::MachineTest {
 protected:
  ProgramResult Sc(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root().string(), "--timeout", "5000"});
    return platform::testing::RunProgram(scratch_.path(), VESK_SC_PATH, args);
  }
  ProgramResult MachineTool(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root().string()});
    return platform::testing::RunProgram(scratch_.path(), VESK_MACHINE_PATH, args);
  }
  void InstallAndStart() {
    auto create = Sc({"create", "BaseTest", "binPath=", std::string("\"") + BASE_TEST_SERVICE_PATH + "\" BaseTest"});
    ASSERT_EQ(create.exitCode, 0) << create.out << create.err;
    auto start = Sc({"start", "BaseTest"});
    ASSERT_EQ(start.exitCode, 0) << start.out << start.err;
  }
  std::string ServiceOutput() { return ReadHostFile(root() / "scm" / "BaseTest.out"); }
  bool OutputHas(const std::string& line) {
    return Eventually([&] { return ServiceOutput().find(line) != std::string::npos; });
  }
  // Whatever a failed test left running ends with it.
  void TearDown() override {
    SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager != nullptr ? OpenService(manager, L"BaseTest", SERVICE_ALL_ACCESS) : nullptr;
    if (service != nullptr) {
      SERVICE_STATUS_PROCESS s{};
      DWORD needed = 0;
      DeleteService(service);
      if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof(s), &needed) &&
          s.dwProcessId != 0) {
        ::kill(static_cast<pid_t>(s.dwProcessId), SIGKILL);
      }
      CloseServiceHandle(service);
    }
    if (manager != nullptr) CloseServiceHandle(manager);
    MachineTest::TearDown();
  }

  platform::testing::TempDir scratch_;
};

TEST_F(ServiceBaseEndToEndTest, StartsTakesEventsAndStopsWithTheDocumentedCheckPoints) {
  auto create = Sc({"create", "BaseTest", "binPath=", std::string("\"") + BASE_TEST_SERVICE_PATH + "\" BaseTest"});
  ASSERT_EQ(create.exitCode, 0) << create.out << create.err;

  auto start = Sc({"start", "BaseTest", "first"});
  ASSERT_EQ(start.exitCode, 0) << start.out << start.err;
  EXPECT_NE(start.out.find("BaseTest: START_PENDING (checkpoint 1, wait hint 0 ms)"), std::string::npos) << start.out;
  EXPECT_NE(start.out.find("BaseTest: RUNNING\n"), std::string::npos) << start.out;
  EXPECT_TRUE(OutputHas("start BaseTest|first")) << ServiceOutput();

  auto qc = Sc({"query", "BaseTest"});
  EXPECT_NE(qc.out.find("STATE              : 4  RUNNING"), std::string::npos) << qc.out;
  // 0x1C5: stop, shutdown, pre-shutdown, power events and session changes.
  EXPECT_NE(qc.out.find("(STOPPABLE, NOT_PAUSABLE, ACCEPTS_SHUTDOWN, ACCEPTS_PRESHUTDOWN, ACCEPTS_POWEREVENT, "
                        "ACCEPTS_SESSIONCHANGE)"),
            std::string::npos)
      << qc.out;

  ASSERT_EQ(Sc({"control", "BaseTest", "14", "5", "2"}).exitCode, 0);
  EXPECT_TRUE(OutputHas("session 5 2")) << ServiceOutput();
  ASSERT_EQ(Sc({"control", "BaseTest", "13", "0x12"}).exitCode, 0);
  EXPECT_TRUE(OutputHas("power 18")) << ServiceOutput();
  // Not accepted: the controller refuses it before it reaches the handler.
  auto pause = Sc({"control", "BaseTest", "pause"});
  EXPECT_EQ(pause.exitCode, 1);
  EXPECT_NE(pause.err.find("FAILED 1052:"), std::string::npos) << pause.err;

  auto stop = Sc({"stop", "BaseTest"});
  ASSERT_EQ(stop.exitCode, 0) << stop.out << stop.err;
  EXPECT_NE(stop.out.find("BaseTest: STOP_PENDING (checkpoint 2, wait hint 0 ms)"), std::string::npos) << stop.out;
  EXPECT_NE(stop.out.find("BaseTest: STOPPED\n"), std::string::npos) << stop.out;
  EXPECT_TRUE(OutputHas("stop\n")) << ServiceOutput();
  EXPECT_TRUE(OutputHas("dispatcher returned")) << ServiceOutput();
}

// The machine tool plays the system's part for session changes: the running service
// hears of them with their event type and session id.
TEST_F(ServiceBaseEndToEndTest, SessionChangesOfTheMachineToolReachTheRunningService) {
  auto notRunning = MachineTool({"session", "lock", "1", "--service", "BaseTest"});
  EXPECT_EQ(notRunning.exitCode, 0) << notRunning.err;
  EXPECT_NE(notRunning.out.find("BaseTest is not running: no session change delivered"), std::string::npos)
      << notRunning.out;

  InstallAndStart();
  auto unlock = MachineTool({"session", "unlock", "1", "--service", "BaseTest"});
  ASSERT_EQ(unlock.exitCode, 0) << unlock.out << unlock.err;
  EXPECT_NE(unlock.out.find("session change 8 of session 1 delivered to BaseTest"), std::string::npos) << unlock.out;
  EXPECT_TRUE(OutputHas("session 8 1")) << ServiceOutput();
  ASSERT_EQ(MachineTool({"session", "logoff", "1", "--service", "BaseTest"}).exitCode, 0);
  EXPECT_TRUE(OutputHas("session 6 1")) << ServiceOutput();
  ASSERT_EQ(MachineTool({"session", "logon", "1", "alex", "--service", "BaseTest"}).exitCode, 0);
  EXPECT_TRUE(OutputHas("session 5 1")) << ServiceOutput();

  auto refused = MachineTool({"session", "unlock", "1", "--service", "BaseTest"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("session 1 is not locked"), std::string::npos) << refused.err;
  EXPECT_EQ(Sc({"stop", "BaseTest"}).exitCode, 0);
}

}  // namespace
