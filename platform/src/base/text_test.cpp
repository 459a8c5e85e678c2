#include "platform/text.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(TextTest, Utf8RoundTripsEveryPlane) {
  const std::wstring wide = L"Korvo \u00e9\u20ac\U0001F600";
  const std::string utf8 = WideToUtf8(wide);
  EXPECT_EQ(utf8, "Korvo \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToWide(utf8), wide);
}

TEST(TextTest, MalformedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToWide("a\xFF"
                       "b"),
            L"a\uFFFD"
            L"b");
  EXPECT_EQ(Utf8ToWide("\xE2\x82"), L"\uFFFD\uFFFD");            // cut short
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), L"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
}

TEST(TextTest, Utf16UsesSurrogatePairsAndRepairsLoneOnes) {
  const std::u16string utf16 = WideToUtf16(L"x\U0001F600");
  ASSERT_EQ(utf16.size(), 3u);
  EXPECT_EQ(utf16[1], 0xD83D);
  EXPECT_EQ(utf16[2], 0xDE00);
  EXPECT_EQ(Utf16ToWide(utf16), L"x\U0001F600");
  EXPECT_EQ(Utf16ToWide(std::u16string{u'a', char16_t(0xD800), u'b'}),
            L"a\uFFFD"
            L"b");
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("Grüße")), "Grüße");
}

TEST(TextTest, AnsiIsWindows1252) {
  EXPECT_EQ(AnsiToWide("\x80\x93\xE9\x81"), L"\u20ac\u201c\u00e9\u0081");
  EXPECT_EQ(WideToAnsi(L"\u20ac\u00e9\u4e2d"), "\x80\xE9?");
}

TEST(TextTest, ConversionCallsFollowTheSizeProtocol) {
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);  // with the terminator
  wchar_t buf[4];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, buf, 4), 4);
  EXPECT_STREQ(buf, L"abc");
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, buf, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, buf, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(MultiByteToWideChar(950, 0, "a", 1, buf, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  char out[8];
  BOOL usedDefault = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u4e2dx", 2, out, 8, nullptr, &usedDefault), 2);
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ(std::string(out, 2), "?x");
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\u00e9", -1, nullptr, 0, nullptr, nullptr), 3);
}

TEST(TextTest, NamesCompareWithoutCase) {
  EXPECT_TRUE(EqualsNoCase(L"Software\\Policies", L"SOFTWARE\\policies"));
  EXPECT_FALSE(EqualsNoCase(L"Varnel", L"Varnel2"));
  EXPECT_EQ(ToUpper(L"console;file"), L"CONSOLE;FILE");
}

}  // namespace
TEST(TextTest, CaseInsensitiveComparisonsOfTheCRuntime) {
  EXPECT_EQ(_wcsicmp(L"Explorer.EXE", L"explorer.exe"), 0);
  EXPECT_LT(_wcsicmp(L"abc", L"ABD"), 0);
  EXPECT_GT(_wcsicmp(L"abcd", L"ABC"), 0);
  EXPECT_EQ(_wcsnicmp(L"explorer.exe", L"EXPLORER", 8), 0);
  EXPECT_NE(_wcsnicmp(L"explo", L"EXPLORER", 8), 0) << "a shorter name does not match past its end";
  EXPECT_EQ(_wcsnicmp(L"a", L"b", 0), 0);
}

}  // namespace platform
