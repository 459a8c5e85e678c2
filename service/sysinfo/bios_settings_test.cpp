#include <gtest/gtest.h>

#include "platform/text.h"
#include "platform/wmi.h"
#include "service/sysinfo/testing/sysinfo_test_support.h"
#include "service/sysinfo/wmi_data.h"

namespace RpcServer {
namespace {

using namespace platform;
using Korvo::Shared::LogLevel;

constexpr const char* kBios = "ROOT\\korvo\\instrumentedbios";
constexpr const char* kKeySetting = "Enhanced BIOS Authentication Mode Local Access Key 1";

class BiosSettingsTest : public testing::SysInfoTest {
 protected:
  // The BIOS settings namespace of the current machine, as ReadSysInfo opens it.
  ComPtr<IWbemServices> Connect() {
    ComPtr<IWbemLocator> locator;
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&locator)), S_OK);
    ComPtr<IWbemServices> services;
    EXPECT_EQ(locator->ConnectServer(BStr(L"ROOT\\korvo\\instrumentedbios"), nullptr, nullptr, nullptr, 0, nullptr,
                                     nullptr, &services),
              S_OK);
    return services;
  }

  // A profile with the setup password set or not and the key setting holding `key`
  // (no key setting at all when null).
  static nlohmann::json PasswordProfile(bool setupSet, const char* key) {
    auto profile = DefaultProfile();
    Objects(profile, kBios, "KorvoBIOS_BIOSPassword")[0]["IsSet"] = setupSet ? 1 : 0;
    auto& strings = Objects(profile, kBios, "KorvoBIOS_BIOSString");
    nlohmann::json kept = nlohmann::json::array();
    for (auto object : strings) {
      if (object["Name"] == kKeySetting) {
        if (key == nullptr) continue;
        object["Value"] = key;
      }
      kept.push_back(object);
    }
    strings = kept;
    return profile;
  }
};

TEST_F(BiosSettingsTest, PasswordStatusCombinesTheLegacyAndStellgardHalves) {
  struct Case {
    bool setup;
    const char* key;
    const wchar_t* status;
  };
  for (const Case& c :
       {Case{true, "", L"0x1"}, Case{false, "K3Y", L"0x20"}, Case{true, "K3Y", L"0x21"}, Case{false, "", L"0x0"}}) {
    SCOPED_TRACE(WideToUtf8(c.status));
    UseProfile(PasswordProfile(c.setup, c.key));
    WMIData data;
    EXPECT_EQ(data.ReadSysInfo(), S_OK);
    EXPECT_EQ(data.m_csPasswordStatus, c.status);
    EXPECT_TRUE(data.m_csSysInfo.ends_with(std::wstring(L"<.^.>") + c.status));
    EXPECT_EQ(ElapsedMs(), 0u);  // an empty key setting is read once, without retry
  }
  EXPECT_TRUE(Logged(LogLevel::TraceOut, L"Password Return Value = 0x0, Stellgard Return Value = 0x0",
                     "RpcServer::WMIData::ReadBiosPasswordStatus"));
}

TEST_F(BiosSettingsTest, HalvesShiftEachObjectIntoTheirStatusByte) {
  auto profile = PasswordProfile(true, "K3Y");
  UseProfile(profile);
  WMIData data;
  auto services = Connect();
  std::uint8_t legacy = 0xFF;
  EXPECT_EQ(data.ReadBiosPasswordStatusLegacy(services.Get(), legacy), S_OK);
  EXPECT_EQ(legacy, 0x01);
  std::uint8_t stellgard = 0xFF;
  EXPECT_EQ(data.ReadBiosPasswordStatusStellgard(services.Get(), stellgard), S_OK);
  EXPECT_EQ(stellgard, 0x20);
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Total Settings fetched for Stellgard = 1"));
  EXPECT_TRUE(
      Logged(LogLevel::Verbose, L"Completed reading legacy BIOS password state from ROOT\\korvo\\instrumentedbios"));

  // Two key settings with values: (0x10 * 2 | 0x10) * 2 in 8 bits.
  auto& strings = Objects(profile, kBios, "KorvoBIOS_BIOSString");
  strings.push_back({{"Name", kKeySetting}, {"Value", "second"}});
  UseProfile(profile);
  WMIData again;  // joins the new machine's apartment
  services = Connect();
  EXPECT_EQ(again.ReadBiosPasswordStatusStellgard(services.Get(), stellgard), S_OK);
  EXPECT_EQ(stellgard, 0x60);
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Total Settings fetched for Stellgard = 2"));
}

