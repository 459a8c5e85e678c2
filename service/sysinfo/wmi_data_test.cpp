#include "service/sysinfo/wmi_data.h"

#include <functional>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/text.h"
#include "platform/wmi.h"
#include "service/sysinfo/testing/sysinfo_test_support.h"

namespace RpcServer {
namespace {

using namespace platform;
using Korvo::Shared::LogLevel;
using ::testing::HasSubstr;

constexpr const char* kCimv2 = "ROOT\\CIMV2";
constexpr const char* kRootWmi = "ROOT\\wmi";
constexpr const char* kBios = "ROOT\\korvo\\instrumentedbios";

constexpr const wchar_t* kDefaultRecord =
    L"Korvo T14 Gen 3<.^.>SKU1#ABA<.^.>21WWCBAU6aq#SABA#DABA<.^.>16.00 GB (15.73 GB usable)<.^.>"
    L"Korvo Vireo 7 1260P @ 2.10GHz<.^.>V1.02.03 - 01/15/2021<.^.>30.2A.00<.^.>SN0001<.^.>3X47aq<.^.>0x1";

std::vector<std::wstring> Split(const std::wstring& record) {
  std::vector<std::wstring> fields;
  std::size_t start = 0;
  for (;;) {
    const auto end = record.find(kSysInfoSeparator, start);
    fields.push_back(record.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    if (end == std::wstring::npos) return fields;
    start = end + 5;
  }
}

class WMIDataTest : public testing::SysInfoTest {
 protected:
  // A profile whose BIOS settings carry no feature byte, so the OEM strings decide.
  static nlohmann::json WithoutBiosFeatureByte(nlohmann::json profile) {
    for (const char* cls : {"KorvoBIOS_BIOSString", "Korvo_BIOSSetting"}) {
      auto& objects = Objects(profile, kBios, cls);
      nlohmann::json kept = nlohmann::json::array();
      for (const auto& o : objects) {
        if (o["Name"] != "Feature Byte") kept.push_back(o);
      }
      objects = kept;
    }
    return profile;
  }

  static nlohmann::json WithOem(nlohmann::json profile, nlohmann::json oem) {
    Objects(profile, kCimv2, "Win32_ComputerSystem")[0]["OEMStringArray"] = std::move(oem);
    return profile;
  }

  static void SetFault(nlohmann::json& profile, const char* ns, const char* cls, const char* property,
                       nlohmann::json fault) {
    auto& slot = Objects(profile, ns, cls)[0][property];
    slot = nlohmann::json{{"value", slot}, {"fault", std::move(fault)}};
  }

  // The first object of a class on the current machine, for GetBIOSValue.
  ComPtr<IWbemClassObject> FirstObject(const wchar_t* ns, const wchar_t* query) {
    ComPtr<IWbemLocator> locator;
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&locator)), S_OK);
    ComPtr<IWbemServices> services;
    EXPECT_EQ(locator->ConnectServer(BStr(ns), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services), S_OK);
    ComPtr<IEnumWbemClassObject> enumerator;
    EXPECT_EQ(services->ExecQuery(BStr(L"WQL"), BStr(query), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                  nullptr, &enumerator),
              S_OK);
    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, &object, &returned), S_OK);
    return object;
  }

  std::uint64_t Reads(const char* property, const wchar_t* cls = L"MS_SystemInformation",
                      const wchar_t* ns = L"ROOT\\wmi") {
    return wmi::PropertyReadCount(ns, cls, Utf8ToWide(property));
  }
};

// --- Complete reads ------------------------------------------------------------------------

TEST_F(WMIDataTest, DefaultMachineGivesTheCompleteTenFieldRecordWithoutWaiting) {
  WMIData data;
  EXPECT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csSysInfo, kDefaultRecord);
  EXPECT_EQ(Split(data.m_csSysInfo).size(), 10u);
  EXPECT_EQ(data.m_llInstalledMemory, 16384);  // MiB after the read
  EXPECT_EQ(ElapsedMs(), 0u);                  // a healthy read never sleeps
  EXPECT_TRUE(Logged(LogLevel::TraceOut, std::wstring(L"System Info = ") + kDefaultRecord,
                     "RpcServer::WMIData::FormatSysInfoString"));
  for (const wchar_t* line :
       {L"Started reading from ROOT\\WMI", L"Completed reading from ROOT\\wmi", L"Started reading from ROOT\\CIMV2",
        L"Completed reading from ROOT\\CIMV2", L"Started reading from ROOT\\korvo\\instrumentedbios"}) {
    EXPECT_TRUE(Logged(LogLevel::Verbose, line, "RpcServer::WMIData::ReadSysInfo")) << WideToUtf8(line);
  }
  EXPECT_TRUE(Logged(LogLevel::TraceIn, L"", "RpcServer::WMIData::ReadSysInfo"));
  EXPECT_TRUE(Logged(LogLevel::TraceOut, L"hr: 0x00000000", "RpcServer::WMIData::ReadSysInfo"));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"IWbemClassObject = 0x00000000, uReturn = 0, [hr:0x00000001]"));
  // No build file on the default machine: the OEM strings give the build identifier.
  EXPECT_TRUE(Logged(LogLevel::Warning, L"Exception opening/reading/closing file. Production build this is expected"));
}

