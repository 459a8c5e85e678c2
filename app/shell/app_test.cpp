// The app object with its real pages in a real (offscreen) window, and the service as a
// real process where it matters.
#include "app/shell/app.h"

#include <stdexcept>

#include <QCoreApplication>
#include <QLabel>

#include <gtest/gtest.h>

#include "app/pages/custom_title_bar.h"
#include "app/pages/main_page.h"
#include "app/pages/page_test_support.h"
#include "app/runtime/app_data.h"
#include "app/runtime/frame.h"
#include "app/runtime/resources.h"
#include "app/runtime/value_box.h"
#include "app/runtime/window.h"
#include "app/testing/app_test.h"
#include "app/testing/varnel_service.h"

namespace Korvo_Tallisk {
namespace {

using app_runtime::Activation;
using app_runtime::ActivationKind;
using app_runtime::Frame;
using app_runtime::Window;
using app_runtime::testing::PumpUntil;

constexpr const char* kRecord =
    "T14 Gen 9<.^.>21X9CTO1WW<.^.>BUILD-7<.^.>32 GB (31.2 GB usable)<.^.>Vantor 7 9840U<.^.>N3XET61W (1.21) "
    "2026/05/02<.^.>SDK0T76530 WIN<.^.>PF5XYZ12<.^.>0x0A<.^.>0x1<.^.>yes";

class AppTest : public testing::VarnelServiceTest {
 protected:
  void SetUp() override {
    VarnelServiceTest::SetUp();
    qputenv("KORVO_TALLISK_PACKAGE", KORVO_TALLISK_PACKAGE_FILE);
    app_runtime::ApplicationData::UseRoot(QString::fromStdString(data_.path().string()));
    app_runtime::ResourceContext::SetLanguageForTesting(QStringLiteral("en"));
    Window::ResetCurrentForTesting();
    App::RegisterPageTypes();
  }
  void TearDown() override {
    Window::ResetCurrentForTesting();
    VarnelServiceTest::TearDown();
  }

  static Frame* RootFrame() { return qobject_cast<Frame*>(Window::Current().Content()); }
  static QString Value(const char* name) {
    Frame* frame = RootFrame();
    if (frame == nullptr || frame->Content() == nullptr) return QStringLiteral("<no page>");
    auto* box = frame->Content()->findChild<app_runtime::ValueBox*>(QString::fromLatin1(name));
    return box != nullptr ? box->Text() : QStringLiteral("<no %1>").arg(QString::fromLatin1(name));
  }
  static QString StatusLine() {
    Frame* frame = RootFrame();
    if (frame == nullptr || frame->Content() == nullptr) return {};
    auto* line = frame->Content()->findChild<QLabel*>(QStringLiteral("StatusLine"));
    return line != nullptr && line->isVisibleTo(frame->Content()) ? line->text() : QString();
  }

  platform::testing::TempDir data_;
  testing::LogCapture log_;
  App app_{App::Waits{std::chrono::milliseconds(0), std::chrono::milliseconds(0)}};
};

TEST_F(AppTest, AUriWithAQueryShowsItAsTheRecordAtOnceWithoutARead) {
  app_.Activate({ActivationKind::Protocol, QStringLiteral("korvovesk:?") + QString::fromLatin1(kRecord)});
  EXPECT_TRUE(log_.Has("Error|Korvo_Tallisk::App::OnActivatedURI Scheme = korvovesk")) << log_.Text();
  // The query, "?" included, is the record.
  EXPECT_EQ(Value("ProductNameValue"), QStringLiteral("?T14 Gen 9"));
  EXPECT_EQ(Value("SerialNumberValue"), QStringLiteral("PF5XYZ12"));
  EXPECT_FALSE(log_.Has("Verbose|Korvo_Tallisk::MainPage::UpdateSysInfoDetailsUpdateUIDetails()-create_task"))
      << "no read of the service";
  EXPECT_EQ(RootFrame()->GetFlowDirection(), app_runtime::FlowDirection::LeftToRight);
}

TEST_F(AppTest, ASchemeThatDiffersOnlyInCaseIsLoggedAndIgnored) {
  app_.Activate({ActivationKind::Protocol, QStringLiteral("KorvoVesk:?") + QString::fromLatin1(kRecord)});
  EXPECT_TRUE(log_.Has("Error|Korvo_Tallisk::App::OnActivatedURI Scheme = KorvoVesk")) << log_.Text();
  EXPECT_EQ(Window::Current().Content(), nullptr) << "nothing opened";
}

TEST_F(AppTest, ASecondActivationReplacesThePageWithAFreshOne) {
  app_.Activate({ActivationKind::Protocol, QStringLiteral("korvovesk:?") + QString::fromLatin1(kRecord)});
  QPointer<Frame> first = RootFrame();
  ASSERT_NE(first, nullptr);
  QString second = QString::fromLatin1(kRecord);
  second.replace(QStringLiteral("PF5XYZ12"), QStringLiteral("PF5OTHER"));
  app_.Activate({ActivationKind::Protocol, QStringLiteral("korvovesk:?") + second});
  ASSERT_NE(RootFrame(), first.data());
  EXPECT_EQ(Value("SerialNumberValue"), QStringLiteral("PF5OTHER"));
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(first.isNull()) << "the old frame goes with its page";
}

TEST_F(AppTest, ALaunchLogsTheVersionAndAPageThatCannotBeMadeIsReportedNotFatal) {
  Frame::RegisterPageType(QString::fromLatin1(MainPage::kTypeName),
                          []() -> std::unique_ptr<app_runtime::Page> { throw std::runtime_error("broken markup"); });
  app_.Activate({ActivationKind::Launch, QString()});
  App::RegisterPageTypes();
  EXPECT_TRUE(log_.Has("Information|Korvo_Tallisk::App::GetAppVersionKorvo Tallisk App version = 7.0.5.1"));
  EXPECT_EQ(app_.LastNavigationFailure(), QStringLiteral("Failed to load Page Korvo_Tallisk.MainPage"));
  EXPECT_TRUE(
      log_.Has("Critical|Korvo_Tallisk::App::OnNavigationFailedFailed to load Page Korvo_Tallisk.MainPage: "
               "broken markup"))
      << log_.Text();
  EXPECT_NE(RootFrame(), nullptr) << "the window and its frame stay";
}

// The view model is one per process: each of the two tests below starts with it fresh
// only in a process of its own, which is how CTest runs them.
TEST_F(AppTest, WithTheServiceStoppedTheTitleBarSaysWhy) {
  app_.Activate({ActivationKind::Launch, QString()});
  ASSERT_TRUE(PumpUntil([&] { return !StatusLine().isEmpty(); }, 30000)) << log_.Text();
  EXPECT_TRUE(StatusLine().contains(QStringLiteral("not running"), Qt::CaseInsensitive)) << StatusLine();
}

TEST_F(AppTest, StartedAgainstTheRunningServiceItShowsTheDefaultMachine) {
  ASSERT_TRUE(Start());
  app_.Activate({ActivationKind::Launch, QString()});
  ASSERT_TRUE(PumpUntil([&] { return Value("SerialNumberValue") == QStringLiteral("SN0001"); }, 60000))
      << Value("SerialNumberValue").toStdString() << "\n"
      << log_.Text();
  EXPECT_TRUE(StatusLine().isEmpty());
}

}  // namespace
}  // namespace Korvo_Tallisk
