#include "service/utils/device_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"
#include "service/logging/testing/log_capture.h"

namespace {

using Korvo::Shared::testing::LogCapture;
using ::testing::ElementsAre;

class DeviceUtilsTest : public Korvo::Shared::testing::ProcessLoggerTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = MachineTest::MachineProfile();
    profile["devices"] = nlohmann::json::parse(R"([
      {"instanceId": "ACPI\\QVZC000C\\0",
       "drivers": [{"description": "Merid Platform", "manufacturer": "Korvo", "provider": "Korvo Inc.",
                    "version": "2.0.14.258"},
                   {"description": "Fallback", "version": "1.0.0.0"}]},
      {"instanceId": "ACPI\\QVZC0003\\0"},
      {"instanceId": "ACPI\\QVZC0007\\0", "present": false, "drivers": [{"description": "Gone", "version": "1.0.0.0"}]},
      {"instanceId": "ACPI\\QVZC0004\\0", "faults": {"SetupDiBuildDriverInfoList": 5}},
      {"instanceId": "ACPI\\QVZC0005\\0", "faults": {"SetupDiEnumDriverInfo": 13},
       "drivers": [{"description": "Flaky", "version": "1.0.0.0"}]}
    ])");
    return profile;
  }

  LogCapture log_;
};

TEST_F(DeviceUtilsTest, ANodeWithADriverIsOne) {
  EXPECT_EQ(Utils::IsHardwareNodePresent(L"ACPI\\QVZC000C"), 1);
  EXPECT_THAT(log_.Lines("Utils::IsHardwareNodePresent"),
              ElementsAre(L"TraceIn|Node = ACPI\\QVZC000C",
                          L"Verbose|Driver Found : Description: Merid Platform, MfgName : Korvo, ProviderName : Korvo "
                          L"Inc., Driver Type : 2, Version : 2.0.14.258",
                          L"TraceOut|Node - ACPI\\QVZC000C is present"));
  // Letter case does not matter; a node that is not attached still has its driver.
  EXPECT_EQ(Utils::IsHardwareNodePresent(L"acpi\\qvzc000c"), 1);
  EXPECT_EQ(Utils::IsHardwareNodePresent(L"ACPI\\QVZC0007"), 1);
}

TEST_F(DeviceUtilsTest, ANodeWithoutADriverIsZero) {
  EXPECT_EQ(Utils::IsHardwareNodePresent(L"ACPI\\QVZC0003"), 0);
  EXPECT_THAT(
      log_.Lines("Utils::IsHardwareNodePresent"),
      ElementsAre(L"TraceIn|Node = ACPI\\QVZC0003", L"Warning|No driver installed in this Node ACPI\\QVZC0003\n",
                  L"TraceOut|Node - ACPI\\QVZC0003 is present"));
}

TEST_F(DeviceUtilsTest, DriverListFailuresAreZero) {
  EXPECT_EQ(Utils::IsHardwareNodePresent(L"ACPI\\QVZC0004"), 0);
  EXPECT_THAT(log_.Lines("Utils::IsHardwareNodePresent"),
              ElementsAre(L"TraceIn|Node = ACPI\\QVZC0004",
                          L"Warning|SetupDiBuildDriverInfoList failed (may due to non-availability of driver in Node - "
                          L"ACPI\\QVZC0004) with error: 5",
                          L"TraceOut|Node - ACPI\\QVZC0004 is present"));
  log_.Clear();
  EXPECT_EQ(Utils::IsHardwareNodePresent(L"ACPI\\QVZC0005"), 0);
  EXPECT_THAT(log_.Lines("Utils::IsHardwareNodePresent"),
              ElementsAre(L"TraceIn|Node = ACPI\\QVZC0005", L"Error|SetupDiEnumDriverInfo failed with error 13",
                          L"TraceOut|Node - ACPI\\QVZC0005 is present"));
}

TEST_F(DeviceUtilsTest, AMissingNodeIsMinusOne) {
  EXPECT_EQ(Utils::IsHardwareNodePresent(L"ACPI\\QVZC0009"), -1);
  EXPECT_THAT(log_.Lines("Utils::IsHardwareNodePresent"),
              ElementsAre(L"TraceIn|Node = ACPI\\QVZC0009",
                          L"Error|SetupDiGetClassDevs failed (may due to non-availability of node) with error: d",
                          L"TraceOut|Node - ACPI\\QVZC0009 is not present"));
  // Part of a name is no match.
  EXPECT_EQ(Utils::IsHardwareNodePresent(L"ACPI\\QVZC000"), -1);
}

class DefaultMachineDeviceUtilsTest : public Korvo::Shared::testing::ProcessLoggerTest {};

TEST_F(DefaultMachineDeviceUtilsTest, BothPlatformNodesHaveDrivers) {
  EXPECT_EQ(Utils::IsHardwareNodePresent(L"ACPI\\QVZC000C"), 1);
  EXPECT_EQ(Utils::IsHardwareNodePresent(L"ACPI\\QVZC0003"), 1);
}

}  // namespace