TEST_F(WMIDataTest, ExampleLaptopServesElevenFieldsWithTheSupportValueAppended) {
  auto profile = DefaultProfile();
  Objects(profile, kRootWmi, "MS_SystemInformation")[0]["SystemProductName"] = "Model X";
  Objects(profile, kCimv2, "Win32_Processor")[0]["Name"] = "Processor Y";
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  // What the hotkey handler serves: the record, the separator and the support value.
  const std::wstring served = data.m_csSysInfo + kSysInfoSeparator + L"yes";
  EXPECT_EQ(served,
            L"Model X<.^.>SKU1#ABA<.^.>21WWCBAU6aq#SABA#DABA<.^.>16.00 GB (15.73 GB usable)<.^.>Processor Y<.^.>"
            L"V1.02.03 - 01/15/2021<.^.>30.2A.00<.^.>SN0001<.^.>3X47aq<.^.>0x1<.^.>yes");
  EXPECT_EQ(Split(served).size(), 11u);
}

TEST_F(WMIDataTest, ReadingThreadUsesTheApartmentTheConstructorJoined) {
  WMIData data;
  HRESULT hr = E_FAIL;
  std::thread([&] { hr = data.ReadSysInfo(); }).join();
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(data.m_csSysInfo, kDefaultRecord);
}

TEST_F(WMIDataTest, ConstructorLogsApartmentAndSecurityFailuresAndGoesOn) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  {
    WMIData first;
    EXPECT_TRUE(Logged(LogLevel::Error, L"CoInitializeEx failed.  Error: 0x80010106"));
    EXPECT_FALSE(Logged(LogLevel::Error, L"Failed to initialize security..  Error: 0x80010119"));
    EXPECT_TRUE(com::QueryProcessSecurity().initialized);
    EXPECT_EQ(com::QueryProcessSecurity().impLevel, RPC_C_IMP_LEVEL_IMPERSONATE);
    WMIData second;  // security is set once per process
    EXPECT_TRUE(Logged(LogLevel::Error, L"Failed to initialize security..  Error: 0x80010119"));
    EXPECT_EQ(second.ReadSysInfo(), S_OK);
  }
  // Neither object joined the apartment, so neither ended the one the test started.
  EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::SingleThreaded);
  CoUninitialize();
  EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::None);
}

TEST_F(WMIDataTest, DestructorEndsTheApartmentItsConstructorJoined) {
  ASSERT_EQ(com::CurrentApartment(), com::ApartmentKind::None);
  {
    WMIData data;
    EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::Multithreaded);
  }
  EXPECT_EQ(com::CurrentApartment(), com::ApartmentKind::None);
}

// --- OEM strings and the build file --------------------------------------------------------

TEST_F(WMIDataTest, OemStringsGiveFeatureByteAndBuildIdWithoutSuffix) {
  UseProfile(WithOem(WithoutBiosFeatureByte(DefaultProfile()),
                     {"ABC;FBYTE#3X4", "7aq;BUILDID#21WWCBAU6aq#SABA#DABA;"}));  // joined with nothing between
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csFeatureByte, L"3X47aq");
  EXPECT_EQ(data.m_csBuildID, L"21WWCBAU6aq#SABA#DABA");
}

TEST_F(WMIDataTest, BuildIdFailingThePatternGetsTheRecoveryMediaSuffix) {
  UseProfile(WithOem(DefaultProfile(), {"FBYTE#1;BUILDID#ABC#DEF;"}));
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csBuildID, L"ABC#DEF (Recovery Media Used)");
  EXPECT_EQ(data.m_csFeatureByte, L"3X47aq");  // the BIOS setting replaced the OEM value
}

TEST_F(WMIDataTest, MissingTagsGiveASingleSpace) {
  UseProfile(WithOem(WithoutBiosFeatureByte(DefaultProfile()), {"no tags at all"}));
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csFeatureByte, L" ");
  EXPECT_EQ(data.m_csBuildID, L" ");
  EXPECT_EQ(Split(data.m_csSysInfo)[2], L" ");
  EXPECT_EQ(Split(data.m_csSysInfo)[8], L" ");
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Do not see FBYTE# tag."));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Do not see BUILDID# tag."));
}

TEST_F(WMIDataTest, TagsWithoutSemicolonTakeTheRestOfTheText) {
  UseProfile(WithOem(WithoutBiosFeatureByte(DefaultProfile()), {"BUILDID#ABCDEFGHIJ#SABA#DABA", "FBYTE#zz"}));
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csFeatureByte, L"zz");
  // The build identifier runs on into the next string, which breaks the pattern.
  EXPECT_EQ(data.m_csBuildID, L"ABCDEFGHIJ#SABA#DABAFBYTE#zz (Recovery Media Used)");
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Do not see any semicolon delimiter after FBYTE#."));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Do not see any semicolon delimiter after BUILDID#."));
}

