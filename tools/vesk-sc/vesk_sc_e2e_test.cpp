// End-to-end tests of the service controller with real processes: vesk-sc installs,
// starts, controls, stops and deletes scm_test_service on a fresh machine root, and the
// supervisor restarts it after kill -9 as its failure actions say. The verbs' texts and
// usage errors are tested in-process in vesk_sc_test.cpp.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/eventlog.h"
#include "platform/scm.h"
#include "platform/scm_testing.h"
#include "platform/testing/machine_test.h"
#include "platform/testing/run_program.h"
#include "platform/text.h"

namespace platform {
namespace {

using testing::Eventually;
using testing::ProgramResult;
using testing::ReadHostFile;
using testing::TempDir;

class VeskScTest : public testing::MachineTest {
 protected:
  ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& extraEnv = {}) {
    return testing::RunProgram(output_.path(), program, args, extraEnv);
  }
  ProgramResult Sc(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {}) {
    args.insert(args.begin(), {"--root", root().string(), "--timeout", "5000"});
    return RunProgram(VESK_SC_PATH, args, extraEnv);
  }
  // Installs the test service under `name` with `options` on its command line.
  void Install(const std::string& name, const std::string& options = "") {
    const auto r = Sc({"create", name, "binPath=", std::string("\"") + SCM_TEST_SERVICE_PATH + "\" " + options,
                       "DisplayName=", name + " Test Service"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  }
  SC_HANDLE Open(const std::wstring& name) {
    if (manager_ == nullptr) manager_ = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE s = OpenService(manager_, name.c_str(), SERVICE_ALL_ACCESS);
    EXPECT_NE(s, nullptr) << GetLastError();
    handles_.emplace_back(name, s);
    return s;
  }
  SERVICE_STATUS_PROCESS Status(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof(s), &needed));
    return s;
  }
  std::string ServiceOutput(const std::string& name) { return ReadHostFile(root() / "scm" / (name + ".out")); }
  bool SupervisorGone(const std::string& name) {
    return Eventually([&] { return !scm_testing::SupervisorAlive(root(), Utf8ToWide(name)); });
  }
  // Ends every service a test opened, so that no process outlives the test: deleted
  // first, so that no failure action brings it back, then stopped.
  void TearDown() override {
    for (auto& [name, h] : handles_) {
      DeleteService(h);
      SERVICE_STATUS s;
      ControlService(h, SERVICE_CONTROL_STOP, &s);
      if (!SupervisorGone(WideToUtf8(name))) {
        const DWORD pid = Status(h).dwProcessId;
        if (pid != 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
        EXPECT_TRUE(SupervisorGone(WideToUtf8(name))) << WideToUtf8(name);
      }
      CloseServiceHandle(h);
    }
    if (manager_ != nullptr) CloseServiceHandle(manager_);
    MachineTest::TearDown();
  }

  TempDir output_;
  SC_HANDLE manager_ = nullptr;
  std::vector<std::pair<std::wstring, SC_HANDLE>> handles_;
};

TEST_F(VeskScTest, InstallStartControlStopDelete) {
  Install("Varnel", "--steps 2");
  auto qc = Sc({"qc", "Varnel"});
  ASSERT_EQ(qc.exitCode, 0) << qc.err;
  EXPECT_NE(qc.out.find(std::string("BINARY_PATH_NAME   : \"") + SCM_TEST_SERVICE_PATH + "\" --steps 2"),
            std::string::npos)
      << qc.out;
  EXPECT_NE(qc.out.find("DEMAND_START"), std::string::npos);
  EXPECT_NE(qc.out.find("DISPLAY_NAME       : Varnel Test Service"), std::string::npos);
  EXPECT_NE(qc.out.find("SERVICE_START_NAME : LocalSystem"), std::string::npos);

  auto start = Sc({"start", "Varnel"});
  ASSERT_EQ(start.exitCode, 0) << start.out << start.err;
  EXPECT_NE(start.out.find("Varnel: START_PENDING (checkpoint 0, wait hint 2000 ms)"), std::string::npos) << start.out;
  EXPECT_NE(start.out.find("Varnel: START_PENDING (checkpoint 1, wait hint 1000 ms)"), std::string::npos) << start.out;
  EXPECT_NE(start.out.find("Varnel: START_PENDING (checkpoint 2, wait hint 1000 ms)"), std::string::npos) << start.out;
  EXPECT_NE(start.out.find("Varnel: RUNNING"), std::string::npos) << start.out;
  EXPECT_LT(start.out.find("checkpoint 1"), start.out.find("checkpoint 2"));

  SC_HANDLE service = Open(L"Varnel");
  const DWORD pid = Status(service).dwProcessId;
  ASSERT_NE(pid, 0u);
  EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), 0) << "the service's process is alive";
  auto queryex = Sc({"queryex", "Varnel"});
  ASSERT_EQ(queryex.exitCode, 0);
  EXPECT_NE(queryex.out.find("STATE              : 4  RUNNING"), std::string::npos) << queryex.out;
  EXPECT_NE(queryex.out.find("(STOPPABLE, NOT_PAUSABLE, ACCEPTS_SHUTDOWN, ACCEPTS_PRESHUTDOWN"), std::string::npos);
  EXPECT_NE(queryex.out.find("PID                : " + std::to_string(pid)), std::string::npos) << queryex.out;

