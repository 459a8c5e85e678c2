// The service end to end, with real processes on a fresh machine of the default
// profile: varnel installs itself, runs under vesk-sc, starts the hotkey notification
// program, serves the record to vesk-client, stops with its endpoint gone, survives
// being killed outright, and removes itself with the programs it started.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/scm.h"
#include "platform/scm_testing.h"
#include "platform/sessions.h"
#include "platform/testing/machine_test.h"
#include "platform/testing/run_program.h"

namespace {

using namespace platform;
using platform::testing::Eventually;
using platform::testing::ProgramResult;
using platform::testing::WaitForExit;
using ::testing::HasSubstr;
using ::testing::Not;

class VarnelEndToEndTest : public platform::testing::MachineTest {
 protected:
  ProgramResult Run(const char* program, std::vector<std::string> args) {
    return platform::testing::RunProgram(scratch_.path(), program, args, {"KORVO_MACHINE_ROOT=" + root().string()});
  }
  ProgramResult Varnel(const std::string& option) { return Run(VARNEL_PATH, {option}); }
  ProgramResult Sc(std::vector<std::string> args) {
    args.insert(args.begin(), {"--timeout", "30000"});
    return Run(VESK_SC_PATH, args);
  }
  ProgramResult Client(std::vector<std::string> args) { return Run(VESK_CLIENT_PATH, args); }
  ProgramResult MachineTool(std::vector<std::string> args) { return Run(VESK_MACHINE_PATH, args); }

  std::vector<MachineProcess> Running(const std::wstring& name) {
    std::vector<MachineProcess> rows;
    for (const auto& p : machine_sessions::Processes()) {
      if (p.name == name) rows.push_back(p);
    }
    return rows;
  }

