// The firmware command components, answered by the machine: the settings store
// (profile overlaid by <root>/firmware.json), the two COM classes, their faults and
// their journal.

#include "platform/firmware.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>

#include <fmt/format.h>

#include "platform/clock.h"
#include "platform/debug.h"
#include "platform/journal.h"
#include "platform/machine.h"
#include "platform/src/com/com_internal.h"
#include "platform/src/firmware/firmware_internal.h"
#include "platform/src/host/files.h"
#include "platform/text.h"

#include "platform/src/base/trace.h"

namespace platform::firmware {
namespace detail {
namespace {

// The section of one machine (read from its profile on first use) and the counters
// behind its faults.
struct FirmwareState {
  std::once_flag loaded;
  std::shared_ptr<const Config> config;

  std::mutex lock;
  std::map<std::string, std::uint64_t> faultUses;
  bool damageSaid = false;
};

FirmwareState& State() {
  auto& machine = CurrentMachine();
  auto& state = machine.State<FirmwareState>();
  std::call_once(state.loaded, [&] {
    const auto& profile = machine.Profile();
    state.config = std::make_shared<const Config>(
        ParseConfig(profile.contains("firmware") ? profile["firmware"] : nlohmann::json(), "machine profile"));
  });
  return state;
}

const Config& MachineConfig() {
  return *State().config;
}

// Counts one use of `fault`; true when the fault acts on this use.
bool Fires(const Fault& fault) {
  auto& state = State();
  std::lock_guard guard(state.lock);
  const auto uses = ++state.faultUses[fault.key];
  return !fault.count || uses <= *fault.count;
}

// --- The store -------------------------------------------------------------------------

std::filesystem::path StoreFile() {
  return CurrentMachine().Root() / "firmware.json";
}

std::filesystem::path StoreLock() {
  return CurrentMachine().Root() / "firmware.lock";
}

// The values written on this machine, from the text of firmware.json. Throws
// DamagedFile for a text that is not what this code writes.
nlohmann::json ParseWritten(const std::optional<std::string>& text, const std::filesystem::path& file) {
  nlohmann::json written = nlohmann::json::object();
  if (!text || text->empty()) return written;
  const auto all = nlohmann::json::parse(*text, nullptr, false);
  if (!all.is_object() || !all.contains("settings") || !all["settings"].is_object()) {
    throw host::DamagedFile("the firmware settings", file, "not an object with \"settings\"");
  }
  for (const auto& [name, value] : all["settings"].items()) {
    std::string why;
    if (!CheckSettingValue(name, value, &why)) throw host::DamagedFile("the firmware settings", file, why);
    written[name] = value;
  }
  return written;
}

// What was written on this machine; nothing when the file is damaged (said once).
nlohmann::json Written() {
  const auto file = StoreFile();
  try {
    return ParseWritten(host::ReadFile(file), file);
  } catch (const std::exception& e) {
    auto& state = State();
    bool say = false;
    {
      std::lock_guard guard(state.lock);
      say = !std::exchange(state.damageSaid, true);
    }
    if (say)
      OutputDebugString(Utf8ToWide(fmt::format("firmware: {}; using the profile's settings\n", e.what())).c_str());
    return nlohmann::json::object();
  }
}

std::optional<nlohmann::json> Lookup(const nlohmann::json& written, std::string_view name) {
  const std::string key(name);
  if (auto it = written.find(key); it != written.end()) return *it;
  const auto& profile = MachineConfig().settings;
  if (auto it = profile.find(key); it != profile.end()) return *it;
  return std::nullopt;
}

// --- The components ----------------------------------------------------------------------

std::string Hex(HRESULT hr) {
  return fmt::format("0x{:08X}", static_cast<std::uint32_t>(hr));
}

void Journal(const char* target, const std::string& call, nlohmann::ordered_json args, const std::string& result) {
  journal::Entry entry;
  entry.kind = "firmware";
  entry.target = target;
  entry.call = call;
  entry.args = std::move(args);
  entry.result = result;
  journal::Append(std::move(entry));
}

std::string Text(BSTR text) {
  return text == nullptr ? std::string() : WideToUtf8(std::wstring_view(text, SysStringLen(text)));
}

// A VARIANT as the journal shows what the caller passed.
nlohmann::ordered_json VariantJson(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return nullptr;
    case VT_BOOL:
      return v.boolVal != VARIANT_FALSE;
    case VT_BSTR:
      return Text(v.bstrVal);
    case VT_I2:
      return v.iVal;
    case VT_I4:
      return v.lVal;
    case VT_INT:
      return v.intVal;
    case VT_UI1:
      return v.bVal;
    case VT_UI2:
      return v.uiVal;
    case VT_UI4:
      return v.ulVal;
    case VT_UINT:
      return v.uintVal;
    case VT_I8:
      return v.llVal;
    case VT_UI8:
      return v.ullVal;
    default:
      return fmt::format("VARIANT of type 0x{:04X}", v.vt);
  }
}

// The first scripted fault that acts on this use of `call` (with `command`, for the
// legacy component); each fault tried counts a use.
const Fault* ActingFault(bool modern, const std::string& call, const std::string& command) {
  for (const auto& entry : MachineConfig().faults) {
    if (entry.modern != modern) continue;
    if (entry.call != call && (modern || entry.call != call + " " + command)) continue;
    if (Fires(entry.fault)) return &entry.fault;
  }
  return nullptr;
}

// Answers one call: the scripted fault when one acts, else `body` (told whether a
// zeroFlag fault acts); journalled either way, a throw included.
HRESULT Answer(bool modern, const std::string& call, const std::string& command, nlohmann::ordered_json& args,
               const std::function<HRESULT(bool zeroFlag)>& body) {
  const char* target = modern ? kModernTarget : kLegacyTarget;
  const Fault* fault = ActingFault(modern, call, command);
  if (fault != nullptr && fault->kind == Fault::Kind::Slow) {
    Sleep(fault->ms);
    fault = nullptr;
  }
  if (fault != nullptr && fault->kind == Fault::Kind::Throw) {
    Journal(target, call, args, "throw " + Hex(fault->hr));
    _com_issue_error(fault->hr);
  }
  const HRESULT hr = fault != nullptr && fault->kind == Fault::Kind::Fail
                         ? fault->hr
                         : body(fault != nullptr && fault->kind == Fault::Kind::ZeroFlag);
  Journal(target, call, args, Hex(hr));
  return hr;
}

constexpr const char* kScanCode = "HotKeys.SingleScanCode";
constexpr const char* kScanCodeSupported = "HotKeys.SingleScanCode.Supported";
constexpr const char* kUsbCSupported = "Platform.USBC.Supported";
constexpr const char* kUsbCConfiguration = "Platform.USBC.Configuration";
constexpr const char* kPrivacyPanelState = "PrivacyPanelState";
constexpr const char* kUsbTypeCInfo = "UsbTypeCInfo";

// The legacy component: named commands in, VARIANTs out.
class VantorCommand final : public ComObject<IVantorCommand> {
 public:
  HRESULT Get(BSTR command, VARIANT* result) override {
    const std::string name = Text(command);
    nlohmann::ordered_json args{{"command", name}};
    if (result != nullptr) VariantInit(result);
    return Answer(false, "Get", name, args, [&](bool) -> HRESULT {
      if (result == nullptr) return E_POINTER;
      const auto value = GetSetting(name);
      if (name == kScanCode && value) {
        result->vt = VT_UI4;
        result->ulVal = value->get<ULONG>();
      } else if (name == kScanCodeSupported && value && value->get<bool>()) {
        // The command exists only on machines that support the mode.
        result->vt = VT_BOOL;
        result->boolVal = VARIANT_TRUE;
      } else if (name == kUsbCSupported && value) {
        result->vt = VT_BOOL;
        result->boolVal = value->get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
      } else if (name == kUsbCConfiguration && value) {
        const auto text = Utf8ToWide(value->get<std::string>());
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (result->bstrVal == nullptr) return E_OUTOFMEMORY;
      } else {
        return VANTOR_E_INVALID_COMMAND;
      }
      args["out"] = VariantJson(*result);
      return S_OK;
    });
  }

