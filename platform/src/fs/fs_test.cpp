#include "platform/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/machine.h"
#include "platform/testing/machine_test.h"
#include "platform/text.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using testing::ReadHostFile;
using testing::WriteHostFile;

namespace fs = std::filesystem;

class FsTest : public testing::MachineTest {
 protected:
  fs::path C(const std::string& relative) const { return root() / "drive_c" / relative; }
};

// --- Path mapping ---------------------------------------------------------------------

TEST_F(FsTest, MachinePathsOnCMapUnderDriveCWhateverTheSeparatorsAndDriveCase) {
  EXPECT_EQ(MapToHost(L"C:\\Korvo\\support\\build.txt"), C("Korvo/support/build.txt"));
  EXPECT_EQ(MapToHost(L"c:/Korvo/support/build.txt"), C("Korvo/support/build.txt"));
  EXPECT_EQ(MapToHost(L"C:\\\\Korvo//support\\.\\x\\..\\build.txt\\"), C("Korvo/support/build.txt"));
  EXPECT_EQ(MapToHost(L"C:\\"), root() / "drive_c");
  // ".." never climbs out of the drive into the machine root.
  EXPECT_EQ(MapToHost(L"C:\\..\\..\\registry.json"), C("registry.json"));
}

TEST_F(FsTest, ExistingComponentsAreReusedWithoutRegardToCaseAndNewOnesKeepTheirCase) {
  fs::create_directories(C("Korvo/Support"));
  WriteHostFile(C("Korvo/Support/Build.TXT"), "x");
  EXPECT_EQ(MapToHost(L"C:\\KORVO\\support\\build.txt"), C("Korvo/Support/Build.TXT"));
  EXPECT_EQ(MapToHost(L"C:\\korvo\\NewDir\\Sub\\File.Log"), C("Korvo/NewDir/Sub/File.Log"));
  EXPECT_EQ(MapToHost(L"C:\\windows\\system32"), C("Windows/System32"));

  // With both spellings on disk, the exact one wins.
  fs::create_directories(C("Korvo/support"));
  EXPECT_EQ(MapToHost(L"C:\\korvo\\support"), C("Korvo/support"));
  EXPECT_EQ(MapToHost(L"C:\\korvo\\Support"), C("Korvo/Support"));
}

TEST_F(FsTest, DriveZIsTheHostRootAndRelativePathsStartAtTheWorkingFolder) {
  EXPECT_EQ(MapToHost(L"Z:\\"), fs::path("/"));
  EXPECT_EQ(MapToHost(L"z:/usr/../usr/lib"), fs::path("/usr/lib"));
  EXPECT_EQ(MapToHost(L"Z:\\..\\etc"), fs::path("/etc"));

  const fs::path previous = fs::current_path();
  fs::create_directories(C("Work/Here"));
  fs::current_path(C("Work/Here"));
  const auto relative = MapToHost(L"sub\\file.txt");
  const auto upward = MapToHost(L"..\\..\\..\\x");
  const auto rooted = MapToHost(L"\\Windows");
  fs::current_path(previous);
  EXPECT_EQ(relative, C("Work/Here/sub/file.txt"));
  EXPECT_EQ(upward, C("x"));  // the working folder is on C:, so ".." stops at its root
  EXPECT_EQ(rooted, C("Windows"));
}

TEST_F(FsTest, OtherDrivesUncAndEmptyPathsDoNotMap) {
  EXPECT_EQ(MapToHost(L"D:\\data"), std::nullopt);
  EXPECT_EQ(MapToHost(L"\\\\server\\share\\file"), std::nullopt);
  EXPECT_EQ(MapToHost(L"//server/share"), std::nullopt);
  EXPECT_EQ(MapToHost(L""), std::nullopt);
  EXPECT_EQ(MapToHost(L"1:\\x"), std::nullopt);
}

