#include "app/runtime/frame.h"

#include <stdexcept>
#include <vector>

#include <QPushButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include "app/testing/ui_test.h"

namespace app_runtime {
namespace {

struct Visit {
  QVariant parameter;
  NavigationMode mode;
  QString sourcePageType;
  bool wasFramesContent;
};

// A page that records every OnNavigatedTo, and has a button that takes its frame back.
class RecordingPage : public Page {
 public:
  explicit RecordingPage(Frame* frame = nullptr) : frame_(frame) {
    auto* content = new QWidget;
    back = new QPushButton(QStringLiteral("Back"), content);
    (new QVBoxLayout(content))->addWidget(back);
    SetContent(content);
    connect(back, &QPushButton::clicked, this, [this] {
      if (frame_) frame_->GoBack();
    });
  }
  std::vector<Visit> visits;
  QPushButton* back;

 protected:
  void OnNavigatedTo(const NavigationEventArgs& e) override {
    Page::OnNavigatedTo(e);
    visits.push_back({e.Parameter(), e.Mode(), e.SourcePageType(), frame_ && frame_->Content() == e.Content()});
  }

 private:
  Frame* frame_;
};

class ThrowingPage : public Page {
 public:
  ThrowingPage() { throw std::runtime_error("the markup could not be loaded"); }
};

class FrameTest : public testing::UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    frame_ = std::make_unique<Frame>();
    Frame::RegisterPageType(QStringLiteral("Test.FirstPage"),
                            [this] { return std::make_unique<RecordingPage>(frame_.get()); });
    Frame::RegisterPageType(QStringLiteral("Test.SecondPage"),
                            [this] { return std::make_unique<RecordingPage>(frame_.get()); });
    Frame::RegisterPageType<ThrowingPage>(QStringLiteral("Test.ThrowingPage"));
    frame_->NavigationFailed([this](Frame& sender, const NavigationFailedEventArgs& e) {
      EXPECT_EQ(&sender, frame_.get());
      failures_.push_back({e.SourcePageType(), e.Message()});
    });
  }
  RecordingPage* Shown() { return dynamic_cast<RecordingPage*>(frame_->Content()); }

  std::unique_ptr<Frame> frame_;
  std::vector<std::pair<QString, QString>> failures_;
};

TEST_F(FrameTest, NavigatingShowsAFreshPageWithTheParameter) {
  EXPECT_EQ(frame_->Content(), nullptr);
  ASSERT_TRUE(frame_->Navigate(QStringLiteral("Test.FirstPage"), QStringLiteral("?record")));
  RecordingPage* first = Shown();
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(first->visits.size(), 1u);
  EXPECT_EQ(first->visits[0].parameter.toString(), QStringLiteral("?record"));
  EXPECT_EQ(first->visits[0].mode, NavigationMode::New);
  EXPECT_EQ(first->visits[0].sourcePageType, QStringLiteral("Test.FirstPage"));
  EXPECT_TRUE(first->visits[0].wasFramesContent) << "the page is the content when it hears of it";
  EXPECT_FALSE(frame_->CanGoBack());

  // The same type again is a new instance, and the first waits on the back stack.
  ASSERT_TRUE(frame_->Navigate(QStringLiteral("Test.FirstPage")));
  EXPECT_NE(Shown(), first);
  EXPECT_TRUE(frame_->CanGoBack());
  EXPECT_EQ(frame_->BackStackDepth(), 1);
  EXPECT_FALSE(Shown()->visits[0].parameter.isValid()) << "no parameter";
}

TEST_F(FrameTest, GoingBackShowsThePreviousInstanceAgainAndDropsTheCurrentOne) {
  frame_->show();
  ASSERT_TRUE(frame_->Navigate(QStringLiteral("Test.FirstPage"), QStringLiteral("first")));
  RecordingPage* first = Shown();
  ASSERT_TRUE(frame_->Navigate(QStringLiteral("Test.SecondPage"), QStringLiteral("second")));
  QPointer<RecordingPage> second = Shown();
  EXPECT_FALSE(first->isVisible());
  EXPECT_TRUE(second->isVisible());

  frame_->GoBack();
  EXPECT_EQ(Shown(), first);
  EXPECT_TRUE(first->isVisible());
  ASSERT_EQ(first->visits.size(), 2u);
  EXPECT_EQ(first->visits[1].mode, NavigationMode::Back);
  EXPECT_EQ(first->visits[1].parameter.toString(), QStringLiteral("first"));
  EXPECT_EQ(first->visits[1].sourcePageType, QStringLiteral("Test.FirstPage"));
  EXPECT_TRUE(first->visits[1].wasFramesContent);
  EXPECT_FALSE(frame_->CanGoBack());
  RunDeferredDeletes();
  EXPECT_TRUE(second.isNull());
}

