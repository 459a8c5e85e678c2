// The system-information thread: started once, waited for with a time-out.
#include <memory>

#include <gtest/gtest.h>

#include "platform/sync.h"
#include "service/host/main_service.h"
#include "service/sysinfo/testing/sysinfo_test_support.h"

namespace RpcServer {
namespace {

using Korvo::Shared::LogLevel;

constexpr const char* kCompleted = "RpcServer::CMainService::IsReadSysInfoReadCompleted";
constexpr const char* kRead = "RpcServer::CMainService::ReadSysInfo";

class SysInfoThreadTest : public testing::SysInfoTest {
 protected:
  void TearDown() override {
    HoldOtherThreads(false);
    CMainService::IsReadSysInfoReadCompleted(platform::INFINITE);
    CMainService::CloseReadSysInfoThread();
    CMainService::SetWMIData(nullptr);
    m_data.reset();
    SysInfoTest::TearDown();
  }
  void Start(const nlohmann::json& profile) {
    UseProfile(profile);
    m_data = std::make_unique<WMIData>();
    CMainService::SetWMIData(m_data.get());
    ClearLines();
    MarkTime();
  }
  std::unique_ptr<WMIData> m_data;
};

TEST_F(SysInfoThreadTest, BeforeAnyStartTheReadingCountsAsFinished) {
  Start(DefaultProfile());
  EXPECT_TRUE(CMainService::IsReadSysInfoReadCompleted(0));
  EXPECT_TRUE(Logged(LogLevel::Information, L"m_hReadSysInfoThread is NULL.", kCompleted));
  EXPECT_TRUE(Logged(LogLevel::Information, L"ReadSysInfoThread already finished.", kCompleted));
  EXPECT_EQ(ElapsedMs(), 0u);
}

TEST_F(SysInfoThreadTest, ReadsOnceAndAWaitOfZeroDoesNotBlockWhileItRuns) {
  Start(DefaultProfile());
  HoldOtherThreads(true);  // the reading thread stops at its first log line

  ASSERT_TRUE(CMainService::ReadSysInfo());
  EXPECT_TRUE(Logged(LogLevel::Information, L"Starting Read SysInfo Thread ", kRead));
  EXPECT_TRUE(CMainService::IsReadSysInfoThreadRunning());
  EXPECT_FALSE(CMainService::IsReadSysInfoReadCompleted(0));
  EXPECT_EQ(ElapsedMs(), 0u);
  EXPECT_TRUE(Logged(LogLevel::Warning, L"Reading System information from BIOS is not completed.", kCompleted));

  HoldOtherThreads(false);
  EXPECT_TRUE(CMainService::IsReadSysInfoReadCompleted(platform::INFINITE));
  EXPECT_FALSE(m_data->m_csSysInfo.empty());

  ClearLines();
  EXPECT_TRUE(CMainService::ReadSysInfo()) << "a second start reports the thread that ran";
  EXPECT_FALSE(Logged(LogLevel::Information, L"Starting Read SysInfo Thread ", kRead));
  EXPECT_TRUE(CMainService::IsReadSysInfoReadCompleted(0));
  EXPECT_TRUE(Logged(LogLevel::Information, L"ReadSysInfoThread already finished.", kCompleted));
}

TEST_F(SysInfoThreadTest, ANullInstanceIsLoggedAndLeavesNoRecord) {
  Start(DefaultProfile());
  CMainService::SetWMIData(nullptr);
  ASSERT_TRUE(CMainService::ReadSysInfo());
  EXPECT_TRUE(CMainService::IsReadSysInfoReadCompleted(platform::INFINITE));
  EXPECT_TRUE(Logged(LogLevel::Error, L"WMIData pointer is null", "RpcServer::CMainService::ReadSysInfoThread"));
  EXPECT_TRUE(m_data->m_csSysInfo.empty());
}

}  // namespace
}  // namespace RpcServer
