#include "service/bridge/testing/bridge_test_support.h"

#include <filesystem>

#include "platform/sync.h"
#include "service/host/main_service.h"

namespace RpcServer::testing {

void BridgeTest::TearDown() {
  // The reading thread works on this machine: it must end before the machine goes.
  HoldOtherThreads(false);
  CMainService::IsReadSysInfoReadCompleted(platform::INFINITE);
  CMainService::CloseReadSysInfoThread();
  CMainService::SetWMIData(nullptr);
  m_data.reset();
  SysInfoTest::TearDown();
}

void BridgeTest::Boot(const nlohmann::json& profile) {
  // The instance of an earlier boot leaves its machine's apartment before the next one.
  CMainService::SetWMIData(nullptr);
  m_data.reset();
  // The session and process tables are copied from the profile on first use: each boot
  // starts from the profile's.
  std::filesystem::remove(root() / "sessions.json");
  std::filesystem::remove(root() / "processes.json");
  UseProfile(profile);
  const std::wstring program = std::wstring(kServiceFolder) + L"\\Varnel.exe";
  InstallProgram(program, "Korvo Tallisk");
  for (const char* manifest : {"Varnel.exe.manifest", "KorvoMeridManager.manifest", "Varnel_amd64.xml"}) {
    std::filesystem::copy_file(std::filesystem::path(KORVO_MANIFEST_DIR) / manifest, Host(kServiceFolder) / manifest,
                               std::filesystem::copy_options::overwrite_existing);
  }
  m_data = std::make_unique<WMIData>();
  CMainService::SetWMIData(m_data.get());
  ClearLines();
  MarkTime();
}

void BridgeTest::DeleteServiceFile(const wchar_t* manifest) {
  std::filesystem::remove(Host(std::wstring(kServiceFolder) + L"\\" + manifest));
}

void BridgeTest::RemoveService(nlohmann::json& profile, const std::string& name) {
  if (profile.contains("services")) profile["services"].erase(name);
}

void BridgeTest::RemoveKeyboardFilter(nlohmann::json& profile) {
  auto& devices = profile["devices"];
  nlohmann::json kept = nlohmann::json::array();
  for (const auto& device : devices) {
    bool filter = false;
    for (const auto& i : device.value("interfaces", nlohmann::json::array())) {
      filter = filter || i.value("classGuid", "") == "{3569DBE5-FA4F-4E7E-96EC-540202073739}";
    }
    if (!filter) kept.push_back(device);
  }
  devices = kept;
}

void BridgeTest::AddFirmwareFault(nlohmann::json& profile, const std::string& component, const std::string& call,
                                  nlohmann::json fault) {
  profile["firmware"]["faults"].push_back({{"component", component}, {"call", call}, {"fault", std::move(fault)}});
}

std::vector<platform::journal::Entry> BridgeTest::Journal(const std::string& kind) {
  return platform::journal::Read(kind);
}

int BridgeTest::FirmwareCalls(const std::string& call, const std::string& command) {
  int n = 0;
  for (const auto& e : Journal("firmware")) {
    if (e.call == call && (command.empty() || e.args.value("command", "") == command)) ++n;
  }
  return n;
}

std::vector<std::wstring> BridgeTest::Messages(const char* function) const {
  std::vector<std::wstring> out;
  for (const auto& line : Lines()) {
    if (line.function == function) out.push_back(line.message);
  }
  return out;
}

}  // namespace RpcServer::testing
