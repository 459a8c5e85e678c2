// The app's RPC client against the real service: `varnel -console` on each test's own
// machine, reached over the machine's endpoint exactly as the app reaches it.
#include "app/data/rpc_client.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/data/user_memory.h"
#include "app/testing/rpc_wire_tap.h"
#include "app/testing/varnel_service.h"
#include "platform/rpc.h"
#include "platform/testing/run_program.h"
#include "platform/text.h"

namespace {

using Korvo_Tallisk::OutstandingStubBlocks;
using Korvo_Tallisk::RpcClient;
using Korvo_Tallisk::testing::RpcWireTap;
using platform::testing::Eventually;
using ::testing::AnyOf;

constexpr char16_t kSeparator[] = u"<.^.>";
constexpr char16_t kUnwritten = u'#';

// A buffer of `size` characters that no one has written to yet.
std::vector<char16_t> Fresh(std::size_t size) {
  return std::vector<char16_t>(size, kUnwritten);
}

bool Untouched(const std::vector<char16_t>& buffer) {
  return std::all_of(buffer.begin(), buffer.end(), [](char16_t c) { return c == kUnwritten; });
}

std::vector<std::u16string> Fields(std::u16string_view record) {
  std::vector<std::u16string> fields;
  const std::u16string_view separator = kSeparator;
  for (std::size_t at = 0;;) {
    const std::size_t next = record.find(separator, at);
    fields.emplace_back(record.substr(at, next - at));
    if (next == std::u16string_view::npos) return fields;
    at = next + separator.size();
  }
}

class RpcClientTest : public Korvo_Tallisk::testing::VarnelServiceTest {
 protected:
  // How many times `text` went to the debugger output in this test.
  int DebugLines(const std::wstring& text) {
    const auto lines = machine().CapturedDebugOutput();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
  }
};

TEST_F(RpcClientTest, AConnectedClientReadsTheDefaultMachinesRecordsOverOneContext) {
  ASSERT_TRUE(Start());
  RpcClient client;
  ASSERT_EQ(client.Connect(), 0);
  EXPECT_EQ(client.Connect(), 1) << "a context is open already";
  const auto blocks = OutstandingStubBlocks();

  auto buffer = Fresh(999);
  ASSERT_EQ(client.ReadSysInfo(buffer.data(), 999), 0);
  const std::u16string record(buffer.data());
  EXPECT_EQ(Fields(record).size(), 11u);
  EXPECT_NE(record.find(u"<.^.>SN0001<.^.>"), std::u16string::npos);
  EXPECT_TRUE(record.ends_with(u"<.^.>yes"));
  EXPECT_EQ(DebugLines(L"Inside RpcClient::ReadSysInfo() "), 1);

  auto usb = Fresh(200);
  ASSERT_EQ(client.ReadUSBTypeCInfo(usb.data(), 200), 0);
  const std::u16string usbRecord(usb.data());
  const auto usbFields = Fields(usbRecord);
  ASSERT_EQ(usbFields.size(), 6u) << platform::Utf16ToUtf8(usbRecord);
  EXPECT_NE(usbFields[0].find(u"|.#.$"), std::u16string::npos);
  EXPECT_EQ(usbFields[5], u"25W");
  EXPECT_EQ(OutstandingStubBlocks(), blocks) << "each received text and its cell are released";
}

TEST_F(RpcClientTest, TheCapacityDecidesBetweenTheWholeTextAndAnEmptyBuffer) {
  ASSERT_TRUE(Start());
  RpcClient client;
  ASSERT_EQ(client.Connect(), 0);
  const auto blocks = OutstandingStubBlocks();

  auto large = Fresh(4096);
  ASSERT_EQ(client.ReadSysInfo(large.data(), 4096), 0);
  const std::u16string record(large.data());
  const auto n = static_cast<std::int32_t>(record.size());
  ASSERT_GT(n, 0);

  auto whole = Fresh(n + 1);
  EXPECT_EQ(client.ReadSysInfo(whole.data(), n + 1), 0);
  EXPECT_EQ(std::u16string(whole.data()), record) << "n characters and the NUL fit in n + 1";
  EXPECT_EQ(DebugLines(L"Failed to copy pSysData"), 0);

  auto tight = Fresh(n);
  EXPECT_EQ(client.ReadSysInfo(tight.data(), n), 0) << "a text that does not fit is not a failure of the call";
  EXPECT_EQ(tight[0], u'\0') << "empty, never truncated";
  EXPECT_EQ(DebugLines(L"Failed to copy pSysData"), 1);

  // No room at all: the copy fails before it can write even the NUL.
  for (const std::int32_t capacity : {0, -1}) {
    auto none = Fresh(4);
    EXPECT_EQ(client.ReadSysInfo(none.data(), capacity), 0) << capacity;
    EXPECT_TRUE(Untouched(none)) << capacity;
  }
  EXPECT_EQ(DebugLines(L"Failed to copy pSysData"), 3);

  EXPECT_EQ(client.ReadSysInfo(nullptr, 999), -1);
  EXPECT_EQ(DebugLines(L"NULL == SysData"), 1);
  EXPECT_EQ(DebugLines(L"Inside RpcClient::ReadSysInfo() "), 6);

  // The USB Type-C record by the same rule, without the entry lines.
  auto usbLarge = Fresh(512);
  ASSERT_EQ(client.ReadUSBTypeCInfo(usbLarge.data(), 512), 0);
  const std::u16string usbRecord(usbLarge.data());
  const auto m = static_cast<std::int32_t>(usbRecord.size());
  ASSERT_GT(m, 0);
  auto usbWhole = Fresh(m + 1);
  EXPECT_EQ(client.ReadUSBTypeCInfo(usbWhole.data(), m + 1), 0);
  EXPECT_EQ(std::u16string(usbWhole.data()), usbRecord);
  auto usbTight = Fresh(m);
  EXPECT_EQ(client.ReadUSBTypeCInfo(usbTight.data(), m), 0);
  EXPECT_EQ(usbTight[0], u'\0');
  EXPECT_EQ(DebugLines(L"Failed to copy USBTypeC Data"), 1);
  const auto linesBefore = machine().CapturedDebugOutput().size();
  EXPECT_EQ(client.ReadUSBTypeCInfo(nullptr, 512), -1);
  EXPECT_EQ(machine().CapturedDebugOutput().size(), linesBefore) << "a null buffer fails silently";

  EXPECT_EQ(OutstandingStubBlocks(), blocks);
}

// A machine whose record is 998 characters long: the most the app's budget of 999
// characters holds.
class LongRecordTest : public RpcClientTest {
 protected:
  nlohmann::json MachineProfile() const override { return ProfileServingSysInfoOfLength(998); }
};

TEST_F(LongRecordTest, ARecordOf998CharactersIsServedWholeIntoTheAppsBudgetOf999) {
  ASSERT_TRUE(Start());
  RpcClient client;
  ASSERT_EQ(client.Connect(), 0);
  auto buffer = Fresh(999);
  ASSERT_EQ(client.ReadSysInfo(buffer.data(), 999), 0);
  const std::u16string record(buffer.data());
  EXPECT_EQ(record.size(), 998u);
  EXPECT_EQ(Fields(record).size(), 11u);
  EXPECT_TRUE(record.ends_with(u"<.^.>yes"));

  auto tight = Fresh(998);
  EXPECT_EQ(client.ReadSysInfo(tight.data(), 998), 0);
  EXPECT_EQ(tight[0], u'\0');
}

TEST_F(RpcClientTest, AClientThatCouldNotConnectReachesNothingEvenOnceTheServiceRuns) {
  RpcClient client;
  EXPECT_EQ(client.Connect(), platform::RPC_S_SERVER_UNAVAILABLE) << "nobody serves the endpoint";
  const auto blocks = OutstandingStubBlocks();
  EXPECT_EQ(client.StartMSInfoApp(), 0);
  EXPECT_EQ(client.StartUSBC(), 0);
  auto buffer = Fresh(64);
  EXPECT_EQ(client.ReadSysInfo(buffer.data(), 64), -1);
  EXPECT_EQ(client.ReadUSBTypeCInfo(buffer.data(), 64), -1);
  EXPECT_TRUE(Untouched(buffer));
  EXPECT_EQ(OutstandingStubBlocks(), blocks) << "the cell is released when there is no context";

  // The same object once the service runs: it has no context, so it still asks nothing.
  ASSERT_TRUE(Start());
  EXPECT_EQ(client.StartMSInfoApp(), 0);
  EXPECT_EQ(client.StartUSBC(), 0);
  EXPECT_EQ(client.ReadSysInfo(buffer.data(), 64), -1);
  ASSERT_TRUE(Stop());
  ASSERT_GT(ServiceLogLines("RpcServer::CMainService::ConsoleRun"), 0) << "the service logged its run";
  EXPECT_EQ(ServiceLogLines("RpcServer::CKeyBoardBridge::ProcessCommand"), 0);
  EXPECT_EQ(ServiceLogLines("RpcServer::CKeyBoardBridge::LaunchUsbCApp"), 0);
  EXPECT_EQ(ServiceLogLines("|ReadSysInfo|"), 0);
  EXPECT_TRUE(Running(L"msinfo32.exe").empty());
}

TEST_F(RpcClientTest, TheCompanionProgramsStartInTheUsersSession) {
  ASSERT_TRUE(Start());
  RpcClient client;
  ASSERT_EQ(client.Connect(), 0);
  EXPECT_EQ(client.StartMSInfoApp(), 0);
  ASSERT_TRUE(Eventually([&] { return !Running(L"msinfo32.exe").empty(); }, 20000));
  const auto msinfo = Running(L"msinfo32.exe");
  EXPECT_EQ(msinfo.size(), 1u);
  EXPECT_EQ(msinfo[0].sessionId, 1u);
  EXPECT_EQ(msinfo[0].user, L"alex");

  EXPECT_EQ(client.StartUSBC(), 0);
  ASSERT_TRUE(Eventually([&] { return !Running(L"Rennet.exe").empty(); }, 20000));
  EXPECT_EQ(Running(L"Rennet.exe")[0].sessionId, 1u);
}

// A machine whose firmware has only the modern component, and that component cannot
// say anything about USB Type-C: the service answers with no text.
class NoUsbTypeCTextTest : public RpcClientTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = RpcClientTest::MachineProfile();
    profile["firmware"]["legacy"]["present"] = false;
    profile["firmware"]["faults"] =
        nlohmann::json::array({{{"component", "modern"}, {"call", "GetUsbTypeCInfo"}, {"fault", {{"kind", "fail"}}}}});
    return profile;
  }
};

