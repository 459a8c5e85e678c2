// The RPC server through the app's own client stubs: the two records with their counts,
// the two presence answers on machines with and without what they look for, who may
// connect, a start that finds a listen in effect, and the context records of clients
// that close twice or go away without closing.
#include "service/rpc/rpc_server.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/rpc.h"
#include "platform/text.h"
#include "service/bridge/testing/bridge_test_support.h"
#include "service/rpc/rpc_server_internal.h"
#include "shared/rpc/vesk.h"
#include "shared/rpc/vesk_server.h"

namespace {

using namespace platform;
using Korvo::Shared::LogLevel;

// The sanitizers slow every call down several times over.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kAbandonedContexts = 10000;
#else
constexpr int kAbandonedContexts = 100000;
#endif

constexpr const wchar_t* kUsbTypeCRecord =
    L"USB 2.0|.#.$USB 3.1 Gen 2<.^.>Not Supported<.^.>Not Supported<.^.>Not Supported<.^.>Not Supported<.^.>25W";

// The app's way to the service: bind, open a context, call, close, free.
struct Client {
  RPC_BINDING_HANDLE binding = nullptr;
  ClientContextHandle context = nullptr;

  RPC_STATUS Connect(unsigned long syntaxes = RPC_C_TRANSFER_NDR20 | RPC_C_TRANSFER_NDR64) {
    if (const RPC_STATUS s = Bind(syntaxes)) return s;
    return RpcGuard([&] { ::OpenClientContext(binding, &context); });
  }
  RPC_STATUS Bind(unsigned long syntaxes = RPC_C_TRANSFER_NDR20 | RPC_C_TRANSFER_NDR64) {
    RPC_WSTR text = nullptr;
    RPC_STATUS s = RpcStringBindingCompose(nullptr, L"ncalrpc", nullptr, L"VeskRpcEndpoint", nullptr, &text);
    if (s == RPC_S_OK) s = RpcBindingFromStringBinding(text, &binding);
    RpcStringFree(&text);
    return s == RPC_S_OK ? RpcBindingSetOption(binding, RPC_C_OPT_TRANSFER_SYNTAXES, syntaxes) : s;
  }
  // One of the two records: "<null>" for a null array; the count as it came.
  std::u16string Read(bool usbTypeC, LONG* size) {
    char16_t* data = nullptr;
    *size = -7;
    const RPC_STATUS s =
        RpcGuard([&] { usbTypeC ? ::ReadUSBTypeCInfo(context, size, &data) : ::ReadSysInfo(context, size, &data); });
    if (s != RPC_S_OK) return u"<failed " + Utf8ToUtf16(std::to_string(s)) + u">";
    if (data == nullptr) return u"<null>";
    std::u16string text(data, static_cast<std::size_t>(std::max<LONG>(*size, 0)));
    std::free(data);
    return text;
  }
  LONG Ask(bool node) {
    LONG answer = -7;
    EXPECT_EQ(RpcGuard([&] { answer = node ? ::IsMeridNodePresent(context) : ::IsMeridServiceInstalled(context); }),
              RPC_S_OK);
    return answer;
  }
  ~Client() {
    if (context && RpcGuard([&] { ::CloseClientContext(&context); }) != RPC_S_OK) RpcSsDestroyClientContext(&context);
    if (binding) RpcBindingFree(&binding);
  }
};

class RpcServerTest : public RpcServer::testing::BridgeTest {
 protected:
  void TearDown() override {
    StopServer();
    RpcServer::CKeyBoardBridge::getInstance(nullptr)->ReleaseHotKeyHandlerInstance();
    BridgeTest::TearDown();
  }

