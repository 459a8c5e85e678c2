// The view model against a real service process on each test's machine.
#include "app/data/main_view_model.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/runtime/app_data.h"
#include "app/runtime/package.h"
#include "app/runtime/task.h"
#include "app/shell/logging_handler.h"
#include "app/testing/app_test.h"
#include "app/testing/log_capture.h"
#include "app/testing/varnel_service.h"
#include "platform/rpc.h"
#include "platform/sessions.h"
#include "platform/testing/run_program.h"

namespace Korvo_Tallisk {
namespace {

using app_runtime::LoggingLevel;
using ::testing::HasSubstr;

using testing::LogCapture;

std::u16string Kept(MainViewModel& model, std::size_t size = MainViewModel::kSysDataSize) {
  std::vector<char16_t> buffer(size, u'?');
  model.GetSysInfo(buffer.data(), buffer.size());
  return std::u16string(buffer.data());
}

std::string Utf8(const std::u16string& text) {
  return QString::fromStdU16String(text).toStdString();
}

class MainViewModelTest : public testing::VarnelServiceTest {
 protected:
  static void SetUpTestSuite() {
    // The app log of this process writes into a data folder of its own.
    static platform::testing::TempDir data;
    app_runtime::ApplicationData::UseRoot(QString::fromStdString(data.path().string()));
  }
  LogCapture log_;
};

constexpr const char* kB = "Korvo_Tallisk::MainViewModel::ReadSysInfoDetailsAsync::<lambda_2>";

TEST_F(MainViewModelTest, TheRecordLandsInTheBufferAndTheConnectionIsMadeOnce) {
  ASSERT_TRUE(Start());
  auto model = MainViewModel::Create();
  EXPECT_FALSE(model->IsSysInfoReadCompleted());
  model->ReadSysInfoDetailsAsync();
  EXPECT_TRUE(model->IsSysInfoReadCompleted()) << log_.Text();
  EXPECT_TRUE(model->IsRpcConnectionInitialised());
  const std::string text = Utf8(Kept(*model));
  EXPECT_THAT(text, HasSubstr("<.^.>SN0001<.^.>"));
  const int ok = log_.Find(std::string("Information|") + kB + "ReadSysInfo Return Status = 0");
  ASSERT_GE(ok, 0) << log_.Text();
  EXPECT_GE(log_.Find(std::string("Information|") + kB + "ReadSysInfo Return Status = 0", ok + 1), 0);
  EXPECT_GE(log_.Find(std::string("Information|") + kB + "RPC Connection Status = true"), 0);
  EXPECT_GE(log_.Find("Information|Korvo_Tallisk::MainViewModel::InitialiseRpcConnectionReadSysInfo Initialization "
                      "Return Status = 0"),
            0);

  model->ReadUsbTypeCInfoDetailsAsync();
  EXPECT_TRUE(model->IsUsbTypeCInfoReadCompleted());
  EXPECT_GE(log_.Find("Verbose|Korvo_Tallisk::MainViewModel::InitialiseRpcConnectionInitialization already complete. "
                      "Status = true"),
            0);
  std::vector<char16_t> usb(MainViewModel::kUsbTypeCDataSize, u'?');
  model->GetUsbTypeCInfo(usb.data(), usb.size());
  EXPECT_EQ(QString::fromStdU16String(usb.data()).split(QStringLiteral("<.^.>")).size(), 6);

  // A destination too small for the kept text is left empty.
  EXPECT_EQ(Kept(*model, 10), u"");
  EXPECT_GE(log_.Find("Error|Korvo_Tallisk::MainViewModel::GetSysInfoFailed to copy m_pSysData"), 0);
}

template <std::size_t Length>
class ServedLengthTest : public MainViewModelTest {
 protected:
  nlohmann::json MachineProfile() const override { return ProfileServingSysInfoOfLength(Length); }
};
using Served998Test = ServedLengthTest<998>;
using Served999Test = ServedLengthTest<999>;

TEST_F(Served998Test, ATextOf998CharactersArrivesWhole) {
  ASSERT_TRUE(Start());
  auto model = MainViewModel::Create();
  model->ReadSysInfoDetailsAsync();
  EXPECT_TRUE(model->IsSysInfoReadCompleted());
  EXPECT_EQ(Kept(*model).size(), 998u);
}

TEST_F(Served999Test, ATextOf999CharactersLeavesTheBufferEmptyAndTheReadCompleted) {
  ASSERT_TRUE(Start());
  auto model = MainViewModel::Create();
  model->ReadSysInfoDetailsAsync();
  EXPECT_TRUE(model->IsSysInfoReadCompleted()) << "the read counts as completed";
  EXPECT_EQ(Kept(*model), u"") << "never a truncated text";
}

TEST_F(MainViewModelTest, WithTheServiceDownTheReadFailsAndTheNextCallConnectsOnceItIsUp) {
  auto model = MainViewModel::Create();
  model->ReadSysInfoDetailsAsync();
  EXPECT_FALSE(model->IsSysInfoReadCompleted());
  EXPECT_FALSE(model->IsRpcConnectionInitialised());
  const int failed =
      log_.Find("Error|Korvo_Tallisk::MainViewModel::InitialiseRpcConnectionReadSysInfo  Initialization failed ");
  ASSERT_GE(failed, 0) << log_.Text();
  EXPECT_GE(log_.Find("Information|Korvo_Tallisk::MainViewModel::InitialiseRpcConnectionReadSysInfo Initialization "
                      "Return Status = 1722"),
            0);
  EXPECT_GT(log_.Find(std::string("Error|") + kB + "Reading System Info data not completed!", failed), failed);
  EXPECT_EQ(Kept(*model), u"");
  // The cause kept for the pages is the connection's status, not the read's -1.
  EXPECT_EQ(model->LastSysInfoStatus(), 1722);
  EXPECT_EQ(model->LastUsbTypeCInfoStatus(), 0) << "no USB Type-C read yet";

  // A launch after the failed connection does not reach the service.
  model->LaunchSysInfo();
  EXPECT_GE(log_.Find("Error|Korvo_Tallisk::MainViewModel::LaunchSysInfo::<lambda_2>RPC Client pointer is NULL"), 0);

  ASSERT_TRUE(Start());
  model->ReadSysInfoDetailsAsync();
  EXPECT_TRUE(model->IsSysInfoReadCompleted()) << log_.Text();
  EXPECT_THAT(Utf8(Kept(*model)), HasSubstr("SN0001"));
  EXPECT_EQ(model->LastSysInfoStatus(), 0);
  ASSERT_TRUE(Stop());
  EXPECT_GT(ServiceLogLines("ReadSysInfo"), 0) << "the log is the one the service wrote";
  EXPECT_EQ(ServiceLogLines("RpcServer::CKeyBoardBridge::ProcessCommand"), 0) << "the failed launch never reached it";
}

TEST_F(MainViewModelTest, ALaunchStartsSystemInformationInTheUsersSession) {
  ASSERT_TRUE(Start());
  {
    auto model = MainViewModel::Create();
    model->LaunchSysInfo();
    EXPECT_GE(log_.Find("Information|Korvo_Tallisk::MainViewModel::LaunchSysInfo::<lambda_2>StartMSInfoApp return = 0"),
              0)
        << log_.Text();
    ASSERT_TRUE(platform::testing::Eventually(
        [&] {
          for (const auto& p : platform::machine_sessions::Processes()) {
            if (p.name == L"msinfo32.exe" && p.sessionId == 1) return true;
          }
          return false;
        },
        20000));
  }
  // The view model went, and its client with it (the client's own tests watch the
  // context close on the wire).
  EXPECT_GE(log_.Find("Verbose|Korvo_Tallisk::MainViewModel::~MainViewModelDeallocating m_pSysData"), 0);
}

TEST_F(MainViewModelTest, AnAppWithoutTheCapabilityIsRefusedAndTheRefusalIsLogged) {
  ASSERT_TRUE(Start());
  // The package as a build that forgot to declare the service's capability.
  platform::testing::TempDir scratch;
  const auto manifest = scratch.path() / "korvo-tallisk.package.xml";
  platform::testing::WriteHostFile(manifest, R"(<Package>
  <Identity Name="KorvoInc.KorvoTallisk" Publisher="CN=Korvo Inc., O=Korvo Inc., C=US" Version="7.0.5.1"/>
  <Protocol Name="korvovesk"/>
  <Capability Name="internetClient"/>
</Package>)");
  ASSERT_TRUE(app_runtime::EnterAppContainer(app_runtime::Package::Load(QString::fromStdString(manifest.string()))));
  auto model = MainViewModel::Create();
  model->ReadSysInfoDetailsAsync();
  model->ReadUsbTypeCInfoDetailsAsync();
  app_runtime::LeaveAppContainer();
  EXPECT_FALSE(model->IsSysInfoReadCompleted());
  EXPECT_EQ(model->LastSysInfoStatus(), 5);
  EXPECT_EQ(model->LastUsbTypeCInfoStatus(), 5);
  EXPECT_GE(log_.Find("Information|Korvo_Tallisk::MainViewModel::InitialiseRpcConnectionReadSysInfo Initialization "
                      "Return Status = 5"),
            0)
      << log_.Text();
  EXPECT_GE(log_.Find("Error|Korvo_Tallisk::MainViewModel::InitialiseRpcConnectionReadSysInfo  Initialization failed "),
            0);
}

TEST_F(MainViewModelTest, BackgroundReadsRacingAConnectOnTheUiThreadKeepTheStateSound) {
  ASSERT_TRUE(Start());
  auto model = MainViewModel::Create();
  std::vector<app_runtime::task<void>> readers;
  for (int i = 0; i < 3; ++i) {
    readers.push_back(app_runtime::create_task([model] { model->ReadSysInfoDetailsAsync(); }));
    readers.push_back(app_runtime::create_task([model] { model->ReadUsbTypeCInfoDetailsAsync(); }));
  }
  // Meanwhile the UI thread connects and looks at the kept text.
  for (int i = 0; i < 20; ++i) {
    model->InitialiseRpcConnection();
    const std::u16string text = Kept(*model);
    EXPECT_TRUE(text.empty() || Utf8(text).find("SN0001") != std::string::npos) << Utf8(text);
  }
  for (auto& r : readers) r.get();
  EXPECT_TRUE(model->IsSysInfoReadCompleted());
  EXPECT_TRUE(model->IsUsbTypeCInfoReadCompleted());
  EXPECT_THAT(Utf8(Kept(*model)), HasSubstr("SN0001"));
}

}  // namespace
}  // namespace Korvo_Tallisk
