// USB Type-C: the record built from the ports' XML, the ready-made one of the modern
// component, the cache, and XML that tries to make the reader work without bound.
#include "service/bridge/usbc_info.h"

#include <climits>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/firmware.h"
#include "platform/text.h"
#include "service/bridge/hotkey_handler.h"
#include "service/bridge/testing/bridge_test_support.h"

namespace RpcServer::SysInfo {
namespace {

using Korvo::Shared::LogLevel;

constexpr const wchar_t* kTwoPortRecord =
    L"USB 2.0|.#.$USB 3.1 Gen 2<.^.>Not Supported<.^.>Not Supported<.^.>Not Supported<.^.>Not Supported<.^.>25W";
constexpr const wchar_t* kNothingRecord =
    L"|.#.$USB 3.1 Gen 1<.^.>Not Supported<.^.>Not Supported<.^.>Not Supported<.^.>Not Supported<.^.>0W";

std::string Port(int index, const std::string& children) {
  return "<Port" + std::to_string(index) + ">" + children + "</Port" + std::to_string(index) + ">";
}

std::string Configuration(const std::string& count, const std::string& ports) {
  return "<GetUsbCPortsConfigurationOutput><Output><Data>" + count + "<SizeOfPort>12</SizeOfPort>" + ports +
         "</Data></Output></GetUsbCPortsConfigurationOutput>";
}

class UsbCInfoTest : public testing::BridgeTest {
 protected:
  std::wstring RecordFor(const std::string& xml) {
    auto profile = DefaultProfile();
    Firmware(profile)["settings"]["Platform.USBC.Configuration"] = xml;
    Boot(profile);
    CHotKeyHandler handler(Data());
    return handler.GetUSBTypeCInfo();
  }
  UsbCConfigInfo Parse(const std::string& xml) {
    UsbCConfigInfo config;
    CUsbCBiosInfo::ParseConfiguration(platform::Utf8ToWide(xml), config);
    return config;
  }
};

TEST_F(UsbCInfoTest, TheDefaultMachinesTwoPortsGiveTheDocumentedRecord) {
  Boot();
  CHotKeyHandler handler(Data());
  EXPECT_EQ(handler.GetUSBTypeCInfo(), kTwoPortRecord);
  EXPECT_TRUE(Logged(LogLevel::Information, L"wszMaxPowerOutput : 25W",
                     "RpcServer::SysInfo::CHotKeyHandler::GetUSBTypeCInfoUsingVantor"));

  // Later changes of the firmware do not reach a handler that has its record.
  std::string error;
  ASSERT_TRUE(platform::firmware::SetSetting("Platform.USBC.Configuration", Configuration("", ""), &error)) << error;
  EXPECT_EQ(handler.GetUSBTypeCInfo(), kTwoPortRecord);
  EXPECT_EQ(FirmwareCalls("Get", "Platform.USBC.Configuration"), 1);
}

TEST_F(UsbCInfoTest, NoPortIsReadWithoutAPositiveCount) {
  const std::string port0 =
      Port(0, "<SupportBasicUsb>true</SupportBasicUsb><MaxDownstreamPower>60</MaxDownstreamPower>");
  EXPECT_EQ(RecordFor(Configuration("<NumberOfPorts>0</NumberOfPorts>", port0)), kNothingRecord);
  EXPECT_EQ(RecordFor(Configuration("", port0)), kNothingRecord);
  EXPECT_EQ(RecordFor("<not-closed>"), kNothingRecord);
}

TEST_F(UsbCInfoTest, TheModernComponentsRecordIsPassedOnUnchanged) {
  auto profile = DefaultProfile();
  Firmware(profile)["legacy"]["present"] = false;
  Firmware(profile)["settings"]["UsbTypeCInfo"] = "a<.^.>b";
  Boot(profile);
  CHotKeyHandler handler(Data());
  ASSERT_TRUE(handler.HasMeridCommand());
  EXPECT_EQ(handler.GetUSBTypeCInfo(), L"a<.^.>b");
}

TEST_F(UsbCInfoTest, PortsCombineByAnyAndByLargest) {
  Boot();
  const auto config = Parse(Configuration(
      "<NumberOfPorts>3</NumberOfPorts>",
      Port(0,
           "<SupportThunderboltAlternateMode>True</SupportThunderboltAlternateMode><MaxUpstreamPower>-5</"
           "MaxUpstreamPower>") +
          Port(2, "<MaxDownstreamPower> 400 </MaxDownstreamPower><DisplayPortLaneX4>yes</DisplayPortLaneX4>") +
          Port(3, "<SupportBasicUsb>true</SupportBasicUsb>") +    // beyond the count
          Port(2, "<SupportUsb31Gen2>true</SupportUsb31Gen2>") +  // a second Port2: only the first counts
          "<Port02><SupportDisplayPortAlternateMode>true</SupportDisplayPortAlternateMode></Port02>"));
  EXPECT_EQ(config.NumberOfPorts, 3);
  EXPECT_EQ(config.SizeOfPort, 12);
  EXPECT_TRUE(config.SupportThunderboltAlternateMode);
  EXPECT_FALSE(config.SupportBasicUsb);
  EXPECT_FALSE(config.SupportUsb31Gen2);
  EXPECT_FALSE(config.SupportDisplayPortAlternateMode);
  EXPECT_FALSE(config.DisplayPortLaneX4);
  EXPECT_EQ(config.MaxUpstreamPower, 0) << "the largest value, starting from 0";
  EXPECT_EQ(config.MaxDownstreamPower, 400);
}

TEST_F(UsbCInfoTest, NumbersAndWattsStayInRange) {
  EXPECT_EQ(ParseDecimal32(L"  -42abc"), -42);
  EXPECT_EQ(ParseDecimal32(L"abc"), 0);
  EXPECT_EQ(ParseDecimal32(L"99999999999999999999"), INT_MAX);
  EXPECT_EQ(ParseDecimal32(L"-99999999999999999999"), INT_MIN);
  EXPECT_EQ(MaxPowerWatts(100), 25);
  EXPECT_EQ(MaxPowerWatts(7), 1);
  EXPECT_EQ(MaxPowerWatts(INT_MAX), 536870911) << "no 32-bit overflow of the product";
}

TEST_F(UsbCInfoTest, HostileConfigurationsEndInBoundedWork) {
  Boot();
  // A count near INT_MAX and a port index near it: only the elements present are visited.
  auto config = Parse(Configuration("<NumberOfPorts>2147483647</NumberOfPorts>",
                                    Port(2147483646, "<SupportBasicUsb>true</SupportBasicUsb>")));
  EXPECT_TRUE(config.SupportBasicUsb);
  config = Parse(Configuration("<NumberOfPorts>1000000</NumberOfPorts>", Port(1, "")));
  EXPECT_FALSE(config.SupportBasicUsb);

  // External entities are never fetched, and entity expansion does not multiply.
  config = Parse("<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/hostname\">]>" +
                 Configuration("<NumberOfPorts>1</NumberOfPorts>", Port(0, "<SupportBasicUsb>&e;</SupportBasicUsb>")));
  EXPECT_FALSE(config.SupportBasicUsb);
  std::string bomb = "<!DOCTYPE b [<!ENTITY a0 \"aaaaaaaaaa\">";
  for (int i = 1; i < 10; ++i) {
    std::string ten;
    for (int k = 0; k < 10; ++k) ten += "&a" + std::to_string(i - 1) + ";";
    bomb += "<!ENTITY a" + std::to_string(i) + " \"" + ten + "\">";
  }
  bomb += "]>" + Configuration("<NumberOfPorts>&a9;</NumberOfPorts>", "");
  config = Parse(bomb);
  EXPECT_EQ(config.NumberOfPorts, 0);

  // Many ports present.
  std::string ports;
  for (int i = 0; i < 20000; ++i) ports += Port(i, i == 19999 ? "<MaxDownstreamPower>80</MaxDownstreamPower>" : "");
  config = Parse(Configuration("<NumberOfPorts>20000</NumberOfPorts>", ports));
  EXPECT_EQ(config.MaxDownstreamPower, 80);
}

}  // namespace
}  // namespace RpcServer::SysInfo