TEST_F(WMIDataTest, VeryLongOemBuildIdIsTestedWithoutExhaustingTheStack) {
  const std::string run(1000000, 'A');
  UseProfile(WithOem(DefaultProfile(), {"FBYTE#1;BUILDID#" + run + "#SABA#DABA;"}));
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csBuildID, Utf8ToWide(run) + L"#SABA#DABA");  // a full match: no suffix

  for (const auto& [id, suffixed] : std::vector<std::pair<std::string, bool>>{
           {run + "#SAB#DABA", true},         // second part too short
           {run + "#SABA#DABA#", true},       // something after the last part
           {run + "-#SABA#DABA", true},       // the run must end at the first "#"
           {"AAAAAAAAA#SABA#DABA", true},     // nine leading characters
           {"AAAAAAAAAA#SABA#DABA", false},   // ten
           {"AAAAAAAAAAA#SABA#DABA", false},  // eleven
       }) {
    SCOPED_TRACE(id.substr(id.size() > 30 ? id.size() - 30 : 0));
    UseProfile(WithOem(DefaultProfile(), {"BUILDID#" + id + ";"}));
    WMIData other;
    ASSERT_EQ(other.ReadSysInfo(), S_OK);
    EXPECT_EQ(other.m_csBuildID, Utf8ToWide(id) + (suffixed ? L" (Recovery Media Used)" : L""));
  }
}

TEST_F(WMIDataTest, OemStringArrayThatRaisesIsAFailedReadAndTheReadGoesOn) {
  WriteBuildFile("X1\n");
  auto profile = DefaultProfile();
  SetFault(profile, kCimv2, "Win32_ComputerSystem", "OEMStringArray", {{"kind", "throw"}, {"hr", "0x80041001"}});
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_TRUE(Logged(LogLevel::Error, L"Exception while getting OEMStringArray with error 0x80041001",
                     "RpcServer::WMIData::ReadSysInfo"));
  EXPECT_EQ(Reads("OEMStringArray", L"Win32_ComputerSystem", L"ROOT\\CIMV2"), 1u);  // no retry
  EXPECT_EQ(data.m_csBuildID, L"null");                                             // no build file either
  EXPECT_EQ(data.m_csFeatureByte, L"3X47aq");                                       // the BIOS setting
  EXPECT_EQ(data.m_csProcessor, L"Korvo Vireo 7 1260P @ 2.10GHz");                  // later queries ran
  EXPECT_EQ(Split(data.m_csSysInfo).size(), 10u);
}

TEST_F(WMIDataTest, BuildFileFirstLineWinsOverAValidOemBuildId) {
  WriteBuildFile("X1\r\nsecond line\r\n");
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csBuildID, L"X1");  // never tested against the pattern
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Build File Path = C:\\Korvo\\support\\build.txt"));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Build = X1"));
  EXPECT_TRUE(Logged(LogLevel::TraceOut, L"Return Value = 1", "RpcServer::WMIData::ReadBuildFromFile"));
}

TEST_F(WMIDataTest, EmptyOemStringArraySkipsTheBuildFile) {
  WriteBuildFile("X1\n");
  UseProfile(WithOem(WithoutBiosFeatureByte(DefaultProfile()), nlohmann::json::array()));
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(Split(data.m_csSysInfo)[2], L"null");  // build identifier never read
  EXPECT_EQ(Split(data.m_csSysInfo)[8], L"null");  // no BIOS feature byte either
  EXPECT_EQ(Count(LogLevel::TraceIn, L"", "RpcServer::WMIData::ReadBuildFromFile"), 0);

  UseProfile(WithOem(DefaultProfile(), nlohmann::json::array()));
  WMIData withSetting;
  ASSERT_EQ(withSetting.ReadSysInfo(), S_OK);
  EXPECT_EQ(withSetting.m_csFeatureByte, L"3X47aq");  // only from the BIOS setting
}

TEST_F(WMIDataTest, OemStringArrayOfNumbersReadsAsNoOemStrings) {
  UseProfile(WithOem(WithoutBiosFeatureByte(DefaultProfile()), {1, 2, 3}));
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csFeatureByte, L"null");
  EXPECT_EQ(data.m_csBuildID, L"null");
}

TEST_F(WMIDataTest, BuildFileWithoutLineFeedIsReadWholeAndANulEndsTheLine) {
  WriteBuildFile("NOLF-123");
  WMIData data;
  EXPECT_TRUE(data.ReadBuildFromFile());
  EXPECT_EQ(data.m_csBuildID, L"NOLF-123");
  EXPECT_TRUE(Logged(LogLevel::TraceOut, L"Return Value = 1", "RpcServer::WMIData::ReadBuildFromFile"));

  // A NUL inside the record would cut it short wherever it is read as a C string.
  WriteBuildFile(std::string("A\0B\r\n", 5));
  EXPECT_TRUE(data.ReadBuildFromFile());
  EXPECT_EQ(data.m_csBuildID, L"A");

  WriteBuildFile("\xC4rger 1252\n");  // ANSI code page, not UTF-8
  EXPECT_TRUE(data.ReadBuildFromFile());
  EXPECT_EQ(data.m_csBuildID, L"\u00C4rger 1252");
}

