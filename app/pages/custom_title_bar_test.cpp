#include "app/pages/custom_title_bar.h"

#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QSignalSpy>
#include <QToolButton>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/runtime/frame.h"
#include "app/runtime/progress_ring.h"
#include "app/runtime/window.h"
#include "app/shell/logging_handler.h"
#include "app/testing/ui_test.h"

namespace Korvo_Tallisk {
namespace {

using app_runtime::Page;
using app_runtime::ProgressRing;
using app_runtime::Window;
using ::testing::ElementsAre;

class CustomTitleBarTest : public app_runtime::testing::UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    bar_ = std::make_unique<CustomTitleBar>();
  }
  void TearDown() override {
    bar_.reset();
    UiTest::TearDown();
  }

  template <class T = QWidget>
  T* Child(const char* name) {
    return bar_->findChild<T*>(QLatin1String(name));
  }
  QWidget* ContentGrid() { return Child("ContentGrid"); }
  QGridLayout* Grid() { return qobject_cast<QGridLayout*>(ContentGrid()->layout()); }
  QList<QWidget*> GridChildren() { return ContentGrid()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly); }

  // The app log's Verbose lines while `action` runs.
  std::vector<QString> LoggedBy(const std::function<void()>& action) {
    auto& channel = LoggingHandler::GetInstance()->Channel();
    std::vector<QString> lines;
    auto token = channel.AddListener([&](const app_runtime::LoggingChannel&, const app_runtime::LogRecord& r) {
      if (r.level == app_runtime::LoggingLevel::Verbose) lines.push_back(r.message);
    });
    action();
    channel.RemoveListener(token);
    return lines;
  }

  std::unique_ptr<CustomTitleBar> bar_;
};

TEST_F(CustomTitleBarTest, TheMarkupHasTheNamedElementsAndTheRingRunsFromTheStart) {
  ASSERT_NE(ContentGrid(), nullptr);
  ASSERT_NE(Grid(), nullptr);
  auto* area = Child("TitleBarArea");
  ASSERT_NE(area, nullptr);
  EXPECT_EQ(area->parentWidget(), ContentGrid());
  int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
  Grid()->getItemPosition(Grid()->indexOf(area), &row, &column, &rowSpan, &columnSpan);
  EXPECT_EQ(row, 0);
  EXPECT_EQ(column, 0);
  EXPECT_EQ(Child<QLabel>("AppTitle")->text(), QStringLiteral("Korvo Tallisk"));
  EXPECT_TRUE(area->isAncestorOf(Child<QLabel>("AppTitle")));
  EXPECT_NE(Child<QToolButton>("MinimizeButton"), nullptr);
  EXPECT_NE(Child<QToolButton>("CloseButton"), nullptr);

  auto* ring = Child<ProgressRing>("StatusProgressRing");
  ASSERT_NE(ring, nullptr);
  EXPECT_TRUE(area->isAncestorOf(ring));
  EXPECT_TRUE(ring->IsActive());
  bar_->show();
  EXPECT_TRUE(ring->isVisible());
  EXPECT_TRUE(ring->IsSpinning());
  EXPECT_EQ(area->height(), 30);
}

TEST_F(CustomTitleBarTest, SetPageContentOnAnEmptyBarHostsTheElementInRowOneAndReturnsNone) {
  const int before = Grid()->count();
  auto* content = new QLabel(QStringLiteral("page content"));
  EXPECT_EQ(bar_->SetPageContent(content), nullptr);
  EXPECT_EQ(Grid()->count(), before + 1);
  EXPECT_EQ(content->parentWidget(), ContentGrid());
  int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
  Grid()->getItemPosition(Grid()->indexOf(content), &row, &column, &rowSpan, &columnSpan);
  EXPECT_EQ(row, 1);
  EXPECT_EQ(column, 0);
  EXPECT_EQ(columnSpan, Grid()->columnCount()) << "under the whole title row";
}

TEST_F(CustomTitleBarTest, SetPageContentNoneReturnsTheHostedElementWithoutDeletingIt) {
  QPointer<QLabel> content = new QLabel(QStringLiteral("page content"));
  bar_->SetPageContent(content);
  const int children = GridChildren().size();
  const int items = Grid()->count();

  QWidget* returned = bar_->SetPageContent(nullptr);
  RunDeferredDeletes();
  EXPECT_EQ(returned, content);
  ASSERT_FALSE(content.isNull());
  EXPECT_EQ(GridChildren().size(), children - 1);
  EXPECT_EQ(Grid()->count(), items - 1);
  EXPECT_EQ(content->parentWidget(), nullptr) << "the caller's now";
  EXPECT_EQ(bar_->SetPageContent(nullptr), nullptr) << "nothing hosted any more";
  delete content.data();
}

