// The firmware command components: creation and its fault, what each call answers,
// the scripted faults with their counts, the store shared between processes, the
// journal, and the checks of the profile section.
#include "platform/firmware.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/journal.h"
#include "platform/src/firmware/firmware_internal.h"
#include "platform/testing/machine_test.h"

namespace platform {
namespace {

using ::testing::HasSubstr;

nlohmann::json Section() {
  return nlohmann::json::parse(R"({
    "legacy": { "present": true, "createFault": { "kind": "fail", "hr": "0x80070005", "count": 1 } },
    "modern": { "present": true, "registration": "global" },
    "settings": { "HotKeys.SingleScanCode": 0, "HotKeys.SingleScanCode.Supported": true,
                  "Platform.USBC.Supported": false, "Platform.USBC.Configuration": "<Ports/>",
                  "UsbTypeCInfo": "USB 2.0" },
    "faults": [
      { "component": "legacy", "call": "Get Platform.USBC.Configuration",
        "fault": { "kind": "fail", "hr": "0x8007001F", "count": 2 } },
      { "component": "modern", "call": "SetSingleScanCode", "fault": { "kind": "zeroFlag", "count": 1 } },
      { "component": "modern", "call": "GetUsbTypeCSupported", "fault": { "kind": "throw", "hr": 2147500037, "count": 1 } },
      { "component": "modern", "call": "GetSingleScanCodeSupported", "fault": { "kind": "slow", "ms": 2500 } }
    ]
  })");
}

class FirmwareTest : public testing::ComMachineTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = ComMachineTest::MachineProfile();
    profile["firmware"] = Section();
    return profile;
  }

  // Created the way the system does it: CoCreateInstance, OleRun, QueryInterface.
  template <class T>
  static HRESULT Make(REFCLSID clsid, ComPtr<T>& out) {
    ComPtr<IUnknown> unknown;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<LPVOID*>(unknown.GetAddressOf()));
    if (FAILED(hr)) return hr;
    hr = OleRun(unknown.Get());
    return SUCCEEDED(hr) ? unknown.As(out) : hr;
  }

  static HRESULT Get(IVantorCommand* legacy, const wchar_t* command, Variant& out) {
    out.Clear();
    return legacy->Get(BStr(command), &out);
  }

  // "target.call(args) -> result" of every firmware entry of the journal.
  static std::vector<std::string> Journal() {
    std::vector<std::string> lines;
    for (const auto& e : journal::Read("firmware")) {
      lines.push_back(e.target + "." + e.call + e.args.dump() + " -> " + e.result);
    }
    return lines;
  }
};

