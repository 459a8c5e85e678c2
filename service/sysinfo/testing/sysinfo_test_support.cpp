#include "service/sysinfo/testing/sysinfo_test_support.h"

#include "platform/clock.h"
#include "platform/machine.h"

namespace RpcServer::testing {

void SysInfoTest::SetUp() {
  MachineTest::SetUp();
  m_capture = std::make_unique<Korvo::Shared::testing::LogCapture>(true);
  MarkTime();
}

void SysInfoTest::TearDown() {
  m_capture.reset();
  MachineTest::TearDown();
}

nlohmann::json SysInfoTest::DefaultProfile() {
  return platform::ParseProfile(platform::EmbeddedDefaultProfile(), "embedded default profile");
}

nlohmann::json& SysInfoTest::Objects(nlohmann::json& profile, const std::string& nameSpace,
                                     const std::string& className) {
  return profile["wmi"]["namespaces"][nameSpace]["classes"][className];
}

void SysInfoTest::UseProfile(const nlohmann::json& profile) {
  platform::testing::WriteHostFile(root() / "machine.json", profile.dump());
  ReopenMachine();
  MarkTime();
}

void SysInfoTest::WriteBuildFile(const std::string& bytes) {
  platform::testing::WriteHostFile(Host(L"C:\\Korvo\\support\\build.txt"), bytes);
}

std::vector<LoggedLine> SysInfoTest::Lines() const {
  std::vector<LoggedLine> out;
  for (const auto& e : m_capture->Entries()) out.push_back({e.level, e.functionName, e.message});
  return out;
}

int SysInfoTest::Count(int level, const std::wstring& message, const char* function) const {
  int n = 0;
  for (const auto& line : Lines()) {
    if (line.level == level && line.message == message && (function == nullptr || line.function == function)) ++n;
  }
  return n;
}

void SysInfoTest::ClearLines() {
  m_capture->Clear();
}

void SysInfoTest::MarkTime() {
  m_mark = clock().InterruptTime100ns();
}

std::uint64_t SysInfoTest::ElapsedMs() {
  return (clock().InterruptTime100ns() - m_mark) / 10000;
}

}  // namespace RpcServer::testing