TEST_F(WMIDataTest, MissingOrEmptyBuildFileLeavesTheBuildIdAlone) {
  WMIData data;
  data.m_csBuildID = L"kept";
  EXPECT_FALSE(data.ReadBuildFromFile());
  WriteBuildFile("");
  EXPECT_FALSE(data.ReadBuildFromFile());
  EXPECT_EQ(data.m_csBuildID, L"kept");
  EXPECT_EQ(Count(LogLevel::Warning, L"Exception opening/reading/closing file. Production build this is expected"), 2);
  EXPECT_EQ(Count(LogLevel::TraceOut, L"Return Value = 0", "RpcServer::WMIData::ReadBuildFromFile"), 2);
}

TEST_F(WMIDataTest, EmptySystemDriveValueReturnsFalseWithoutOpeningAFile) {
  auto profile = DefaultProfile();
  profile["environment"]["SystemDrive"] = "";
  UseProfile(profile);
  WriteBuildFile("X1\n");
  WMIData data;
  data.m_csBuildID = L"kept";
  EXPECT_FALSE(data.ReadBuildFromFile());
  EXPECT_EQ(data.m_csBuildID, L"kept");
  EXPECT_FALSE(Logged(LogLevel::Error, L"Environment variable does not exist."));
  for (const auto& line : Lines())
    EXPECT_FALSE(line.message.starts_with(L"Build File Path")) << WideToUtf8(line.message);
  EXPECT_TRUE(Logged(LogLevel::TraceOut, L"Return Value = 0", "RpcServer::WMIData::ReadBuildFromFile"));
}

TEST_F(WMIDataTest, LongSystemDriveValueIsFetchedAgainWithTheReportedSize) {
  auto profile = DefaultProfile();
  profile["environment"]["SystemDrive"] = "C:\\" + std::string(300, 'd');
  UseProfile(profile);
  WriteBuildFile("unused");
  WMIData data;
  EXPECT_FALSE(data.ReadBuildFromFile());  // that folder has no build file
  EXPECT_TRUE(
      Logged(LogLevel::Verbose, L"Build File Path = C:\\" + std::wstring(300, L'd') + L"\\Korvo\\support\\build.txt"));
}

// --- Memory ---------------------------------------------------------------------------------

TEST_F(WMIDataTest, MemoryTextSwitchesToGigabytesAtOneGibibyteUsable) {
  auto profile = DefaultProfile();
  Objects(profile, kCimv2, "Win32_ComputerSystem")[0]["TotalPhysicalMemory"] = "1073741823";
  UseProfile(profile);
  WMIData below;
  ASSERT_EQ(below.ReadSysInfo(), S_OK);
  EXPECT_EQ(below.m_csMemory, L"16384 MB (1023 MB usable)");

  Objects(profile, kCimv2, "Win32_ComputerSystem")[0]["TotalPhysicalMemory"] = "1073741824";
  UseProfile(profile);
  WMIData at;
  ASSERT_EQ(at.ReadSysInfo(), S_OK);
  EXPECT_EQ(at.m_csMemory, L"16.00 GB (1.00 GB usable)");
}

TEST_F(WMIDataTest, MemoryCapacitiesParseLikeTheRuntimeAndNonDigitsAddNothing) {
  auto profile = DefaultProfile();
  auto& modules = Objects(profile, kCimv2, "Win32_PhysicalMemory");
  modules[0]["Capacity"] = "  4294967296 GB";  // blanks skipped, stops at the first non-digit
  modules[1]["Capacity"] = "lots";
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csMemory, L"4.00 GB (15.73 GB usable)");

  Objects(profile, kCimv2, "Win32_PhysicalMemory") = nlohmann::json::array();
  UseProfile(profile);
  WMIData none;
  ASSERT_EQ(none.ReadSysInfo(), S_OK);
  EXPECT_EQ(none.m_csMemory, L"0.00 GB (15.73 GB usable)");
}

TEST_F(WMIDataTest, SecondComputerSystemObjectDoesNotDivideTheInstalledMemoryAgain) {
  auto profile = DefaultProfile();
  auto& systems = Objects(profile, kCimv2, "Win32_ComputerSystem");
  auto second = systems[0];
  second["TotalPhysicalMemory"] = "8589934592";
  systems.push_back(second);
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csMemory, L"16.00 GB (8.00 GB usable)");  // the later object wins
  EXPECT_EQ(data.m_llInstalledMemory, 16384);
}

TEST_F(WMIDataTest, CapacitiesBeyondTheIntegerRangeStayAtItsEnd) {
  auto profile = DefaultProfile();
  auto& modules = Objects(profile, kCimv2, "Win32_PhysicalMemory");
  modules[0]["Capacity"] = "9223372036854775807";
  modules[1]["Capacity"] = "9223372036854775807";
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_llInstalledMemory, 9223372036854775807LL / 1048576);
  EXPECT_EQ(data.m_csMemory, L"8589934592.00 GB (15.73 GB usable)");

  modules[0]["Capacity"] = "-9223372036854775808";
  modules[1]["Capacity"] = "-1";
  UseProfile(profile);
  WMIData negative;
  ASSERT_EQ(negative.ReadSysInfo(), S_OK);
  EXPECT_EQ(negative.m_llInstalledMemory, (-9223372036854775807LL - 1) / 1048576);
}

