// The main page against the real service on each test's machine: the reason a read
// failed in the title bar, then the machine's record once the service runs.
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "app/pages/custom_title_bar.h"
#include "app/pages/main_page.h"
#include "app/pages/page_test_support.h"
#include "app/runtime/app_data.h"
#include "app/runtime/frame.h"
#include "app/runtime/progress_ring.h"
#include "app/runtime/window.h"
#include "app/testing/varnel_service.h"

namespace Korvo_Tallisk {
namespace {

using app_runtime::Frame;
using app_runtime::Window;
using app_runtime::testing::PumpUntil;
using testing::Child;
using testing::LogCapture;
using testing::R;
using testing::Shown;
using testing::Text;

// Reads wait for the real service, which is slow under the sanitizers.
constexpr int kReadTimeoutMs = 60000;

class PagesServiceTest : public testing::VarnelServiceTest {
 protected:
  static void SetUpTestSuite() {
    static platform::testing::TempDir data;
    app_runtime::ApplicationData::UseRoot(QString::fromStdString(data.path().string()));
    app_runtime::ResourceContext::SetLanguageForTesting(QStringLiteral("en"));
  }
  void SetUp() override {
    VarnelServiceTest::SetUp();
    frame_ = new Frame;
    Window::Current().SetContent(frame_);
  }
  void TearDown() override {
    Window::ResetCurrentForTesting();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    VarnelServiceTest::TearDown();
  }

  MainPage* Navigate() {
    EXPECT_TRUE(
        frame_->Navigate([] { return std::make_unique<MainPage>(); }, QVariant(), QLatin1String(MainPage::kTypeName)));
    return qobject_cast<MainPage*>(frame_->Content());
  }

  LogCapture log_;
  Frame* frame_ = nullptr;
};

TEST_F(PagesServiceTest, AStoppedServiceIsNamedInTheTitleBarAndARunningOneFillsThePage) {
  MainPage* page = Navigate();
  ASSERT_NE(page, nullptr);
  auto* status = Child<QLabel>(*page, "StatusLine");
  ASSERT_TRUE(PumpUntil([&] { return !status->isHidden(); }, kReadTimeoutMs)) << log_.Text();
  EXPECT_EQ(status->toolTip(), R("ServiceNotRunning/Text"));
  EXPECT_FALSE(R("ServiceNotRunning/Text").isEmpty());
  EXPECT_TRUE(
      log_.Has("Verbose|Korvo_Tallisk::MainPage::UpdateSysInfoDetailsUpdateSysInfoDetails failed from "
               "RpcClient"));
  // The values and buttons behave as for any failed read.
  EXPECT_TRUE(Shown(*page, "SerialNumberLabel"));
  EXPECT_FALSE(Shown(*page, "UsbTypeCButton"));
  EXPECT_FALSE(Shown(*page, "AdvancedButton"));
  EXPECT_EQ(Text(*page, "SerialNumberValue"), QStringLiteral("\u2014"));
  EXPECT_FALSE(Child<app_runtime::ProgressRing>(*page, "StatusProgressRing")->IsActive());

  ASSERT_TRUE(Start());
  MainPage* again = Navigate();
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return Text(*again, "SerialNumberValue") == QStringLiteral("SN0001"); }, kReadTimeoutMs))
      << log_.Text();
  EXPECT_TRUE(log_.Has("Verbose|Korvo_Tallisk::MainPage::UpdateSysInfoDetailsUpdateSysInfoDetails - success"));
  EXPECT_TRUE(Child<QLabel>(*again, "StatusLine")->isHidden());
  EXPECT_TRUE(Shown(*again, "UsbTypeCButton")) << "the default machine supports USB Type-C";
  EXPECT_TRUE(Shown(*again, "AdvancedButton"));
  EXPECT_TRUE(Shown(*again, "BiosPasswordValue"));

  // A page made once the read has ended shows the kept record without a new read.
  log_.Clear();
  frame_->Navigate([] { return std::make_unique<MainPage>(); });
  auto* third = qobject_cast<MainPage*>(frame_->Content());
  ASSERT_NE(third, nullptr);
  EXPECT_TRUE(
      log_.Has("Verbose|Korvo_Tallisk::MainPage::OnNavigatedToAlready Sysinfo read completed and updateUI "
               "with preloaded sysdata"));
  EXPECT_EQ(Text(*third, "SerialNumberValue"), QStringLiteral("SN0001"));
  EXPECT_FALSE(log_.Has("Verbose|Korvo_Tallisk::MainPage::UpdateSysInfoDetailsEntry"));
  ASSERT_TRUE(Stop());
}

}  // namespace
}  // namespace Korvo_Tallisk