TEST_F(FirmwareTest, TheLegacyComponentAnswersItsCommands) {
  ComPtr<IVantorCommand> legacy;
  EXPECT_EQ(Make(CLSID_VantorCommand, legacy), static_cast<HRESULT>(0x80070005)) << "createFault, count 1";
  ASSERT_EQ(Make(CLSID_VantorCommand, legacy), S_OK);
  EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);

  Variant v;
  ASSERT_EQ(Get(legacy.Get(), L"HotKeys.SingleScanCode", v), S_OK);
  EXPECT_EQ(v.vt, VT_UI4);
  EXPECT_EQ(v.ulVal, 0u);
  ASSERT_EQ(Get(legacy.Get(), L"HotKeys.SingleScanCode.Supported", v), S_OK);
  EXPECT_TRUE(v.vt == VT_BOOL && v.boolVal == VARIANT_TRUE);
  ASSERT_EQ(Get(legacy.Get(), L"Platform.USBC.Supported", v), S_OK);
  EXPECT_TRUE(v.vt == VT_BOOL && v.boolVal == VARIANT_FALSE);
  EXPECT_EQ(Get(legacy.Get(), L"Platform.USBC.Configuration", v), static_cast<HRESULT>(0x8007001F));
  EXPECT_EQ(Get(legacy.Get(), L"Platform.USBC.Configuration", v), static_cast<HRESULT>(0x8007001F));
  ASSERT_EQ(Get(legacy.Get(), L"Platform.USBC.Configuration", v), S_OK) << "the fault acts twice only";
  EXPECT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(BStr(v.bstrVal).Str(), L"<Ports/>");
  EXPECT_EQ(Get(legacy.Get(), L"hotkeys.singlescancode", v), VANTOR_E_INVALID_COMMAND);
  EXPECT_EQ(legacy->Get(BStr(L"HotKeys.SingleScanCode"), nullptr), E_POINTER);

  EXPECT_EQ(legacy->Set(BStr(L"HotKeys.SingleScanCode"), Variant(L"110")), S_OK) << "converted to VT_UI4";
  ASSERT_EQ(Get(legacy.Get(), L"HotKeys.SingleScanCode", v), S_OK);
  EXPECT_EQ(v.ulVal, 110u);
  EXPECT_EQ(legacy->Set(BStr(L"HotKeys.SingleScanCode"), Variant(L"fast")), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(legacy->Set(BStr(L"HotKeys.SingleScanCode"), Variant(LONG{-1})), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(legacy->Set(BStr(L"PrivacyPanelState"), Variant(LONG{1})), VANTOR_E_INVALID_COMMAND);
  EXPECT_EQ(firmware::GetSetting("HotKeys.SingleScanCode"), nlohmann::json(110));

  // The mode's command exists only where it is supported.
  ASSERT_TRUE(firmware::SetSetting("HotKeys.SingleScanCode.Supported", false, nullptr));
  EXPECT_EQ(Get(legacy.Get(), L"HotKeys.SingleScanCode.Supported", v), VANTOR_E_INVALID_COMMAND);
}

TEST_F(FirmwareTest, TheModernComponentAndItsFaults) {
  ComPtr<IMeridSdkVantorCommand> modern;
  ASSERT_EQ(Make(CLSID_MeridSdkVantorCommand, modern), S_OK) << "registered globally";

  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(modern->SetSingleScanCode(110, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE) << "zeroFlag: success, but nothing done";
  EXPECT_FALSE(firmware::IsWritten("HotKeys.SingleScanCode"));
  EXPECT_EQ(modern->SetSingleScanCode(110, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  LONG value = 0;
  EXPECT_EQ(modern->GetSingleScanCode(&value), S_OK);
  EXPECT_EQ(value, 110);

  VARIANT_BOOL flag = VARIANT_TRUE;
  try {
    modern->GetUsbTypeCSupported(&flag);
    ADD_FAILURE() << "the first call throws";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_FAIL);
  }
  EXPECT_EQ(modern->GetUsbTypeCSupported(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_FALSE);

  const auto before = clock().InterruptTime100ns();
  EXPECT_EQ(modern->GetSingleScanCodeSupported(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);
  EXPECT_EQ(clock().InterruptTime100ns() - before, 2500u * 10'000) << "slow: 2500 ms of machine time";

  BStr info;
  EXPECT_EQ(modern->GetUsbTypeCInfo(&info), S_OK);
  EXPECT_EQ(info.Str(), L"USB 2.0");
  EXPECT_EQ(modern->GetPrivacyPanelState(&value), E_NOTIMPL) << "absent from the settings";
  EXPECT_EQ(modern->GetFnLockState(&value), E_NOTIMPL);
  EXPECT_EQ(modern->GetSingleScanCode(nullptr), E_POINTER);
  EXPECT_EQ(modern->SetSingleScanCode(-5, &ok), E_INVALIDARG);

  EXPECT_THAT(
      Journal(),
      ::testing::ElementsAre(
          R"(MeridSdkVantorCommand.CoCreateInstance{"iid":"{00000000-0000-0000-C000-000000000046}"} -> 0x00000000)",
          R"(MeridSdkVantorCommand.SetSingleScanCode{"value":110,"out":false} -> 0x00000000)",
          R"(MeridSdkVantorCommand.SetSingleScanCode{"value":110,"out":true} -> 0x00000000)",
          R"(MeridSdkVantorCommand.GetSingleScanCode{"out":110} -> 0x00000000)",
          R"(MeridSdkVantorCommand.GetUsbTypeCSupported{} -> throw 0x80004005)",
          R"(MeridSdkVantorCommand.GetUsbTypeCSupported{"out":false} -> 0x00000000)",
          R"(MeridSdkVantorCommand.GetSingleScanCodeSupported{"out":true} -> 0x00000000)",
          R"(MeridSdkVantorCommand.GetUsbTypeCInfo{"out":"USB 2.0"} -> 0x00000000)",
          R"(MeridSdkVantorCommand.GetPrivacyPanelState{} -> 0x80004001)",
          R"(MeridSdkVantorCommand.GetFnLockState{} -> 0x80004001)",
          R"(MeridSdkVantorCommand.GetSingleScanCode{} -> 0x80004003)",
          R"(MeridSdkVantorCommand.SetSingleScanCode{"value":-5} -> 0x80070057)"));
  EXPECT_EQ(journal::Read("firmware")[6].timeMs - journal::Read("firmware")[5].timeMs, 2500u);
}

// What one process writes, the next reads; fault counts start again with it.
TEST_F(FirmwareTest, WrittenValuesOutliveTheProcessAndFaultsCountPerProcess) {
  ComPtr<IVantorCommand> legacy;
  EXPECT_EQ(Make(CLSID_VantorCommand, legacy), static_cast<HRESULT>(0x80070005));
  ASSERT_EQ(Make(CLSID_VantorCommand, legacy), S_OK);
  ASSERT_EQ(legacy->Set(BStr(L"HotKeys.SingleScanCode"), Variant(LONG{110})), S_OK);
  legacy = nullptr;
  EXPECT_THAT(testing::ReadHostFile(root() / "firmware.json"), HasSubstr(R"("HotKeys.SingleScanCode": 110)"));

  ReopenMachine();
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(Make(CLSID_VantorCommand, legacy), static_cast<HRESULT>(0x80070005)) << "counted afresh";
  ASSERT_EQ(Make(CLSID_VantorCommand, legacy), S_OK);
  Variant v;
  ASSERT_EQ(Get(legacy.Get(), L"HotKeys.SingleScanCode", v), S_OK);
  EXPECT_EQ(v.ulVal, 110u);
  EXPECT_TRUE(firmware::IsWritten("HotKeys.SingleScanCode"));
  EXPECT_FALSE(firmware::IsWritten("UsbTypeCInfo"));
}

TEST_F(FirmwareTest, SettingsAreCheckedAndADamagedStoreIsLeftAlone) {
  std::string error;
  EXPECT_FALSE(firmware::SetSetting("HotKeys.ScanCode", 1, &error));
  EXPECT_THAT(error, HasSubstr("\"HotKeys.ScanCode\" is not a firmware setting"));
  EXPECT_FALSE(firmware::SetSetting("PrivacyPanelState", 4294967296, &error));
  EXPECT_EQ(error, "PrivacyPanelState must be a number from 0 to 4294967295, not 4294967296");
  EXPECT_FALSE(firmware::SetSetting("PrivacyPanelState", -1, &error));
  EXPECT_FALSE(firmware::SetSetting("Platform.USBC.Supported", 1, &error));
  EXPECT_EQ(error, "Platform.USBC.Supported must be true or false, not 1");
  EXPECT_TRUE(firmware::SetSetting("PrivacyPanelState", 4294967295u, &error));
  EXPECT_EQ(firmware::Settings().size(), 6u);

  testing::WriteHostFile(root() / "firmware.json", "{ not json");
  EXPECT_FALSE(firmware::SetSetting("PrivacyPanelState", 2, &error));
  EXPECT_THAT(error, HasSubstr("firmware.json is damaged"));
  EXPECT_EQ(testing::ReadHostFile(root() / "firmware.json"), "{ not json");
  EXPECT_EQ(firmware::GetSetting("UsbTypeCInfo"), nlohmann::json("USB 2.0")) << "the profile's, still";
  EXPECT_EQ(firmware::GetSetting("PrivacyPanelState"), std::nullopt);
  EXPECT_EQ(machine().CapturedDebugOutput().size(), 1u) << "said once";
}

TEST_F(FirmwareTest, ProfileErrorsNameThePath) {
  auto message = [](const std::string& firmware) {
    try {
      ParseProfile(R"({"firmware": )" + firmware + "}", "lab.json");
    } catch (const MachineError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message(R"({"legacy": {"present": "yes"}})"), "lab.json: firmware.legacy.present: must be true or false");
  EXPECT_EQ(message(R"({"legacy": {"registration": "global"}})"),
            "lab.json: firmware.legacy.registration: is not a component setting (present, createFault)");
  EXPECT_THAT(message(R"({"modern": {"createFault": {"kind": "throw"}}})"),
              HasSubstr("firmware.modern.createFault.kind: must be one of fail"));
  EXPECT_EQ(message(R"({"settings": {"PrivacyPanelState": true}})"),
            "lab.json: firmware.settings[\"PrivacyPanelState\"]: PrivacyPanelState must be a number from 0 to "
            "4294967295, not true");
  EXPECT_THAT(message(R"({"faults": [{"component": "modern", "call": "Get", "fault": {"kind": "fail"}}]})"),
              HasSubstr("firmware.faults[0].call: \"Get\" is not a method of the modern component"));
  EXPECT_THAT(message(R"({"faults": [{"component": "legacy", "call": "Set X", "fault": {"kind": "zeroFlag"}}]})"),
              HasSubstr("firmware.faults[0].fault.kind: zeroFlag acts on the modern component's SetSingleScanCode"));
  EXPECT_THAT(message(R"({"faults": [{"component": "legacy", "call": "Get", "fault": {"kind": "slow"}}]})"),
              HasSubstr("firmware.faults[0].fault.ms: is missing"));
  EXPECT_THAT(message(R"({"fault": []})"), HasSubstr("firmware.fault: is not a firmware setting"));
  EXPECT_EQ(message(Section().dump()), "accepted");
}

// The modern component registered side by side: creatable only through its assembly.
class SideBySideFirmwareTest : public FirmwareTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = FirmwareTest::MachineProfile();
    profile["firmware"]["modern"].erase("registration");  // side by side is the default
    profile["firmware"].erase("legacy");
    return profile;
  }
};

TEST_F(SideBySideFirmwareTest, TheModernComponentNeedsItsAssembly) {
  ComPtr<IMeridSdkVantorCommand> modern;
  EXPECT_EQ(Make(CLSID_MeridSdkVantorCommand, modern), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(Make(CLSID_VantorCommand, modern), REGDB_E_CLASSNOTREG) << "no legacy component";

  testing::WriteHostFile(Host(L"C:\\App\\KorvoMeridManager.manifest"),
                         R"(<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity name="KorvoMeridManager" version="7.0.5.1" type="win32"/>
  <file name="KorvoMeridManager.dll"><comClass clsid="{8FA1AED2-DE8C-49EF-802C-6D6A70FFCFF4}"/></file>
</assembly>)");
  testing::WriteHostFile(Host(L"C:\\App\\app.manifest"), R"(<assembly manifestVersion="1.0">
  <assemblyIdentity name="App" version="1.0.0.0"/>
  <dependency><dependentAssembly><assemblyIdentity name="KorvoMeridManager" version="7.0.5.1"/></dependentAssembly></dependency>
</assembly>)");
  ACTCTXW request{static_cast<ULONG>(sizeof(ACTCTXW)), 0, L"C:\\App\\app.manifest"};
  HANDLE context = CreateActCtx(&request);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << GetLastError();
  ULONG_PTR cookie = 0;
  ASSERT_TRUE(ActivateActCtx(context, &cookie));
  EXPECT_EQ(Make(CLSID_MeridSdkVantorCommand, modern), S_OK);
  DeactivateActCtx(0, cookie);
  ReleaseActCtx(context);
  EXPECT_EQ(journal::Read("firmware").size(), 1u) << "only the creation that reached the component";
}

class NoFirmwareTest : public FirmwareTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = FirmwareTest::MachineProfile();
    profile.erase("firmware");
    return profile;
  }
};

TEST_F(NoFirmwareTest, AMachineWithoutTheSectionHasNoComponentAndNoSetting) {
  ComPtr<IUnknown> any;
  EXPECT_EQ(Make(CLSID_VantorCommand, any), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(Make(CLSID_MeridSdkVantorCommand, any), REGDB_E_CLASSNOTREG);
  EXPECT_TRUE(firmware::Settings().empty());
  for (const auto& c : firmware::Components()) EXPECT_FALSE(c.present) << c.name;
  EXPECT_TRUE(journal::Read("firmware").empty());
}

// The profiles under machines/ that a person loads to try a machine with fewer components.
TEST(FirmwareProfilesTest, TheSampleProfilesDeclareWhatTheirNamesSay) {
  struct Sample {
    const char* file;
    bool legacy, modern, sysInfoCap;
  };
  for (const auto& sample :
       {Sample{"default.json", true, true, true}, Sample{"firmware-none.json", false, false, false},
        Sample{"firmware-modern.json", false, true, true}}) {
    const auto profile =
        ParseProfile(testing::ReadHostFile(std::filesystem::path(KORVO_MACHINES_DIR) / sample.file), sample.file);
    const auto config = firmware::detail::ParseConfig(profile.value("firmware", nlohmann::json()), sample.file);
    EXPECT_EQ(config.legacy.present, sample.legacy) << sample.file;
    EXPECT_EQ(config.modern.present, sample.modern) << sample.file;
    EXPECT_TRUE(config.modern.sideBySide) << sample.file;
    EXPECT_EQ(profile.contains("services") && profile["services"].contains("KorvoSysInfoCap"), sample.sysInfoCap)
        << sample.file;
    EXPECT_FALSE(profile.contains("services") && profile["services"].contains("kvqvantorwmiex")) << sample.file;
  }
}

}  // namespace
}  // namespace platform
