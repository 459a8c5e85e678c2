#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/fs.h"
#include "platform/testing/machine_test.h"

namespace platform {
namespace {

using testing::ReadHostFile;
using testing::WriteHostFile;

constexpr const wchar_t* kLog = L"C:\\Logs\\Varnel.log";
const std::string kBom = "\xEF\xBB\xBF";

class StreamTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    std::filesystem::create_directories(root() / "drive_c/Logs");
  }
  std::filesystem::path LogHost() const { return root() / "drive_c/Logs/Varnel.log"; }

  CrtStream* Open(const wchar_t* mode, const wchar_t* path = kLog) {
    CrtStream* s = nullptr;
    EXPECT_EQ(_wfopen_s(&s, path, mode), 0) << "mode " << mode;
    return s;
  }
  std::wstring ReadLine(CrtStream* s, int count = 256) {
    std::wstring buffer(static_cast<std::size_t>(count), L'#');
    if (fgetws(buffer.data(), count, s) == nullptr) return L"<null>";
    return buffer.c_str();
  }
};

TEST_F(StreamTest, AppendUtf8StartsANewFileWithAMarkAndWritesLinesWithCrLf) {
  CrtStream* s = Open(L"a+,ccs=UTF-8");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ReadHostFile(LogHost()), kBom);  // the mark is written at open
  EXPECT_EQ(fputws(L"first line", s), 0);
  EXPECT_EQ(fputws(L"\n", s), 0);
  EXPECT_EQ(fputws(std::wstring_view(L"second\nthird\n"), s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), kBom);  // still buffered
  EXPECT_EQ(fflush(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), kBom + "first line\r\nsecond\r\nthird\r\n");
  EXPECT_EQ(fputws(L"fourth\n", s), 0);
  EXPECT_EQ(fclose(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), kBom + "first line\r\nsecond\r\nthird\r\nfourth\r\n");
}

TEST_F(StreamTest, ReopeningANonEmptyFileAppendsWithoutASecondMarkAndReadsFromTheStart) {
  WriteHostFile(LogHost(), kBom + "2021/03/04 first\r\nsecond\r\n");
  CrtStream* s = Open(L"a+, ccs = utf-8");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ReadLine(s), L"2021/03/04 first\n");  // no mark, CR LF read as LF
  EXPECT_EQ(fputws(L"third\n", s), 0);            // at the end, whatever was read
  EXPECT_EQ(fclose(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), kBom + "2021/03/04 first\r\nsecond\r\nthird\r\n");

  // A file without a mark does not get one either.
  WriteHostFile(LogHost(), "plain\r\n");
  s = Open(L"a,ccs=UTF-8");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(fputws(L"more\n", s), 0);
  EXPECT_EQ(fclose(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), "plain\r\nmore\r\n");
}

TEST_F(StreamTest, AnEmptyFileOpenedForAppendReadsNothingAndIsNotAnError) {
  CrtStream* s = Open(L"a+,ccs=UTF-8");
  ASSERT_NE(s, nullptr);
  wchar_t first[25] = {};
  EXPECT_EQ(fgetws(first, 25, s), nullptr);
  EXPECT_NE(feof(s), 0);
  EXPECT_EQ(ferror(s), 0);
  EXPECT_EQ(fputws(L"line\n", s), 0);
  EXPECT_EQ(feof(s), 0);
  EXPECT_EQ(fclose(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), kBom + "line\r\n");
}

TEST_F(StreamTest, NonAsciiTextRoundTripsAsUtf8) {
  const std::wstring text = L"Gr\u00FC\u00DFe \u20AC \U0001F600 \u65E5\u672C\n";
  CrtStream* s = Open(L"w,ccs=UTF-8");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(fputws(text.c_str(), s), 0);
  EXPECT_EQ(fclose(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), kBom +
                                         "Gr\xC3\xBC\xC3\x9F"
                                         "e \xE2\x82\xAC \xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC\r\n");

  s = Open(L"r,ccs=UTF-8");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ReadLine(s), text);
  EXPECT_EQ(ReadLine(s), L"<null>");
  EXPECT_NE(feof(s), 0);
  EXPECT_EQ(fclose(s), 0);
}