TEST_F(NoUsbTypeCTextTest, AnAnswerWithoutTextReturnsMinusOneAndLeavesTheBufferUntouched) {
  ASSERT_TRUE(Start());
  RpcClient client;
  ASSERT_EQ(client.Connect(), 0);
  const auto blocks = OutstandingStubBlocks();
  auto buffer = Fresh(200);
  EXPECT_EQ(client.ReadUSBTypeCInfo(buffer.data(), 200), -1);
  EXPECT_TRUE(Untouched(buffer));
  EXPECT_EQ(OutstandingStubBlocks(), blocks);
  ASSERT_TRUE(Stop());
  EXPECT_EQ(ServiceLogLines("USB Type C Info returned is empty."), 1) << "the service sent the empty answer";
}

TEST_F(RpcClientTest, DestroyingAConnectedClientClosesItsContextBeforeFreeingTheBinding) {
  ASSERT_TRUE(Start());
  RpcWireTap tap(root() / "rpc" / "VeskRpcEndpoint");
  ASSERT_TRUE(tap.ok());
  {
    RpcClient client;
    ASSERT_EQ(client.Connect(), 0);
    auto buffer = Fresh(999);
    ASSERT_EQ(client.ReadSysInfo(buffer.data(), 999), 0);
    EXPECT_EQ(tap.OpenConnections(), 1) << "one pooled connection";
  }
  ASSERT_TRUE(Eventually([&] { return tap.OpenConnections() == 0; }, 10000)) << "the binding is freed";

  const auto events = tap.Events();
  std::vector<RpcWireTap::Event> requests;
  for (const auto& e : events) {
    if (!e.closed && e.toServer && e.type == RpcWireTap::kRequest) requests.push_back(e);
  }
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].opnum, 0) << "OpenClientContext";
  EXPECT_EQ(requests[1].opnum, 4) << "ReadSysInfo";
  EXPECT_EQ(requests[2].opnum, 1) << "CloseClientContext";

  // The answers by call: the context the open returned is the one the close carried,
  // and the service answered the close with the null context.
  auto answer = [&](const RpcWireTap::Event& request) {
    for (const auto& e : events) {
      if (!e.closed && !e.toServer && e.connection == request.connection && e.callId == request.callId) return e;
    }
    return RpcWireTap::Event{};
  };
  const auto opened = answer(requests[0]);
  ASSERT_EQ(opened.type, RpcWireTap::kResponse);
  ASSERT_GE(opened.body.size(), 20u);
  const std::vector<std::uint8_t> context(opened.body.begin(), opened.body.begin() + 20);
  EXPECT_NE(context, std::vector<std::uint8_t>(20, 0));
  ASSERT_GE(requests[2].body.size(), 20u);
  EXPECT_EQ(std::vector<std::uint8_t>(requests[2].body.begin(), requests[2].body.begin() + 20), context);
  const auto closed = answer(requests[2]);
  ASSERT_EQ(closed.type, RpcWireTap::kResponse) << "not a fault";
  EXPECT_EQ(closed.body, std::vector<std::uint8_t>(20, 0));

  // The close was answered before the connection ended: nothing was left to run down.
  const auto end = std::find_if(events.begin(), events.end(), [](const auto& e) { return e.closed; });
  const auto closeAnswer = std::find_if(events.begin(), events.end(), [&](const auto& e) {
    return !e.closed && !e.toServer && e.callId == requests[2].callId;
  });
  EXPECT_LT(closeAnswer - events.begin(), end - events.begin());
}

