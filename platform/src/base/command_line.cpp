#include "platform/src/base/command_line.h"

namespace platform::base::detail {
namespace {

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

}  // namespace

std::vector<std::wstring> SplitCommandLineArguments(std::wstring_view text) {
  std::vector<std::wstring> args;
  std::size_t i = 0;
  const std::size_t n = text.size();
  for (;;) {
    while (i < n && IsBlank(text[i])) ++i;
    if (i >= n) break;
    std::wstring arg;
    bool quoted = false;
    while (i < n) {
      const wchar_t c = text[i];
      if (IsBlank(c) && !quoted) break;
      if (c == L'\\') {
        std::size_t j = i;
        while (j < n && text[j] == L'\\') ++j;
        const std::size_t count = j - i;
        if (j < n && text[j] == L'"') {
          arg.append(count / 2, L'\\');
          if (count % 2 == 1) {
            arg.push_back(L'"');
            i = j + 1;
          } else {
            i = j;  // the quote itself is handled next
          }
        } else {
          arg.append(count, L'\\');
          i = j;
        }
        continue;
      }
      if (c == L'"') {
        if (quoted && i + 1 < n && text[i + 1] == L'"') {
          arg.push_back(L'"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg.push_back(c);
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace platform::base::detail