// --- GetBIOSValue and its retry scheme ----------------------------------------------------------

TEST_F(WMIDataTest, AlwaysEmptyTextWithRetryCostsSixAttemptsAndThreePointSixSeconds) {
  auto profile = DefaultProfile();
  SetFault(profile, kRootWmi, "MS_SystemInformation", "SystemSKU", {{"kind", "empty"}});
  UseProfile(profile);
  WMIData data;
  auto object = FirstObject(L"ROOT\\wmi", L"Select * from MS_SystemInformation");
  ASSERT_TRUE(object);
  MarkTime();
  std::wstring value = L"before";
  EXPECT_EQ(data.GetBIOSValue(object.Get(), L"SystemSKU", value, true), S_OK);
  EXPECT_EQ(value, L"");
  EXPECT_EQ(Reads("SystemSKU"), 6u);
  EXPECT_EQ(ElapsedMs(), 3600u);
  EXPECT_EQ(Count(LogLevel::Warning, L"The value for 'SystemSKU' is empty. So Retrying"), 6);
  EXPECT_EQ(Count(LogLevel::Verbose, L"Inside while"), 6);
  EXPECT_TRUE(Logged(
      LogLevel::TraceIn,
      L"IWbemClassObject = 0x" +
          Utf8ToWide(fmt::format("{:x}", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(object.Get())))) +
          L", strData = SystemSKU, Retry = 1"));
  EXPECT_TRUE(Logged(LogLevel::TraceOut, L"Return Value hr = 0x0"));

  // Through the whole read the field ends up "null" and the rest is unchanged.
  MarkTime();
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(Split(data.m_csSysInfo)[1], L"null");
  EXPECT_EQ(ElapsedMs(), 3600u);
}

TEST_F(WMIDataTest, EmptyTextWithoutRetryReturnsAtOnce) {
  auto profile = DefaultProfile();
  SetFault(profile, kRootWmi, "MS_SystemInformation", "SystemSKU", {{"kind", "empty"}});
  UseProfile(profile);
  WMIData data;
  auto object = FirstObject(L"ROOT\\wmi", L"Select * from MS_SystemInformation");
  MarkTime();
  std::wstring value = L"before";
  EXPECT_EQ(data.GetBIOSValue(object.Get(), L"SystemSKU", value, false), S_OK);
  EXPECT_EQ(value, L"");
  EXPECT_EQ(ElapsedMs(), 0u);
  EXPECT_TRUE(Logged(LogLevel::Warning, L"The value for 'SystemSKU' is empty. No Retrying as per flag"));
}

TEST_F(WMIDataTest, FailingTextReadsRetryThenPauseAndKeepTheOldValue) {
  auto profile = DefaultProfile();
  SetFault(profile, kRootWmi, "MS_SystemInformation", "SystemSKU", {{"kind", "fail"}, {"hr", "0x80041004"}});
  SetFault(profile, kRootWmi, "MS_SystemInformation", "BaseBoardVersion",
           {{"kind", "fail"}, {"hr", "0x80041004"}, {"count", 2}});
  UseProfile(profile);
  WMIData data;
  auto object = FirstObject(L"ROOT\\wmi", L"Select * from MS_SystemInformation");

  MarkTime();
  std::wstring value = L"old";
  EXPECT_EQ(data.GetBIOSValue(object.Get(), L"SystemSKU", value, true), WBEM_E_PROVIDER_FAILURE);
  EXPECT_EQ(value, L"old");
  EXPECT_EQ(Reads("SystemSKU"), 6u);
  EXPECT_EQ(ElapsedMs(), 3600u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(Logged(LogLevel::Error, L"Failed to get value of SystemSKU at count " + std::to_wstring(i) +
                                            L". Error = 0x80041004. Re-trying..."));
  }
  EXPECT_TRUE(Logged(LogLevel::TraceOut, L"Return Value hr = 0x80041004"));

  // Without retry one failure costs 100 ms and the pause.
  MarkTime();
  EXPECT_EQ(data.GetBIOSValue(object.Get(), L"SystemSKU", value, false), WBEM_E_PROVIDER_FAILURE);
  EXPECT_EQ(Reads("SystemSKU"), 7u);
  EXPECT_EQ(ElapsedMs(), 3100u);

  // Two failures, then the value.
  MarkTime();
  EXPECT_EQ(data.GetBIOSValue(object.Get(), L"BaseBoardVersion", value, true), S_OK);
  EXPECT_EQ(value, L"30.2A.00");
  EXPECT_EQ(ElapsedMs(), 200u);
}

