// Shared pieces of the logging tests: a machine on which the running program is the
// service ("Varnel", product "Korvo Tallisk"), policy values, and the log files.
#pragma once

#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/testing/machine_test.h"

namespace Korvo::Shared::testing {

inline constexpr const wchar_t* kServiceProgram = L"C:\\Program Files (x86)\\Korvo\\Varnel\\Varnel.exe";
inline constexpr const wchar_t* kProductKey = L"Software\\Policies\\Korvo\\Korvo Tallisk";
inline constexpr const wchar_t* kProgramKey = L"Software\\Policies\\Korvo\\Korvo Tallisk\\Varnel";
inline constexpr const wchar_t* kLogFolder = L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Roaming\\kvqLog";
inline constexpr const wchar_t* kLogFile =
    L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Roaming\\kvqLog\\Varnel.log";

class LoggingTest : public platform::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    InstallProgram(kServiceProgram, "Korvo Tallisk");
  }

  void SetString(const wchar_t* key, const wchar_t* name, const wchar_t* value) {
    platform::registry::SetString(key, name, value);
  }
  void SetDword(const wchar_t* key, const wchar_t* name, platform::DWORD value) {
    platform::registry::SetDword(key, name, value);
  }

  std::filesystem::path LogPath(const std::wstring& machinePath = kLogFile) const { return Host(machinePath); }
  std::filesystem::path NumberedLog(int n) const {
    wchar_t name[32];
    std::swprintf(name, 32, L"\\Varnel_%04d.log", n);
    return Host(std::wstring(kLogFolder) + name);
  }

  // The lines of a log file, decoded from UTF-8 without the byte-order mark and
  // split at CR LF. An unterminated last line is returned as well.
  static std::vector<std::wstring> ReadLines(const std::filesystem::path& path);
  static bool StartsWithBom(const std::filesystem::path& path);
};

}  // namespace Korvo::Shared::testing