  HRESULT Set(BSTR command, VARIANT value) override {
    const std::string name = Text(command);
    nlohmann::ordered_json args{{"command", name}, {"value", VariantJson(value)}};
    return Answer(false, "Set", name, args, [&](bool) -> HRESULT {
      if (name != kScanCode) return VANTOR_E_INVALID_COMMAND;
      Variant converted;
      if (FAILED(VariantChangeType(&converted, &value, 0, VT_UI4))) return DISP_E_TYPEMISMATCH;
      return SetSetting(name, converted.ulVal, nullptr) ? S_OK : E_FAIL;
    });
  }
};

// The modern component: one method a question.
class MeridSdkVantorCommand final : public ComObject<IMeridSdkVantorCommand> {
 public:
  HRESULT GetSdkVersion(BSTR* version) override { return NotOffered("GetSdkVersion", version); }

  HRESULT GetSingleScanCodeSupported(VARIANT_BOOL* supported) override {
    return Flag("GetSingleScanCodeSupported", kScanCodeSupported, supported);
  }

  HRESULT GetUsbTypeCSupported(VARIANT_BOOL* supported) override {
    return Flag("GetUsbTypeCSupported", kUsbCSupported, supported);
  }

  HRESULT GetSingleScanCode(LONG* value) override { return Number("GetSingleScanCode", kScanCode, value, E_FAIL); }

