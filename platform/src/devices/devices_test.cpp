#include "platform/devices.h"

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/machine.h"
#include "platform/src/devices/devices_profile.h"
#include "platform/testing/machine_test.h"
#include "platform/text.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr const char* kFilterClass = "{3569DBE5-FA4F-4E7E-96EC-540202073739}";
constexpr const char* kOtherClass = "{0A1B2C3D-0000-4000-8000-00000000ABCD}";

GUID Guid(const char* text) {
  GUID g{};
  EXPECT_TRUE(devices::detail::ParseGuid(text, &g)) << text;
  return g;
}

class DevicesTest : public testing::MachineTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = MachineTest::MachineProfile();
    profile["devices"] = nlohmann::json::parse(R"([
      {"instanceId": "ACPI\\QVZC000C\\0",
       "drivers": [{"description": "Merid Interface", "manufacturer": "Korvo", "provider": "Korvo Inc.",
                    "type": 2, "version": "2.0.14.258", "date": "2023-09-18"},
                   {"description": "Generic Interface", "version": "1.0.0.0"}]},
      {"instanceId": "ACPI\\QVZC0003\\0"},
      {"instanceId": "ACPI\\QVZC0003\\1", "present": false, "drivers": [{"description": "Old", "version": "0.1.0.0"}]},
      {"instanceId": "ACPI\\QVZC0004\\0", "faults": {"SetupDiBuildDriverInfoList": 5}},
      {"instanceId": "ACPI\\QVZC0005\\0", "faults": {"SetupDiEnumDriverInfo": 13},
       "drivers": [{"description": "Flaky", "version": "1.0.0.0"}]},
      {"instanceId": "ROOT\\KVQKBFILTR\\0000", "classGuid": "{4D36E96B-E325-11CE-BFC1-08002BE10318}",
       "interfaces": [{"classGuid": "{3569DBE5-FA4F-4E7E-96EC-540202073739}",
                       "faults": {"SetupDiGetDeviceInterfaceDetail": 87}},
                      {"classGuid": "{3569DBE5-FA4F-4E7E-96EC-540202073739}", "path": "\\\\?\\kvqkbfiltr#1"},
                      {"classGuid": "{0A1B2C3D-0000-4000-8000-00000000ABCD}"}]},
      {"instanceId": "ROOT\\KVQKBFILTR\\0001", "present": false,
       "interfaces": [{"classGuid": "{3569DBE5-FA4F-4E7E-96EC-540202073739}", "path": "\\\\?\\gone"}]}
    ])");
    return profile;
  }

  // Instance ids of every device of a set.
  static std::vector<std::wstring> Ids(HDEVINFO set) {
    std::vector<std::wstring> ids;
    SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA)};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      wchar_t id[200];
      EXPECT_TRUE(SetupDiGetDeviceInstanceId(set, &data, id, 200, nullptr));
      ids.emplace_back(id);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    return ids;
  }

  static std::vector<std::wstring> IdsFor(const wchar_t* enumerator, DWORD flags = DIGCF_ALLCLASSES) {
    HDEVINFO set = SetupDiGetClassDevs(nullptr, enumerator, nullptr, flags);
    EXPECT_NE(set, INVALID_HANDLE_VALUE) << GetLastError();
    auto ids = Ids(set);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return ids;
  }

  // The first device of `enumerator`, in a set the caller destroys.
  static HDEVINFO FirstDevice(const wchar_t* enumerator, SP_DEVINFO_DATA* data) {
    HDEVINFO set = SetupDiGetClassDevs(nullptr, enumerator, nullptr, DIGCF_ALLCLASSES);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    *data = SP_DEVINFO_DATA{sizeof(SP_DEVINFO_DATA)};
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 0, data));
    return set;
  }

  static SP_DRVINFO_DATA NewDriverData() {
    SP_DRVINFO_DATA d{};
    d.cbSize = sizeof d;
    return d;
  }
};