TEST_F(CustomTitleBarTest, SetPageContentSwapsOneElementForAnother) {
  auto* first = new QLabel(QStringLiteral("first"));
  auto* second = new QLabel(QStringLiteral("second"));
  bar_->SetPageContent(first);
  const int items = Grid()->count();
  std::unique_ptr<QWidget> released(bar_->SetPageContent(second));
  EXPECT_EQ(released.get(), first);
  EXPECT_EQ(Grid()->count(), items);
  EXPECT_EQ(second->parentWidget(), ContentGrid());
  EXPECT_FALSE(ContentGrid()->isAncestorOf(first));
}

TEST_F(CustomTitleBarTest, AddCustomTitleBarWrapsThePagesContent) {
  Page page;
  auto* content = new QLabel(QStringLiteral("page content"));
  page.SetContent(content);
  CustomTitleBar* bar = bar_.release();  // the page will own it
  const auto lines = LoggedBy([&] { bar->AddCustomTitleBar(&page); });
  EXPECT_EQ(page.Content(), bar);
  EXPECT_EQ(bar->parentWidget(), &page);
  EXPECT_EQ(content->parentWidget(), bar->findChild<QWidget*>(QStringLiteral("ContentGrid")));
  EXPECT_THAT(lines, ElementsAre(QStringLiteral("Korvo_Tallisk::CustomTitleBar::AddCustomTitleBarEntry"),
                                 QStringLiteral("Korvo_Tallisk::CustomTitleBar::SetPageContentEntry"),
                                 QStringLiteral("Korvo_Tallisk::CustomTitleBar::SetPageContentExit"),
                                 QStringLiteral("Korvo_Tallisk::CustomTitleBar::AddCustomTitleBarExit")));

  // And back, as a page takes its title bar off.
  QPointer<CustomTitleBar> gone = bar;
  page.SetContent(bar->SetPageContent(nullptr));
  EXPECT_EQ(page.Content(), content);
  EXPECT_EQ(bar->parentWidget(), nullptr);
  bar->deleteLater();
  RunDeferredDeletes();
  EXPECT_TRUE(gone.isNull());
  EXPECT_EQ(page.Content(), content);
}

TEST_F(CustomTitleBarTest, TheTitleBarIsThirtyHighReadThroughThePropertySystem) {
  EXPECT_EQ(bar_->CoreTitleBarHeight(), 30.0);
  const QVariant height = bar_->property("CoreTitleBarHeight");
  ASSERT_TRUE(height.isValid());
  EXPECT_EQ(height.toDouble(), 30.0);
  Window::Current().CoreTitleBar()->SetSystemOverlayInsets(10, 20);
  EXPECT_EQ(bar_->property("CoreTitleBarHeight").toDouble(), 30.0);
  EXPECT_EQ(bar_->property("CoreTitleBarPadding").value<QMargins>(), QMargins(10, 0, 20, 0));
}

TEST_F(CustomTitleBarTest, ThePaddingSwapsTheInsetsInRightToLeftFlow) {
  QSignalSpy changed(bar_.get(), &CustomTitleBar::CoreTitleBarPaddingChanged);
  Window::Current().CoreTitleBar()->SetSystemOverlayInsets(0, 138);
  EXPECT_EQ(bar_->CoreTitleBarPadding(), QMargins(0, 0, 138, 0));
  EXPECT_EQ(changed.count(), 1);
  QLayout* titleArea = Child("TitleBarArea")->layout();
  EXPECT_EQ(titleArea->contentsMargins(), QMargins(0, 0, 138, 0));

  // In a right-to-left frame, as the app sets it up for Arabic.
  app_runtime::Frame frame;
  frame.SetFlowDirection(app_runtime::FlowDirection::RightToLeft);
  bar_->setParent(&frame);
  EXPECT_EQ(bar_->CoreTitleBarPadding(), QMargins(138, 0, 0, 0));
  EXPECT_EQ(changed.count(), 2);
  // Layout margins do not mirror: the room stays on the physical right, where the
  // system's right inset is.
  EXPECT_EQ(titleArea->contentsMargins(), QMargins(0, 0, 138, 0));

  frame.SetFlowDirection(app_runtime::FlowDirection::LeftToRight);
  EXPECT_EQ(bar_->CoreTitleBarPadding(), QMargins(0, 0, 138, 0));
  bar_->setParent(nullptr);
}

TEST_F(CustomTitleBarTest, TheControlsMakeTheTitleAreaTheWindowsTitleBar) {
  Window& window = Window::Current();
  QWidget* area = Child("TitleBarArea");
  bar_->EnableControlsInTitleBar(true);
  EXPECT_EQ(window.TitleBar(), area);
  bar_->EnableControlsInTitleBar(false);
  EXPECT_EQ(window.TitleBar(), nullptr);

  // A second bar takes the window's title bar while it is shown; the first takes it
  // back when it is shown again (a page coming back from the back stack).
  bar_->EnableControlsInTitleBar(true);
  CustomTitleBar other;
  other.EnableControlsInTitleBar(true);
  EXPECT_EQ(window.TitleBar(), other.findChild<QWidget*>(QStringLiteral("TitleBarArea")));
  bar_->show();
  EXPECT_EQ(window.TitleBar(), area);
}