  HRESULT SetSingleScanCode(LONG value, VARIANT_BOOL* success) override {
    nlohmann::ordered_json args{{"value", value}};
    if (success != nullptr) *success = VARIANT_FALSE;
    return Answer(true, "SetSingleScanCode", {}, args, [&](bool zeroFlag) -> HRESULT {
      if (success == nullptr) return E_POINTER;
      if (!zeroFlag) {
        if (value < 0) return E_INVALIDARG;
        if (!SetSetting(kScanCode, value, nullptr)) return E_FAIL;
        *success = VARIANT_TRUE;
      }
      args["out"] = *success != VARIANT_FALSE;
      return S_OK;
    });
  }

  HRESULT GetFnLockState(LONG* state) override { return NotOffered("GetFnLockState", state); }

  HRESULT GetPrivacyPanelState(LONG* state) override {
    return Number("GetPrivacyPanelState", kPrivacyPanelState, state, E_NOTIMPL);
  }

  HRESULT GetCameraShutterState(LONG* state) override { return NotOffered("GetCameraShutterState", state); }

  HRESULT GetBatteryConservationMode(LONG* mode) override { return NotOffered("GetBatteryConservationMode", mode); }

  HRESULT GetUsbTypeCInfo(BSTR* info) override {
    nlohmann::ordered_json args = nlohmann::ordered_json::object();
    if (info != nullptr) *info = nullptr;
    return Answer(true, "GetUsbTypeCInfo", {}, args, [&](bool) -> HRESULT {
      if (info == nullptr) return E_POINTER;
      const auto value = GetSetting(kUsbTypeCInfo);
      if (!value) return E_NOTIMPL;
      const auto text = Utf8ToWide(value->get<std::string>());
      *info = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      if (*info == nullptr) return E_OUTOFMEMORY;
      args["out"] = value->get<std::string>();
      return S_OK;
    });
  }

 private:
  HRESULT Flag(const char* method, const char* setting, VARIANT_BOOL* out) {
    nlohmann::ordered_json args = nlohmann::ordered_json::object();
    if (out != nullptr) *out = VARIANT_FALSE;
    return Answer(true, method, {}, args, [&](bool) -> HRESULT {
      if (out == nullptr) return E_POINTER;
      const auto value = GetSetting(setting);
      const bool on = value && value->get<bool>();
      *out = on ? VARIANT_TRUE : VARIANT_FALSE;
      args["out"] = on;
      return S_OK;
    });
  }

  HRESULT Number(const char* method, const char* setting, LONG* out, HRESULT absent) {
    nlohmann::ordered_json args = nlohmann::ordered_json::object();
    if (out != nullptr) *out = 0;
    return Answer(true, method, {}, args, [&](bool) -> HRESULT {
      if (out == nullptr) return E_POINTER;
      const auto value = GetSetting(setting);
      if (!value) return absent;
      *out = static_cast<LONG>(value->get<std::uint32_t>());
      args["out"] = *out;
      return S_OK;
    });
  }