  // Whatever a failed test left running ends with it.
  void TearDown() override {
    if (const DWORD pid = scm_testing::ServiceProcessId(L"Varnel"); pid != 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
    for (const auto& p : machine_sessions::Processes()) {
      UniqueHandle process(p.real ? OpenProcess(PROCESS_TERMINATE, FALSE, p.processId) : nullptr);
      if (process) TerminateProcess(process.get(), 1);
    }
    MachineTest::TearDown();
  }

  // Starts `varnel option` in the background with its output in the scratch folder.
  pid_t SpawnVarnel(const std::string& option) { return Spawn({VARNEL_PATH, option}, "varnel.out"); }
  pid_t Spawn(std::vector<std::string> args, const std::string& output) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.push_back("KORVO_MACHINE_ROOT=" + root().string());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = (scratch_.path() / output).string();
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
  }
  std::string VarnelOutput() {
    std::ifstream in(scratch_.path() / "varnel.out");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  platform::testing::TempDir scratch_;
};

TEST_F(VarnelEndToEndTest, InstallsServesStopsAndRemovesItself) {
  auto r = Varnel("-install");
  EXPECT_EQ(r.out, "Varnel is installed.\n") << r.err;
  EXPECT_EQ(Varnel("/INSTALL").out, "CreateService failed w/err 0x00000431\n");
  r = Sc({"qc", "Varnel"});
  EXPECT_THAT(r.out, HasSubstr("TYPE               : 110  WIN32_OWN_PROCESS (interactive)"));
  EXPECT_THAT(r.out, HasSubstr("START_TYPE         : 2   AUTO_START"));
  EXPECT_THAT(r.out, HasSubstr("\\service\\host\\varnel\"\n")) << "the program quoted";
  EXPECT_THAT(r.out, HasSubstr("DISPLAY_NAME       : Korvo Vesk Service"));

  r = Sc({"start", "Varnel"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_THAT(Sc({"qfailure", "Varnel"}).out, HasSubstr("RESTART -- Delay = 360000 milliseconds."));
  EXPECT_THAT(Sc({"qfailureflag", "Varnel"}).out, HasSubstr("FAILURE_ACTIONS_ON_NONCRASH_FAILURES: TRUE"));

  // The first read starts the service's reading thread: the client waits for it.
  r = Client({"sysinfo", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto facts = nlohmann::json::parse(r.out);
  EXPECT_EQ(facts.size(), 11u);
  EXPECT_EQ(facts["serialNumber"], "SN0001");
  EXPECT_EQ(facts["usbTypeCSupport"], "yes");
  r = Client({"usbc", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out).size(), 6u);
  EXPECT_EQ(Client({"merid-service"}).out, "1\n");

  const auto events = MachineTool({"events"}).out;
  EXPECT_THAT(events, HasSubstr("Korvo Vesk Service (7.0.5.1) in OnStart"));
  EXPECT_THAT(events, HasSubstr("RpcServerMonitoringThread - Entry"));
  // The hotkey notification program, in the console user's session with the elevated token.
  ASSERT_TRUE(Eventually([&] { return !Running(L"KorvoPeltry.exe").empty(); }, 20000));
  const auto peltry = Running(L"KorvoPeltry.exe");
  EXPECT_EQ(peltry[0].sessionId, 1u);
  EXPECT_EQ(peltry[0].user, L"alex");
  EXPECT_EQ(peltry[0].elevationType, TokenElevationTypeFull);

  r = Sc({"stop", "Varnel"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_FALSE(std::filesystem::exists(root() / "rpc" / "VeskRpcEndpoint")) << "the endpoint goes with the server";
  EXPECT_EQ(Client({"merid-service"}).exitCode, 3);
  EXPECT_THAT(MachineTool({"events"}).out, HasSubstr("RpcServerMonitoringThread - Exit"));

  r = Varnel("-remove");
  EXPECT_THAT(r.out, HasSubstr("Varnel is removed.\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("Stopping"))) << "a stopped service refuses the stop control";
  EXPECT_TRUE(Running(L"KorvoPeltry.exe").empty()) << "removing ends the notification programs";
  // The deleted service goes once its controller has let it go (until then it is only
  // marked for delete: 0x430); then it is not installed.
  EXPECT_TRUE(Eventually([&] { return Varnel("-remove").out == "OpenService failed w/err 0x00000424\n"; }, 30000));
}

TEST_F(VarnelEndToEndTest, AServiceKilledOutrightLeavesNoHangAndTheConsoleRunTakesTheEndpointOver) {
  ASSERT_EQ(Varnel("-install").exitCode, 0);
  auto r = Sc({"start", "Varnel"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  // The endpoint opens on the service's work item, just after it reports running.
  ASSERT_TRUE(Eventually([&] { return Client({"merid-service"}).out == "1\n"; }, 20000));
  const DWORD pid = scm_testing::ServiceProcessId(L"Varnel");
  ASSERT_NE(pid, 0u);
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
  ASSERT_TRUE(Eventually([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }, 10000));
  EXPECT_TRUE(std::filesystem::exists(root() / "rpc" / "VeskRpcEndpoint")) << "the dead server's endpoint stays";

  r = Client({"merid-service"});
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  EXPECT_THAT(r.err, HasSubstr("RPC status 1722"));

  // The console run, with its option in any case after "/", serves on the same endpoint
  // until it is asked to end.
  const pid_t console = SpawnVarnel("/Console");
  ASSERT_GT(console, 0);
  ASSERT_TRUE(Eventually([&] { return Client({"merid-service"}).out == "1\n"; }, 20000)) << VarnelOutput();
  r = Client({"sysinfo"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("<.^.>SN0001<.^.>"));
  ASSERT_EQ(::kill(console, SIGINT), 0);
  EXPECT_EQ(WaitForExit(console, 20000), 0) << VarnelOutput();
  EXPECT_THAT(VarnelOutput(), HasSubstr("Stopping Varnel console mode..."));
  EXPECT_FALSE(std::filesystem::exists(root() / "rpc" / "VeskRpcEndpoint")) << "a stopped server removes its endpoint";
  EXPECT_EQ(Client({"merid-service"}).exitCode, 3);
}

// How many lines of the service's log hold `text`.
int LogLines(const std::filesystem::path& root, const std::string& text) {
  std::ifstream in(root / "drive_c/Windows/System32/config/systemprofile/AppData/Roaming/kvqLog/varnel.log");
  int count = 0;
  for (std::string line; std::getline(in, line);) count += line.find(text) != std::string::npos ? 1 : 0;
  return count;
}

TEST_F(VarnelEndToEndTest, SessionAndPowerEventsRenewTheHotkeySetUp) {
  ASSERT_EQ(Varnel("-install").exitCode, 0);
  auto r = Sc({"start", "Varnel"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  ASSERT_TRUE(Eventually([&] { return Running(L"KorvoPeltry.exe").size() == 1; }, 20000));
  const std::string recreate = "TraceIn    |RpcServer::SysInfo::CHotKeyHandler::CreateAppActivationHandler|";
  // Session changes as the controller delivers them: (event type, session 1).
  auto session = [&](const char* type, const std::string& logged, int times) {
    const auto result = Sc({"control", "Varnel", "session", type, "1"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(Eventually([&] { return LogLines(root(), logged) == times; }, 10000)) << logged << " " << times;
  };
  const int atStart = LogLines(root(), recreate);

  // A log-on while the notification program runs in that session launches nothing.
  session("5", "Calling CreateAppActivationHandler() from WTS_SESSION_LOGON", 1);
  EXPECT_TRUE(Eventually([&] { return LogLines(root(), "Already running or could not fetch status") == 1; }, 10000));
  EXPECT_EQ(Running(L"KorvoPeltry.exe").size(), 1u);
  EXPECT_EQ(LogLines(root(), recreate), atStart + 1);

  // Lock and unlock without a log-off keep the activation handler; after a log-off the
  // unlock recreates it, once.
  session("7", "OnSessionChange - 0x7", 1);
  session("8", "WTS_SESSION_UNLOCK", 1);
  EXPECT_EQ(LogLines(root(), recreate), atStart + 1);
  session("6", "WTS_SESSION_LOGOFF", 1);
  session("7", "OnSessionChange - 0x7", 2);
  session("8", "WTS_SESSION_UNLOCK", 2);
  EXPECT_TRUE(Eventually([&] { return LogLines(root(), recreate) == atStart + 2; }, 10000));
  session("7", "OnSessionChange - 0x7", 3);
  session("8", "WTS_SESSION_UNLOCK", 3);
  EXPECT_EQ(LogLines(root(), recreate), atStart + 2) << "the log-off is forgotten after one unlock";

  // Resume renews single scan code and the activation handler; suspend only logs.
  ASSERT_EQ(Sc({"control", "Varnel", "power", "4"}).exitCode, 0);
  EXPECT_TRUE(Eventually([&] { return LogLines(root(), "PowerEvent - 0x4") == 1; }, 10000));
  const int recreated = LogLines(root(), recreate);
  auto firmwareReads = [&] {
    const std::string journal = MachineTool({"firmware", "journal"}).out;
    int reads = 0;
    for (auto at = journal.find("HotKeys.SingleScanCode"); at != std::string::npos;
         at = journal.find("HotKeys.SingleScanCode", at + 1)) {
      ++reads;
    }
    return reads;
  };
  const int readsBefore = firmwareReads();
  ASSERT_EQ(Sc({"control", "Varnel", "power", "0x12"}).exitCode, 0);
  EXPECT_TRUE(Eventually([&] { return LogLines(root(), "PBT_APMRESUMEAUTOMATIC") == 1; }, 10000));
  EXPECT_TRUE(Eventually([&] { return LogLines(root(), recreate) == recreated + 1; }, 10000));
  EXPECT_GT(firmwareReads(), readsBefore) << "resume reads the single-scan-code mode again";
  EXPECT_EQ(LogLines(root(), "|PowerEvent - "), 3) << "suspend: one line; resume: two";
  EXPECT_EQ(Sc({"stop", "Varnel"}).exitCode, 0);
}

// The service's open descriptors.
int OpenDescriptors(DWORD pid) {
  int count = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return count;
}

// The service's open descriptors once a connection that just ended has been let go:
// the same count twice, a moment apart.
int SettledDescriptors(DWORD pid) {
  int count = OpenDescriptors(pid);
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int again = OpenDescriptors(pid);
    if (again == count) break;
    count = again;
  }
  return count;
}

// Under the sanitizers every call costs many times more: the same shape, smaller.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kCallsEach = 2;
constexpr int kCycles = 1000;
#else
constexpr int kCallsEach = 10;
constexpr int kCycles = 10000;
#endif

TEST_F(VarnelEndToEndTest, UnderLoadNoCallFailsAndNoDescriptorIsLeft) {
  ASSERT_EQ(Varnel("-install").exitCode, 0);
  auto r = Sc({"start", "Varnel"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  // The endpoint opens on the service's work item, just after it reports running.
  ASSERT_TRUE(Eventually([&] { return Client({"sysinfo"}).exitCode == 0; }, 20000));
  const DWORD pid = scm_testing::ServiceProcessId(L"Varnel");
  const int idle = SettledDescriptors(pid);
  ASSERT_GT(idle, 0);

  // 64 client processes with 1234 ReadSysInfo calls in flight at once.
  constexpr int kProcesses = 64;
  constexpr int kInFlight = 1234;
  std::vector<pid_t> clients;
  for (int p = 0; p < kProcesses; ++p) {
    const int threads = kInFlight / kProcesses + (p < kInFlight % kProcesses ? 1 : 0);
    clients.push_back(Spawn({VESK_LOAD_CLIENT_PATH, std::to_string(threads), std::to_string(kCallsEach)},
                            "load" + std::to_string(p) + ".out"));
    ASSERT_GT(clients.back(), 0);
  }
  for (std::size_t p = 0; p < clients.size(); ++p) {
    EXPECT_EQ(WaitForExit(clients[p], 600000), 0) << "failed calls of load client " << p;
  }
  const pid_t cycles = Spawn({VESK_LOAD_CLIENT_PATH, "--cycles", std::to_string(kCycles)}, "cycles.out");
  EXPECT_EQ(WaitForExit(cycles, 600000), 0) << "failed connect/open/read/close cycles";

  // The server ends a connection's thread after the client went; give it the moment.
  EXPECT_LE(SettledDescriptors(pid), idle) << "descriptors open after the load; " << idle << " at idle";
  EXPECT_EQ(Sc({"stop", "Varnel"}).exitCode, 0);
}

}  // namespace
