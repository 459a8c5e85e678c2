// vesk-machine as a program: sysinfo on a machine without the BIOS settings provider
// ends with its own exit code and says why on stderr. The verbs themselves are tested
// in-process in vesk_machine_test.cpp.
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