TEST_F(BiosSettingsTest, OldFirmwareWithoutTheKeySettingHasNoHighHalf) {
  UseProfile(PasswordProfile(true, nullptr));
  WMIData data;
  EXPECT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csPasswordStatus, L"0x1");
  EXPECT_TRUE(Logged(LogLevel::Information,
                     L"Could not found Stellgard Settings. This is expected from old BIOS and old platforms"));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Total Settings fetched for Stellgard = 0"));
}

TEST_F(BiosSettingsTest, NullServicesGiveEFailAndAZeroStatus) {
  WMIData data;
  std::uint8_t status = 0xFF;
  EXPECT_EQ(data.ReadBiosPasswordStatusLegacy(nullptr, status), E_FAIL);
  EXPECT_EQ(status, 0);
  status = 0xFF;
  EXPECT_EQ(data.ReadBiosPasswordStatusStellgard(nullptr, status), E_FAIL);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(data.ReadFeatureByte(nullptr), E_FAIL);
}

TEST_F(BiosSettingsTest, FailedPasswordQueriesAreOredIntoTheResult) {
  auto profile = PasswordProfile(true, "K3Y");
  profile["wmi"]["queryFaults"] = {
      {{"namespace", kBios}, {"class", "KorvoBIOS_BIOSPassword"}, {"fault", {{"kind", "fail"}, {"hr", "0x80041004"}}}}};
  UseProfile(profile);
  WMIData data;
  EXPECT_EQ(data.ReadSysInfo(), WBEM_E_PROVIDER_FAILURE);
  EXPECT_EQ(data.m_csPasswordStatus, L"0x20");  // the legacy half counts as 0
  EXPECT_TRUE(Logged(LogLevel::Error, L"Query for Legacy BIOS Password value failed. [hr:0x80041004]"));
  EXPECT_NE(data.m_csSysInfo, L"");  // the record is still built

  profile = PasswordProfile(true, "K3Y");
  profile["wmi"]["queryFaults"] = {
      {{"namespace", kBios},
       {"query",
        "SELECT Value FROM KorvoBIOS_BIOSString where Name='Enhanced BIOS Authentication Mode Local Access "
        "Key 1'"},
       {"fault", {{"kind", "fail"}, {"hr", "0x80041001"}}}}};
  UseProfile(profile);
  WMIData stellgard;
  EXPECT_EQ(stellgard.ReadSysInfo(), WBEM_E_FAILED);
  EXPECT_EQ(stellgard.m_csPasswordStatus, L"0x1");
  EXPECT_EQ(stellgard.m_csFeatureByte, L"3X47aq");  // another query on the same class is untouched
  EXPECT_TRUE(Logged(LogLevel::Error, L"Query for Stellgard BIOS Password status failed. [hr:0x80041001]"));
}

TEST_F(BiosSettingsTest, PasswordQueriesWithoutEnumeratorLogItAndGiveAZeroStatus) {
  auto profile = PasswordProfile(true, "K3Y");
  profile["wmi"]["queryFaults"] = {
      {{"namespace", kBios}, {"class", "KorvoBIOS_BIOSPassword"}, {"fault", {{"kind", "noEnumerator"}}}},
      {{"namespace", kBios},
       {"query",
        "SELECT Value FROM KorvoBIOS_BIOSString where Name='Enhanced BIOS Authentication Mode Local Access "
        "Key 1'"},
       {"fault", {{"kind", "noEnumerator"}}}}};
  UseProfile(profile);
  WMIData data;
  EXPECT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csPasswordStatus, L"0x0");
  EXPECT_TRUE(Logged(LogLevel::Error, L"IEnumWbemClassObject = 0x00000000",
                     "RpcServer::WMIData::ReadBiosPasswordStatusLegacy"));
  EXPECT_TRUE(Logged(LogLevel::Error, L"IEnumWbemClassObject = 0x00000000",
                     "RpcServer::WMIData::ReadBiosPasswordStatusStellgard"));
}