TEST_F(FsTest, HostPathsMapBackToMachinePaths) {
  EXPECT_EQ(MapFromHost(C("Windows/System32/config")), L"C:\\Windows\\System32\\config");
  EXPECT_EQ(MapFromHost(C("")), L"C:\\");
  EXPECT_EQ(MapFromHost(root() / "drive_c"), L"C:\\");
  EXPECT_EQ(MapFromHost(root() / "drive_c/./Program Files/../ProgramData/"), L"C:\\ProgramData");
  EXPECT_EQ(MapFromHost("/usr/lib/x86_64-linux-gnu"), L"Z:\\usr\\lib\\x86_64-linux-gnu");
  EXPECT_EQ(MapFromHost("/"), L"Z:\\");
  // The machine root itself is not on drive C:.
  std::wstring rootZ = L"Z:" + Utf8ToWide(root().string());
  std::replace(rootZ.begin(), rootZ.end(), L'/', L'\\');
  EXPECT_EQ(MapFromHost(root() / "registry.json"), rootZ + L"\\registry.json");
  EXPECT_EQ(MapToHost(MapFromHost(root() / "registry.json")), root() / "registry.json");
  EXPECT_EQ(MapToHost(MapFromHost(C("Windows/System32"))), C("Windows/System32"));
}

// --- Known folders and environment ---------------------------------------------------------

