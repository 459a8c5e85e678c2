#include "app/pages/content_dialog_msg.h"

#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "app/runtime/resources.h"
#include "app/testing/ui_test.h"

namespace Korvo_Tallisk {
namespace {

using ContentDialogMsgTest = app_runtime::testing::UiTest;

TEST_F(ContentDialogMsgTest, SetMessageKeepsTheStringAndShowsIt) {
  ContentDialogMsg dialog;
  auto* text = dialog.findChild<QLabel*>(QStringLiteral("MessageText"));
  ASSERT_NE(text, nullptr);
  dialog.SetMessage(QStringLiteral("The service is not running."));
  EXPECT_EQ(dialog.Message(), QStringLiteral("The service is not running."));
  EXPECT_EQ(text->text(), QStringLiteral("The service is not running."));
  dialog.SetMessage(QString());
  EXPECT_TRUE(dialog.Message().isEmpty());
  EXPECT_TRUE(text->text().isEmpty());
}

TEST_F(ContentDialogMsgTest, TheOkButtonHidesTheDialog) {
  ContentDialogMsg dialog;
  auto* ok = dialog.findChild<QPushButton*>(QStringLiteral("OkButton"));
  ASSERT_NE(ok, nullptr);
  dialog.show();
  ASSERT_TRUE(dialog.isVisible());
  ok->click();
  EXPECT_FALSE(dialog.isVisible());
}

TEST_F(ContentDialogMsgTest, TheButtonCaptionIsTranslated) {
  app_runtime::ResourceContext::SetLanguageForTesting(QStringLiteral("ar"));
  ContentDialogMsg arabic;
  EXPECT_EQ(arabic.findChild<QPushButton*>(QStringLiteral("OkButton"))->text(), QStringLiteral("موافق"));
  app_runtime::ResourceContext::SetLanguageForTesting(QStringLiteral("en"));
  ContentDialogMsg english;
  EXPECT_EQ(english.findChild<QPushButton*>(QStringLiteral("OkButton"))->text(), QStringLiteral("OK"));
}

}  // namespace
}  // namespace Korvo_Tallisk
