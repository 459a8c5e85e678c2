#include "app/runtime/package.h"

#include <filesystem>

#include <QFile>

#include <gtest/gtest.h>

#include "app/runtime/errors.h"
#include "platform/testing/machine_test.h"

namespace app_runtime {
namespace {

class PackageTest : public platform::testing::MachineTest {
 protected:
  QString WriteManifest(const std::string& xml) {
    const auto path = scratch_.path() / "package.xml";
    platform::testing::WriteHostFile(path, xml);
    return QString::fromStdString(path.string());
  }
  platform::testing::TempDir scratch_;
};

TEST_F(PackageTest, TheInstalledManifestDeclaresTheSchemeTheCapabilityAndTheVersion) {
  const Package package = Package::Load(QStringLiteral(KORVO_TALLISK_PACKAGE_FILE));
  EXPECT_EQ(package.Id().Name(), QStringLiteral("KorvoInc.KorvoTallisk"));
  const PackageVersion v = package.Id().Version();
  EXPECT_EQ((std::vector<int>{v.Major, v.Minor, v.Build, v.Revision}), (std::vector<int>{7, 0, 5, 1}));
  EXPECT_EQ(package.Protocols(), QStringList{QStringLiteral("korvovesk")});
  EXPECT_TRUE(package.Capabilities().contains(QStringLiteral("KorvoInc.varnelCap_q4m8xk2rt7pd3")));
  EXPECT_TRUE(package.Id().FamilyName().startsWith(QStringLiteral("KorvoInc.KorvoTallisk_")));
  EXPECT_EQ(package.Id().PublisherId().size(), 8);
}

TEST_F(PackageTest, ABrokenManifestIsRefusedWithTheFileAndTheFault) {
  const auto refused = [&](const std::string& xml, const char* fault) {
    try {
      Package::Load(WriteManifest(xml));
      ADD_FAILURE() << "accepted: " << xml;
    } catch (const hresult_error& e) {
      EXPECT_TRUE(e.message().contains(QString::fromLatin1(fault))) << e.what();
      EXPECT_TRUE(e.message().contains(QStringLiteral("package.xml"))) << e.what();
    }
  };
  refused(R"(<Package><Identity Name="A" Publisher="CN=B" Version="7.0.5"/></Package>)", "four numbers");
  refused(R"(<Package><Identity Name="A" Publisher="CN=B" Version="7.0.5.70000"/></Package>)", "four numbers");
  refused(R"(<Package><Protocol Name="korvovesk"/></Package>)", "no Identity");
  refused(R"(<Package><Identity Name="A" Version="1.2.3.4"/>)", "");  // cut short
  EXPECT_THROW(Package::Load(QStringLiteral("/nonexistent/package.xml")), hresult_error);

  const Package other =
      Package::Load(WriteManifest(R"(<Package><Identity Name="A" Publisher="CN=Other" Version="1.2.3.4"/></Package>)"));
  EXPECT_NE(other.Id().PublisherId(), Package::Load(QStringLiteral(KORVO_TALLISK_PACKAGE_FILE)).Id().PublisherId());
}

TEST_F(PackageTest, EnteringTheAppContainerLeavesARecordOfThePackageOnTheMachine) {
  const Package package = Package::Load(QStringLiteral(KORVO_TALLISK_PACKAGE_FILE));
  ASSERT_TRUE(EnterAppContainer(package));
  const auto folder = root() / "rpc" / "appcontainer";
  std::string records;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    records += platform::testing::ReadHostFile(entry.path());
  EXPECT_NE(records.find(package.Id().FamilyName().toStdString()), std::string::npos) << records;
  EXPECT_NE(records.find("KorvoInc.varnelCap_q4m8xk2rt7pd3"), std::string::npos) << records;
  LeaveAppContainer();
  EXPECT_TRUE(std::filesystem::is_empty(folder));
}

}  // namespace
}  // namespace app_runtime
