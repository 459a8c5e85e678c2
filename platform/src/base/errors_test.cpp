#include "platform/errors.h"

#include <cwchar>
#include <string>

#include <gtest/gtest.h>

#include "platform/text.h"

namespace platform {
namespace {

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kUnsetError = 0xBEEF;

TEST(FormatMessageTest, AKnownMessageEndsWithCrLfAndItsLengthIsReturned) {
  wchar_t buffer[256];
  const DWORD length = FormatMessage(kFromSystem, ERROR_SERVICE_DOES_NOT_EXIST, 0, buffer, std::size(buffer));
  EXPECT_EQ(std::wstring(buffer), L"The specified service does not exist as an installed service.\r\n");
  EXPECT_EQ(length, std::wcslen(buffer));

  // US English asked for by name is the same text.
  ASSERT_EQ(FormatMessage(kFromSystem, ERROR_ACCESS_DENIED, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), buffer,
                          std::size(buffer)),
            19u);
  EXPECT_EQ(std::wstring(buffer), L"Access is denied.\r\n");
}

TEST(FormatMessageTest, EveryMessageIsOneSentenceOnOneLine) {
  int found = 0;
  for (DWORD id = 0; id < 20000; ++id) {
    wchar_t buffer[512];
    const DWORD length = FormatMessage(kFromSystem, id, 0, buffer, std::size(buffer));
    if (length == 0) {
      EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND) << id;
      continue;
    }
    ++found;
    const std::wstring text(buffer);
    ASSERT_EQ(length, text.size()) << id;
    ASSERT_GE(text.size(), 4u) << id;
    EXPECT_EQ(text.substr(text.size() - 3), L".\r\n") << id;
    EXPECT_EQ(text.find_first_of(L"\r\n"), text.size() - 2) << "one line: " << id;
    EXPECT_TRUE(text[0] >= L'A' && text[0] <= L'Z') << id;
  }
  EXPECT_GE(found, 20);
}

TEST(FormatMessageTest, AnUnknownIdFailsWithMidNotFound) {
  wchar_t buffer[64] = L"untouched";
  SetLastError(kUnsetError);
  EXPECT_EQ(FormatMessage(kFromSystem, 0x7FFF, 0, buffer, std::size(buffer)), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(std::wstring(buffer), L"untouched");
}

TEST(FormatMessageTest, TheTerminatorMustFit) {
  const std::wstring expected = L"Access is denied.\r\n";
  std::wstring buffer(expected.size() + 1, L'#');
  SetLastError(kUnsetError);
  EXPECT_EQ(FormatMessage(kFromSystem, ERROR_ACCESS_DENIED, 0, buffer.data(), static_cast<DWORD>(expected.size())), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buffer, std::wstring(expected.size() + 1, L'#')) << "a buffer too small is left alone";
  EXPECT_EQ(FormatMessage(kFromSystem, ERROR_ACCESS_DENIED, 0, buffer.data(), 0), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  EXPECT_EQ(FormatMessage(kFromSystem, ERROR_ACCESS_DENIED, 0, buffer.data(), static_cast<DWORD>(buffer.size())),
            expected.size());
  EXPECT_EQ(buffer, expected + L'\0');
}

TEST(FormatMessageTest, OnlySystemMessagesWithoutInsertsAreOffered) {
  wchar_t buffer[256] = L"untouched";
  for (DWORD flags : {DWORD{FORMAT_MESSAGE_FROM_SYSTEM}, DWORD{FORMAT_MESSAGE_IGNORE_INSERTS},
                      kFromSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, kFromSystem | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                      kFromSystem | FORMAT_MESSAGE_FROM_HMODULE, kFromSystem | 80,
                      FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, DWORD{0}}) {
    SetLastError(kUnsetError);
    EXPECT_EQ(FormatMessage(flags, ERROR_ACCESS_DENIED, 0, buffer, std::size(buffer)), 0u) << std::hex << flags;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << std::hex << flags;
  }
  EXPECT_EQ(std::wstring(buffer), L"untouched");
  SetLastError(kUnsetError);
  EXPECT_EQ(FormatMessage(kFromSystem, ERROR_ACCESS_DENIED, 0, nullptr, 256), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(FormatMessageTest, OtherLanguagesAreNotThere) {
  wchar_t buffer[256];
  SetLastError(kUnsetError);
  EXPECT_EQ(
      FormatMessage(kFromSystem, ERROR_ACCESS_DENIED, MAKELANGID(0x07, SUBLANG_DEFAULT), buffer, std::size(buffer)),
      0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_LANG_NOT_FOUND);
}

TEST(FormatMessageTest, SystemMessageTextDropsTheLineEndAndKeepsTheLastError) {
  SetLastError(ERROR_SERVICE_DISABLED);
  EXPECT_EQ(SystemMessageText(ERROR_SERVICE_DISABLED),
            L"The service cannot be started, either because it is disabled or because it has no enabled devices "
            L"associated with it.");
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
  EXPECT_EQ(SystemMessageText(0x7FFF), L"");
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
  EXPECT_EQ(WideToUtf8(SystemMessageText(ERROR_PROCESS_ABORTED)), "The process terminated unexpectedly.");
}

}  // namespace
}  // namespace platform