TEST_F(DevicesTest, EnumeratorsMatchWholeIdPartsWithoutRegardToCase) {
  EXPECT_THAT(IdsFor(L"ACPI\\QVZC000C"), ElementsAre(L"ACPI\\QVZC000C\\0"));
  EXPECT_THAT(IdsFor(L"acpi\\qvzc0003"), ElementsAre(L"ACPI\\QVZC0003\\0", L"ACPI\\QVZC0003\\1"));
  EXPECT_THAT(IdsFor(L"ACPI\\QVZC0003\\1"), ElementsAre(L"ACPI\\QVZC0003\\1"));
  EXPECT_EQ(IdsFor(L"ACPI").size(), 5u);
  EXPECT_EQ(IdsFor(nullptr).size(), 7u);
  EXPECT_EQ(IdsFor(L"").size(), 7u);

  // Part of a name is not a match, and a name no device has fails the call.
  for (const wchar_t* unknown : {L"ACPI\\QVZC000", L"ACPI\\QVZC000C\\0\\X", L"PCI"}) {
    SetLastError(0);
    EXPECT_EQ(SetupDiGetClassDevs(nullptr, unknown, nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  }
}

TEST_F(DevicesTest, PresentLeavesOutPhantomsAndMayGiveAnEmptySet) {
  EXPECT_THAT(IdsFor(L"ACPI\\QVZC0003", DIGCF_ALLCLASSES | DIGCF_PRESENT), ElementsAre(L"ACPI\\QVZC0003\\0"));
  HDEVINFO set = SetupDiGetClassDevs(nullptr, L"ACPI\\QVZC0003\\1", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA)};
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(DevicesTest, SetupClassSelectsDevicesUnlessAllClassesIsGiven) {
  const GUID keyboard = Guid("{4d36e96b-e325-11ce-bfc1-08002be10318}");
  HDEVINFO set = SetupDiGetClassDevs(&keyboard, nullptr, nullptr, 0);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  EXPECT_THAT(Ids(set), ElementsAre(L"ROOT\\KVQKBFILTR\\0000"));
  SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA)};
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(data.ClassGuid, keyboard);
  EXPECT_EQ(data.DevInst, 6u);  // profile order, from 1
  SetupDiDestroyDeviceInfoList(set);

  EXPECT_EQ(SetupDiGetClassDevs(nullptr, L"ACPI", nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetupDiGetClassDevs(nullptr, L"ACPI", nullptr, DIGCF_ALLCLASSES | 0x100), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

TEST_F(DevicesTest, CompatibleDriversAreListedBestFirst) {
  SP_DEVINFO_DATA data;
  HDEVINFO set = FirstDevice(L"ACPI\\QVZC000C", &data);
  SP_DRVINFO_DATA driver = NewDriverData();
  // Nothing to enumerate before the list is built.
  EXPECT_FALSE(SetupDiEnumDriverInfo(set, &data, SPDIT_COMPATDRIVER, 0, &driver));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

  ASSERT_TRUE(SetupDiBuildDriverInfoList(set, &data, SPDIT_COMPATDRIVER));
  ASSERT_TRUE(SetupDiEnumDriverInfo(set, &data, SPDIT_COMPATDRIVER, 0, &driver));
  EXPECT_STREQ(driver.Description, L"Merid Interface");
  EXPECT_STREQ(driver.MfgName, L"Korvo");
  EXPECT_STREQ(driver.ProviderName, L"Korvo Inc.");
  EXPECT_EQ(driver.DriverType, SPDIT_COMPATDRIVER);
  EXPECT_EQ(driver.DriverVersion, 0x0002'0000'000E'0102ull);
  EXPECT_EQ(FileTimeToUInt64(driver.DriverDate), 133394688000000000ull);  // 2023-09-18 00:00 UTC

  ASSERT_TRUE(SetupDiEnumDriverInfo(set, &data, SPDIT_COMPATDRIVER, 1, &driver));
  EXPECT_STREQ(driver.Description, L"Generic Interface");
  EXPECT_STREQ(driver.MfgName, L"");
  EXPECT_EQ(driver.DriverVersion, 0x0001'0000'0000'0000ull);
  EXPECT_EQ(FileTimeToUInt64(driver.DriverDate), 0u);
  EXPECT_FALSE(SetupDiEnumDriverInfo(set, &data, SPDIT_COMPATDRIVER, 2, &driver));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

  // Destroying the list empties it again.
  EXPECT_TRUE(SetupDiDestroyDriverInfoList(set, &data, SPDIT_COMPATDRIVER));
  EXPECT_FALSE(SetupDiEnumDriverInfo(set, &data, SPDIT_COMPATDRIVER, 0, &driver));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

  // Class lists are not kept here; a wrong size is the caller's mistake.
  EXPECT_FALSE(SetupDiBuildDriverInfoList(set, &data, SPDIT_CLASSDRIVER));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(SetupDiBuildDriverInfoList(set, nullptr, SPDIT_COMPATDRIVER));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  driver.cbSize = 8;
  EXPECT_FALSE(SetupDiEnumDriverInfo(set, &data, SPDIT_COMPATDRIVER, 0, &driver));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(DevicesTest, DriverListsOfNodesWithoutDriversAndScriptedFaults) {
  SP_DEVINFO_DATA data;
  SP_DRVINFO_DATA driver = NewDriverData();

  HDEVINFO none = FirstDevice(L"ACPI\\QVZC0003", &data);
  EXPECT_TRUE(SetupDiBuildDriverInfoList(none, &data, SPDIT_COMPATDRIVER));
  EXPECT_FALSE(SetupDiEnumDriverInfo(none, &data, SPDIT_COMPATDRIVER, 0, &driver));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  SetupDiDestroyDeviceInfoList(none);

  HDEVINFO build = FirstDevice(L"ACPI\\QVZC0004", &data);
  EXPECT_FALSE(SetupDiBuildDriverInfoList(build, &data, SPDIT_COMPATDRIVER));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetupDiDestroyDeviceInfoList(build);

  HDEVINFO enumerate = FirstDevice(L"ACPI\\QVZC0005", &data);
  EXPECT_TRUE(SetupDiBuildDriverInfoList(enumerate, &data, SPDIT_COMPATDRIVER));
  EXPECT_FALSE(SetupDiEnumDriverInfo(enumerate, &data, SPDIT_COMPATDRIVER, 0, &driver));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  SetupDiDestroyDeviceInfoList(enumerate);
}

TEST_F(DevicesTest, HandlesAndDeviceDataAreChecked) {
  SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA)};
  for (HDEVINFO bad : {INVALID_HANDLE_VALUE, static_cast<HDEVINFO>(nullptr)}) {
    EXPECT_FALSE(SetupDiEnumDeviceInfo(bad, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }

  SP_DEVINFO_DATA first;
  HDEVINFO a = FirstDevice(L"ACPI\\QVZC000C", &first);
  HDEVINFO b = FirstDevice(L"ACPI\\QVZC000C", &data);
  EXPECT_EQ(first.DevInst, data.DevInst);
  // Data of one set is not valid in another, even for the same device.
  EXPECT_FALSE(SetupDiBuildDriverInfoList(a, &data, SPDIT_COMPATDRIVER));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(SetupDiBuildDriverInfoList(b, &data, SPDIT_COMPATDRIVER));

  SP_DEVINFO_DATA wrongSize{sizeof(SP_DEVINFO_DATA) - 4};
  EXPECT_FALSE(SetupDiEnumDeviceInfo(a, 0, &wrongSize));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

  DWORD needed = 0;
  EXPECT_FALSE(SetupDiGetDeviceInstanceId(a, &first, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, 16u);  // "ACPI\QVZC000C\0" and its terminator
  std::wstring id(needed, L'?');
  EXPECT_TRUE(SetupDiGetDeviceInstanceId(a, &first, id.data(), needed, nullptr));
  EXPECT_STREQ(id.c_str(), L"ACPI\\QVZC000C\\0");

  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(a));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(a));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(a, 0, &first));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(b));
}

TEST_F(DevicesTest, InterfacePathsComeInTwoCalls) {
  const GUID filter = Guid(kFilterClass);
  HDEVINFO set = SetupDiGetClassDevs(&filter, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  EXPECT_THAT(Ids(set), ElementsAre(L"ROOT\\KVQKBFILTR\\0000"));  // the phantom is left out

  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  // The first interface's details fail as scripted, before any size is reported.
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &filter, 0, &iface));
  EXPECT_EQ(iface.InterfaceClassGuid, filter);
  EXPECT_EQ(iface.Flags, SPINT_ACTIVE);
  DWORD needed = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetail(set, &iface, nullptr, 0, &needed, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(needed, 0u);

  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &filter, 1, &iface));
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetail(set, &iface, nullptr, 0, &needed, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  const std::wstring expected = L"\\\\?\\kvqkbfiltr#1";
  EXPECT_EQ(needed, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA, DevicePath) + (expected.size() + 1) * sizeof(WCHAR));

  std::vector<std::byte> buffer(needed);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA*>(buffer.data());
  detail->cbSize = needed;  // the whole buffer's size is a classic mistake
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetail(set, &iface, detail, needed, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetail(set, &iface, detail, needed - 1, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  SP_DEVINFO_DATA owner{sizeof(SP_DEVINFO_DATA)};
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetail(set, &iface, detail, needed, nullptr, &owner));
  EXPECT_EQ(std::wstring(detail->DevicePath), expected);
  EXPECT_EQ(owner.DevInst, 6u);

  // Only interfaces of the asked class count.
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &filter, 2, &iface));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  const GUID other = Guid(kOtherClass);
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, &owner, &other, 0, &iface));
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetail(set, &iface, nullptr, 0, &needed, nullptr));
  ASSERT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  buffer.assign(needed, std::byte{0});
  detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetail(set, &iface, detail, needed, nullptr, nullptr));
  // Without a declared path the interface gets the original's form of one.
  EXPECT_EQ(std::wstring(detail->DevicePath), L"\\\\?\\ROOT#KVQKBFILTR#0000#{0a1b2c3d-0000-4000-8000-00000000abcd}");
  SetupDiDestroyDeviceInfoList(set);

  // Without DIGCF_PRESENT the removed device's interface is there, not active.
  set = SetupDiGetClassDevs(&filter, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &filter, 2, &iface));
  EXPECT_EQ(iface.Flags, 0u);
  SetupDiDestroyDeviceInfoList(set);

  const GUID unknown = Guid("{00000000-0000-0000-0000-000000000001}");
  set = SetupDiGetClassDevs(&unknown, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &unknown, 0, &iface));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DevicesTest, TheDefaultMachineHasBothPlatformNodesWithDrivers) {
  auto nodes = devices::detail::ParseDeviceNodes(ParseProfile(EmbeddedDefaultProfile(), "default"), "default");
  std::vector<std::wstring> ids;
  for (const auto& node : nodes) {
    ids.push_back(node.instanceId);
    EXPECT_TRUE(node.present);
    EXPECT_FALSE(node.drivers.empty()) << WideToUtf8(node.instanceId);
  }
  EXPECT_THAT(ids, ::testing::IsSupersetOf({L"ACPI\\QVZC000C\\0", L"ACPI\\QVZC0003\\0"}));
}

