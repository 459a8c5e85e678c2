// The machine's process table: declared processes, snapshots, terminal-services
// listings, opening and ending processes, and programs started as a user, real ones
// included.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/sessions.h"
#include "platform/src/sessions/sessions_internal.h"
#include "platform/testing/machine_test.h"
#include "platform/testing/run_program.h"
#include "platform/text.h"

namespace platform {
namespace {

using nlohmann::json;
using testing::Eventually;

class ProcessesTest : public testing::MachineTest {
 protected:
  json MachineProfile() const override {
    return json::parse(R"({
      "users": {
        "alice": {"sid": "S-1-5-21-1004336348-1177238915-682003330-1001", "administrator": true},
        "bob": {"sid": "S-1-5-21-1004336348-1177238915-682003330-1002"}
      },
      "sessions": [
        {"id": 0, "station": "Services", "state": "disconnected"},
        {"id": 1, "station": "Console", "state": "active", "console": true, "user": "alice"},
        {"id": 2, "station": "RDP-Tcp#0", "state": "active", "user": "bob"}
      ],
      "processes": [
        {"name": "explorer.exe", "path": "C:\\Windows\\explorer.exe", "session": 2, "user": "bob"},
        {"name": "explorer.exe", "path": "C:\\Windows\\explorer.exe", "session": 1, "user": "alice", "pid": 9000000},
        {"name": "svchost.exe", "session": 0, "user": "SYSTEM"}
      ],
      "files": {"C:\\Windows\\System32\\msinfo32.exe": "not a host program"}
    })");
  }
  void TearDown() override {
    // No real process outlives its test.
    try {
      for (const auto& p : machine_sessions::Processes()) {
        if (p.real) ::kill(static_cast<pid_t>(p.processId), SIGKILL);
      }
    } catch (const MachineError&) {
      // a test that damaged the table started nothing
    }
    MachineTest::TearDown();
  }

  std::vector<PROCESSENTRY32W> Snapshot() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    EXPECT_NE(snap, INVALID_HANDLE_VALUE);
    std::vector<PROCESSENTRY32W> out;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof(e);
    for (BOOL ok = Process32First(snap, &e); ok; ok = Process32Next(snap, &e)) out.push_back(e);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    CloseHandle(snap);
    return out;
  }
  // A host program installed on drive C: as `machinePath`.
  void InstallHostProgram(const std::wstring& machinePath, const char* hostProgram) {
    const auto host = Host(machinePath);
    std::filesystem::create_directories(host.parent_path());
    std::filesystem::copy_file(hostProgram, host, std::filesystem::copy_options::overwrite_existing);
    ::chmod(host.c_str(), 0755);
  }
  BOOL Start(HANDLE token, const std::wstring& program, std::wstring commandLine, PROCESS_INFORMATION* pi) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    std::wstring desktop = L"winsta0\\default";
    si.lpDesktop = desktop.data();
    return CreateProcessAsUser(token, program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                               CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, pi);
  }
  HANDLE UserToken(DWORD session) {
    HANDLE token = nullptr;
    EXPECT_TRUE(WTSQueryUserToken(session, &token)) << GetLastError();
    return token;
  }
};

