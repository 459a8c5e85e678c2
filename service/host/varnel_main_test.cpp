// The service program's command line: which first arguments run what, installing and
// removing the service on the machine's service controller, and how a console run ends.
#include "service/host/varnel_main.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/xchar.h>
#include <gtest/gtest.h>

#include "platform/scm.h"
#include "platform/sessions.h"
#include "platform/text.h"
#include "service/bridge/testing/bridge_test_support.h"
#include "service/host/main_service.h"
#include "service/host/testing/fake_rpc_server.h"
#include "service/rpc/rpc_server.h"

namespace RpcServer {
namespace {

using namespace platform;
namespace fake = RpcServer::testing;

const std::string kUsage =
    "Parameters:\n"
    " -install  to install the service.\n"
    " -remove   to remove the service.\n"
    " -console  to run in console mode.\n";

class VarnelMainTest : public testing::BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    fake::ResetFakeRpcServer();
  }
  void TearDown() override {
    fake::ResetFakeRpcServer();
    BridgeTest::TearDown();
  }

  // Runs the program with `args` after its name; what it printed.
  static std::string Varnel(std::vector<std::wstring> args) {
    args.insert(args.begin(), L"varnel.exe");
    std::vector<wchar_t*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::ostringstream out;
    EXPECT_EQ(VarnelMain(static_cast<int>(args.size()), argv.data(), out), 0);
    return out.str();
  }
  static std::size_t Running(const std::wstring& name) {
    std::size_t n = 0;
    for (auto& p : machine_sessions::Processes()) n += p.name == name;
    return n;
  }
  // The installed service as "type start error path display description", or the error
  // that opening it gave.
  static std::wstring Installed() {
    SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenService(scm, L"Varnel", SERVICE_QUERY_CONFIG);
    std::wstring text = std::to_wstring(GetLastError());
    std::vector<std::uintptr_t> config(1024), description(1024);  // pointer-aligned: they point into themselves
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIG*>(config.data());
    DWORD needed = 0;
    if (service != nullptr && QueryServiceConfig(service, c, 8192, &needed) &&
        QueryServiceConfig2(service, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(description.data()), 8192,
                            &needed)) {
      text =
          fmt::format(L"{:#x} {} {} {} {} {}", c->dwServiceType, c->dwStartType, c->dwErrorControl, c->lpBinaryPathName,
                      c->lpDisplayName, reinterpret_cast<SERVICE_DESCRIPTION*>(description.data())->lpDescription);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return text;
  }
};

TEST_F(VarnelMainTest, TheFirstArgumentChoosesWhatRuns) {
  Boot();
  // An unknown option does nothing at all.
  EXPECT_EQ(Varnel({L"-x"}), "");
  EXPECT_EQ(Varnel({L"/install-now"}), "");
  EXPECT_EQ(fake::RpcServerStartCount(), 0);

  // No option: the usage, then the service's run, which has no controller to talk to
  // when started from a console.
  const std::string asService = kUsage + "Service failed to run w/err 0x00000427\n";
  EXPECT_EQ(Varnel({}), asService);
  EXPECT_EQ(Varnel({L"install"}), asService) << "only the first argument counts, and only with a prefix";
  EXPECT_EQ(Installed(), L"1060");
  EXPECT_EQ(CMainService::GetWMIData(), nullptr) << "the service object is gone";

  // The option word in any letter case.
  std::string console = "not run";
  std::thread run([&] { console = Varnel({L"/Console", L"-install"}); });
  ASSERT_TRUE(fake::WaitUntilRpcServerListening(10000));
  EXPECT_NE(CMainService::GetWMIData(), nullptr);
  RpcServerStop();
  run.join();
  EXPECT_EQ(console, "");
  EXPECT_EQ(CMainService::GetWMIData(), nullptr);
  EXPECT_EQ(Installed(), L"1060");
}

TEST_F(VarnelMainTest, InstallMakesAnInteractiveAutoStartServiceOnce) {
  Boot();
  EXPECT_EQ(Varnel({L"-install"}), "Varnel is installed.\n");
  EXPECT_EQ(Installed(), L"0x110 2 1 \"" + std::wstring(testing::kServiceFolder) +
                             L"\\Varnel.exe\" Korvo Vesk Service Korvo Tallisk Service");
  EXPECT_EQ(Varnel({L"/INSTALL"}), "CreateService failed w/err 0x00000431\n");
}

TEST_F(VarnelMainTest, RemoveDeletesTheServiceAndEndsEveryNotificationProgram) {
  auto profile = DefaultProfile();
  for (int session : {0, 1, 1}) {
    profile["processes"].push_back({{"name", "KorvoPeltry.exe"},
                                    {"path", "C:\\Program Files (x86)\\Korvo\\Varnel\\KorvoPeltry.exe"},
                                    {"session", session},
                                    {"user", session == 0 ? "SYSTEM" : "alex"}});
  }
  Boot(profile);
  ASSERT_EQ(Running(L"KorvoPeltry.exe"), 3u);
  EXPECT_EQ(Varnel({L"-remove"}), "OpenService failed w/err 0x00000424\n");
  EXPECT_EQ(Running(L"KorvoPeltry.exe"), 0u) << "ended even without a service to remove";
  EXPECT_EQ(Running(L"explorer.exe"), 1u) << "and nothing else";

  // A stopped service refuses the stop control: no "Stopping" line, just the removal.
  ASSERT_EQ(Varnel({L"-install"}), "Varnel is installed.\n");
  EXPECT_EQ(Varnel({L"/Remove"}), "Varnel is removed.\n");
  EXPECT_EQ(Installed(), L"1060");
}

// Each console run ends its own process here: the end request is the process's, and so
// is the exit of a server that cannot start.
TEST_F(VarnelMainTest, AConsoleRunEndsOnTheHostsRequestOrWithTheServersFailure) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Boot();
  EXPECT_EXIT(
      {
        std::thread requester([] {
          if (fake::WaitUntilRpcServerListening(10000)) std::raise(SIGTERM);
        });
        const std::string out = Varnel({L"-console"});
        requester.join();
        const bool ok = out == "Stopping Varnel console mode...\n" && fake::RpcServerStopCount() >= 1 &&
                        !fake::IsRpcServerListening() && CMainService::GetWMIData() == nullptr;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");

  fake::SetRpcServerStartStatus(87);
  EXPECT_EXIT(Varnel({L"-console"}), ::testing::ExitedWithCode(87), "");
}

}  // namespace
}  // namespace RpcServer