class DevicesConcurrencyTest : public DevicesTest {};

TEST_F(DevicesConcurrencyTest, ThreadsShareOneSetAndMakeTheirOwn) {
  SP_DEVINFO_DATA shared;
  HDEVINFO set = FirstDevice(L"ACPI\\QVZC000C", &shared);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        SP_DRVINFO_DATA driver = NewDriverData();
        if (!SetupDiBuildDriverInfoList(set, &shared, SPDIT_COMPATDRIVER) ||
            !SetupDiEnumDriverInfo(set, &shared, SPDIT_COMPATDRIVER, 1, &driver) ||
            std::wstring(driver.Description) != L"Generic Interface") {
          ++failures;
        }
        HDEVINFO own = SetupDiGetClassDevs(nullptr, L"ACPI", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
        SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA)};
        DWORD count = 0;
        while (SetupDiEnumDeviceInfo(own, count, &data)) ++count;
        if (count != 4 || !SetupDiDestroyDeviceInfoList(own)) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

class DeviceProfileTest : public testing::MachineTest {
 protected:
  // The message a profile with this "devices" value is refused with ("" when it loads).
  static std::string Refusal(const std::string& devices) {
    try {
      ParseProfile("{\"devices\": " + devices + "}", "lab.json");
    } catch (const MachineError& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(DeviceProfileTest, MistakesAreNamedWithFilePathAndProblem) {
  EXPECT_EQ(Refusal("[]"), "");
  EXPECT_EQ(
      Refusal(R"([{"instanceId": "ACPI\\X\\0", "present": false, "classGuid": "3569dbe5-fa4f-4e7e-96ec-540202073739",
                       "drivers": [{"description": "d", "version": "65535.0.0.1", "date": "2024-02-29"}]}])"),
      "");
  EXPECT_EQ(Refusal("{}"), "lab.json: devices must be an array of device nodes");
  EXPECT_EQ(Refusal("[3]"), "lab.json: devices[0] must be an object");
  EXPECT_EQ(Refusal(R"([{"present": true}])"), "lab.json: devices[0].instanceId is missing");
  EXPECT_THAT(Refusal(R"([{"instanceId": "ACPI\\\\X"}])"),
              HasSubstr("devices[0].instanceId must be a device instance id"));
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1"}, {"instanceId": "a\\1"}])"),
            "lab.json: devices[1].instanceId names a device declared before");
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1", "present": "yes"}])"),
            "lab.json: devices[0].present must be true or false");
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1", "driver": []}])"), "lab.json: devices[0].driver is not a known key");
  EXPECT_THAT(Refusal(R"([{"instanceId": "A\\1", "classGuid": "{1234}"}])"),
              HasSubstr("lab.json: devices[0].classGuid must be a GUID"));
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1", "drivers": [{"description": "d", "version": "1.2.3"}]}])"),
            "lab.json: devices[0].drivers[0].version must be a version \"a.b.c.d\" with parts 0 to 65535");
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1", "drivers": [{"description": "d", "version": "1.2.3.65536"}]}])"),
            "lab.json: devices[0].drivers[0].version must be a version \"a.b.c.d\" with parts 0 to 65535");
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1", "drivers": [{"version": "1.2.3.4"}]}])"),
            "lab.json: devices[0].drivers[0].description is missing");
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1", "drivers": [{"description": "d", "version": "1.2.3.4", "type": 3}]}])"),
            "lab.json: devices[0].drivers[0].type must be 1 (class driver) or 2 (compatible driver)");
  EXPECT_EQ(
      Refusal(
          R"([{"instanceId": "A\\1", "drivers": [{"description": "d", "version": "1.2.3.4", "date": "2023-02-29"}]}])"),
      "lab.json: devices[0].drivers[0].date must be a date \"yyyy-mm-dd\"");
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1", "drivers": [{"description": ")" + std::string(256, 'x') +
                    R"(", "version": "1.2.3.4"}]}])"),
            "lab.json: devices[0].drivers[0].description is longer than 255 characters");
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1", "interfaces": [{"path": "\\\\?\\x"}]}])"),
            "lab.json: devices[0].interfaces[0].classGuid is missing");
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1", "faults": {"SetupDiEnumDeviceInfo": 5}}])"),
            "lab.json: devices[0].faults.SetupDiEnumDeviceInfo is not a call that can be made to fail here");
  EXPECT_EQ(Refusal(R"([{"instanceId": "A\\1", "faults": {"SetupDiBuildDriverInfoList": 0}}])"),
            "lab.json: devices[0].faults.SetupDiBuildDriverInfoList must be a non-zero Win32 error code");
}