TEST_F(StreamTest, FgetwsStopsAtTheCountOrAfterANewline) {
  WriteHostFile(LogHost(), "abcdefgh\r\nlone\rcr\r\nlast");
  CrtStream* s = Open(L"r");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ReadLine(s, 4), L"abc");
  EXPECT_EQ(ReadLine(s, 4), L"def");
  EXPECT_EQ(ReadLine(s, 4), L"gh\n");
  EXPECT_EQ(ReadLine(s), L"lone\rcr\n");
  EXPECT_EQ(ReadLine(s), L"last");
  EXPECT_NE(feof(s), 0);
  EXPECT_EQ(ReadLine(s), L"<null>");
  EXPECT_EQ(fclose(s), 0);

  // Binary mode keeps CR LF.
  s = Open(L"rb");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ReadLine(s), L"abcdefgh\r\n");
  EXPECT_EQ(fclose(s), 0);
}

TEST_F(StreamTest, WithoutCcsWideTextIsUtf8WithoutAMark) {
  CrtStream* s = Open(L"wt");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(fputws(L"\u00E9t\u00E9\n", s), 0);
  EXPECT_EQ(fclose(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), "\xC3\xA9t\xC3\xA9\r\n");
}

TEST_F(StreamTest, Utf16StreamsWriteAMarkAndLittleEndianUnits) {
  CrtStream* s = Open(L"w,ccs=UNICODE");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(fputws(L"A\u20AC\U0001F600\n", s), 0);
  EXPECT_EQ(fclose(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), std::string("\xFF\xFE"
                                                 "A\0\xAC\x20\x3D\xD8\x00\xDE\r\0\n\0",
                                                 14));

  s = Open(L"r,ccs=UTF-16LE");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ReadLine(s), L"A\u20AC\U0001F600\n");
  EXPECT_EQ(fclose(s), 0);

  // The mark decides: a UTF-8 file read with ccs=UNICODE is read as UTF-8.
  WriteHostFile(LogHost(), kBom + "\xC3\xA9\r\n");
  s = Open(L"r,ccs=UNICODE");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ReadLine(s), L"\u00E9\n");
  EXPECT_EQ(fclose(s), 0);
}

TEST_F(StreamTest, WriteTruncatesAndAppendAlwaysWritesAtTheEnd) {
  WriteHostFile(LogHost(), "old content");
  CrtStream* s = Open(L"w");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ReadHostFile(LogHost()), "");
  EXPECT_EQ(fputws(L"new", s), 0);
  EXPECT_EQ(fclose(s), 0);

  CrtStream* a = Open(L"ab");
  ASSERT_NE(a, nullptr);
  WriteHostFile(LogHost(), "replaced by another writer");  // grows the file after our open
  EXPECT_EQ(fputws(L"+tail\n", a), 0);
  EXPECT_EQ(fclose(a), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), "replaced by another writer+tail\n");
}

TEST_F(StreamTest, ABufferThatFillsUpIsWrittenBeforeFflush) {
  CrtStream* s = Open(L"w");
  ASSERT_NE(s, nullptr);
  const std::wstring line(99, L'x');
  for (int i = 0; i < 1000; ++i) fputws((line + L"\n").c_str(), s);  // 101 000 bytes with CR LF
  const auto beforeFlush = ReadHostFile(LogHost()).size();
  EXPECT_GT(beforeFlush, 0u);
  EXPECT_LT(beforeFlush, 101000u);
  EXPECT_EQ(fclose(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()).size(), 101000u);

  // One long call that fills the buffer several times never splits a character.
  s = Open(L"w");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(fputws(std::wstring(50000, L'\u20AC'), s), 0);
  const auto partial = ReadHostFile(LogHost());
  EXPECT_GT(partial.size(), 0u);
  EXPECT_EQ(partial.size() % 3, 0u);
  EXPECT_EQ(partial.substr(partial.size() - 3), "\xE2\x82\xAC");
  EXPECT_EQ(fclose(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()).size(), 150000u);
}

