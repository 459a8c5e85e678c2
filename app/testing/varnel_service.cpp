#include "app/testing/varnel_service.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/machine.h"
#include "platform/rpc.h"
#include "platform/sync.h"
#include "platform/testing/run_program.h"
#include "platform/text.h"
#include "shared/rpc/vesk.h"

namespace Korvo_Tallisk::testing {
namespace {

using platform::testing::Eventually;
using platform::testing::WaitForExit;

// Generous: under the sanitizers the service starts and reads many times slower.
constexpr int kStartTimeoutMs = 60000;
constexpr int kStopTimeoutMs = 60000;

constexpr const char* kServiceLog = "drive_c/Windows/System32/config/systemprofile/AppData/Roaming/kvqLog/varnel.log";
// What the default machine's service appends to the ten-field record: the separator and
// the USB Type-C support value (its firmware reports support and the configuration
// program is installed).
constexpr std::u16string_view kDefaultSupportField = u"<.^.>yes";

// Whether the service answers on this machine's endpoint: a client binds, opens a
// context and closes it again.
bool EndpointAnswers() {
  using namespace platform;
  RPC_WSTR text = nullptr;
  if (RpcStringBindingCompose(nullptr, L"ncalrpc", nullptr, L"VeskRpcEndpoint", nullptr, &text) != RPC_S_OK) {
    return false;
  }
  RPC_BINDING_HANDLE binding = nullptr;
  const RPC_STATUS bound = RpcBindingFromStringBinding(text, &binding);
  RpcStringFree(&text);
  if (bound != RPC_S_OK) return false;
  ClientContextHandle context = nullptr;
  const RPC_STATUS opened = RpcGuard([&] { OpenClientContext(binding, &context); });
  if (context != nullptr && RpcGuard([&] { CloseClientContext(&context); }) != RPC_S_OK) {
    RpcSsDestroyClientContext(&context);
  }
  RpcBindingFree(&binding);
  return opened == RPC_S_OK;
}

// The served length of the system information record of `profile`'s machine.
std::size_t ServedSysInfoLength(const nlohmann::json& profile) {
  platform::testing::TempDir scratch;
  const auto root = scratch.path() / "root";
  {
    // Laid out as the test's own machine is, files and registry included. vesk-machine
    // writes its log on the calling thread here: its queued writer can outlive the
    // tool's machine at exit (ThreadSanitizer sees the race), and the record does not
    // depend on how the log is written.
    platform::Machine::Options options;
    options.root = root;
    options.profile = profile;
    (*options.profile)["registry"]["SOFTWARE\\Policies\\Korvo\\Korvo Tallisk\\vesk-machine"]["QueuedWrites"] = {
        {"type", "REG_DWORD"}, {"data", 0}};
    platform::Machine::Open(std::move(options));
  }
  const auto result =
      platform::testing::RunProgram(scratch.path(), VESK_MACHINE_PATH, {"--root", root.string(), "sysinfo"});
  if (result.exitCode != 0) {
    ADD_FAILURE() << "vesk-machine sysinfo failed (" << result.exitCode << "): " << result.err;
    return 0;
  }
  const std::string record = result.out.substr(0, result.out.find('\n'));
  return platform::Utf8ToUtf16(record).size() + kDefaultSupportField.size();
}

}  // namespace

void VarnelServiceTest::TearDown() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // The programs the service started on the user's desktop are real processes too.
  for (const auto& p : platform::machine_sessions::Processes()) {
    if (!p.real) continue;
    platform::UniqueHandle process(platform::OpenProcess(platform::PROCESS_TERMINATE, platform::FALSE, p.processId));
    if (process) platform::TerminateProcess(process.get(), 1);
  }
  MachineTest::TearDown();
}

::testing::AssertionResult VarnelServiceTest::Start() {
  if (pid_ > 0) return ::testing::AssertionFailure() << "the service runs already";
  // The caller's environment, with this test's machine as the service's.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string_view(*e).starts_with("KORVO_MACHINE_ROOT=")) continue;
    env.emplace_back(*e);
  }
  env.push_back("KORVO_MACHINE_ROOT=" + root().string());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = VARNEL_PATH;
  std::string option = "-console";
  char* argv[] = {program.data(), option.data(), nullptr};

  const std::string output = (scratch_.path() / "varnel.out").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return ::testing::AssertionFailure() << "cannot start " << VARNEL_PATH << ": error " << error;
  pid_ = pid;

  int status = 0;
  bool ended = false;
  const bool answers = Eventually(
      [&] {
        ended = ::waitpid(pid_, &status, WNOHANG) == pid_;
        return ended || EndpointAnswers();
      },
      kStartTimeoutMs);
  if (ended) {
    pid_ = -1;
    return ::testing::AssertionFailure() << "the service ended at start (status " << status << "):\n"
                                         << ServiceOutput();
  }
  if (!answers) {
    return ::testing::AssertionFailure() << "the service does not answer after " << kStartTimeoutMs << " ms:\n"
                                         << ServiceOutput();
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult VarnelServiceTest::Stop() {
  if (pid_ <= 0) return ::testing::AssertionFailure() << "the service does not run";
  const pid_t pid = pid_;
  pid_ = -1;
  if (::kill(pid, SIGINT) != 0) return ::testing::AssertionFailure() << "cannot signal the service";
  const int code = WaitForExit(pid, kStopTimeoutMs);
  if (code != 0) {
    return ::testing::AssertionFailure() << "the service ended with " << code << " (-1: not within " << kStopTimeoutMs
                                         << " ms):\n"
                                         << ServiceOutput();
  }
  return ::testing::AssertionSuccess();
}

std::filesystem::path VarnelServiceTest::ServiceLogPath() const {
  return root() / kServiceLog;
}

std::string VarnelServiceTest::ServiceLog() const {
  return platform::testing::ReadHostFile(ServiceLogPath());
}

int VarnelServiceTest::ServiceLogLines(std::string_view text) const {
  std::istringstream in(ServiceLog());
  int count = 0;
  for (std::string line; std::getline(in, line);) count += line.find(text) != std::string::npos ? 1 : 0;
  return count;
}

std::string VarnelServiceTest::ServiceOutput() const {
  return platform::testing::ReadHostFile(scratch_.path() / "varnel.out");
}

std::vector<platform::MachineProcess> VarnelServiceTest::Running(const std::wstring& name) {
  std::vector<platform::MachineProcess> rows;
  for (const auto& p : platform::machine_sessions::Processes()) {
    if (p.name == name) rows.push_back(p);
  }
  return rows;
}

nlohmann::json VarnelServiceTest::ProfileServingSysInfoOfLength(std::size_t length) {
  auto profile = platform::ParseProfile(platform::EmbeddedDefaultProfile(), "embedded default profile");
  const std::size_t served = ServedSysInfoLength(profile);
  if (served == 0 || length < served) {
    ADD_FAILURE() << "the default machine serves " << served << " characters; cannot make it serve " << length;
    return profile;
  }
  auto& name = profile["wmi"]["namespaces"]["ROOT\\CIMV2"]["classes"]["Win32_Processor"][0]["Name"];
  std::string padded = name.get<std::string>();
  static constexpr std::string_view kPattern = "abcdefghijklmnopqrstuvwxyz";
  for (std::size_t i = 0; i < length - served; ++i) padded += kPattern[i % kPattern.size()];
  name = padded;
  const std::size_t measured = ServedSysInfoLength(profile);
  if (measured != length) ADD_FAILURE() << "the padded machine serves " << measured << " characters, not " << length;
  return profile;
}

}  // namespace Korvo_Tallisk::testing
