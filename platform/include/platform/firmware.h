// The firmware command components of the machine: the legacy VantorCommand and the
// modern MeridSdkVantorCommand, COM classes answered by the machine from the profile's
// "firmware" section (machines/README.md). Their interfaces are declared here the way
// the components' own type libraries describe them; the system creates them with
// CoCreateInstance + OleRun + QueryInterface like any other component.
//
// The legacy component is registered with the machine's class registry when the
// profile says it is present. The modern one is registered either globally or, as on a
// real machine, only through its side-by-side assembly "KorvoMeridManager": then it can
// be created only while an activation context that names that assembly is active on the
// creating thread (CreateActCtx, com.h), and fails with REGDB_E_CLASSNOTREG otherwise.
//
// Every call is answered from the machine's firmware settings and journalled
// (journal.h). A value the system writes ("HotKeys.SingleScanCode") persists in
// <root>/firmware.json, so the next run of the service reads what the last one wrote.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/com.h"

namespace platform {

// {CA490AE1-8C69-45D5-9533-D4692726F2FB}
inline constexpr CLSID CLSID_VantorCommand = {
    0xCA490AE1, 0x8C69, 0x45D5, {0x95, 0x33, 0xD4, 0x69, 0x27, 0x26, 0xF2, 0xFB}};
// {8FA1AED2-DE8C-49EF-802C-6D6A70FFCFF4}
inline constexpr CLSID CLSID_MeridSdkVantorCommand = {
    0x8FA1AED2, 0xDE8C, 0x49EF, {0x80, 0x2C, 0x6D, 0x6A, 0x70, 0xFF, 0xCF, 0xF4}};

// The legacy component answers named commands. A command it does not offer fails with
// VANTOR_E_INVALID_COMMAND.
inline constexpr HRESULT VANTOR_E_INVALID_COMMAND = static_cast<HRESULT>(0x80000003);

struct IVantorCommand : IUnknown {
  // {233A5811-AB16-4A74-8D08-2D148ABE089C}
  static constexpr IID iid = {0x233A5811, 0xAB16, 0x4A74, {0x8D, 0x08, 0x2D, 0x14, 0x8A, 0xBE, 0x08, 0x9C}};
  // `result` receives a value the caller clears.
  virtual HRESULT Get(BSTR command, VARIANT* result) = 0;
  virtual HRESULT Set(BSTR command, VARIANT value) = 0;

 protected:
  ~IVantorCommand() = default;
};
inline constexpr IID IID_IVantorCommand = IVantorCommand::iid;

// The modern component's methods, in their order in the interface.
struct IMeridSdkVantorCommand : IUnknown {
  // {D03C2FC5-7E7E-4BE1-85C6-C579F534AECA}
  static constexpr IID iid = {0xD03C2FC5, 0x7E7E, 0x4BE1, {0x85, 0xC6, 0xC5, 0x79, 0xF5, 0x34, 0xAE, 0xCA}};
  virtual HRESULT GetSdkVersion(BSTR* version) = 0;                          // 1
  virtual HRESULT GetSingleScanCodeSupported(VARIANT_BOOL* supported) = 0;   // 2
  virtual HRESULT GetUsbTypeCSupported(VARIANT_BOOL* supported) = 0;         // 3
  virtual HRESULT GetSingleScanCode(LONG* value) = 0;                        // 4
  virtual HRESULT SetSingleScanCode(LONG value, VARIANT_BOOL* success) = 0;  // 5
  virtual HRESULT GetFnLockState(LONG* state) = 0;                           // 6
  virtual HRESULT GetPrivacyPanelState(LONG* state) = 0;                     // 7
  virtual HRESULT GetCameraShutterState(LONG* state) = 0;                    // 8
  virtual HRESULT GetBatteryConservationMode(LONG* mode) = 0;                // 9
  virtual HRESULT GetUsbTypeCInfo(BSTR* info) = 0;                           // 10

 protected:
  ~IMeridSdkVantorCommand() = default;
};
inline constexpr IID IID_IMeridSdkVantorCommand = IMeridSdkVantorCommand::iid;

namespace firmware {

// The settings the components answer from, by name:
//   "HotKeys.SingleScanCode"            number (110: single-scan-code mode)
//   "HotKeys.SingleScanCode.Supported"  bool
//   "Platform.USBC.Supported"           bool
//   "Platform.USBC.Configuration"       string (the ports' XML)
//   "PrivacyPanelState"                 number
//   "UsbTypeCInfo"                      string (the modern component's ready-made record)
// Each is the value written on this machine (<root>/firmware.json) when there is one,
// else the profile's; absent when neither has it.
std::optional<nlohmann::json> GetSetting(std::string_view name);
// Every setting, in the order above.
std::vector<std::pair<std::string, nlohmann::json>> Settings();
// The names above, in that order.
const std::vector<std::string>& SettingNames();
// Whether `value` may be written as the setting `name`: numbers 0 to 4294967295 for
// "HotKeys.SingleScanCode" and "PrivacyPanelState", true/false for the ".Supported"
// ones, strings for the texts. False with `error` (may be null) saying why.
bool CheckSetting(std::string_view name, const nlohmann::json& value, std::string* error);
// Writes a setting to <root>/firmware.json (what a person does with `vesk-machine
// firmware set`, and what the components do for Set). False with `error` set for an
// unknown name or a value of the wrong type (CheckSetting), or when the file cannot be
// written or is damaged (it is then left as it is).
bool SetSetting(std::string_view name, const nlohmann::json& value, std::string* error);
// Whether the setting's value was written on this machine rather than taken from the
// profile. A damaged <root>/firmware.json counts as holding nothing; it is said once
// in the debug output.
bool IsWritten(std::string_view name);

// The components the profile declares, for tools: "VantorCommand" and
// "MeridSdkVantorCommand", whether present, and how registered ("global" or
// "sideBySide"; the legacy one is always global).
struct Component {
  std::string name;
  bool present = false;
  std::string registration;
};
std::vector<Component> Components();

}  // namespace firmware
}  // namespace platform