TEST_F(ProcessesTest, DeclaredProcessesAreListedWithIdsNoHostProcessHas) {
  const auto list = Snapshot();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_STREQ(list[0].szExeFile, L"explorer.exe");
  EXPECT_EQ(list[0].th32ProcessID, 9000004u) << "assigned after the highest declared id";
  EXPECT_EQ(list[1].th32ProcessID, 9000000u);
  EXPECT_EQ(list[2].th32ProcessID, 9000008u);

  PROCESSENTRY32W e{};
  e.dwSize = 12;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  EXPECT_FALSE(Process32First(snap, &e));
  EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
  CloseHandle(snap);

  WTS_PROCESS_INFOW* processes = nullptr;
  DWORD count = 0;
  ASSERT_TRUE(WTSEnumerateProcesses(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count));
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(processes[1].SessionId, 1u);
  EXPECT_STREQ(processes[1].pProcessName, L"explorer.exe");
  ASSERT_NE(processes[1].pUserSid, nullptr);
  EXPECT_EQ(std::memcmp(processes[1].pUserSid,
                        sessions::detail::SidBytes("S-1-5-21-1004336348-1177238915-682003330-1001").data(), 28),
            0);
  WTSFreeMemory(processes);

  DWORD session = 0;
  ASSERT_TRUE(ProcessIdToSessionId(9000004, &session));
  EXPECT_EQ(session, 2u);
  EXPECT_FALSE(ProcessIdToSessionId(12, &session));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ProcessesTest, ADeclaredProcessRunsWithItsUsersToken) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 9000000);
  ASSERT_NE(process, nullptr);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(process, 0x201EB, &token)) << GetLastError();
  DWORD session = 0, size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenSessionId, &session, sizeof(session), &size));
  EXPECT_EQ(session, 1u);
  DWORD elevation = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenElevationType, &elevation, sizeof(elevation), &size));
  EXPECT_EQ(elevation, static_cast<DWORD>(TokenElevationTypeLimited));
  CloseHandle(token);
  CloseHandle(process);

  HANDLE terminateOnly = OpenProcess(PROCESS_TERMINATE, FALSE, 9000000);
  EXPECT_FALSE(OpenProcessToken(terminateOnly, TOKEN_QUERY, &token));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(terminateOnly);

  EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, 4242), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ProcessesTest, TerminatingADeclaredProcessRemovesItForEveryProcess) {
  HANDLE query = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 9000008);
  EXPECT_FALSE(TerminateProcess(query, 1));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, 9000008);
  ASSERT_TRUE(TerminateProcess(process, 3));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(process, &code));
  EXPECT_EQ(code, 3u);
  EXPECT_FALSE(TerminateProcess(process, 3)) << "it ended already";

  ReopenMachine();
  const auto list = Snapshot();
  ASSERT_EQ(list.size(), 2u);
  for (const auto& e : list) EXPECT_NE(e.th32ProcessID, 9000008u);
  CloseHandle(query);
  CloseHandle(process);
}

TEST_F(ProcessesTest, AnExecutableProgramStartsAsARealProcessOfTheUser) {
  InstallHostProgram(L"C:\\Program Files\\Korvo\\Sleeper.exe", "/bin/sleep");
  HANDLE token = UserToken(2);
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(
      Start(token, L"C:\\Program Files\\Korvo\\Sleeper.exe", L"\"C:\\Program Files\\Korvo\\Sleeper.exe\" 30", &pi))
      << GetLastError();
  EXPECT_EQ(::kill(static_cast<pid_t>(pi.dwProcessId), 0), 0) << "a host process";
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);

  const auto processes = machine_sessions::Processes();
  const auto it = std::find_if(processes.begin(), processes.end(),
                               [&](const MachineProcess& p) { return p.processId == pi.dwProcessId; });
  ASSERT_NE(it, processes.end());
  EXPECT_TRUE(it->real);
  EXPECT_EQ(it->name, L"Sleeper.exe");
  EXPECT_EQ(it->user, L"bob");
  EXPECT_EQ(it->sessionId, 2u);
  EXPECT_EQ(it->desktop, L"winsta0\\default");
  EXPECT_EQ(it->parentProcessId, GetCurrentProcessId());

  // The program got its arguments: sleep 30 is still asleep; ending it ends the host
  // process.
  ASSERT_TRUE(TerminateProcess(pi.hProcess, 0));
  EXPECT_TRUE(Eventually([&] { return !sessions::detail::HostStartTime(static_cast<int>(pi.dwProcessId)); }));
  EXPECT_EQ(Snapshot().size(), 3u);
  for (HANDLE h : {pi.hProcess, pi.hThread, token}) CloseHandle(h);
}