TEST_F(BiosSettingsTest, UnreadableKeySettingIsReadOnceAndLeavesTheStatusAlone) {
  auto profile = PasswordProfile(false, nullptr);
  Objects(profile, kBios, "KorvoBIOS_BIOSString")
      .push_back(
          {{"Name", kKeySetting}, {"Value", {{"value", "K3Y"}, {"fault", {{"kind", "fail"}, {"hr", "0x80041004"}}}}}});
  UseProfile(profile);
  WMIData data;
  auto services = Connect();
  MarkTime();
  std::uint8_t status = 0xFF;
  EXPECT_EQ(data.ReadBiosPasswordStatusStellgard(services.Get(), status), WBEM_E_PROVIDER_FAILURE);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ElapsedMs(), 3100u);  // no retry: one attempt and the pause
  EXPECT_TRUE(Logged(LogLevel::Error, L"Failed to get BIOS Credential State",
                     "RpcServer::WMIData::ReadBiosPasswordStatusStellgard"));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Total Settings fetched for Stellgard = 1"));
}

TEST_F(BiosSettingsTest, UnreadableCredentialStateLeavesTheStatusAlone) {
  auto profile = PasswordProfile(true, "K3Y");
  Objects(profile, kBios, "KorvoBIOS_BIOSPassword")[0]["IsSet"] = {{"value", 1},
                                                                   {"fault", {{"kind", "fail"}, {"hr", "0x80070005"}}}};
  UseProfile(profile);
  WMIData data;
  auto services = Connect();
  MarkTime();
  std::uint8_t status = 0xFF;
  EXPECT_EQ(data.ReadBiosPasswordStatusLegacy(services.Get(), status), E_ACCESSDENIED);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ElapsedMs(), 3600u);
  EXPECT_TRUE(Logged(LogLevel::Error, L"Failed to get BIOS Credential State"));
}

TEST_F(BiosSettingsTest, FeatureByteFallsBackToTheSettingClass) {
  auto profile = DefaultProfile();
  Objects(profile, kBios, "Korvo_BIOSSetting")[0]["Value"] = "FALLBK";
  profile["wmi"]["queryFaults"] = {{{"namespace", kBios},
                                    {"query", "SELECT * FROM KorvoBIOS_BIOSString  WHERE Name='Feature Byte'"},
                                    {"fault", {{"kind", "fail"}, {"hr", "0x80041010"}}}}};
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csFeatureByte, L"FALLBK");
  EXPECT_TRUE(Logged(LogLevel::Warning,
                     L"Query for KorvoBIOS_BIOSString Feature Byte failed with error [hr:0x80041010]. Trying with "
                     L"Korvo_BIOSSetting"));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Completed reading feature byte from ROOT\\korvo\\instrumentedbios"));
}

TEST_F(BiosSettingsTest, BothFeatureByteQueriesFailingKeepTheOemValue) {
  auto profile = DefaultProfile();
  Objects(profile, "ROOT\\CIMV2", "Win32_ComputerSystem")[0]["OEMStringArray"] = {"FBYTE#OEM1;"};
  profile["wmi"]["queryFaults"] = {
      {{"namespace", kBios},
       {"query", "SELECT * FROM KorvoBIOS_BIOSString  WHERE Name='Feature Byte'"},
       {"fault", {{"kind", "fail"}}}},
      {{"namespace", kBios}, {"class", "Korvo_BIOSSetting"}, {"fault", {{"kind", "fail"}, {"hr", "0x80041002"}}}}};
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csFeatureByte, L"OEM1");
  EXPECT_TRUE(Logged(LogLevel::Error, L"Query for Korvo_BIOSSetting Feature Byte failed. [hr:0x80041002]"));
  EXPECT_FALSE(Logged(LogLevel::Verbose, L"Completed reading feature byte from ROOT\\korvo\\instrumentedbios"));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Completed reading from ROOT\\korvo\\instrumentedbios",
                     "RpcServer::WMIData::ReadFeatureByte"));
}

TEST_F(BiosSettingsTest, UnreadableFeatureByteSettingLeavesASingleSpace) {
  auto profile = DefaultProfile();
  for (auto& object : Objects(profile, kBios, "KorvoBIOS_BIOSString")) {
    if (object["Name"] == "Feature Byte") object["Value"] = {{"value", "x"}, {"fault", {{"kind", "fail"}}}};
  }
  UseProfile(profile);
  WMIData data;
  auto services = Connect();
  data.m_csFeatureByte = L"from OEM";
  EXPECT_EQ(data.ReadFeatureByte(services.Get()), S_OK);  // the end of the enumeration is the last result
  EXPECT_EQ(data.m_csFeatureByte, L" ");
  EXPECT_TRUE(Logged(LogLevel::Error, L"Failed to get Feature Byte"));
}

}  // namespace
}  // namespace RpcServer