  // Opens the machine, gives the process's bridge a handler on it and runs the server
  // on a thread of its own, as the service's monitoring thread does.
  void Serve(const nlohmann::json& profile) {
    StopServer();
    // The service database is copied from the profile on first use, like the sessions.
    std::filesystem::remove(root() / "scm.json");
    Boot(profile);
    auto* bridge = RpcServer::CKeyBoardBridge::getInstance(nullptr);
    bridge->ReleaseHotKeyHandlerInstance();
    bridge->CreateHotKeyHandlerInstance();
    m_started = -1;
    m_server = std::thread([this] { m_started = static_cast<int>(RpcServer::RpcServerStart(FALSE)); });
    while (RpcMgmtIsServerListening(nullptr) != RPC_S_OK && m_started.load() == -1) std::this_thread::yield();
    ClearLines();
  }
  void Serve() { Serve(DefaultProfile()); }
  // Also ends a listen that a test started itself.
  void StopServer() {
    RpcServer::RpcServerStop();
    if (!m_server.joinable()) return;
    m_server.join();
    EXPECT_EQ(m_started.load(), 0) << "a stopped server's start returns 0";
  }

  std::thread m_server;
  std::atomic<int> m_started{-1};
};

TEST_F(RpcServerTest, TheRecordsArriveWholeWithTheirNulOverEitherSyntax) {
  Serve();
  for (unsigned long syntax : {RPC_C_TRANSFER_NDR20, RPC_C_TRANSFER_NDR64}) {
    Client client;
    ASSERT_EQ(client.Connect(syntax), RPC_S_OK);
    LONG size = 0;
    const std::u16string sysInfo = client.Read(false, &size);
    const std::wstring record = Data()->m_csSysInfo + L"<.^.>yes";
    EXPECT_EQ(std::count(record.begin(), record.end(), L'^'), 10) << "eleven fields";
    EXPECT_EQ(size, static_cast<LONG>(record.size() + 1));
    EXPECT_EQ(sysInfo, WideToUtf16(record) + u'\0');

    const std::u16string usbTypeC = client.Read(true, &size);
    EXPECT_EQ(size, static_cast<LONG>(std::wstring(kUsbTypeCRecord).size() + 1));
    EXPECT_EQ(usbTypeC, WideToUtf16(kUsbTypeCRecord) + u'\0');
  }
  const std::wstring n = std::to_wstring(std::wstring(kUsbTypeCRecord).size());
  EXPECT_TRUE(Logged(LogLevel::Information,
                     std::wstring(L"USB Type C Info returned = ") + kUsbTypeCRecord + L", pSize = " + n,
                     "ReadUSBTypeCInfo"));
  EXPECT_TRUE(Logged(LogLevel::Information, std::wstring(L"USB Type C Information returned = ") + kUsbTypeCRecord,
                     "ReadUSBTypeCInfo"));
  EXPECT_EQ(Count(LogLevel::TraceOut, L"", "ReadUSBTypeCInfo"), 2);
  EXPECT_EQ(Count(LogLevel::TraceOut, L"", "ReadSysInfo"), 2);
  EXPECT_EQ(Count(LogLevel::Error, L"Failed to copy System Information", "ReadSysInfo"), 0);
}

TEST_F(RpcServerTest, WithoutAHandlerTheTextsAreEmptyAndTheUsbTypeCArrayNull) {
  Serve();
  RpcServer::CKeyBoardBridge::getInstance(nullptr)->ReleaseHotKeyHandlerInstance();
  Client client;
  ASSERT_EQ(client.Connect(), RPC_S_OK);
  LONG size = 0;
  EXPECT_EQ(client.Read(false, &size), std::u16string(1, u'\0'));
  EXPECT_EQ(size, 1);
  EXPECT_EQ(client.Read(true, &size), u"<null>");
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(Logged(LogLevel::Error, L"USB Type C Info returned is empty.", "ReadUSBTypeCInfo"));
  EXPECT_EQ(Count(LogLevel::TraceOut, L"", "ReadUSBTypeCInfo"), 0) << "an empty answer ends without TraceOut";
}

TEST_F(RpcServerTest, TheMeridServiceCountsAsInstalledUnlessItDoesNotExist) {
  constexpr const char* kName = "IsMeridServiceInstalled";
  Serve();
  {
    Client client;
    ASSERT_EQ(client.Connect(), RPC_S_OK);
    EXPECT_EQ(client.Ask(false), 1);
    EXPECT_TRUE(Logged(LogLevel::Verbose,
                       L"Korvo System Info Kesa Service Version Installed = 1.2.3.4 with Running Status = 0", kName));
    EXPECT_TRUE(Logged(LogLevel::Verbose, L"Korvo System Info Kesa Service is Installed.", kName));
    const auto debug = CurrentMachine().CapturedDebugOutput();
    EXPECT_NE(std::find(debug.begin(), debug.end(), L"KorvoSYS RpcServer::IsMeridServiceInstalled"), debug.end());

    // A service manager that cannot be asked (-3) is not a missing service.
    platform::testing::WriteHostFile(root() / "scm.json", "{ not json");
    ClearLines();
    EXPECT_EQ(client.Ask(false), 1);
    EXPECT_TRUE(Logged(LogLevel::Verbose, L"Korvo System Info Kesa Service is Installed.", kName));
    EXPECT_EQ(Messages(kName).size(), 3u) << "no version line: TraceIn, the verdict, TraceOut";
  }
  auto profile = DefaultProfile();
  RemoveService(profile, "KorvoSysInfoCap");
  Serve(profile);
  Client client;
  ASSERT_EQ(client.Connect(), RPC_S_OK);
  EXPECT_EQ(client.Ask(false), 0);
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Korvo System Info Kesa Service is Not Installed.", kName));
  EXPECT_EQ(Messages(kName).size(), 3u);
}

TEST_F(RpcServerTest, TheMeridNodeIsPresentWithEitherHardwareId) {
  struct Case {
    std::vector<std::string> removed;
    bool driverless;  // the second node without its driver
    int count;
  };
  for (const Case& c : {Case{{}, false, 2}, Case{{"ACPI\\QVZC000C\\0"}, true, 1},
                        Case{{"ACPI\\QVZC000C\\0", "ACPI\\QVZC0003\\0"}, false, 0}}) {
    auto profile = DefaultProfile();
    nlohmann::json devices = nlohmann::json::array();
    for (auto d : profile["devices"]) {
      const std::string id = d["instanceId"];
      if (std::find(c.removed.begin(), c.removed.end(), id) != c.removed.end()) continue;
      if (c.driverless && id == "ACPI\\QVZC0003\\0") d.erase("drivers");
      devices.push_back(d);
    }
    profile["devices"] = devices;
    Serve(profile);
    Client client;
    ASSERT_EQ(client.Connect(), RPC_S_OK);
    EXPECT_EQ(client.Ask(true), c.count ? 1 : 0) << c.count;
    EXPECT_TRUE(Logged(LogLevel::Verbose, L"MeridNodeCount = " + std::to_wstring(c.count), "IsMeridNodePresent"));
    EXPECT_TRUE(Logged(LogLevel::Verbose, c.count ? L"Merid Node is present." : L"Merid Node is not present.",
                       "IsMeridNodePresent"));
  }
}

TEST_F(RpcServerTest, APackagedAppNeedsTheCapabilityAnOrdinaryProcessDoesNot) {
  Serve();
  const std::size_t live = RpcServer::LiveClientContexts();
  const DWORD self = GetCurrentProcessId();
  ASSERT_TRUE(rpc::RegisterAppContainerProcess(self, L"KorvoInc.KorvoTallisk_8wekyb3d", {L"internetClient"}));
  {
    Client app;
    EXPECT_EQ(app.Connect(), RPC_S_ACCESS_DENIED);
    EXPECT_EQ(RpcServer::LiveClientContexts(), live);
  }
  ASSERT_TRUE(rpc::RegisterAppContainerProcess(self, L"KorvoInc.KorvoTallisk_8wekyb3d",
                                               {L"internetClient", L"KorvoInc.varnelCap_q4m8xk2rt7pd3"}));
  {
    Client app;
    ASSERT_EQ(app.Connect(), RPC_S_OK);
    EXPECT_EQ(app.Ask(true), 1);
  }
  ASSERT_TRUE(rpc::UnregisterAppContainerProcess(self));
  Client ordinary;
  ASSERT_EQ(ordinary.Connect(), RPC_S_OK);
  EXPECT_EQ(ordinary.Ask(false), 1);
}

TEST_F(RpcServerTest, AStartThatFindsAListenInEffectServes) {
  Boot();
  RpcServer::CKeyBoardBridge::getInstance(nullptr)->CreateHotKeyHandlerInstance();
  ASSERT_EQ(RpcServerUseProtseqEp(L"ncalrpc", 10, L"VeskRpcEndpoint", nullptr), RPC_S_OK);
  ASSERT_EQ(RpcServerListen(1, 1234, TRUE), RPC_S_OK);
  EXPECT_EQ(RpcServer::RpcServerStart(FALSE), 0u) << "RPC_S_ALREADY_LISTENING from the listen is a start";
  {
    Client client;
    ASSERT_EQ(client.Connect(), RPC_S_OK);
    EXPECT_EQ(client.Ask(true), 1);
    // A second start fails where the interface is registered already, and says so.
    EXPECT_EQ(RpcServer::RpcServerStart(TRUE), static_cast<DWORD>(RPC_S_ALREADY_REGISTERED));
    EXPECT_EQ(client.Ask(true), 1);
  }
  RpcServer::RpcServerStop();
  EXPECT_EQ(RpcMgmtIsServerListening(nullptr), RPC_S_NOT_LISTENING);
  EXPECT_EQ(RpcServerUnregisterIf(VeskRpc_v1_0_s_ifspec, nullptr, TRUE), RPC_S_UNKNOWN_IF);
}

TEST_F(RpcServerTest, AContextClosedTwiceOrAlsoRunDownIsFreedOnce) {
  Serve();
  const std::size_t live = RpcServer::LiveClientContexts();
  Client client;
  ASSERT_EQ(client.Connect(), RPC_S_OK);
  EXPECT_EQ(RpcServer::LiveClientContexts(), live + 1);
  ASSERT_EQ(RpcGuard([&] { ::CloseClientContext(&client.context); }), RPC_S_OK);
  EXPECT_EQ(client.context, nullptr);
  EXPECT_EQ(RpcGuard([&] { ::CloseClientContext(&client.context); }), RPC_X_SS_IN_NULL_CONTEXT);
  EXPECT_EQ(RpcServer::LiveClientContexts(), live);

  // A runtime that ran a closed context down, or two closes of one handle racing on
  // two connections, reach the routines with a record already freed.
  ClientContextHandle context = nullptr;
  RpcServer::OpenClientContext(nullptr, &context);
  RpcServer::OpenClientContext(nullptr, nullptr);
  ASSERT_NE(context, nullptr);
  ClientContextHandle stale = context;
  RpcServer::CloseClientContext(&context);
  EXPECT_EQ(context, nullptr);
  RpcServer::ClientContextHandle_rundown(stale);
  RpcServer::CloseClientContext(&stale);
  EXPECT_EQ(stale, nullptr);
  EXPECT_EQ(RpcServer::LiveClientContexts(), live);
}

TEST_F(RpcServerTest, ClientsThatGoAwayWithoutClosingLeaveNoRecord) {
  Serve();
  const std::size_t live = RpcServer::LiveClientContexts();
  // A few clients at once, each with its own connection, open their share and let go
  // of binding and contexts without closing: the server hears only the hang-up.
  constexpr int kClients = 4;
  std::vector<Client> clients(kClients);
  std::vector<std::vector<ClientContextHandle>> contexts(kClients);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      if (clients[i].Bind() != RPC_S_OK) return void(++failures);
      contexts[i].resize(kAbandonedContexts / kClients);
      for (auto& context : contexts[i]) {
        if (RpcGuard([&] { ::OpenClientContext(clients[i].binding, &context); }) != RPC_S_OK) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(failures.load(), 0);
  EXPECT_EQ(RpcServer::LiveClientContexts(), live + kAbandonedContexts);
  for (int i = 0; i < kClients; ++i) {
    for (auto& context : contexts[i]) RpcSsDestroyClientContext(&context);
    RpcBindingFree(&clients[i].binding);
  }
  // The stop waits until every connection has ended and its contexts are run down.
  StopServer();
  EXPECT_EQ(RpcServer::LiveClientContexts(), live);
}

}  // namespace
