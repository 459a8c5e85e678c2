// Single-scan-code mode: how often the firmware is read and written, and how long the
// retries take on the virtual clock.
#include <memory>

#include <gtest/gtest.h>

#include "platform/firmware.h"
#include "service/bridge/hotkey_handler.h"
#include "service/bridge/testing/bridge_test_support.h"

namespace RpcServer::SysInfo {
namespace {

using Korvo::Shared::LogLevel;
using platform::E_FAIL;
using platform::SUCCEEDED;

constexpr const char* kGet = "RpcServer::SysInfo::CHotKeyHandler::GetHotkeySingleScanCode";
constexpr const char* kSet = "RpcServer::SysInfo::CHotKeyHandler::SetHotkeySingleScanCode";

class SingleScanCodeTest : public testing::BridgeTest {
 protected:
  // A machine whose firmware holds `mode`; `modern` leaves only the modern component.
  std::unique_ptr<CHotKeyHandler> Handler(nlohmann::json profile) {
    Boot(profile);
    auto handler = std::make_unique<CHotKeyHandler>(Data());
    ClearLines();
    MarkTime();
    return handler;
  }
  static nlohmann::json Profile(unsigned mode, bool modern = false) {
    auto profile = DefaultProfile();
    Firmware(profile)["settings"]["HotKeys.SingleScanCode"] = mode;
    if (modern) Firmware(profile)["legacy"]["present"] = false;
    return profile;
  }
  static int Reads() { return FirmwareCalls("Get", "HotKeys.SingleScanCode") + FirmwareCalls("GetSingleScanCode"); }
  static int Writes() { return FirmwareCalls("Set", "HotKeys.SingleScanCode") + FirmwareCalls("SetSingleScanCode"); }
};

TEST_F(SingleScanCodeTest, InitialisationSwitchesTheModeOnOnceAndTheValueStays) {
  Boot(Profile(0));
  auto handler = std::make_unique<CHotKeyHandler>(Data());
  EXPECT_TRUE(handler->IsSingleScanCodeSet());
  EXPECT_EQ(Reads(), 2) << "read, then read again after the support check";
  EXPECT_EQ(FirmwareCalls("Get", "HotKeys.SingleScanCode.Supported"), 1);
  EXPECT_EQ(Writes(), 1);
  EXPECT_EQ(platform::firmware::GetSetting("HotKeys.SingleScanCode"), nlohmann::json(110));

  // The next run of the service finds the mode on and writes nothing.
  handler.reset();
  ReopenMachine();
  const int writes = Writes();
  handler = std::make_unique<CHotKeyHandler>(Data());
  EXPECT_EQ(Writes(), writes);
}

TEST_F(SingleScanCodeTest, AtOneHundredTenActivationReadsOnceAndWritesNothing) {
  auto handler = Handler(Profile(110));
  const int reads = Reads();
  EXPECT_EQ(handler->ActivateSingleScanCode(), platform::S_OK);
  EXPECT_EQ(Reads(), reads + 1);
  EXPECT_EQ(Writes(), 0);
}

TEST_F(SingleScanCodeTest, WithoutSupportNothingIsWritten) {
  auto profile = Profile(0);
  Firmware(profile)["settings"]["HotKeys.SingleScanCode.Supported"] = false;
  auto handler = Handler(profile);
  EXPECT_EQ(handler->EnableSingleScanCode(), E_FAIL);
  EXPECT_EQ(Writes(), 0);
  EXPECT_FALSE(handler->IsSingleScanCodeSet());
  EXPECT_EQ(
      Count(LogLevel::Information, L"Exception occurred when calling HotKeys.SingleScanCode.Supported, [hr:0x80000003]",
            "RpcServer::SysInfo::CHotKeyHandler::Is_HK_SingleScanCode_Supported"),
      1)
      << "the legacy component's refusal arrives as an exception";
}

TEST_F(SingleScanCodeTest, AZeroSuccessFlagIsRetriedFiveTimesAndOnlyTheCodeDecides) {
  auto profile = Profile(0, true);
  AddFirmwareFault(profile, "modern", "SetSingleScanCode", {{"kind", "zeroFlag"}});
  Boot(profile);
  auto handler = std::make_unique<CHotKeyHandler>(Data());
  ASSERT_TRUE(handler->HasMeridCommand());
  EXPECT_EQ(FirmwareCalls("SetSingleScanCode"), 5);
  EXPECT_EQ(Count(LogLevel::Warning, L"Failed to set hotkey single scan code in BIOS: 0x00000000", kSet), 5);
  EXPECT_TRUE(Logged(LogLevel::Information,
                     L"Failed to set hotkey single scan code in BIOS after retry 5 times, hr = 0x00000000", kSet));
  EXPECT_TRUE(handler->IsSingleScanCodeSet());

  handler.reset();
  MarkTime();
  handler = std::make_unique<CHotKeyHandler>(Data());
  // Read, support, read, five writes each followed by 100 ms.
  EXPECT_GE(ElapsedMs(), 500u);
  EXPECT_LT(ElapsedMs(), 1000u);
}

TEST_F(SingleScanCodeTest, ExceptionsWaitASecondBetweenAttempts) {
  auto profile = Profile(110);
  AddFirmwareFault(profile, "legacy", "Get HotKeys.SingleScanCode", {{"kind", "throw"}, {"hr", "0x80004005"}});
  auto handler = Handler(profile);
  platform::DWORD mode = 0;
  EXPECT_EQ(handler->GetHotkeySingleScanCode(mode), static_cast<platform::HRESULT>(0x80004005));
  EXPECT_EQ(ElapsedMs(), 5000u);
  EXPECT_EQ(Count(LogLevel::Information, L"Exception occurred when call Get HotKeys.SingleScanCode: 0x80004005", kGet),
            5);
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Retry Get HotKeys.SingleScanCode # 5", kGet));
  EXPECT_TRUE(Logged(LogLevel::Information,
                     L"Failed to Get hotkey single scan code in BIOS after retry 5 times, hr = 0x80004005", kGet));
}

TEST_F(SingleScanCodeTest, AFailedReadThatRecoversIsRetriedAfterAHundredMilliseconds) {
  auto profile = Profile(110, true);
  AddFirmwareFault(profile, "modern", "GetSingleScanCode", {{"kind", "fail"}, {"hr", "0x80004005"}, {"count", 2}});
  Boot(profile);
  auto handler = std::make_unique<CHotKeyHandler>(Data());
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Get hotkey single scan code (110) passed after retry 3 times", kGet));
  EXPECT_EQ(Count(LogLevel::Information, L"Failed to get hotkey single scan code in BIOS: 0x80004005", kGet), 2);
  EXPECT_GE(ElapsedMs(), 200u);
  EXPECT_LT(ElapsedMs(), 1000u);
  EXPECT_EQ(Writes(), 0);
}

}  // namespace
}  // namespace RpcServer::SysInfo