TEST_F(RpcClientTest, AnAppContainerIsAdmittedOnlyWithTheServicesCapability) {
  ASSERT_TRUE(Start());
  const auto self = static_cast<platform::DWORD>(::getpid());
  const std::wstring package = L"KorvoInc.KorvoTallisk_8wekyb3d";

  ASSERT_TRUE(platform::rpc::RegisterAppContainerProcess(self, package, {L"internetClient"}));
  {
    RpcClient refused;
    EXPECT_EQ(refused.Connect(), platform::RPC_S_ACCESS_DENIED);
    EXPECT_EQ(refused.StartMSInfoApp(), 0) << "no context: nothing is asked";
  }

  ASSERT_TRUE(platform::rpc::RegisterAppContainerProcess(self, package,
                                                         {L"internetClient", L"KorvoInc.varnelCap_q4m8xk2rt7pd3"}));
  {
    RpcClient admitted;
    EXPECT_EQ(admitted.Connect(), 0);
    auto buffer = Fresh(999);
    EXPECT_EQ(admitted.ReadSysInfo(buffer.data(), 999), 0);
    EXPECT_NE(std::u16string(buffer.data()).find(u"<.^.>SN0001<.^.>"), std::u16string::npos);
  }
  EXPECT_TRUE(platform::rpc::UnregisterAppContainerProcess(self));
  ASSERT_TRUE(Stop());
  EXPECT_EQ(ServiceLogLines("RpcServer::CKeyBoardBridge::ProcessCommand"), 0) << "the refused client asked nothing";
}