  EXPECT_EQ(Sc({"interrogate", "Varnel"}).exitCode, 0);
  EXPECT_EQ(Sc({"control", "Varnel", "13", "0x12"}).exitCode, 0);
  EXPECT_EQ(Sc({"control", "Varnel", "power", "suspend"}).exitCode, 0);
  EXPECT_EQ(Sc({"control", "Varnel", "14", "7", "3"}).exitCode, 0);
  EXPECT_EQ(Sc({"control", "Varnel", "0xC8"}).exitCode, 0);  // the service's own control 200
  auto refused = Sc({"control", "Varnel", "pause"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("[SC] ControlService FAILED 1052:"), std::string::npos) << refused.err;
  const std::string output = ServiceOutput("Varnel");
  EXPECT_NE(output.find("control 4 event 0 session 0"), std::string::npos) << output;
  EXPECT_NE(output.find("control 13 event 18 session 0"), std::string::npos) << output;
  EXPECT_NE(output.find("control 13 event 4 session 0"), std::string::npos) << output;
  EXPECT_NE(output.find("control 14 event 7 session 3"), std::string::npos) << output;
  EXPECT_NE(output.find("control 200 event 0"), std::string::npos) << output;
  EXPECT_EQ(output.find("control 2 "), std::string::npos) << "a refused control never reaches the service";

  auto stop = Sc({"stop", "Varnel"});
  ASSERT_EQ(stop.exitCode, 0) << stop.out << stop.err;
  EXPECT_NE(stop.out.find("Varnel: STOP_PENDING (checkpoint 1, wait hint 1000 ms)"), std::string::npos) << stop.out;
  EXPECT_NE(stop.out.find("Varnel: STOP_PENDING (checkpoint 3, wait hint 1000 ms)"), std::string::npos) << stop.out;
  EXPECT_NE(stop.out.find("Varnel: STOPPED"), std::string::npos) << stop.out;
  EXPECT_EQ(stop.out.find("checkpoint 1"), stop.out.rfind("checkpoint 1")) << "each report once: " << stop.out;
  EXPECT_EQ(stop.out.find("RUNNING"), std::string::npos) << stop.out;
  EXPECT_TRUE(Eventually([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; })) << "the process ended";
  EXPECT_TRUE(SupervisorGone("Varnel"));
  EXPECT_NE(ServiceOutput("Varnel").find("dispatcher returned"), std::string::npos);

  auto again = Sc({"stop", "Varnel"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("FAILED 1062:"), std::string::npos) << again.err;

  EXPECT_EQ(Sc({"delete", "Varnel"}).exitCode, 0);
  auto gone = Sc({"query", "Varnel"});
  EXPECT_EQ(gone.exitCode, 1);
  EXPECT_NE(
      gone.err.find("[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an installed service."),
      std::string::npos)
      << gone.err;
}

TEST_F(VeskScTest, StartArgumentsAndCommandLineReachTheService) {
  Install("Args", "--steps 1 \"two words\" back\\\\slash");
  auto start = Sc({"start", "Args", "alpha", "beta gamma"});
  ASSERT_EQ(start.exitCode, 0) << start.out << start.err;
  const std::string output = ServiceOutput("Args");
  EXPECT_NE(output.find("main argv: Args|alpha|beta gamma"), std::string::npos) << output;
  EXPECT_NE(output.find(std::string("process argv: ") + SCM_TEST_SERVICE_PATH + "|--steps|1|two words|back\\\\slash"),
            std::string::npos)
      << output;
  // Started again while it runs.
  auto twice = Sc({"start", "Args"});
  EXPECT_EQ(twice.exitCode, 1);
  EXPECT_NE(twice.err.find("FAILED 1056:"), std::string::npos) << twice.err;
  // Stopped and at once started again: the ending supervisor is waited for.
  ASSERT_EQ(Sc({"stop", "Args"}).exitCode, 0);
  auto restart = Sc({"start", "Args"});
  EXPECT_EQ(restart.exitCode, 0) << restart.out << restart.err;
  Open(L"Args");
}

TEST_F(VeskScTest, KillNineIsRestartedByTheFailureActions) {
  Install("Crashy", "--steps 1");
  auto failure = Sc({"failure", "Crashy", "reset=", "60", "actions=", "restart/200/restart/200/none/0"});
  ASSERT_EQ(failure.exitCode, 0) << failure.err;
  auto qfailure = Sc({"qfailure", "Crashy"});
  EXPECT_NE(qfailure.out.find("RESET_PERIOD (in seconds)    : 60"), std::string::npos) << qfailure.out;
  EXPECT_NE(qfailure.out.find("FAILURE_ACTIONS              : RESTART -- Delay = 200 milliseconds."), std::string::npos)
      << qfailure.out;
  ASSERT_EQ(Sc({"start", "Crashy"}).exitCode, 0);
  SC_HANDLE service = Open(L"Crashy");

  DWORD pid = Status(service).dwProcessId;
  for (int crash = 1; crash <= 2; ++crash) {
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
    DWORD next = 0;
    ASSERT_TRUE(Eventually([&] {
      const auto s = Status(service);
      next = s.dwProcessId;
      return s.dwCurrentState == SERVICE_RUNNING && next != pid && next != 0;
    })) << "restart "
        << crash;
    pid = next;
  }
  // The third failure's action is NONE: it stays stopped, and the supervisor ends.
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
  ASSERT_TRUE(Eventually([&] { return Status(service).dwCurrentState == SERVICE_STOPPED; }));
  EXPECT_EQ(Status(service).dwWin32ExitCode, ERROR_PROCESS_ABORTED);
  EXPECT_TRUE(SupervisorGone("Crashy"));

  // Every report of the run, the crashes included, in order.
  ServiceStatusWatch watch(service, ServiceStatusWatch::From::Launch);
  std::vector<SERVICE_STATUS_PROCESS> reports;
  SERVICE_STATUS_PROCESS s;
  while (watch.Next(&s, 1000)) reports.push_back(s);
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  int aborted = 0, launches = 0;
  for (const auto& r : reports) {
    if (r.dwCurrentState == SERVICE_STOPPED && r.dwWin32ExitCode == ERROR_PROCESS_ABORTED) ++aborted;
    if (r.dwCurrentState == SERVICE_START_PENDING && r.dwCheckPoint == 0) ++launches;
  }
  EXPECT_EQ(aborted, 3);
  EXPECT_EQ(launches, 3);

  // The machine's event log has the crashes.
  int logged = 0;
  for (const auto& e : eventlog::ReadAll()) {
    if (e.source == L"Service Control Manager" && (e.eventId == 7031 || e.eventId == 7034)) ++logged;
  }
  EXPECT_EQ(logged, 3);
}

TEST_F(VeskScTest, AStopWithAnErrorCountsOnlyWithTheFlag) {
  Install("Failing", "--steps 1 --exit-code 5");
  ASSERT_EQ(Sc({"failure", "Failing", "reset=", "60", "actions=", "restart/100"}).exitCode, 0);
  ASSERT_EQ(Sc({"start", "Failing"}).exitCode, 0);
  SC_HANDLE service = Open(L"Failing");
  auto stop = Sc({"stop", "Failing"});
  EXPECT_EQ(stop.exitCode, 0) << stop.err;
  EXPECT_NE(stop.out.find("Failing: STOPPED (exit code 5:"), std::string::npos) << stop.out;
  EXPECT_TRUE(SupervisorGone("Failing"));
  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_STOPPED);

  ASSERT_EQ(Sc({"failureflag", "Failing", "1"}).exitCode, 0);
  EXPECT_NE(Sc({"qfailureflag", "Failing"}).out.find("FAILURE_ACTIONS_ON_NONCRASH_FAILURES: TRUE"), std::string::npos);
  ASSERT_EQ(Sc({"start", "Failing"}).exitCode, 0);
  const DWORD first = Status(service).dwProcessId;
  ASSERT_EQ(Sc({"stop", "Failing"}).exitCode, 0);
  EXPECT_TRUE(Eventually([&] {
    const auto s = Status(service);
    return s.dwCurrentState == SERVICE_RUNNING && s.dwProcessId != first;
  })) << "restarted after a stop with exit code 5";
}

TEST_F(VeskScTest, DeletingARunningServiceRemovesItWhenItStops) {
  Install("Doomed", "--steps 1");
  SC_HANDLE service = Open(L"Doomed");
  ASSERT_TRUE(StartService(service, 0, nullptr)) << GetLastError() << " " << GetServiceControlErrorDetail();
  ASSERT_TRUE(Eventually([&] { return Status(service).dwCurrentState == SERVICE_RUNNING; }));
  auto del = Sc({"delete", "Doomed"});
  ASSERT_EQ(del.exitCode, 0) << del.err;
  auto query = Sc({"query", "Doomed"});
  EXPECT_EQ(query.exitCode, 1);
  EXPECT_NE(query.err.find("FAILED 1072:"), std::string::npos) << query.err;
  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_RUNNING);  // the open handle still reaches it

  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
  EXPECT_TRUE(SupervisorGone("Doomed"));
  EXPECT_EQ(OpenService(manager_, L"Doomed", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(Sc({"list"}).out.find("Doomed"), std::string::npos);
}

TEST_F(VeskScTest, ShutdownAndPreshutdownStopTheService) {
  Install("Shut", "--steps 1");
  for (const char* code : {"5", "15"}) {
    ASSERT_EQ(Sc({"start", "Shut"}).exitCode, 0);
    auto control = Sc({"control", "Shut", code});
    EXPECT_EQ(control.exitCode, 0) << control.err;
    EXPECT_NE(control.out.find("STOP_PENDING"), std::string::npos) << control.out;
    EXPECT_TRUE(SupervisorGone("Shut"));
  }
  const std::string output = ServiceOutput("Shut");
  EXPECT_NE(output.find("control 5 event 0"), std::string::npos);
  EXPECT_NE(output.find("control 15 event 0"), std::string::npos);
}

TEST_F(VeskScTest, AProgramThatNeverConnectsIsStopped) {
  ASSERT_EQ(Sc({"create", "Sleeper", "binPath=", "/bin/sleep 30"}).exitCode, 0);
  auto start = Sc({"start", "Sleeper"}, {"KORVO_SCM_CONNECT_TIMEOUT_MS=300"});
  EXPECT_EQ(start.exitCode, 1);
  EXPECT_NE(start.out.find("Sleeper: START_PENDING (checkpoint 0"), std::string::npos) << start.out;
  EXPECT_NE(start.out.find("Sleeper: STOPPED (exit code 1053:"), std::string::npos) << start.out;
  EXPECT_TRUE(SupervisorGone("Sleeper"));
}

TEST_F(VeskScTest, AServiceProgramStartedByHandFails1063) {
  auto r = RunProgram(SCM_TEST_SERVICE_PATH, {}, {"KORVO_MACHINE_ROOT=" + root().string()});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("StartServiceCtrlDispatcher failed: 1063"), std::string::npos) << r.err;
}

class VeskScConcurrencyTest : public VeskScTest {};

TEST_F(VeskScConcurrencyTest, ProcessesInstallingAtOnceKeepEveryService) {
  constexpr int kProcesses = 6;
  std::vector<std::thread> threads;
  std::vector<int> codes(kProcesses, -1);
  for (int i = 0; i < kProcesses; ++i) {
    threads.emplace_back([&, i] {
      codes[i] = Sc({"create", "Parallel" + std::to_string(i), "binPath=", "/bin/true"}).exitCode;
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kProcesses; ++i) EXPECT_EQ(codes[i], 0) << i;
  const auto list = Sc({"list"});
  for (int i = 0; i < kProcesses; ++i) {
    EXPECT_NE(list.out.find("Parallel" + std::to_string(i)), std::string::npos) << list.out;
  }
}

}  // namespace
}  // namespace platform
