// vesk-client against a server of fixed answers on the test's machine: what each verb
// prints, the fields by name, and the messages and exit codes when the service is not
// there or a call fails.
#include "tools/vesk-client/vesk_client.h"

#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/rpc.h"
#include "platform/testing/machine_test.h"
#include "platform/text.h"
#include "shared/rpc/testing/fixed_procedures.h"
#include "shared/rpc/vesk_server.h"

namespace tools::vesk_client {
namespace {

using namespace platform;
using ::testing::HasSubstr;

constexpr char16_t kRecord[] =
    u"Korvo T14 Gen 3<.^.>SKU1#ABA<.^.>21WWCBAU6aq#SABA#DABA<.^.>16.00 GB (15.73 GB usable)<.^.>Korvo Vireo 7 "
    u"1260P @ 2.10GHz<.^.>V1.02.03 - 01/15/2021<.^.>30.2A.00<.^.>SN0001<.^.>3X47aq<.^.>0x1<.^.>yes";
constexpr char16_t kUsbC[] =
    u"USB 2.0|.#.$USB 3.1 Gen 2<.^.>Not Supported<.^.>Supported<.^.>Not Supported<.^.>Supported<.^.>25W";

struct Result {
  int code;
  std::string out;
  std::string err;
};

class VeskClientTest : public platform::testing::MachineTest {
 protected:
  void TearDown() override {
    if (serving_) {
      RpcMgmtStopServerListening(nullptr);
      RpcServerUnregisterIf(nullptr, nullptr, TRUE);
      RpcMgmtWaitServerListen();
    }
    MachineTest::TearDown();
  }
  void Serve(std::u16string sysInfo, std::u16string usbC) {
    korvo::rpc_testing::SetAnswers(std::move(sysInfo), std::move(usbC));
    ASSERT_EQ(RpcServerUseProtseqEp(L"ncalrpc", 10, L"VeskRpcEndpoint", nullptr), RPC_S_OK);
    ASSERT_EQ(RpcServerRegisterIf3(VeskRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_LOCAL_ONLY,
                                   1234, 0, nullptr, nullptr),
              RPC_S_OK);
    ASSERT_EQ(RpcServerListen(1, 1234, TRUE), RPC_S_OK);
    serving_ = true;
  }
  static Result Client(std::vector<std::string_view> args) {
    std::ostringstream out;
    std::ostringstream err;
    const int code = vesk_client::Run(args, out, err);
    return {code, out.str(), err.str()};
  }

 private:
  bool serving_ = false;
};

TEST_F(VeskClientTest, EachVerbPrintsWhatTheServiceAnswers) {
  Serve(kRecord, kUsbC);
  auto r = Client({"sysinfo"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, Utf16ToUtf8(kRecord) + "\n");

  r = Client({"sysinfo", "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto facts = nlohmann::json::parse(r.out);
  EXPECT_EQ(facts.size(), 11u);
  EXPECT_EQ(facts["productName"], "Korvo T14 Gen 3");
  EXPECT_EQ(facts["memory"], "16.00 GB (15.73 GB usable)");
  EXPECT_EQ(facts["biosVersion"], "V1.02.03 - 01/15/2021");
  EXPECT_EQ(facts["passwordStatus"], "0x1");
  EXPECT_EQ(facts["usbTypeCSupport"], "yes");

  r = Client({"usbc", "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto ports = nlohmann::json::parse(r.out);
  EXPECT_EQ(ports["usbData"]["usb2"], "USB 2.0");
  EXPECT_EQ(ports["usbData"]["usb3"], "USB 3.1 Gen 2");
  EXPECT_EQ(ports["displayPort"], "Supported");
  EXPECT_EQ(ports["maxPower"], "25W");

  EXPECT_EQ(Client({"merid-service"}).out, "1\n");
  EXPECT_EQ(Client({"merid-node"}).out, "0\n");
  r = Client({"msinfo"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "asked the service to start System Information\n");
  EXPECT_EQ(korvo::rpc_testing::OpenContexts(), 0) << "every verb closes its context";
}

TEST_F(VeskClientTest, FailuresSayWhatWentWrongAndWhatToDo) {
  auto r = Client({"sysinfo"});
  EXPECT_EQ(r.code, kExitNoService);
  EXPECT_THAT(r.err, HasSubstr("the service is not running: nobody serves the endpoint \"VeskRpcEndpoint\""));
  EXPECT_THAT(r.err, HasSubstr("RPC status 1722"));
  EXPECT_THAT(r.err, HasSubstr("Varnel is not installed"));
  EXPECT_THAT(r.err, HasSubstr("Start it with `vesk-sc start Varnel` or `varnel -console`."));

  Serve(u"", u"");
  r = Client({"sysinfo"});
  EXPECT_EQ(r.code, cli::kExitFailed);
  EXPECT_THAT(r.err, HasSubstr("empty record"));
  EXPECT_EQ(r.out, "");
  r = Client({"usbc"});
  EXPECT_EQ(r.code, cli::kExitFailed);
  EXPECT_THAT(r.err, HasSubstr("no USB Type-C information"));

  // The server's procedure raises ERROR_FILE_NOT_FOUND.
  r = Client({"usbc-app"});
  EXPECT_EQ(r.code, cli::kExitFailed);
  EXPECT_THAT(r.err, HasSubstr("StartUSBC failed (RPC status 2"));

  EXPECT_EQ(Client({"sysinfo", "--yaml"}).code, cli::kExitUsage);
  EXPECT_EQ(Client({"merid-node", "x"}).code, cli::kExitUsage);
  EXPECT_EQ(Client({"--endpoint", "Other", "merid-node"}).code, kExitNoService);
}

TEST_F(VeskClientTest, AnUnexpectedFieldCountIsRefusedWithTheRecord) {
  Serve(u"a<.^.>b<.^.>c", u"only one");
  auto r = Client({"sysinfo", "--json"});
  EXPECT_EQ(r.code, cli::kExitFailed);
  EXPECT_THAT(r.err, HasSubstr("the service served 3 fields, not 11: a<.^.>b<.^.>c"));
  EXPECT_EQ(Client({"sysinfo"}).out, "a<.^.>b<.^.>c\n") << "the raw record is printed as served";
  r = Client({"usbc", "--json"});
  EXPECT_THAT(r.err, HasSubstr("served 1 fields, not 6"));
}

TEST(SplitRecordTest, KeepsEmptyFieldsAndSplitsOnlyOnTheWholeSeparator) {
  EXPECT_TRUE(SplitRecord("").empty());
  EXPECT_EQ(SplitRecord("a"), std::vector<std::string>({"a"}));
  EXPECT_EQ(SplitRecord("<.^.>x<.^.>"), std::vector<std::string>({"", "x", ""}));
  EXPECT_EQ(SplitRecord("a<.^b<.^.>c"), std::vector<std::string>({"a<.^b", "c"}));
}

}  // namespace
}  // namespace tools::vesk_client
