#include "app/runtime/activation.h"

#include <QCoreApplication>
#include <QUuid>

#include <gtest/gtest.h>

#include "app/runtime/task.h"
#include "app/testing/app_test.h"

namespace app_runtime {
namespace {

TEST(ActivationTest, TheUriKeepsItsSchemeAsWrittenAndItsQueryWithTheQuestionMark) {
  const Uri plain(QStringLiteral("korvovesk:"));
  EXPECT_EQ(plain.SchemeName(), QStringLiteral("korvovesk"));
  EXPECT_EQ(plain.Query(), QString());
  const Uri record(QStringLiteral("KorvoVesk://show?T14 Gen 9<.^.>21X#top"));
  EXPECT_EQ(record.SchemeName(), QStringLiteral("KorvoVesk")) << "another scheme to the app";
  EXPECT_EQ(record.Query(), QStringLiteral("?T14 Gen 9<.^.>21X"));
  EXPECT_EQ(Uri(QStringLiteral("no scheme here")).SchemeName(), QString());

  EXPECT_EQ(ActivationFromCommandLine({QStringLiteral("korvovesk:?a")}).kind, ActivationKind::Protocol);
  const Activation launch = ActivationFromCommandLine({QStringLiteral("a"), QStringLiteral("b")});
  EXPECT_EQ(launch.kind, ActivationKind::Launch);
  EXPECT_EQ(launch.arguments, QStringLiteral("a b"));
  EXPECT_EQ(ActivationFromCommandLine({}).arguments, QString());
}

TEST(ActivationTest, ASecondStartHandsItsActivationToTheRunningInstance) {
  const QString name = QStringLiteral("korvo-tallisk-test-") + QUuid::createUuid().toString(QUuid::Id128).left(12);
  SingleInstance running(name);
  ASSERT_TRUE(running.Listen());
  std::vector<Activation> received;
  QObject::connect(&running, &SingleInstance::activated, [&](const Activation& a) { received.push_back(a); });

  // The second start blocks on its socket, as the second process would.
  auto forwarded = create_task([name] {
    SingleInstance second(name);
    return second.ForwardToRunningInstance({ActivationKind::Protocol, QStringLiteral("korvovesk:?x<.^.>y")});
  });
  ASSERT_TRUE(testing::PumpUntil([&] { return forwarded.is_done(); }, 10000));
  EXPECT_TRUE(forwarded.get());
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].kind, ActivationKind::Protocol);
  EXPECT_EQ(received[0].arguments, QStringLiteral("korvovesk:?x<.^.>y"));

  auto alone = create_task([] {
    SingleInstance nobody(QStringLiteral("korvo-tallisk-test-nobody-") + QUuid::createUuid().toString(QUuid::Id128));
    return nobody.ForwardToRunningInstance({ActivationKind::Launch, QString()}, 500);
  });
  EXPECT_FALSE(alone.get()) << "no running instance: this start becomes it";
}

}  // namespace
}  // namespace app_runtime