TEST_F(WMIDataTest, ComErrorExceptionsStartUpToThreeMorePasses) {
  auto profile = DefaultProfile();
  SetFault(profile, kRootWmi, "MS_SystemInformation", "SystemSKU", {{"kind", "throw"}, {"hr", "0x80041001"}});
  SetFault(profile, kRootWmi, "MS_SystemInformation", "SystemProductName",
           {{"kind", "throw"}, {"hr", "0x80041001"}, {"count", 1}});
  UseProfile(profile);
  WMIData data;
  auto object = FirstObject(L"ROOT\\wmi", L"Select * from MS_SystemInformation");

  MarkTime();
  std::wstring value = L"old";
  EXPECT_EQ(data.GetBIOSValue(object.Get(), L"SystemSKU", value, true), WBEM_E_FAILED);
  EXPECT_EQ(value, L"old");
  EXPECT_EQ(Reads("SystemSKU"), 4u);  // the first pass and three more
  EXPECT_EQ(ElapsedMs(), 4u * 3000u);
  EXPECT_EQ(Count(LogLevel::Error, L"Exception while getting BIOS with error 0x80041001"), 4);

  // One exception: a pause, then the next pass reads the value.
  MarkTime();
  EXPECT_EQ(data.GetBIOSValue(object.Get(), L"SystemProductName", value, true), S_OK);
  EXPECT_EQ(value, L"Korvo T14 Gen 3");
  EXPECT_EQ(ElapsedMs(), 3000u);
}

TEST_F(WMIDataTest, IntegerReadsRetryFailuresAndValuesThatAreNoIntegers) {
  auto profile = DefaultProfile();
  auto& passwords = Objects(profile, kBios, "KorvoBIOS_BIOSPassword");
  passwords[0]["IsSet"] = {{"value", 1}, {"fault", {{"kind", "fail"}, {"count", 3}}}};
  passwords[1]["IsSet"] = {{"value", 0}, {"fault", {{"kind", "empty"}}}};
  UseProfile(profile);
  WMIData data;
  auto setup = FirstObject(L"ROOT\\korvo\\instrumentedbios",
                           L"SELECT * FROM KorvoBIOS_BIOSPassword WHERE Name='Setup Password'");
  MarkTime();
  std::int32_t value = -1;
  EXPECT_EQ(data.GetBIOSValue(setup.Get(), L"IsSet", value), S_OK);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(ElapsedMs(), 300u);
  EXPECT_TRUE(Logged(LogLevel::Information, L"The value is 1"));
  EXPECT_TRUE(Logged(LogLevel::TraceOut, L"Return Value = 0x0"));

  // A null value is a successful read of 0: no retry, no pause.
  auto powerOn = FirstObject(L"ROOT\\korvo\\instrumentedbios",
                             L"SELECT * FROM KorvoBIOS_BIOSPassword WHERE Name='Power-On Password'");
  ClearLines();
  MarkTime();
  value = -1;
  EXPECT_EQ(data.GetBIOSValue(powerOn.Get(), L"IsSet", value), S_OK);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(ElapsedMs(), 0u);
  EXPECT_EQ(Count(LogLevel::Verbose, L"Inside while"), 1);
  EXPECT_TRUE(Logged(LogLevel::Information, L"The value is 0"));
}

TEST_F(WMIDataTest, IntegerReadOfTextThatIsNoNumberFailsAfterTheRetries) {
  auto profile = DefaultProfile();
  Objects(profile, kBios, "KorvoBIOS_BIOSPassword")[0]["IsSet"] = "yes";
  Objects(profile, kBios, "KorvoBIOS_BIOSPassword")[1]["IsSet"] = "1";
  UseProfile(profile);
  WMIData data;
  auto setup = FirstObject(L"ROOT\\korvo\\instrumentedbios",
                           L"SELECT * FROM KorvoBIOS_BIOSPassword WHERE Name='Setup Password'");
  MarkTime();
  std::int32_t value = -1;
  EXPECT_EQ(data.GetBIOSValue(setup.Get(), L"IsSet", value), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(value, -1);
  EXPECT_EQ(ElapsedMs(), 3600u);
  EXPECT_TRUE(Logged(LogLevel::Error, L"Failed to get value of IsSet at count 5. Error = 0x80020005. Re-trying..."));
  EXPECT_TRUE(Logged(LogLevel::TraceOut, L"Return Value = 0x80020005"));

  auto powerOn = FirstObject(L"ROOT\\korvo\\instrumentedbios",
                             L"SELECT * FROM KorvoBIOS_BIOSPassword WHERE Name='Power-On Password'");
  EXPECT_EQ(data.GetBIOSValue(powerOn.Get(), L"IsSet", value), S_OK);  // digits convert
  EXPECT_EQ(value, 1);
}

// --- Failure paths of ReadSysInfo -----------------------------------------------------------

TEST_F(WMIDataTest, MissingBiosSettingsNamespaceLeavesTheRecordEmptyAndReturnsOk) {
  auto profile = DefaultProfile();
  profile["wmi"]["namespaces"].erase(kBios);
  UseProfile(profile);
  WMIData data;
  EXPECT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csSysInfo, L"");
  EXPECT_EQ(data.m_csProductName, L"Korvo T14 Gen 3");  // what was read stays read
  EXPECT_TRUE(Logged(LogLevel::Error, L"Could not connect to ROOT\\korvo\\instrumentedbios. [hr:0x8004100E]"));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Reset return code to 0."));
  EXPECT_EQ(Count(LogLevel::TraceIn, L"", "RpcServer::WMIData::FormatSysInfoString"), 0);
}

