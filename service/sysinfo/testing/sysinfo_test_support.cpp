#include "testing/sysinfo_test_support.h"

#include "platform/clock.h"
#include "platform/machine.h"

namespace RpcServer::testing {

using Korvo::Shared::CKorvoLogListener;
using Korvo::Shared::LogData;
using Korvo::Shared::LogLevel;

// Keeps every entry in memory; the process logger gets it instead of its own
// listeners for the length of a test.
class SysInfoTest::Capture final : public CKorvoLogListener {
 public:
  Capture() : CKorvoLogListener(LogLevel::TraceIn, 1) {
    minLevel = LogLevel::TraceIn;
    maxLevel = LogLevel::Diag;
  }
  void Write(const LogData& data) override {
    std::lock_guard guard(m_lock);
    m_lines.push_back({data.level, data.functionName, data.message});
  }
  unsigned GetType() const override { return 0; }

  std::vector<LoggedLine> Lines() const {
    std::lock_guard guard(m_lock);
    return m_lines;
  }
  void Clear() {
    std::lock_guard guard(m_lock);
    m_lines.clear();
  }

 private:
  mutable std::mutex m_lock;
  std::vector<LoggedLine> m_lines;
};

void SysInfoTest::SetUp() {
  MachineTest::SetUp();
  auto* logger = Korvo::Shared::GetLogger();
  m_savedListeners = std::move(logger->listeners);
  m_savedCount = logger->listenerCount;
  m_savedMin = logger->minLevel;
  m_savedMax = logger->maxLevel;
  logger->listeners.clear();
  auto capture = std::make_unique<Capture>();
  m_capture = capture.get();
  logger->listeners.push_back(std::move(capture));
  logger->listenerCount = 1;
  logger->minLevel = LogLevel::TraceIn;
  logger->maxLevel = LogLevel::Diag;
  MarkTime();
}

void SysInfoTest::TearDown() {
  auto* logger = Korvo::Shared::GetLogger();
  logger->listeners = std::move(m_savedListeners);
  logger->listenerCount = m_savedCount;
  logger->minLevel = m_savedMin;
  logger->maxLevel = m_savedMax;
  m_capture = nullptr;
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
  return m_capture->Lines();
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
