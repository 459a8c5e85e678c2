// The keyboard filter driver client: how the device is found, and what the driver is
// sent, as the machine's journal records it.
#include <memory>

#include <gtest/gtest.h>

#include "platform/text.h"
#include "service/bridge/hotkey_handler.h"
#include "service/bridge/testing/bridge_test_support.h"

namespace RpcServer::SysInfo {
namespace {

using Korvo::Shared::LogLevel;

constexpr const char* kSend = "RpcServer::SysInfo::CHotKeyHandler::SendIOCTL";

class KeyboardFilterTest : public testing::BridgeTest {
 protected:
  // The keyboard filter interface of the profile's devices.
  static nlohmann::json& FilterInterface(nlohmann::json& profile) {
    for (auto& device : profile["devices"]) {
      if (!device.contains("interfaces")) continue;
      for (auto& i : device["interfaces"]) {
        if (i.value("classGuid", "") == "{3569DBE5-FA4F-4E7E-96EC-540202073739}") return i;
      }
    }
    throw std::runtime_error("the profile has no keyboard filter");
  }
  // The control requests the driver received, as "code input".
  static std::vector<std::string> Requests() {
    std::vector<std::string> out;
    for (const auto& e : Journal("device")) {
      if (e.call.starts_with("0x")) out.push_back(e.call + " " + e.args.value("input", "") + " " + e.result);
    }
    return out;
  }
  static int OverlappedResults() {
    int n = 0;
    for (const auto& e : Journal("device")) n += e.call == "GetOverlappedResult";
    return n;
  }
};

TEST_F(KeyboardFilterTest, TheDriverIsFlushedThenToldToRepeat) {
  Boot();
  CHotKeyHandler handler(Data());
  ASSERT_NE(handler.KeyboardFilterHandle(), platform::INVALID_HANDLE_VALUE);
  EXPECT_EQ(Requests(), (std::vector<std::string>{"0x93000010  completed", "0x93000018 01000000 completed"}));
  EXPECT_EQ(OverlappedResults(), 0) << "requests completed at once need no GetOverlappedResult";
  EXPECT_EQ(Count(LogLevel::Verbose, L"IOCTL - KVQKBFILTR_FlushButtonQueue sending", kSend), 1);
  EXPECT_EQ(Count(LogLevel::Verbose, L"DeviceIoControl Return = 1, Bytes Returned = 0", kSend), 2);
}

TEST_F(KeyboardFilterTest, WithoutTheDeviceTheHandlerWorksOnAndSaysItIsForNotebooks) {
  auto profile = DefaultProfile();
  RemoveKeyboardFilter(profile);
  Boot(profile);
  CHotKeyHandler handler(Data());
  EXPECT_EQ(handler.KeyboardFilterHandle(), platform::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Logged(LogLevel::Error, L"Keyboard filter driver not found. Error code - 0x80070103",
                     "RpcServer::SysInfo::CHotKeyHandler::InitializeKeyboardFilter"));
  EXPECT_TRUE(Logged(LogLevel::Warning,
                     L"Keyboard driver initialization failed. This warning applicable only to Notebooks",
                     "RpcServer::SysInfo::CHotKeyHandler::Initialize"));
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(handler.SendIOCTL(KVQKBFILTR_FlushButtonQueue, KeyboardFilterIoctl(KVQKBFILTR_FlushButtonQueue), true,
                              nullptr, 0),
            platform::FALSE);
  EXPECT_TRUE(handler.HasVantorCommand()) << "the firmware part does not depend on the driver";
}

TEST_F(KeyboardFilterTest, AFirstInterfaceWithoutDetailsGivesWayToTheSecond) {
  auto profile = DefaultProfile();
  auto second = FilterInterface(profile);
  second["path"] = "\\\\?\\ACPI#QVZC0101#1#{3569dbe5-fa4f-4e7e-96ec-540202073739}";
  FilterInterface(profile)["faults"] = {{"SetupDiGetDeviceInterfaceDetail", 87}};
  for (auto& device : profile["devices"]) {
    if (!device.contains("interfaces")) continue;
    for (auto& i : device["interfaces"]) {
      if (i.value("classGuid", "") == "{3569DBE5-FA4F-4E7E-96EC-540202073739}") {
        device["interfaces"].push_back(second);
        break;
      }
    }
  }
  Boot(profile);
  CHotKeyHandler handler(Data());
  std::wstring path;
  EXPECT_EQ(handler.GetKeyboardFilter(path), platform::S_OK);
  EXPECT_EQ(platform::WideToUtf8(path), second["path"].get<std::string>());
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"SetupDiGetDeviceInterfaceDetail Error: 0x00000057, device: 0",
                     "RpcServer::SysInfo::CHotKeyHandler::GetKeyboardFilter"));
}

TEST_F(KeyboardFilterTest, ARequestStillPendingWithoutWaitingCountsAsFailed) {
  auto profile = DefaultProfile();
  FilterInterface(profile)["driver"] = {{"default", {{"kind", "pend"}, {"ms", 50}}}};
  Boot(profile);
  CHotKeyHandler handler(Data());
  EXPECT_EQ(OverlappedResults(), 2);
  EXPECT_TRUE(Logged(LogLevel::Warning, L"DeviceIoControl failed to set KVQKBFILTR_FlushButtonQueue",
                     "RpcServer::SysInfo::CHotKeyHandler::InitializeKeyboardFilter"));
  EXPECT_TRUE(Logged(LogLevel::Error,
                     L"GetOverlappedResult for KVQKBFILTR_SetRepeatButton failed with error code = 996", kSend));

  // Waiting for the answer succeeds once the driver completes it.
  MarkTime();
  EXPECT_EQ(handler.SendIOCTL(KVQKBFILTR_FlushButtonQueue, KeyboardFilterIoctl(KVQKBFILTR_FlushButtonQueue), true,
                              nullptr, 0),
            1);
  EXPECT_GE(ElapsedMs(), 50u);
}

}  // namespace
}  // namespace RpcServer::SysInfo