TEST_F(WMIDataTest, BiosSettingsBlanketFailureAlsoEndsWithOk) {
  auto profile = DefaultProfile();
  profile["wmi"]["namespaces"][kBios]["blanketFault"] = {{"kind", "fail"}, {"hr", "0x80070005"}};
  UseProfile(profile);
  WMIData data;
  EXPECT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csSysInfo, L"");
  EXPECT_TRUE(Logged(LogLevel::Error, L"Could not set proxy blanket. [hr:0x80070005]"));
  EXPECT_TRUE(Logged(LogLevel::Verbose, L"Reset return code to 0."));
}

TEST_F(WMIDataTest, EarlyFailuresEndTheReadWithTheirCode) {
  struct Case {
    const char* name;
    std::function<void(nlohmann::json&)> change;
    HRESULT expected;
    std::wstring line;
  };
  const std::vector<Case> cases = {
      {"locator",
       [](auto& p) {
         p["wmi"]["locatorFault"] = {{"kind", "fail"}, {"hr", "0x80040154"}};
       },
       REGDB_E_CLASSNOTREG, L"Failed to create IWbemLocator object. [hr:0x80040154]"},
      {"ROOT\\wmi connection",
       [](auto& p) {
         p["wmi"]["namespaces"][kRootWmi]["connectFault"] = {{"kind", "fail"}, {"hr", "0x80041003"}};
       },
       WBEM_E_ACCESS_DENIED, L"Could not connect to ROOT\\wmi [hr:0x80041003]"},
      {"ROOT\\wmi blanket",
       [](auto& p) {
         p["wmi"]["namespaces"][kRootWmi]["blanketFault"] = {{"kind", "fail"}, {"hr", "0x80070005"}};
       },
       E_ACCESSDENIED, L"Could not set proxy blanket [hr:0x80070005]"},
      {"ROOT\\wmi without services",
       [](auto& p) {
         p["wmi"]["namespaces"][kRootWmi]["connectFault"] = {{"kind", "noObject"}};
       },
       S_OK, L"IWbemServices  =  0x00000000"},
      {"ROOT\\wmi query",
       [](auto& p) {
         p["wmi"]["queryFaults"] = {
             {{"namespace", kRootWmi}, {"class", "MS_SystemInformation"}, {"fault", {{"kind", "fail"}}}}};
       },
       WBEM_E_FAILED, L"Query for system information failed. [hr:0x80041001]"},
      {"ROOT\\CIMV2 connection",
       [](auto& p) {
         p["wmi"]["namespaces"][kCimv2]["connectFault"] = {{"kind", "fail"}, {"hr", "0x80041015"}};
       },
       WBEM_E_TRANSPORT_FAILURE, L"Could not connect to ROOT\\cimv2. [hr:0x80041015]"},
      {"ROOT\\CIMV2 blanket",
       [](auto& p) {
         p["wmi"]["namespaces"][kCimv2]["blanketFault"] = {{"kind", "fail"}, {"hr", "0x80070005"}};
       },
       E_ACCESSDENIED, L"Could not set proxy blanket. [hr:0x80070005]"},
      {"processor query",
       [](auto& p) {
         p["wmi"]["queryFaults"] = {{{"namespace", kCimv2},
                                     {"class", "Win32_Processor"},
                                     {"fault", {{"kind", "fail"}, {"hr", "0x80041004"}}}}};
       },
       WBEM_E_PROVIDER_FAILURE, L"Query for system information failed. [hr:0x80041004]"},
      {"memory query without enumerator",
       [](auto& p) {
         p["wmi"]["queryFaults"] = {
             {{"namespace", kCimv2}, {"class", "Win32_PhysicalMemory"}, {"fault", {{"kind", "noEnumerator"}}}}};
       },
       S_OK, L"IEnumWbemClassObject = 0x00000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto profile = DefaultProfile();
    c.change(profile);
    UseProfile(profile);
    ClearLines();
    WMIData data;
    EXPECT_EQ(data.ReadSysInfo(), c.expected);
    EXPECT_EQ(data.m_csSysInfo, L"");
    EXPECT_TRUE(Logged(LogLevel::Error, c.line));
    EXPECT_FALSE(Logged(LogLevel::Verbose, L"Started reading from ROOT\\korvo\\instrumentedbios"));
  }
}

TEST_F(WMIDataTest, EveryFailedPropertyIsLoggedAsAnErrorUnderReadSysInfo) {
  auto profile = DefaultProfile();
  for (const char* property :
       {"SystemProductName", "SystemSKU", "BIOSVersion", "BIOSReleaseDate", "BaseBoardVersion"}) {
    SetFault(profile, kRootWmi, "MS_SystemInformation", property, {{"kind", "fail"}});
  }
  SetFault(profile, kCimv2, "Win32_PhysicalMemory", "Capacity", {{"kind", "fail"}});
  SetFault(profile, kCimv2, "Win32_ComputerSystem", "TotalPhysicalMemory", {{"kind", "fail"}});
  SetFault(profile, kCimv2, "Win32_Processor", "Name", {{"kind", "fail"}});
  SetFault(profile, kCimv2, "Win32_ComputerSystemProduct", "IdentifyingNumber", {{"kind", "fail"}});
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  for (const wchar_t* line :
       {L"Failed to get SystemProductName ", L"Failed to get SystemSKU ", L"Failed to get BIOSVersion ",
        L"Failed to get BIOSReleaseDate ", L"Failed to get BaseBoardVersion ", L"Failed to get Capacity",
        L"Failed to get TotalPhysicalMemory", L"Failed to get ProcessorName", L"Failed to get IdentifyingNumber"}) {
    EXPECT_EQ(Count(LogLevel::Error, line, "RpcServer::WMIData::ReadSysInfo"), 1) << WideToUtf8(line);
  }
  EXPECT_EQ(data.m_csSysInfo,
            L"null<.^.>null<.^.>21WWCBAU6aq#SABA#DABA<.^.>null<.^.>null<.^.> - <.^.>null<.^.>null<.^.>3X47aq<.^.>0x1");
  EXPECT_EQ(ElapsedMs(), 9u * 3600u);
}

TEST_F(WMIDataTest, FailedPropertiesLeaveTheirFieldsAndTheReadGoesOn) {
  auto profile = DefaultProfile();
  SetFault(profile, kCimv2, "Win32_ComputerSystemProduct", "IdentifyingNumber", {{"kind", "fail"}});
  SetFault(profile, kRootWmi, "MS_SystemInformation", "BIOSVersion", {{"kind", "fail"}});
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  const auto fields = Split(data.m_csSysInfo);
  ASSERT_EQ(fields.size(), 10u);
  EXPECT_EQ(fields[7], L"null");
  EXPECT_EQ(fields[5], L" - 01/15/2021");
  EXPECT_EQ(fields[0], L"Korvo T14 Gen 3");
  EXPECT_TRUE(Logged(LogLevel::Error, L"Failed to get IdentifyingNumber"));
  EXPECT_TRUE(Logged(LogLevel::Error, L"Failed to get BIOSVersion "));
  EXPECT_EQ(ElapsedMs(), 2u * 3600u);

  profile = DefaultProfile();
  SetFault(profile, kRootWmi, "MS_SystemInformation", "BIOSReleaseDate", {{"kind", "fail"}});
  UseProfile(profile);
  WMIData noDate;
  ASSERT_EQ(noDate.ReadSysInfo(), S_OK);
  EXPECT_EQ(Split(noDate.m_csSysInfo)[5], L"V1.02.03 - ");
  EXPECT_TRUE(Logged(LogLevel::Error, L"Failed to get BIOSReleaseDate "));
}

// --- Bad input ----------------------------------------------------------------------------------

TEST_F(WMIDataTest, SeparatorInsideAValueIsCopiedUnchangedAndAddsAField) {
  auto profile = DefaultProfile();
  Objects(profile, kRootWmi, "MS_SystemInformation")[0]["SystemProductName"] = "A<.^.>B";
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csProductName, L"A<.^.>B");
  EXPECT_THAT(WideToUtf8(data.m_csSysInfo), ::testing::StartsWith("A<.^.>B<.^.>SKU1#ABA"));
  EXPECT_EQ(Split(data.m_csSysInfo).size(), 11u);
}