TEST_F(FsTest, KnownFoldersAreTheAccountsAndTheSystemsFolders) {
  wchar_t path[MAX_PATH] = {};
  EXPECT_EQ(SHGetFolderPath(nullptr, CSIDL_APPDATA, nullptr, 0, path), S_OK);
  EXPECT_STREQ(path, L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Roaming");
  EXPECT_EQ(SHGetFolderPath(nullptr, CSIDL_SYSTEM, nullptr, 0, path), S_OK);
  EXPECT_STREQ(path, L"C:\\Windows\\System32");
  EXPECT_EQ(SHGetFolderPath(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, path), S_OK);
  EXPECT_STREQ(path, L"C:\\Program Files (x86)");
  EXPECT_EQ(SHGetFolderPath(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, path), S_OK);
  EXPECT_STREQ(path, L"C:\\Program Files");
  EXPECT_EQ(SHGetFolderPath(nullptr, 0x0005, nullptr, 0, path), E_INVALIDARG);
}

TEST_F(FsTest, AMissingKnownFolderFailsUnlessAskedToCreateIt) {
  wchar_t path[MAX_PATH] = {};
  ASSERT_FALSE(fs::exists(C("Windows/System32/config/systemprofile/AppData/Local")));
  EXPECT_EQ(SHGetFolderPath(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, path), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_STREQ(path, L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local");
  EXPECT_FALSE(fs::exists(C("Windows/System32/config/systemprofile/AppData/Local")));
  path[0] = L'\0';
  EXPECT_EQ(SHGetFolderPath(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_DONT_VERIFY, nullptr, 0, path), S_OK);
  EXPECT_STREQ(path, L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local");

  fs::remove_all(C("Windows/System32/config"));
  EXPECT_EQ(SHGetFolderPath(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path), S_OK);
  EXPECT_STREQ(path, L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Roaming");
  EXPECT_TRUE(fs::is_directory(C("Windows/System32/config/systemprofile/AppData/Roaming")));
}

TEST_F(FsTest, KnownFolderPathsCarryTheLetterCaseFoundOnDisk) {
  fs::rename(C("Windows"), C("windows"));
  fs::rename(C("windows/System32"), C("windows/system32"));
  wchar_t path[MAX_PATH] = {};
  EXPECT_EQ(SHGetFolderPath(nullptr, CSIDL_APPDATA, nullptr, 0, path), S_OK);
  EXPECT_STREQ(path, L"C:\\windows\\system32\\config\\systemprofile\\AppData\\Roaming");
  EXPECT_EQ(SHGetFolderPath(nullptr, CSIDL_WINDOWS, nullptr, 0, path), S_OK);
  EXPECT_STREQ(path, L"C:\\windows");
}

TEST_F(FsTest, EnvironmentHasTheSystemVariablesAndTheProfilesOnes) {
  EXPECT_EQ(GetMachineEnvironmentVariable(L"SystemDrive"), L"C:");
  EXPECT_EQ(GetMachineEnvironmentVariable(L"SYSTEMROOT"), L"C:\\Windows");
  EXPECT_EQ(GetMachineEnvironmentVariable(L"windir"), L"C:\\Windows");
  EXPECT_EQ(GetMachineEnvironmentVariable(L"programfiles(x86)"), L"C:\\Program Files (x86)");
  EXPECT_EQ(GetMachineEnvironmentVariable(L"ProgramData"), L"C:\\ProgramData");
  EXPECT_EQ(GetMachineEnvironmentVariable(L"USERPROFILE"), L"C:\\Windows\\System32\\config\\systemprofile");
  EXPECT_EQ(GetMachineEnvironmentVariable(L"AppData"),
            L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Roaming");
  EXPECT_EQ(GetMachineEnvironmentVariable(L"COMPUTERNAME"), L"KORVO-T14");        // the profile's name
  EXPECT_EQ(GetMachineEnvironmentVariable(L"processor_architecture"), L"AMD64");  // the profile's variable
  EXPECT_EQ(GetMachineEnvironmentVariable(L"NO_SUCH_VARIABLE"), std::nullopt);
}

TEST_F(FsTest, GetEnvironmentVariableFollowsTheSizeProtocol) {
  wchar_t buffer[16];
  EXPECT_EQ(GetEnvironmentVariable(L"windir", buffer, 16), 10u);
  EXPECT_STREQ(buffer, L"C:\\Windows");
  EXPECT_EQ(GetEnvironmentVariable(L"windir", buffer, 10), 11u);  // no room for the terminator
  EXPECT_EQ(GetEnvironmentVariable(L"windir", nullptr, 0), 11u);
  SetLastError(0);
  EXPECT_EQ(GetEnvironmentVariable(L"NO_SUCH_VARIABLE", buffer, 16), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
}

TEST_F(FsTest, ExpandEnvironmentStringsReplacesKnownNamesOnly) {
  wchar_t out[128];
  const wchar_t* text = L"%SystemDrive%\\Korvo\\%unknown%\\%windir%%";
  const std::wstring expected = L"C:\\Korvo\\%unknown%\\C:\\Windows%";
  EXPECT_EQ(ExpandEnvironmentStrings(text, out, 128), expected.size() + 1);
  EXPECT_EQ(std::wstring(out), expected);
  EXPECT_EQ(ExpandEnvironmentStrings(text, nullptr, 0), expected.size() + 1);
  out[0] = L'#';
  EXPECT_EQ(ExpandEnvironmentStrings(text, out, 5), expected.size() + 1);
  EXPECT_EQ(out[0], L'#');  // too small: nothing written
}

class FsProfileTest : public FsTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = FsTest::MachineProfile();
    profile.erase("computerName");
    profile["environment"] = {{"systemdrive", "D:"}, {"KORVO_FLAVOR", "Grün"}};
    return profile;
  }
};

TEST_F(FsProfileTest, ProfileVariablesOverrideTheDefaultsAndTheComputerNameHasAFallback) {
  EXPECT_EQ(GetMachineEnvironmentVariable(L"SystemDrive"), L"D:");
  EXPECT_EQ(GetMachineEnvironmentVariable(L"korvo_flavor"), L"Gr\u00FCn");
  EXPECT_EQ(GetMachineEnvironmentVariable(L"ComputerName"), L"KORVO-PC");
}

// --- Files and folders ------------------------------------------------------------------------

TEST_F(FsTest, FileAttributesDescribeFoldersFilesSizesAndTimes) {
  WriteHostFile(C("Korvo/data.bin"), std::string(70000, 'x'));
  struct timespec times[2] = {{1600000000, 123456789}, {1700000000, 987654321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, C("Korvo/data.bin").c_str(), times, 0), 0);

  EXPECT_EQ(GetFileAttributes(L"C:\\KORVO"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributes(L"C:\\Korvo\\Data.bin"), FILE_ATTRIBUTE_ARCHIVE);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesEx(L"C:\\Korvo\\data.bin", GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 70000u);
  EXPECT_EQ(data.nFileSizeHigh, 0u);
  // Full 100 ns resolution: the last digit of the nanoseconds is all that is lost.
  EXPECT_EQ(FileTimeToUInt64(data.ftLastWriteTime), UnixNanosToFileTime(1700000000987654321LL));
  EXPECT_EQ(FileTimeToUInt64(data.ftLastAccessTime), UnixNanosToFileTime(1600000000123456789LL));
  EXPECT_EQ(FileTimeToUInt64(data.ftLastWriteTime) % 10, 3u);

  fs::permissions(C("Korvo/data.bin"), fs::perms::owner_read | fs::perms::group_read);
  EXPECT_EQ(GetFileAttributes(L"C:\\Korvo\\data.bin"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);

  EXPECT_EQ(GetFileAttributes(L"C:\\Korvo\\missing.bin"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributes(L"C:\\NoFolder\\missing.bin"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(GetFileAttributes(L"Q:\\x"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(GetFileAttributesEx(L"C:\\Korvo\\missing.bin", GetFileExInfoStandard, &data));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  const std::wstring tooLong = L"C:\\" + std::wstring(40000, L'a');
  EXPECT_EQ(GetFileAttributes(tooLong.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(FsTest, SetFileLastWriteTimeIsWhatGetFileAttributesExReports) {
  WriteHostFile(C("Korvo/old.log"), "x");
  const FILETIME set = UInt64ToFileTime(VirtualClock::kDefaultStart - 36000000001ULL);
  ASSERT_TRUE(SetFileLastWriteTime(L"C:\\korvo\\OLD.log", &set));
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesEx(L"C:\\Korvo\\old.log", GetFileExInfoStandard, &data));
  EXPECT_EQ(FileTimeToUInt64(data.ftLastWriteTime), FileTimeToUInt64(set));
  EXPECT_FALSE(SetFileLastWriteTime(L"C:\\Korvo\\gone.log", &set));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FsTest, CreateDirectoryReportsTheOriginalsErrors) {
  EXPECT_TRUE(CreateDirectory(L"C:\\Korvo", nullptr));
  EXPECT_TRUE(fs::is_directory(C("Korvo")));
  EXPECT_TRUE(CreateDirectory(L"C:\\korvo\\Logs\\", nullptr));
  EXPECT_TRUE(fs::is_directory(C("Korvo/Logs")));  // the existing parent's spelling, the new name's own

  EXPECT_FALSE(CreateDirectory(L"C:\\KORVO", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  WriteHostFile(C("Korvo/file"), "x");
  EXPECT_FALSE(CreateDirectory(L"C:\\Korvo\\file", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectory(L"C:\\Missing\\Child", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(CreateDirectory(L"C:\\Korvo\\file\\Child", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  if (::geteuid() != 0) {  // root writes anywhere
    fs::create_directories(C("Locked"));
    fs::permissions(C("Locked"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(CreateDirectory(L"C:\\Locked\\Child", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    fs::permissions(C("Locked"), fs::perms::owner_all);
  }
}

TEST_F(FsTest, RemoveDirectoryAndDeleteFileRefuseTheWrongKindOfEntry) {
  fs::create_directories(C("Korvo/Full"));
  WriteHostFile(C("Korvo/Full/a.txt"), "a");
  fs::create_directories(C("Korvo/Empty"));

  EXPECT_FALSE(RemoveDirectory(L"C:\\Korvo\\Full"));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(RemoveDirectory(L"C:\\Korvo\\Full\\a.txt"));
  EXPECT_EQ(GetLastError(), 267u);  // ERROR_DIRECTORY
  EXPECT_TRUE(RemoveDirectory(L"C:\\korvo\\empty"));
  EXPECT_FALSE(fs::exists(C("Korvo/Empty")));

  EXPECT_FALSE(DeleteFile(L"C:\\Korvo\\Full"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::exists(C("Korvo/Full")));
  EXPECT_TRUE(DeleteFile(L"C:\\KORVO\\FULL\\A.TXT"));
  EXPECT_FALSE(fs::exists(C("Korvo/Full/a.txt")));
  EXPECT_FALSE(DeleteFile(L"C:\\Korvo\\Full\\a.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFile(L"C:\\Korvo\\Nowhere\\a.txt"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FsTest, MoveFileRefusesAnExistingTargetAndMoveFileExCanReplaceIt) {
  WriteHostFile(C("Logs/Varnel.log"), "active");
  WriteHostFile(C("Logs/Varnel_0001.log"), "older");

  EXPECT_FALSE(MoveFile(L"C:\\Logs\\Varnel.log", L"C:\\Logs\\varnel_0001.LOG"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadHostFile(C("Logs/Varnel.log")), "active");
  EXPECT_EQ(ReadHostFile(C("Logs/Varnel_0001.log")), "older");
  EXPECT_FALSE(MoveFileEx(L"C:\\Logs\\Varnel.log", L"C:\\Logs\\Varnel_0001.log", 0));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

  EXPECT_TRUE(MoveFileEx(L"C:\\Logs\\Varnel.log", L"C:\\Logs\\Varnel_0001.log", MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(fs::exists(C("Logs/Varnel.log")));
  EXPECT_EQ(ReadHostFile(C("Logs/Varnel_0001.log")), "active");

  EXPECT_TRUE(MoveFile(L"C:\\Logs\\Varnel_0001.log", L"C:\\Logs\\Varnel_0002.log"));
  EXPECT_EQ(ReadHostFile(C("Logs/Varnel_0002.log")), "active");
  EXPECT_FALSE(MoveFile(L"C:\\Logs\\Varnel_0001.log", L"C:\\Logs\\Varnel_0003.log"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(MoveFile(L"C:\\Logs\\Varnel_0002.log", L"C:\\Nowhere\\Varnel.log"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // A rename that only changes the letter case is not a clash with itself.
  EXPECT_TRUE(MoveFile(L"C:\\Logs\\Varnel_0002.log", L"C:\\Logs\\VARNEL_0002.LOG"));
  EXPECT_EQ(ReadHostFile(C("Logs/VARNEL_0002.LOG")), "active");
  EXPECT_FALSE(fs::exists(C("Logs/Varnel_0002.log")));

  fs::create_directories(C("Logs/Sub"));
  EXPECT_TRUE(MoveFile(L"C:\\Logs\\Sub", L"C:\\Logs\\Sub2"));
  EXPECT_TRUE(fs::is_directory(C("Logs/Sub2")));
  fs::create_directories(C("Logs/Empty"));
  EXPECT_FALSE(MoveFileEx(L"C:\\Logs\\Sub2", L"C:\\Logs\\Empty", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::is_directory(C("Logs/Sub2")));
}

TEST_F(FsTest, CopyFileCopiesBytesAndLastWriteTimeAndCanRefuseToOverwrite) {
  WriteHostFile(C("Korvo/a.txt"), "first");
  WriteHostFile(C("Korvo/b.txt"), "second, longer");
  const FILETIME old = UInt64ToFileTime(VirtualClock::kDefaultStart - 864000000000ULL);
  ASSERT_TRUE(SetFileLastWriteTime(L"C:\\Korvo\\a.txt", &old));

  EXPECT_FALSE(CopyFile(L"C:\\Korvo\\a.txt", L"C:\\Korvo\\B.txt", TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadHostFile(C("Korvo/b.txt")), "second, longer");
  EXPECT_TRUE(CopyFile(L"C:\\Korvo\\a.txt", L"C:\\Korvo\\B.txt", FALSE));
  EXPECT_EQ(ReadHostFile(C("Korvo/b.txt")), "first");
  EXPECT_TRUE(CopyFile(L"C:\\Korvo\\a.txt", L"C:\\Korvo\\c.txt", TRUE));
  EXPECT_EQ(ReadHostFile(C("Korvo/c.txt")), "first");
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesEx(L"C:\\Korvo\\c.txt", GetFileExInfoStandard, &data));
  EXPECT_EQ(FileTimeToUInt64(data.ftLastWriteTime), FileTimeToUInt64(old));

  EXPECT_FALSE(CopyFile(L"C:\\Korvo\\a.txt", L"C:\\korvo\\A.TXT", FALSE));
  EXPECT_EQ(ReadHostFile(C("Korvo/a.txt")), "first");  // not truncated by copying onto itself
  EXPECT_FALSE(CopyFile(L"C:\\Korvo\\none.txt", L"C:\\Korvo\\d.txt", FALSE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FsTest, ReadFileBytesReadsWholeFilesAndSetsTheLastErrorOtherwise) {
  std::string bytes(100000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  WriteHostFile(C("Korvo/support/build.txt"), bytes);
  EXPECT_EQ(ReadFileBytes(L"%SystemDrive%\\x"), std::nullopt);  // no expansion here
  EXPECT_EQ(ReadFileBytes(L"c:\\KORVO\\Support\\BUILD.txt"), bytes);
  EXPECT_EQ(ReadFileBytes(L"C:\\Korvo\\support\\none.txt"), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadFileBytes(L"C:\\Korvo"), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// --- Find ------------------------------------------------------------------------------------------

std::vector<std::wstring> FindAll(const std::wstring& pattern, DWORD* error = nullptr) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATA data{};
  HANDLE find = FindFirstFile(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = GetLastError();
    return names;
  }
  do {
    names.emplace_back(data.cFileName);
  } while (FindNextFile(find, &data));
  if (error != nullptr) *error = GetLastError();
  EXPECT_TRUE(FindClose(find));
  return names;
}

TEST_F(FsTest, FindFirstFileMatchesWildcardsWithoutRegardToCase) {
  for (const char* name : {"Varnel.log", "Varnel_0001.log", "VARNEL_0002.LOG", "varnel_0003.log.bak", "_lo0001.TMP",
                           "Other_0001.log", "noext"}) {
    WriteHostFile(C("Logs") / name, "x");
  }
  fs::create_directories(C("Logs/Varnel_dir.log"));

  DWORD error = 0;
  EXPECT_THAT(FindAll(L"C:\\logs\\Varnel_*.log", &error),
              ElementsAre(L"Varnel_0001.log", L"VARNEL_0002.LOG", L"Varnel_dir.log"));
  EXPECT_EQ(error, ERROR_NO_MORE_FILES);
  EXPECT_THAT(FindAll(L"C:\\Logs\\varnel_000?.LOG"), ElementsAre(L"Varnel_0001.log", L"VARNEL_0002.LOG"));
  EXPECT_THAT(FindAll(L"C:\\Logs\\*.tmp"), ElementsAre(L"_lo0001.TMP"));
  EXPECT_THAT(FindAll(L"C:\\Logs\\noext.*"), ElementsAre(L"noext"));
  EXPECT_THAT(FindAll(L"C:\\Logs\\VARNEL.LOG"), ElementsAre(L"Varnel.log"));
  EXPECT_EQ(FindAll(L"C:\\Logs\\*.*").size(), 8u);  // names with and without a dot, never "." or ".."
  EXPECT_EQ(FindAll(L"C:/Logs/*").size(), 8u);

  WIN32_FIND_DATA data{};
  HANDLE find = FindFirstFile(L"C:\\Logs\\Varnel_d*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(FindClose(find));
  EXPECT_FALSE(FindNextFile(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(FindClose(find));
}

TEST_F(FsTest, FindFirstFileTellsNoMatchFromAMissingFolder) {
  WriteHostFile(C("Logs/a.txt"), "x");
  EXPECT_EQ(FindFirstFile(L"C:\\Logs\\*.log", nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  WIN32_FIND_DATA data{};
  EXPECT_EQ(FindFirstFile(L"C:\\Logs\\*.log", &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FindFirstFile(L"C:\\NoLogs\\*.log", &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

// --- Temporary names ----------------------------------------------------------------------------------

TEST_F(FsTest, GetTempFileNameWithAGivenNumberOnlyFormsTheName) {
  wchar_t name[MAX_PATH] = {};
  fs::create_directories(C("dir"));
  EXPECT_EQ(GetTempFileName(L"C:\\dir", L"_log_", 0xFF, name), 0xFFu);
  EXPECT_STREQ(name, L"C:\\dir\\_lo00FF.TMP");
  EXPECT_EQ(GetTempFileName(L"C:\\dir", L"_log_", 0x1FF, name), 0x1FFu);
  EXPECT_STREQ(name, L"C:\\dir\\_lo01FF.TMP");
  // Only the low 16 bits make the name; the number is returned as given.
  EXPECT_EQ(GetTempFileName(L"C:\\dir", L"_log_", 0x301FF, name), 0x301FFu);
  EXPECT_STREQ(name, L"C:\\dir\\_lo01FF.TMP");
  EXPECT_EQ(GetTempFileName(L"C:\\dir\\", L"ab", 0xBEEF, name), 0xBEEFu);
  EXPECT_STREQ(name, L"C:\\dir\\abBEEF.TMP");
  EXPECT_EQ(GetTempFileName(L"C:\\dir", nullptr, 10, name), 10u);
  EXPECT_STREQ(name, L"C:\\dir\\000A.TMP");
  EXPECT_TRUE(fs::is_empty(C("dir")));

  const std::wstring deep = L"C:\\" + std::wstring(250, L'd');
  EXPECT_EQ(GetTempFileName(deep.c_str(), L"x", 1, name), 0u);
  EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
}

TEST_F(FsTest, GetTempFileNameWithoutANumberCreatesADistinctEmptyFile) {
  fs::create_directories(C("dir"));
  wchar_t first[MAX_PATH] = {}, second[MAX_PATH] = {};
  const UINT a = GetTempFileName(L"C:\\dir", L"tmp", 0, first);
  const UINT b = GetTempFileName(L"C:\\dir", L"tmp", 0, second);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  wchar_t expected[32];
  std::swprintf(expected, 32, L"C:\\dir\\tmp%04X.TMP", a);
  EXPECT_STREQ(first, expected);
  EXPECT_TRUE(fs::exists(C("dir") / WideToUtf8(std::wstring(first).substr(7))));
  EXPECT_EQ(fs::file_size(C("dir") / WideToUtf8(std::wstring(second).substr(7))), 0u);
  EXPECT_EQ(GetTempFileName(L"C:\\nodir", L"tmp", 0, first), 0u);
  EXPECT_EQ(GetLastError(), 267u);  // ERROR_DIRECTORY
}

// --- CRT path splitting ------------------------------------------------------------------------------

TEST_F(FsTest, SplitPathGivesDriveFolderNameAndLastExtension) {
  wchar_t drive[_MAX_DRIVE], dir[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT];
  ASSERT_EQ(
      _wsplitpath_s(L"C:\\Logs\\kvq/Varnel.log.old", drive, _MAX_DRIVE, dir, _MAX_DIR, name, _MAX_FNAME, ext, _MAX_EXT),
      0);
  EXPECT_STREQ(drive, L"C:");
  EXPECT_STREQ(dir, L"\\Logs\\kvq/");
  EXPECT_STREQ(name, L"Varnel.log");
  EXPECT_STREQ(ext, L".old");

  wchar_t path[MAX_PATH];
  ASSERT_EQ(_wmakepath_s(path, MAX_PATH, drive, dir, name, ext), 0);
  EXPECT_STREQ(path, L"C:\\Logs\\kvq/Varnel.log.old");

  ASSERT_EQ(_wsplitpath_s(L"relative\\.profile", nullptr, 0, dir, _MAX_DIR, name, _MAX_FNAME, ext, _MAX_EXT), 0);
  EXPECT_STREQ(dir, L"relative\\");
  EXPECT_STREQ(name, L"");
  EXPECT_STREQ(ext, L".profile");
  ASSERT_EQ(_wsplitpath_s(L"plain", drive, _MAX_DRIVE, dir, _MAX_DIR, name, _MAX_FNAME, nullptr, 0), 0);
  EXPECT_STREQ(drive, L"");
  EXPECT_STREQ(dir, L"");
  EXPECT_STREQ(name, L"plain");
}

TEST_F(FsTest, SplitPathRefusesSmallBuffersAndBadArguments) {
  wchar_t drive[_MAX_DRIVE] = L"X", dir[4] = L"X", name[_MAX_FNAME] = L"X", ext[_MAX_EXT] = L"X";
  EXPECT_EQ(_wsplitpath_s(L"C:\\Logs\\a.txt", drive, _MAX_DRIVE, dir, 4, name, _MAX_FNAME, ext, _MAX_EXT), ERANGE);
  EXPECT_STREQ(drive, L"");
  EXPECT_STREQ(dir, L"");
  EXPECT_STREQ(name, L"");
  EXPECT_STREQ(ext, L"");
  EXPECT_EQ(_wsplitpath_s(L"C:\\Lo\\a.txt", drive, _MAX_DRIVE, dir, 4, name, _MAX_FNAME, ext, _MAX_EXT), ERANGE);
  EXPECT_EQ(_wsplitpath_s(L"C:\\L\\a.txt", drive, _MAX_DRIVE, dir, 4, name, _MAX_FNAME, ext, _MAX_EXT), 0);
  EXPECT_STREQ(dir, L"\\L\\");
  EXPECT_STREQ(name, L"a");

  EXPECT_EQ(_wsplitpath_s(nullptr, drive, _MAX_DRIVE, dir, 4, name, _MAX_FNAME, ext, _MAX_EXT), EINVAL);
  EXPECT_STREQ(dir, L"");
  EXPECT_EQ(_wsplitpath_s(L"a.txt", drive, 0, dir, 4, name, _MAX_FNAME, ext, _MAX_EXT), EINVAL);
  EXPECT_EQ(_wsplitpath_s(L"a.txt", nullptr, 3, dir, 4, name, _MAX_FNAME, ext, _MAX_EXT), EINVAL);
}

TEST_F(FsTest, MakePathAddsTheMissingSeparatorsAndChecksTheBuffer) {
  wchar_t path[MAX_PATH];
  ASSERT_EQ(_wmakepath_s(path, MAX_PATH, L"c", L"\\Logs", L"Varnel", L"log"), 0);
  EXPECT_STREQ(path, L"c:\\Logs\\Varnel.log");
  ASSERT_EQ(_wmakepath_s(path, MAX_PATH, nullptr, L"", L"Varnel", nullptr), 0);
  EXPECT_STREQ(path, L"Varnel");
  wchar_t small[10] = L"X";
  EXPECT_EQ(_wmakepath_s(small, 10, L"C:", L"\\Logs\\", L"Varnel", L".log"), ERANGE);
  EXPECT_STREQ(small, L"");
  EXPECT_EQ(_wmakepath_s(small, 10, L"C:", L"\\ab\\", L"cd", L".e"), ERANGE);  // one short of the terminator
  EXPECT_EQ(_wmakepath_s(small, 11, L"C:", L"\\ab\\", L"cd", L".e"), 0);
  EXPECT_STREQ(small, L"C:\\ab\\cd.e");
  EXPECT_EQ(_wmakepath_s(nullptr, 10, L"C:", nullptr, nullptr, nullptr), EINVAL);
}

}  // namespace
}  // namespace platform
