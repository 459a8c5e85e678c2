// Shared pieces of the system-information tests: a fresh machine per test whose
// profile a test can change, the lines the service logged during the test, and the
// virtual time that passed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/testing/machine_test.h"
#include "service/logging/korvo_log.h"
#include "service/logging/testing/log_capture.h"

namespace RpcServer::testing {

struct LoggedLine {
  int level;
  std::string function;
  std::wstring message;
};

class SysInfoTest : public platform::testing::MachineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The embedded default profile (the healthy sample laptop).
  static nlohmann::json DefaultProfile();
  // The object list of a class in a profile.
  static nlohmann::json& Objects(nlohmann::json& profile, const std::string& nameSpace, const std::string& className);
  // Replaces the machine by one with `profile` on the same root.
  void UseProfile(const nlohmann::json& profile);
  // Writes the factory build file on drive C:.
  void WriteBuildFile(const std::string& bytes);

  std::vector<LoggedLine> Lines() const;
  // How many lines of `level` carry exactly `message` (any function when null).
  int Count(int level, const std::wstring& message, const char* function = nullptr) const;
  bool Logged(int level, const std::wstring& message, const char* function = nullptr) const {
    return Count(level, message, function) > 0;
  }
  void ClearLines();
  // Other threads that log wait in their next log call until released.
  void HoldOtherThreads(bool hold) { m_capture->HoldOtherThreads(hold); }

  // Virtual milliseconds since the last MarkTime (or the start of the test).
  void MarkTime();
  std::uint64_t ElapsedMs();

 private:
  std::unique_ptr<Korvo::Shared::testing::LogCapture> m_capture;  // exclusive: no log file
  std::uint64_t m_mark = 0;
};

}  // namespace RpcServer::testing
