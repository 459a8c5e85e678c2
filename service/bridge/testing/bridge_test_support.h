// Shared pieces of the bridge tests: a machine on which the running program is the
// service, in its folder with its three manifests, the process's WMIData instance, the
// lines logged and the journal of what the firmware and the keyboard filter driver were
// asked.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/journal.h"
#include "service/bridge/keyboard_bridge.h"
#include "service/sysinfo/testing/sysinfo_test_support.h"
#include "service/sysinfo/wmi_data.h"

namespace RpcServer::testing {

inline constexpr const wchar_t* kServiceFolder = L"C:\\Program Files (x86)\\Korvo\\Varnel";
inline constexpr const wchar_t* kUsbCApp = L"C:\\Program Files (x86)\\Korvo\\Chimewell\\Rennet.exe";

// A bridge of the test's own: the process's instance outlives every test.
class TestBridge : public CKeyBoardBridge {
 public:
  explicit TestBridge(WMIData* data) : CKeyBoardBridge(data) {}
};

class BridgeTest : public SysInfoTest {
 protected:
  void TearDown() override;

  // Opens the machine with `profile` (the default one without), makes the service the
  // running program and creates the process's WMIData instance.
  void Boot(const nlohmann::json& profile);
  void Boot() { Boot(DefaultProfile()); }
  WMIData* Data() const { return m_data.get(); }

  // Profile edits.
  static nlohmann::json& Firmware(nlohmann::json& profile) { return profile["firmware"]; }
  static void RemoveService(nlohmann::json& profile, const std::string& name);
  static void RemoveKeyboardFilter(nlohmann::json& profile);
  // A fault on one firmware call ("Get HotKeys.SingleScanCode", "SetSingleScanCode", ...).
  static void AddFirmwareFault(nlohmann::json& profile, const std::string& component, const std::string& call,
                               nlohmann::json fault);

  // The journal's entries of one kind ("firmware" or "device").
  static std::vector<platform::journal::Entry> Journal(const std::string& kind);
  // How many firmware entries have `call` (and `command`, when given).
  static int FirmwareCalls(const std::string& call, const std::string& command = "");
  // Lines of one function, as the log has them.
  std::vector<std::wstring> Messages(const char* function) const;

  void DeleteServiceFile(const wchar_t* manifest);

 private:
  std::unique_ptr<WMIData> m_data;
};

}  // namespace RpcServer::testing