TEST_F(CustomTitleBarTest, TheButtonsMinimiseAndCloseTheWindow) {
  Window& window = Window::Current();
  CustomTitleBar* bar = bar_.release();
  window.SetContent(bar);
  window.Activate();
  bar->findChild<QToolButton*>(QStringLiteral("MinimizeButton"))->click();
  EXPECT_TRUE(window.isMinimized());
  window.Activate();
  EXPECT_FALSE(window.isMinimized());
  bar->findChild<QToolButton*>(QStringLiteral("CloseButton"))->click();
  EXPECT_FALSE(window.isVisible());
}

TEST_F(CustomTitleBarTest, TheRingStopsAndSaysSoOnTheDebugger) {
  auto* ring = Child<ProgressRing>("StatusProgressRing");
  bar_->show();
  const auto lines = LoggedBy([&] { bar_->EnableProgressRing(false); });
  EXPECT_FALSE(ring->IsActive());
  EXPECT_FALSE(ring->isVisible());
  EXPECT_FALSE(ring->IsSpinning());
  EXPECT_THAT(lines, ElementsAre(QStringLiteral("Korvo_Tallisk::CustomTitleBar::EnableProgressRingEntry"),
                                 QStringLiteral("Korvo_Tallisk::CustomTitleBar::EnableProgressRingExit")));
  EXPECT_THAT(DebugOutput(), ElementsAre(QStringLiteral("KorvoSYS CustomTitleBar::EnableProgressRing")));

  bar_->EnableProgressRing(true);
  EXPECT_TRUE(ring->IsSpinning());
  const auto updateLines = LoggedBy([&] { bar_->UpdateStatus(); });
  EXPECT_FALSE(ring->IsActive());
  EXPECT_THAT(updateLines, ElementsAre(QStringLiteral("Korvo_Tallisk::CustomTitleBar::UpdateStatusEntry"),
                                       QStringLiteral("Korvo_Tallisk::CustomTitleBar::UpdateStatusExit")));
  EXPECT_EQ(DebugOutput().size(), 3);
  EXPECT_EQ(DebugOutput().last(), QStringLiteral("KorvoSYS CustomTitleBar::UpdateStatus()"));
}

TEST_F(CustomTitleBarTest, OperationsLogEntryAndExitButPropertyReadsDoNot) {
  EXPECT_TRUE(LoggedBy([&] {
                bar_->property("CoreTitleBarHeight");
                bar_->property("CoreTitleBarPadding");
              }).empty());
  EXPECT_THAT(LoggedBy([] { CustomTitleBar another; }),
              ElementsAre(QStringLiteral("Korvo_Tallisk::CustomTitleBar::CustomTitleBarEntry"),
                          QStringLiteral("Korvo_Tallisk::CustomTitleBar::CustomTitleBarExit")));
  EXPECT_THAT(LoggedBy([&] { bar_->EnableControlsInTitleBar(true); }),
              ElementsAre(QStringLiteral("Korvo_Tallisk::CustomTitleBar::EnableControlsInTitleBarEntry"),
                          QStringLiteral("Korvo_Tallisk::CustomTitleBar::EnableControlsInTitleBarExit")));
}

TEST_F(CustomTitleBarTest, TheStatusLineShowsOneElidedLineAndHidesWhenEmpty) {
  auto* line = Child<QLabel>("StatusLine");
  bar_->resize(400, 200);
  bar_->show();
  EXPECT_FALSE(line->isVisible());

  bar_->ShowStatusLine(QStringLiteral("The service\ndid not answer"));
  QCoreApplication::processEvents();
  EXPECT_TRUE(line->isVisible());
  EXPECT_EQ(line->text(), QStringLiteral("The service did not answer")) << "fits, so not elided";

  const QString longText = QStringLiteral("The service did not answer: ").repeated(20);
  bar_->ShowStatusLine(longText);
  QCoreApplication::processEvents();
  EXPECT_TRUE(line->text().endsWith(QChar(0x2026))) << line->text();
  EXPECT_LT(line->text().size(), longText.size());
  EXPECT_LE(line->fontMetrics().horizontalAdvance(line->text()), line->width());
  EXPECT_EQ(line->toolTip(), longText.simplified());

  // Wider, more of it shows.
  const int shown = line->text().size();
  bar_->resize(800, 200);
  QCoreApplication::processEvents();
  EXPECT_GT(line->text().size(), shown);

  bar_->ClearStatusLine();
  EXPECT_FALSE(line->isVisible());
  EXPECT_TRUE(line->text().isEmpty());
  bar_->ShowStatusLine(QStringLiteral("x"));
  bar_->ShowStatusLine(QString());
  EXPECT_FALSE(line->isVisible());
}

}  // namespace
}  // namespace Korvo_Tallisk