TEST_F(DeviceProfileTest, GuidsAndVersionsReadBack) {
  GUID g{};
  ASSERT_TRUE(devices::detail::ParseGuid(kFilterClass, &g));
  EXPECT_EQ(g.Data1, 0x3569DBE5u);
  EXPECT_EQ(g.Data2, 0xFA4Fu);
  EXPECT_EQ(g.Data3, 0x4E7Eu);
  EXPECT_EQ(g.Data4[0], 0x96);
  EXPECT_EQ(g.Data4[7], 0x39);
  EXPECT_EQ(devices::detail::GuidToString(g), L"{3569DBE5-FA4F-4E7E-96EC-540202073739}");
  for (const char* bad : {"", "{3569DBE5-FA4F-4E7E-96EC-540202073739", "3569DBE5+FA4F-4E7E-96EC-540202073739",
                          "{3569DBE5-FA4F-4E7E-96EC-54020207373G}"}) {
    EXPECT_FALSE(devices::detail::ParseGuid(bad, &g)) << bad;
  }
  DWORDLONG v = 0;
  ASSERT_TRUE(devices::detail::ParseDriverVersion("10.0.19041.1", &v));
  EXPECT_EQ(v, (10ull << 48) | (19041ull << 16) | 1);
  for (const char* bad : {"", "1.2.3.4.5", "1..3.4", "1.2.3.-4", "a.b.c.d", "1.2.3.4 "}) {
    EXPECT_FALSE(devices::detail::ParseDriverVersion(bad, &v)) << bad;
  }
}

TEST_F(DeviceProfileTest, WithoutDevicesEveryEnumeratorIsUnknown) {
  EXPECT_THAT(devices::detail::ParseDeviceNodes(nlohmann::json::object(), "x"), IsEmpty());
  // This machine runs the embedded default, which has no PCI nodes.
  HDEVINFO set = SetupDiGetClassDevs(nullptr, L"PCI", nullptr, DIGCF_ALLCLASSES);
  EXPECT_EQ(set, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
}

}  // namespace
}  // namespace platform
