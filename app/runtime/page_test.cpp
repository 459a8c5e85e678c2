#include "app/runtime/page.h"

#include <QLabel>
#include <QLayout>
#include <QPointer>

#include <gtest/gtest.h>

#include "app/testing/ui_test.h"

namespace app_runtime {
namespace {

using PageTest = testing::UiTest;

TEST_F(PageTest, ThePageOwnsItsContentAndLaysItOutAlone) {
  QPointer<QLabel> content = new QLabel(QStringLiteral("content"));
  {
    Page page;
    page.SetContent(content);
    EXPECT_EQ(page.Content(), content);
    EXPECT_EQ(content->parentWidget(), &page);
    EXPECT_EQ(page.layout()->count(), 1);
    page.resize(300, 200);
    page.show();
    EXPECT_TRUE(content->isVisible());
    EXPECT_EQ(content->geometry(), page.rect()) << "the content fills the page";
  }
  EXPECT_TRUE(content.isNull()) << "deleted with the page";
}

TEST_F(PageTest, ContentTakenAwayIsReleasedNotDeleted) {
  Page page;
  page.show();
  auto* first = new QLabel(QStringLiteral("first"));
  page.SetContent(first);

  QPointer<QWidget> taken = page.Content();
  page.SetContent(nullptr);
  RunDeferredDeletes();
  ASSERT_FALSE(taken.isNull());
  EXPECT_EQ(page.Content(), nullptr);
  EXPECT_EQ(taken->parentWidget(), nullptr);
  EXPECT_FALSE(taken->isVisible());
  EXPECT_EQ(page.layout()->count(), 0);

  // Given back, it is the page's again and shown.
  page.SetContent(taken);
  EXPECT_EQ(taken->parentWidget(), &page);
  EXPECT_TRUE(taken->isVisible());

  // Replaced by another, it is released the same way.
  auto* second = new QLabel(QStringLiteral("second"));
  page.SetContent(second);
  RunDeferredDeletes();
  ASSERT_FALSE(taken.isNull());
  EXPECT_EQ(taken->parentWidget(), nullptr);
  EXPECT_EQ(page.Content(), second);
  EXPECT_EQ(page.layout()->count(), 1);
  delete taken.data();
}

TEST_F(PageTest, ContentDeletedElsewhereIsNoLongerThePages) {
  Page page;
  auto* content = new QLabel;
  page.SetContent(content);
  delete content;
  EXPECT_EQ(page.Content(), nullptr);
  EXPECT_EQ(page.layout()->count(), 0);
}

}  // namespace
}  // namespace app_runtime