  // A method this machine's component does not answer; the pointer is checked all
  // the same, as the caller cannot tell.
  template <class T>
  HRESULT NotOffered(const char* method, T* out) {
    nlohmann::ordered_json args = nlohmann::ordered_json::object();
    if (out != nullptr) *out = T{};
    return Answer(true, method, {}, args, [&](bool) -> HRESULT { return out == nullptr ? E_POINTER : E_NOTIMPL; });
  }
};

template <class Impl>
HRESULT Create(bool modern, const ComponentConfig& component, REFIID riid, void** object) {
  nlohmann::ordered_json args{{"iid", WideToUtf8(GuidToString(riid))}};
  HRESULT hr = E_POINTER;
  if (object != nullptr) {
    *object = nullptr;
    hr = component.createFault && Fires(*component.createFault) ? component.createFault->hr
                                                                : CreateComObject<Impl>(riid, object);
  }
  Journal(modern ? kModernTarget : kLegacyTarget, "CoCreateInstance", std::move(args), Hex(hr));
  return hr;
}

}  // namespace

void RegisterComponents() {
  // The registrations keep the section they were made from.
  const std::shared_ptr<const Config> config = State().config;
  if (config->legacy.present) {
    com::RegisterClass(CLSID_VantorCommand, [config](REFIID riid, void** object) {
      return Create<VantorCommand>(false, config->legacy, riid, object);
    });
  }
  if (config->modern.present) {
    auto create = [config](REFIID riid, void** object) {
      return Create<MeridSdkVantorCommand>(true, config->modern, riid, object);
    };
    if (config->modern.sideBySide) {
      com::RegisterSideBySideClass(kModernAssembly, CLSID_MeridSdkVantorCommand, create);
    } else {
      com::RegisterClass(CLSID_MeridSdkVantorCommand, create);
    }
  }
}

}  // namespace detail

using namespace detail;

std::optional<nlohmann::json> GetSetting(std::string_view name) {
  return base::detail::Traced<std::optional<nlohmann::json>>(
      base::detail::kTraceCom, "firmware::GetSetting",
      [&]() -> std::optional<nlohmann::json> { return Lookup(Written(), name); });
}

std::vector<std::pair<std::string, nlohmann::json>> Settings() {
  using Result = std::vector<std::pair<std::string, nlohmann::json>>;
  return base::detail::Traced<Result>(base::detail::kTraceCom, "firmware::Settings", [&]() -> Result {
    const auto written = Written();
    Result out;
    for (const auto& name : SettingNames()) {
      if (auto value = Lookup(written, name)) out.emplace_back(name, std::move(*value));
    }
    return out;
  });
}

bool SetSetting(std::string_view name, const nlohmann::json& value, std::string* error) {
  return base::detail::Traced<bool>(base::detail::kTraceCom, "firmware::SetSetting", [&]() -> bool {
    if (!CheckSettingValue(name, value, error)) return false;
    const auto file = StoreFile();
    try {
      host::UpdateFile(file, StoreLock(), [&](const std::optional<std::string>& text) -> std::optional<std::string> {
        auto written = ParseWritten(text, file);
        written[std::string(name)] = value;
        return nlohmann::json{{"settings", written}}.dump(2) + "\n";
      });
      return true;
    } catch (const std::exception& e) {
      if (error != nullptr) *error = e.what();
      return false;
    }
  });
}

bool IsWritten(std::string_view name) {
  return base::detail::Traced<bool>(base::detail::kTraceCom, "firmware::IsWritten",
                                    [&]() -> bool { return Written().contains(std::string(name)); });
}

std::vector<Component> Components() {
  return base::detail::Traced<std::vector<Component>>(
      base::detail::kTraceCom, "firmware::Components", [&]() -> std::vector<Component> {
        const Config& config = MachineConfig();
        return {{kLegacyTarget, config.legacy.present, "global"},
                {kModernTarget, config.modern.present, config.modern.sideBySide ? "sideBySide" : "global"}};
      });
}

}  // namespace platform::firmware