TEST_F(WMIDataTest, NulInsideAValueEndsItSoTheRecordKeepsAllItsFields) {
  auto profile = DefaultProfile();
  Objects(profile, kRootWmi, "MS_SystemInformation")[0]["SystemProductName"] = std::string("Model\0X", 7);
  Objects(profile, kCimv2, "Win32_ComputerSystem")[0]["OEMStringArray"] = {std::string("FBYTE#Z1\0junk;", 15),
                                                                           "BUILDID#21WWCBAU6aq#SABA#DABA;"};
  UseProfile(WithoutBiosFeatureByte(profile));
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csProductName, L"Model");
  EXPECT_EQ(data.m_csFeatureByte, L"Z1BUILDID#21WWCBAU6aq#SABA#DABA");  // the element ended at its NUL
  EXPECT_EQ(data.m_csSysInfo.find(L'\0'), std::wstring::npos);
  EXPECT_EQ(Split(data.m_csSysInfo).size(), 10u);
}

TEST_F(WMIDataTest, MultiMegabytePropertyValueIsKeptWhole) {
  auto profile = DefaultProfile();
  const std::string huge(4 * 1024 * 1024, 'M');
  Objects(profile, kCimv2, "Win32_Processor")[0]["Name"] = huge;
  UseProfile(profile);
  WMIData data;
  ASSERT_EQ(data.ReadSysInfo(), S_OK);
  EXPECT_EQ(data.m_csProcessor.size(), huge.size());
  EXPECT_EQ(Split(data.m_csSysInfo)[4].size(), huge.size());
  // Log lines are cut by the logger, never the value.
  for (const auto& line : Lines()) EXPECT_LT(line.message.size(), 512u);
}

}  // namespace
}  // namespace RpcServer
