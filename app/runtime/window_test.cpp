#include "app/runtime/window.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/testing/ui_test.h"

namespace app_runtime {
namespace {

class WindowTest : public testing::UiTest {
 protected:
  // A title row with a caption label in it, and a body below, as the window's content.
  void SetUpTitleRow() {
    auto* content = new QWidget;
    area_ = new QWidget(content);
    caption_ = new QLabel(QStringLiteral("Caption"), area_);
    (new QHBoxLayout(area_))->addWidget(caption_);
    area_->setFixedHeight(30);
    area_->move(0, 0);
    Window::Current().SetContent(content);
  }

  static void Send(QWidget* to, QEvent::Type type, QPoint local, Qt::MouseButton button, Qt::MouseButtons buttons) {
    const QPointF global = to->mapToGlobal(QPointF(local));
    QMouseEvent event(type, QPointF(local), global, button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(to, &event);
  }

  QPointer<QWidget> area_;
  QPointer<QLabel> caption_;
};

TEST_F(WindowTest, TheAppHasOneFramelessWindowAndTestsCanMakeAFreshOne) {
  Window& window = Window::Current();
  EXPECT_EQ(&Window::Current(), &window);
  EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(window.isWindow());
  QPointer<Window> old = &window;
  Window::ResetCurrentForTesting();
  EXPECT_TRUE(old.isNull());
  EXPECT_NE(&Window::Current(), nullptr);
}

TEST_F(WindowTest, TheDesktopsFrameComesBackOnlyWhenTheViewIsNotExtended) {
  Window& window = Window::Current();
  window.Activate();
  auto titleBar = window.CoreTitleBar();
  EXPECT_TRUE(titleBar->ExtendViewIntoTitleBar());
  titleBar->SetExtendViewIntoTitleBar(false);
  EXPECT_FALSE(window.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(window.isVisible()) << "still shown after the flags changed";
  titleBar->SetExtendViewIntoTitleBar(true);
  EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(titleBar->SystemOverlayLeftInset(), 0);
  EXPECT_EQ(titleBar->SystemOverlayRightInset(), 0);
}

TEST_F(WindowTest, ReplacedContentIsDeletedLater) {
  Window& window = Window::Current();
  QPointer<QLabel> first = new QLabel(QStringLiteral("first"));
  window.SetContent(first);
  EXPECT_EQ(window.Content(), first);
  EXPECT_EQ(first->parentWidget(), &window);
  auto* second = new QLabel(QStringLiteral("second"));
  window.SetContent(second);
  EXPECT_EQ(window.Content(), second);
  ASSERT_FALSE(first.isNull()) << "not at once: the caller may be running inside it";
  RunDeferredDeletes();
  EXPECT_TRUE(first.isNull());
}

TEST_F(WindowTest, TheFirstActivationOpensAtTheLaunchSizeAndTheMinimumSizeHolds) {
  Window& window = Window::Current();
  window.SetContent(new QLabel(QStringLiteral("content")));
  window.SetPreferredMinSize(640, 460);
  window.SetPreferredLaunchViewSize(QSize(700, 500));
  window.SetPreferredLaunchWindowingMode(ApplicationViewWindowingMode::PreferredLaunchViewSize);
  window.Activate();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.size(), QSize(700, 500));
  EXPECT_EQ(window.PreferredMinSize(), QSize(640, 460));
  window.resize(100, 100);
  EXPECT_EQ(window.size(), QSize(640, 460));

  // Later activations leave the size alone.
  window.resize(800, 600);
  window.hide();
  window.Activate();
  EXPECT_EQ(window.size(), QSize(800, 600));
}

TEST_F(WindowTest, APressInTheTitleBarMovesTheWindow) {
  SetUpTitleRow();
  Window& window = Window::Current();
  window.SetTitleBar(area_);
  EXPECT_EQ(window.TitleBar(), area_);
  window.Activate();
  window.move(100, 100);
  QSignalSpy started(&window, &Window::TitleBarDragStarted);

  // On the caption inside the area, which leaves the press to its parent. Offscreen
  // there is no system move, so the window follows the mouse.
  Send(caption_, QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(started.count(), 1);
  Send(caption_, QEvent::MouseMove, QPoint(55, 25), Qt::NoButton, Qt::LeftButton);
  EXPECT_EQ(window.pos(), QPoint(150, 120));
  Send(caption_, QEvent::MouseButtonRelease, QPoint(55, 25), Qt::LeftButton, Qt::NoButton);
  // After the release, moves do nothing.
  Send(caption_, QEvent::MouseMove, QPoint(5, 5), Qt::NoButton, Qt::NoButton);
  EXPECT_EQ(window.pos(), QPoint(150, 120));

  // Another button does not drag.
  Send(area_, QEvent::MouseButtonPress, QPoint(5, 5), Qt::RightButton, Qt::RightButton);
  EXPECT_EQ(started.count(), 1);
}

TEST_F(WindowTest, ADoubleClickInTheTitleBarMaximisesAndRestores) {
  SetUpTitleRow();
  Window& window = Window::Current();
  window.SetTitleBar(area_);
  window.Activate();
  Send(area_, QEvent::MouseButtonDblClick, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
  EXPECT_TRUE(window.isMaximized());
  Send(area_, QEvent::MouseButtonDblClick, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
  EXPECT_FALSE(window.isMaximized());
}

TEST_F(WindowTest, WithoutATitleBarOrOutsideItAPressMovesNothing) {
  SetUpTitleRow();
  Window& window = Window::Current();
  window.Activate();
  QSignalSpy started(&window, &Window::TitleBarDragStarted);
  Send(area_, QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(started.count(), 0) << "no title bar set";

  window.SetTitleBar(area_);
  auto* body = new QLabel(QStringLiteral("body"), window.Content());
  Send(body, QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(started.count(), 0) << "outside the area";

  window.SetTitleBar(nullptr);
  EXPECT_EQ(window.TitleBar(), nullptr);
  Send(area_, QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(started.count(), 0) << "title bar removed";

  // A title bar that is deleted is forgotten.
  window.SetTitleBar(area_);
  delete area_.data();
  EXPECT_EQ(window.TitleBar(), nullptr);
}

}  // namespace
}  // namespace app_runtime
