#include "platform/src/base/command_line.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform::base::detail {
namespace {

using Args = std::vector<std::wstring>;

TEST(CommandLineTest, SplitsArgumentsLikeTheOriginal) {
  EXPECT_EQ(SplitCommandLineArguments(L"  a  b\tc "), (Args{L"a", L"b", L"c"}));
  EXPECT_EQ(SplitCommandLineArguments(L"\"a b\" c"), (Args{L"a b", L"c"}));
  EXPECT_EQ(SplitCommandLineArguments(L"x\"y z\"w"), (Args{L"xy zw"}));
  EXPECT_EQ(SplitCommandLineArguments(L"\"\" end"), (Args{L"", L"end"}));
  // Backslashes are literal unless they precede a quote.
  EXPECT_EQ(SplitCommandLineArguments(L"C:\\dir\\ b\\\\c"), (Args{L"C:\\dir\\", L"b\\\\c"}));
  // 2n backslashes + quote: n backslashes and the quote toggles.
  EXPECT_EQ(SplitCommandLineArguments(L"a\\\\\"b c\""), (Args{L"a\\b c"}));
  // 2n+1 backslashes + quote: n backslashes and a literal quote.
  EXPECT_EQ(SplitCommandLineArguments(L"a\\\"b c"), (Args{L"a\"b", L"c"}));
  EXPECT_EQ(SplitCommandLineArguments(L"a\\\\\\\"b"), (Args{L"a\\\"b"}));
  // "" inside quotes is a literal quote.
  EXPECT_EQ(SplitCommandLineArguments(L"\"say \"\"hi\"\"\""), (Args{L"say \"hi\""}));
  EXPECT_TRUE(SplitCommandLineArguments(L"   ").empty());
}

}  // namespace
}  // namespace platform::base::detail
