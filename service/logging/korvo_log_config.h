// The logging policy an administrator sets under HKEY_LOCAL_MACHINE
// "Software\Policies\Korvo\<product>" (the product key) and its subkey named after the
// program (the program key), read once when the logger and its listeners are made.
#pragma once

#include <optional>
#include <string>

#include "platform/registry.h"

namespace Korvo::Shared {

// The ProductName of the running program's own version resource, from
// "\StringFileInfo\040904E4\ProductName" or else "\StringFileInfo\040904B0\ProductName";
// empty when it has none.
std::wstring GetProgramProductName();
// The running program's file name without folder and extension ("Varnel").
std::wstring GetProgramBaseName();

// Opens the product key and, when it exists, the program key (KEY_READ); closes both
// on destruction. Either may be missing.
class CLogPolicyKeys {
 public:
  CLogPolicyKeys();
  ~CLogPolicyKeys();
  CLogPolicyKeys(const CLogPolicyKeys&) = delete;
  CLogPolicyKeys& operator=(const CLogPolicyKeys&) = delete;

  bool HasProductKey() const { return m_hProductKey != nullptr; }
  bool HasProgramKey() const { return m_hProgramKey != nullptr; }

  // "LoggingType": the program key's value, or the product key's when that read
  // fails; the value type is not checked. At most 63 characters.
  std::optional<std::wstring> ReadLoggingType() const;
  // "MinLogLevel"/"MaxLogLevel" as level numbers, when the product key exists and one
  // of the keys holds the value as a non-empty REG_SZ of at most 127 characters.
  std::optional<int> ReadLevel(const wchar_t* valueName) const;
  // "MaxLogSize" in KB: the program key's value when it reads and is non-zero, else the
  // product key's under the same rule, else 2048.
  int ReadMaxLogSizeKB() const;
  // "QueuedWrites": the program key's value when it reads, else the product key's.
  std::optional<bool> ReadQueuedWrites() const;

 private:
  platform::HKEY m_hProductKey = nullptr;
  platform::HKEY m_hProgramKey = nullptr;
};

inline constexpr int kDefaultMaxLogSizeKB = 2048;

}  // namespace Korvo::Shared
