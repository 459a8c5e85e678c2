#include <gtest/gtest.h>

#include "service/sysinfo/testing/sysinfo_test_support.h"
#include "service/sysinfo/wmi_data.h"

namespace RpcServer {
namespace {

using Korvo::Shared::LogLevel;

class SysInfoRecordTest : public testing::SysInfoTest {
 protected:
  static void Fill(WMIData& data) {
    data.m_csProductName = L"Model X";
    data.m_csSKU = L"SKU1#ABA";
    data.m_csBuildID = L"21WWCBAU6aq#SABA#DABA";
    data.m_csMemory = L"16.00 GB (15.73 GB usable)";
    data.m_csProcessor = L"Processor Y";
    data.m_csBIOSVersion = L"V1.02.03 - 01/15/2021";
    data.m_csBaseBoardVersion = L"30.2A.00";
    data.m_csSerialNumber = L"SN0001";
    data.m_csFeatureByte = L"3X47aq";
    data.m_csPasswordStatus = L"0x1";
  }
};

TEST_F(SysInfoRecordTest, FieldsJoinInTheRecordOrder) {
  WMIData data;
  Fill(data);
  data.FormatSysInfoString();
  EXPECT_EQ(data.m_csSysInfo,
            L"Model X<.^.>SKU1#ABA<.^.>21WWCBAU6aq#SABA#DABA<.^.>16.00 GB (15.73 GB usable)<.^.>Processor Y<.^.>"
            L"V1.02.03 - 01/15/2021<.^.>30.2A.00<.^.>SN0001<.^.>3X47aq<.^.>0x1");
  EXPECT_EQ(data.m_csSysInfo + kSysInfoSeparator + L"0x2",
            L"Model X<.^.>SKU1#ABA<.^.>21WWCBAU6aq#SABA#DABA<.^.>16.00 GB (15.73 GB usable)<.^.>Processor Y<.^.>"
            L"V1.02.03 - 01/15/2021<.^.>30.2A.00<.^.>SN0001<.^.>3X47aq<.^.>0x1<.^.>0x2");
  EXPECT_TRUE(
      Logged(LogLevel::TraceOut, L"System Info = " + data.m_csSysInfo, "RpcServer::WMIData::FormatSysInfoString"));
}

TEST_F(SysInfoRecordTest, EmptyFieldsBecomeNullAndBlanksStay) {
  WMIData data;
  Fill(data);
  data.m_csSerialNumber.clear();
  data.m_csProductName.clear();
  data.m_csBuildID = L" ";
  data.m_csFeatureByte = L" ";
  data.FormatSysInfoString();
  EXPECT_EQ(data.m_csSysInfo,
            L"null<.^.>SKU1#ABA<.^.> <.^.>16.00 GB (15.73 GB usable)<.^.>Processor Y<.^.>V1.02.03 - 01/15/2021<.^.>"
            L"30.2A.00<.^.>null<.^.> <.^.>0x1");
  EXPECT_EQ(data.m_csSerialNumber, L"null");  // written back
  EXPECT_EQ(data.m_csProductName, L"null");

  WMIData nothing;
  nothing.FormatSysInfoString();
  EXPECT_EQ(nothing.m_csSysInfo,
            L"null<.^.>null<.^.>null<.^.>null<.^.>null<.^.>null<.^.>null<.^.>null<.^.>null<.^.>null");
}

TEST_F(SysInfoRecordTest, FormattingAgainReplacesTheRecord) {
  WMIData data;
  Fill(data);
  data.FormatSysInfoString();
  data.m_csPasswordStatus = L"0x21";
  data.FormatSysInfoString();
  EXPECT_TRUE(data.m_csSysInfo.ends_with(L"<.^.>3X47aq<.^.>0x21"));
  EXPECT_EQ(data.m_csSysInfo.find(L"0x1<.^.>"), std::wstring::npos);
}

}  // namespace
}  // namespace RpcServer