TEST_F(RpcClientTest, ACallThatRaisesReturnsItsCodeAndLeavesNoBlockBehind) {
  ASSERT_TRUE(Start());
  auto client = std::make_unique<RpcClient>();
  ASSERT_EQ(client->Connect(), 0);
  auto buffer = Fresh(999);
  ASSERT_EQ(client->ReadSysInfo(buffer.data(), 999), 0);
  ASSERT_TRUE(Stop());

  const auto blocks = OutstandingStubBlocks();
  auto after = Fresh(999);
  const auto gone = AnyOf(platform::RPC_S_SERVER_UNAVAILABLE, platform::RPC_S_CALL_FAILED);
  EXPECT_THAT(client->ReadSysInfo(after.data(), 999), gone);
  EXPECT_EQ(OutstandingStubBlocks(), blocks) << "the out-pointer cell is released on the failing path";
  EXPECT_THAT(client->ReadUSBTypeCInfo(after.data(), 999), gone);
  EXPECT_EQ(OutstandingStubBlocks(), blocks);
  EXPECT_TRUE(Untouched(after));
  EXPECT_THAT(client->StartMSInfoApp(), gone);
  EXPECT_THAT(client->StartUSBC(), gone);
  // The close fails too; the client lets go of its side of the context all the same
  // (the leak check of the sanitizer builds would see it otherwise).
  client.reset();
}

}  // namespace