TEST_F(ProcessesTest, ARealProcessThatEndsLeavesTheTable) {
  InstallHostProgram(L"C:\\Korvo\\quick.exe", "/bin/true");
  HANDLE token = UserToken(1);
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(Start(token, L"C:\\Korvo\\quick.exe", L"", &pi)) << GetLastError();
  EXPECT_TRUE(Eventually([&] { return Snapshot().size() == 3u; }));
  DWORD code = 1;
  ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_NE(code, STILL_ACTIVE);
  for (HANDLE h : {pi.hProcess, pi.hThread, token}) CloseHandle(h);
}

TEST_F(ProcessesTest, OtherFilesStartDeclaredStyleEntriesAndBadRequestsFail) {
  HANDLE token = UserToken(1);
  const DWORD on = 1;
  ASSERT_TRUE(SetTokenInformation(token, TokenUIAccess, &on, sizeof(on)));
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(Start(token, L"C:\\Windows\\System32\\msinfo32.exe", L"", &pi)) << GetLastError();
  EXPECT_GE(pi.dwProcessId, sessions::detail::kFirstDeclaredProcessId);
  const auto processes = machine_sessions::Processes();
  ASSERT_EQ(processes.size(), 4u);
  EXPECT_EQ(processes.back().name, L"msinfo32.exe");
  EXPECT_FALSE(processes.back().real);
  EXPECT_TRUE(processes.back().uiAccess);
  EXPECT_EQ(processes.back().elevationType, TokenElevationTypeLimited);
  EXPECT_EQ(processes.back().sessionId, 1u);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);

  EXPECT_FALSE(Start(token, L"C:\\Windows\\System32\\missing.exe", L"", &pi));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  HANDLE impersonation = nullptr;
  ASSERT_TRUE(
      DuplicateTokenEx(token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenImpersonation, &impersonation));
  EXPECT_FALSE(Start(impersonation, L"C:\\Windows\\System32\\msinfo32.exe", L"", &pi));
  EXPECT_EQ(GetLastError(), ERROR_BAD_TOKEN_TYPE);
  CloseHandle(impersonation);
  CloseHandle(token);
}

TEST_F(ProcessesTest, TheTableRecordsTheElevationOfTheStartingToken) {
  auto elevations = [] {
    std::vector<std::optional<TOKEN_ELEVATION_TYPE>> out;
    for (const auto& p : machine_sessions::Processes()) out.push_back(p.elevationType);
    return out;
  };
  // Declared: their user's log-on token (alice is an administrator with a limited one).
  EXPECT_EQ(elevations(), (std::vector<std::optional<TOKEN_ELEVATION_TYPE>>{
                              TokenElevationTypeDefault, TokenElevationTypeLimited, TokenElevationTypeDefault}));

  HANDLE limited = UserToken(1);
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(limited, TokenLinkedToken, &linked, sizeof(linked), &size));
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(Start(linked.LinkedToken, L"C:\\Windows\\System32\\msinfo32.exe", L"", &pi)) << GetLastError();
  const auto started = machine_sessions::Processes().back();
  ASSERT_EQ(started.processId, pi.dwProcessId);
  EXPECT_EQ(started.elevationType, TokenElevationTypeFull);
  // Its token is the one it was started with, not its user's usual one.
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pi.dwProcessId);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(process, TOKEN_QUERY, &token));
  DWORD type = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &size));
  EXPECT_EQ(type, static_cast<DWORD>(TokenElevationTypeFull));
  for (HANDLE h : {token, process, pi.hProcess, pi.hThread, linked.LinkedToken, limited}) CloseHandle(h);

  // A table written before elevations were recorded still loads: elevation unknown.
  testing::WriteHostFile(root() / "processes.json", R"({"nextId": 9000000, "processes": [
    {"pid": 9000100, "session": 1, "name": "old.exe", "user": "alice", "real": false}]})");
  const auto old = machine_sessions::Processes();
  ASSERT_EQ(old.size(), 1u);
  EXPECT_EQ(old[0].elevationType, std::nullopt);
}

TEST_F(ProcessesTest, ADamagedTableFailsTheCallsAndIsKept) {
  testing::WriteHostFile(root() / "processes.json", "{ not json");
  EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, 9000000), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_EQ(testing::ReadHostFile(root() / "processes.json"), "{ not json");
}

}  // namespace
}  // namespace platform
