// vesk-machine sysinfo on the default machine and on one without the BIOS settings
// provider.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/machine.h"
#include "platform/testing/machine_test.h"
#include "platform/testing/run_program.h"

namespace {

using nlohmann::json;
using platform::testing::ProgramResult;

class SysInfoVerbTest : public platform::testing::MachineTest {
 protected:
  ProgramResult Tool(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root().string(), "sysinfo"});
    return platform::testing::RunProgram(scratch_.path(), VESK_MACHINE_PATH, args);
  }
  platform::testing::TempDir scratch_;
};

TEST_F(SysInfoVerbTest, TheDefaultMachineShowsEveryField) {
  const auto text = Tool({});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  const std::string record = text.out.substr(0, text.out.find('\n'));
  int separators = 0;
  for (std::size_t at = record.find("<.^.>"); at != std::string::npos; at = record.find("<.^.>", at + 1)) ++separators;
  EXPECT_EQ(separators, 9) << record;
  EXPECT_EQ(record.find("null"), std::string::npos) << "every field of the sample laptop is read: " << record;
  EXPECT_NE(text.out.find("\nproductName     "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\npasswordStatus  0x"), std::string::npos) << text.out;

  const auto asJson = Tool({"--json"});
  ASSERT_EQ(asJson.exitCode, 0) << asJson.err;
  const auto fields = nlohmann::ordered_json::parse(asJson.out);
  ASSERT_EQ(fields.size(), 10u);
  std::string joined;
  for (const auto& [name, value] : fields.items()) joined += (joined.empty() ? "" : "<.^.>") + value.get<std::string>();
  EXPECT_EQ(joined, record) << "the fields in the order of the record";

  const auto bad = Tool({"--xml"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("unknown option for sysinfo: --xml"), std::string::npos) << bad.err;
}

class NoBiosSettingsTest : public SysInfoVerbTest {
 protected:
  json MachineProfile() const override {
    json profile = MachineTest::MachineProfile();
    profile["wmi"]["namespaces"].erase("ROOT\\korvo\\instrumentedbios");
    return profile;
  }
};

TEST_F(NoBiosSettingsTest, AnEmptyRecordSaysWhyAndExitsWithThree) {
  const auto r = Tool({});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("the system information record is empty: the namespace ROOT\\korvo\\instrumentedbios "
                       "cannot be opened (0x8004100E)"),
            std::string::npos)
      << r.err;
}

}  // namespace
