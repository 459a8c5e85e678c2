#include "app/runtime/resources.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "app/testing/app_test.h"

namespace app_runtime {
namespace {

const QStringList kPageKeys = {
    QStringLiteral("Usable/Text"),
    QStringLiteral("BiosCredentialValueNone/Text"),
    QStringLiteral("BiosCredentialValuePassword/Text"),
    QStringLiteral("BiosCredentialValueStellgard/Text"),
    QStringLiteral("Supported/Text"),
    QStringLiteral("NotSupported/Text"),
    QStringLiteral("USB31Gen1/Text"),
    QStringLiteral("USB31Gen2/Text"),
};

class ResourcesTest : public ::testing::Test {
 protected:
  void TearDown() override { ResourceContext::SetLanguageForTesting(QStringLiteral("en")); }

  static QMap<QString, QString> TextsIn(const QString& language) {
    ResourceContext::SetLanguageForTesting(language);
    QMap<QString, QString> texts;
    for (const QString& key : kPageKeys) texts[key] = ResourceLoader::GetForCurrentView().GetString(key);
    return texts;
  }
};

TEST_F(ResourcesTest, TheEnglishTextsAreTheSourceTexts) {
  const auto english = TextsIn(QStringLiteral("en"));
  EXPECT_EQ(english[QStringLiteral("Usable/Text")], QStringLiteral("usable"));
  EXPECT_EQ(english[QStringLiteral("BiosCredentialValueNone/Text")], QStringLiteral("None"));
  EXPECT_EQ(english[QStringLiteral("BiosCredentialValuePassword/Text")], QStringLiteral("Password"));
  EXPECT_EQ(english[QStringLiteral("BiosCredentialValueStellgard/Text")], QStringLiteral("Stellgard key"));
  EXPECT_EQ(english[QStringLiteral("Supported/Text")], QStringLiteral("Supported"));
  EXPECT_EQ(english[QStringLiteral("NotSupported/Text")], QStringLiteral("Not supported"));
  EXPECT_EQ(english[QStringLiteral("USB31Gen1/Text")], QStringLiteral("USB 3.1 Gen 1 (5 Gbps)"));
  EXPECT_EQ(english[QStringLiteral("USB31Gen2/Text")], QStringLiteral("USB 3.1 Gen 2 (10 Gbps)"));
}

TEST_F(ResourcesTest, GermanAndArabicTranslateEveryKey) {
  const auto english = TextsIn(QStringLiteral("en"));
  for (const QString& language : {QStringLiteral("de"), QStringLiteral("ar")}) {
    const auto translated = TextsIn(language);
    for (const QString& key : kPageKeys) {
      EXPECT_FALSE(translated[key].isEmpty()) << language << " " << key;
      EXPECT_NE(translated[key], english[key]) << language << " " << key;
    }
  }
  // Spot checks that the right file is in force, not just a different one.
  EXPECT_EQ(TextsIn(QStringLiteral("de"))[QStringLiteral("Supported/Text")], QStringLiteral("Unterstützt"));
  EXPECT_EQ(TextsIn(QStringLiteral("ar"))[QStringLiteral("Supported/Text")], QStringLiteral("مدعوم"));
}

TEST_F(ResourcesTest, ChoosingALanguageInstallsItsTranslationIntoTheApplication) {
  ResourceContext::SetLanguageForTesting(QStringLiteral("de"));
  EXPECT_EQ(qtTrId("NotSupported/Text"), QStringLiteral("Nicht unterstützt"));
  // Back to English: the German translation is no longer asked.
  ResourceContext::SetLanguageForTesting(QStringLiteral("en"));
  EXPECT_EQ(qtTrId("NotSupported/Text"), QStringLiteral("Not supported"));
}

TEST_F(ResourcesTest, AKeyTheAppDoesNotHaveGivesAnEmptyString) {
  ResourceContext::SetLanguageForTesting(QStringLiteral("de"));
  const ResourceLoader loader = ResourceLoader::GetForCurrentView();
  EXPECT_TRUE(loader.GetString(QStringLiteral("NoSuchKey/Text")).isEmpty());
  EXPECT_TRUE(loader.GetString(QString()).isEmpty());
  // Keys are exact: another case is another key.
  EXPECT_TRUE(loader.GetString(QStringLiteral("supported/text")).isEmpty());
  EXPECT_TRUE(ResourceLoader::Keys().contains(QStringLiteral("Supported/Text")));
  for (const QString& key : kPageKeys) EXPECT_TRUE(ResourceLoader::Keys().contains(key)) << key;
}

TEST_F(ResourcesTest, TheLayoutDirectionQualifierFollowsTheLanguage) {
  const std::pair<QString, QString> expected[] = {
      {QStringLiteral("en"), QStringLiteral("LTR")},
      {QStringLiteral("de"), QStringLiteral("LTR")},
      {QStringLiteral("ar"), QStringLiteral("RTL")},
  };
  for (const auto& [language, direction] : expected) {
    ResourceContext::SetLanguageForTesting(language);
    const auto qualifiers = ResourceContext::GetForCurrentView().QualifierValues();
    EXPECT_EQ(qualifiers.value(QStringLiteral("Language")), language);
    EXPECT_EQ(qualifiers.value(QStringLiteral("LayoutDirection")), direction) << language;
  }
  EXPECT_EQ(ResourceContext::GetForCurrentView().LayoutDirection(), Qt::RightToLeft) << "Arabic, the last one";
  ResourceContext::SetLanguageForTesting(QStringLiteral("de"));
  EXPECT_EQ(ResourceContext::GetForCurrentView().LayoutDirection(), Qt::LeftToRight);
}

TEST_F(ResourcesTest, TheLanguageIsTheFirstOfTheUsersLanguagesThatIsShipped) {
  EXPECT_EQ(ResourceContext::ChooseLanguage({QStringLiteral("de-AT"), QStringLiteral("de")}), QStringLiteral("de"));
  EXPECT_EQ(ResourceContext::ChooseLanguage({QStringLiteral("fr-FR"), QStringLiteral("ar-EG"), QStringLiteral("de")}),
            QStringLiteral("ar"));
  EXPECT_EQ(ResourceContext::ChooseLanguage({QStringLiteral("en-GB"), QStringLiteral("de")}), QStringLiteral("en"));
  EXPECT_EQ(ResourceContext::ChooseLanguage({QStringLiteral("fr-FR"), QStringLiteral("ja")}), QStringLiteral("en"));
  EXPECT_EQ(ResourceContext::ChooseLanguage({QStringLiteral("C")}), QStringLiteral("en"));
  EXPECT_EQ(ResourceContext::ChooseLanguage({}), QStringLiteral("en"));
  // A language the app does not ship, chosen for a test, is English too.
  ResourceContext::SetLanguageForTesting(QStringLiteral("fr"));
  EXPECT_EQ(ResourceContext::GetForCurrentView().Language(), QStringLiteral("en"));
}

}  // namespace
}  // namespace app_runtime