TEST_F(StreamTest, FreadAndFwriteMoveRawBytes) {
  CrtStream* s = Open(L"w+");
  ASSERT_NE(s, nullptr);
  const char bytes[] = {'a', '\n', '\0', '\xFF', 'b'};
  EXPECT_EQ(fwrite(bytes, 1, sizeof bytes, s), sizeof bytes);
  EXPECT_EQ(fclose(s), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), std::string(bytes, sizeof bytes));

  std::string big(200000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13);
  WriteHostFile(LogHost(), big);
  s = Open(L"rb");
  ASSERT_NE(s, nullptr);
  std::string head(10, '\0');
  EXPECT_EQ(fread(head.data(), 2, 5, s), 5u);
  EXPECT_EQ(head, big.substr(0, 10));
  std::string rest(300000, '\0');
  EXPECT_EQ(fread(rest.data(), 1, rest.size(), s), big.size() - 10);
  EXPECT_EQ(rest.substr(0, big.size() - 10), big.substr(10));
  EXPECT_NE(feof(s), 0);
  EXPECT_EQ(fclose(s), 0);
}

TEST_F(StreamTest, ReadOnlyStreamsRefuseWritesAndWriteOnlyStreamsRefuseReads) {
  WriteHostFile(LogHost(), "x\r\n");
  CrtStream* r = Open(L"r");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(fputws(L"no", r), -1);
  EXPECT_NE(ferror(r), 0);
  EXPECT_EQ(fclose(r), 0);
  CrtStream* w = Open(L"a");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(ReadLine(w), L"<null>");
  EXPECT_NE(ferror(w), 0);
  EXPECT_EQ(fclose(w), 0);
  EXPECT_EQ(ReadHostFile(LogHost()), "x\r\n");
}

TEST_F(StreamTest, OpenFailuresReturnAnErrnoValueAndNoStream) {
  CrtStream* s = reinterpret_cast<CrtStream*>(0x1);
  EXPECT_EQ(_wfopen_s(&s, L"C:\\Logs\\missing.log", L"r"), ENOENT);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(_wfopen_s(&s, L"C:\\NoLogs\\missing.log", L"a+"), ENOENT);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(_wfopen_s(&s, L"C:\\Logs", L"r"), EACCES);
  EXPECT_EQ(_wfopen_s(&s, L"C:\\Logs", L"a"), EACCES);
  EXPECT_EQ(_wfopen_s(&s, L"D:\\x.log", L"w"), ENOENT);
  for (const wchar_t* bad :
       {L"", L"q", L"rw+", L"r++", L"rbt", L"a,ccs=UTF-7", L"a,ccs", L"a,xyz=UTF-8", L"rb,ccs=UTF-8"}) {
    s = reinterpret_cast<CrtStream*>(0x1);
    EXPECT_EQ(_wfopen_s(&s, kLog, bad), EINVAL) << "mode \"" << bad << "\"";
    EXPECT_EQ(s, nullptr);
  }
  EXPECT_FALSE(std::filesystem::exists(LogHost()));
  CrtStream* none = _wfopen(L"C:\\Logs\\missing.log", L"r");
  const int err = errno;
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(err, ENOENT);
}

TEST_F(StreamTest, FflushWithoutAStreamFlushesEveryOpenStream) {
  CrtStream* a = Open(L"w", L"C:\\Logs\\a.log");
  CrtStream* b = Open(L"w", L"C:\\Logs\\b.log");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  fputws(L"A", a);
  fputws(L"B", b);
  EXPECT_EQ(fflush(nullptr), 0);
  EXPECT_EQ(ReadHostFile(root() / "drive_c/Logs/a.log"), "A");
  EXPECT_EQ(ReadHostFile(root() / "drive_c/Logs/b.log"), "B");
  EXPECT_EQ(fclose(a), 0);
  EXPECT_EQ(fclose(b), 0);
}

}  // namespace
}  // namespace platform