TEST_F(FrameTest, GoingBackWithAnEmptyBackStackDoesNothing) {
  frame_->GoBack();
  EXPECT_EQ(frame_->Content(), nullptr);
  ASSERT_TRUE(frame_->Navigate(QStringLiteral("Test.FirstPage")));
  RecordingPage* only = Shown();
  EXPECT_FALSE(frame_->CanGoBack());
  frame_->GoBack();
  RunDeferredDeletes();
  EXPECT_EQ(Shown(), only);
  EXPECT_EQ(only->visits.size(), 1u) << "no second OnNavigatedTo";
}

TEST_F(FrameTest, APageCanTakeItsFrameBackFromItsOwnButton) {
  frame_->show();
  ASSERT_TRUE(frame_->Navigate(QStringLiteral("Test.FirstPage")));
  RecordingPage* first = Shown();
  ASSERT_TRUE(frame_->Navigate(QStringLiteral("Test.SecondPage")));
  QPointer<RecordingPage> second = Shown();
  // The button and its page are still alive while the click is delivered.
  second->back->click();
  EXPECT_EQ(Shown(), first);
  RunDeferredDeletes();
  EXPECT_TRUE(second.isNull());
}

TEST_F(FrameTest, APageTypeThatIsNotRegisteredFailsTheNavigation) {
  ASSERT_TRUE(frame_->Navigate(QStringLiteral("Test.FirstPage")));
  RecordingPage* first = Shown();
  EXPECT_FALSE(frame_->Navigate(QStringLiteral("Test.MissingPage"), QStringLiteral("x")));
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(failures_[0].first, QStringLiteral("Test.MissingPage"));
  EXPECT_EQ(Shown(), first) << "the frame stays as it was";
  EXPECT_FALSE(frame_->CanGoBack());
  EXPECT_FALSE(Frame::IsPageTypeRegistered(QStringLiteral("Test.MissingPage")));
  EXPECT_TRUE(Frame::IsPageTypeRegistered(QStringLiteral("Test.FirstPage")));
}

TEST_F(FrameTest, APageWhoseConstructorThrowsFailsTheNavigation) {
  EXPECT_FALSE(frame_->Navigate(QStringLiteral("Test.ThrowingPage")));
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(failures_[0].first, QStringLiteral("Test.ThrowingPage"));
  EXPECT_EQ(failures_[0].second, QStringLiteral("the markup could not be loaded"));
  EXPECT_EQ(frame_->Content(), nullptr);

  // From a factory: the name given, or none (no page was made to name it).
  EXPECT_FALSE(frame_->Navigate([]() -> std::unique_ptr<Page> { return nullptr; }, {}, QStringLiteral("Test.Null")));
  EXPECT_FALSE(frame_->Navigate([]() -> std::unique_ptr<Page> { throw 42; }));
  ASSERT_EQ(failures_.size(), 3u);
  EXPECT_EQ(failures_[1].first, QStringLiteral("Test.Null"));
  EXPECT_EQ(failures_[2].first, QString());
  EXPECT_EQ(frame_->Content(), nullptr);
}

TEST_F(FrameTest, AFactoryPageIsNamedByItsClass) {
  ASSERT_TRUE(frame_->Navigate([this] { return std::make_unique<RecordingPage>(frame_.get()); }, 7));
  ASSERT_EQ(Shown()->visits.size(), 1u);
  EXPECT_EQ(Shown()->visits[0].sourcePageType, QStringLiteral("app_runtime.Page"))
      << "a page class without Q_OBJECT has its base's meta object";
  EXPECT_EQ(Shown()->visits[0].parameter.toInt(), 7);
}

TEST_F(FrameTest, PagesInheritTheFramesFlowDirection) {
  ASSERT_TRUE(frame_->Navigate(QStringLiteral("Test.FirstPage")));
  EXPECT_EQ(frame_->GetFlowDirection(), FlowDirection::LeftToRight);
  frame_->SetFlowDirection(FlowDirection::RightToLeft);
  EXPECT_EQ(frame_->GetFlowDirection(), FlowDirection::RightToLeft);
  EXPECT_EQ(frame_->layoutDirection(), Qt::RightToLeft);
  EXPECT_EQ(Shown()->layoutDirection(), Qt::RightToLeft);
  EXPECT_EQ(Shown()->back->layoutDirection(), Qt::RightToLeft);
  // A page that comes later gets it too.
  ASSERT_TRUE(frame_->Navigate(QStringLiteral("Test.SecondPage")));
  EXPECT_EQ(Shown()->layoutDirection(), Qt::RightToLeft);
  frame_->SetFlowDirection(FlowDirection::LeftToRight);
  EXPECT_EQ(Shown()->layoutDirection(), Qt::LeftToRight);
}

}  // namespace
}  // namespace app_runtime
