#include "service/logging/testing/log_test_support.h"

#include "platform/text.h"

namespace Korvo::Shared::testing {

std::vector<std::wstring> LoggingTest::ReadLines(const std::filesystem::path& path) {
  std::string bytes = platform::testing::ReadHostFile(path);
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(platform::Utf8ToWide(bytes.substr(start)));
      break;
    }
    lines.push_back(platform::Utf8ToWide(bytes.substr(start, end - start)));
    start = end + 2;
  }
  return lines;
}

bool LoggingTest::StartsWithBom(const std::filesystem::path& path) {
  return platform::testing::ReadHostFile(path).rfind("\xEF\xBB\xBF", 0) == 0;
}

}  // namespace Korvo::Shared::testing
