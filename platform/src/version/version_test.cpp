#include "platform/version.h"

#include <elf.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/machine.h"
#include "platform/testing/machine_test.h"

namespace platform {
namespace {

class VersionTest : public testing::MachineTest {
 protected:
  // The version block of `path`, in DWORD-aligned storage as callers keep it.
  std::vector<DWORD> Block(const std::wstring& path) {
    DWORD handle = 0xFFFF;
    const DWORD size = GetFileVersionInfoSize(path.c_str(), &handle);
    EXPECT_NE(size, 0u) << "error " << GetLastError();
    EXPECT_EQ(handle, 0u);
    std::vector<DWORD> block((size + 3) / 4);
    EXPECT_TRUE(GetFileVersionInfo(path.c_str(), 0, size, block.data()));
    return block;
  }

  static VS_FIXEDFILEINFO Fixed(const std::vector<DWORD>& block) {
    void* data = nullptr;
    UINT length = 0;
    EXPECT_TRUE(VerQueryValue(block.data(), L"\\", &data, &length));
    EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO info{};
    if (data != nullptr) std::memcpy(&info, data, sizeof info);
    return info;
  }

  static std::optional<std::wstring> String(const std::vector<DWORD>& block, const std::wstring& subBlock) {
    void* data = nullptr;
    UINT length = 0;
    if (!VerQueryValue(block.data(), subBlock.c_str(), &data, &length)) return std::nullopt;
    const auto* text = static_cast<const wchar_t*>(data);
    EXPECT_EQ(length, std::wcslen(text) + 1) << "length counts the characters and the terminator";
    return std::wstring(text);
  }

  static std::vector<std::pair<WORD, WORD>> Translations(const std::vector<DWORD>& block) {
    void* data = nullptr;
    UINT length = 0;
    std::vector<std::pair<WORD, WORD>> out;
    if (!VerQueryValue(block.data(), L"\\VarFileInfo\\Translation", &data, &length)) return out;
    EXPECT_EQ(length % 4, 0u);
    const auto* words = static_cast<const WORD*>(data);
    for (UINT i = 0; i < length / 4; ++i) out.emplace_back(words[2 * i], words[2 * i + 1]);
    return out;
  }

  // 0 with the error of GetFileVersionInfoSize, checked to agree with GetFileVersionInfo.
  DWORD VersionInfoError(const std::wstring& path) {
    SetLastError(0);
    EXPECT_EQ(GetFileVersionInfoSize(path.c_str(), nullptr), 0u) << ::testing::PrintToString(path);
    const DWORD error = GetLastError();
    DWORD buffer[64];
    SetLastError(0);
    EXPECT_FALSE(GetFileVersionInfo(path.c_str(), 0, sizeof buffer, buffer));
    EXPECT_EQ(GetLastError(), error);
    return error;
  }

  std::wstring RunningProgram() {
    wchar_t path[4096];
    const DWORD length = GetModuleFileName(nullptr, path, std::size(path));
    EXPECT_GT(length, 0u);
    EXPECT_LT(length, std::size(path));
    return std::wstring(path, length);
  }
};

using ::testing::ElementsAre;
using ::testing::Optional;
using ::testing::Pair;

TEST_F(VersionTest, ReadsTheRunningTestBinarysOwnResource) {
  const std::wstring self = RunningProgram();
  EXPECT_EQ(self.substr(0, 3), L"Z:\\");
  const auto host = MapToHost(self);
  ASSERT_TRUE(host.has_value());
  EXPECT_TRUE(std::filesystem::equivalent(*host, "/proc/self/exe"));

  const auto block = Block(self);
  const VS_FIXEDFILEINFO info = Fixed(block);
  EXPECT_EQ(info.dwSignature, VS_FFI_SIGNATURE);
  EXPECT_EQ(info.dwStrucVersion, 0x00010000u);
  EXPECT_EQ(info.dwFileVersionMS, 0x00010002u);
  EXPECT_EQ(info.dwFileVersionLS, 0x00030004u);
  EXPECT_EQ(info.dwProductVersionMS, 0x00010002u);
  EXPECT_EQ(info.dwProductVersionLS, 0x00000000u);
  EXPECT_EQ(info.dwFileOS, 0x00040004u);
  EXPECT_EQ(info.dwFileType, 1u);
  EXPECT_EQ(HIWORD(info.dwFileVersionLS), 3);
  EXPECT_EQ(LOWORD(info.dwFileVersionLS), 4);

  EXPECT_THAT(String(block, L"\\StringFileInfo\\040904B0\\ProductName"),
              Optional(std::wstring(L"Korvo Platform Tests")));
  EXPECT_THAT(String(block, L"\\StringFileInfo\\040904B0\\FileVersion"), Optional(std::wstring(L"1.2.3.4")));
  EXPECT_THAT(String(block, L"\\stringfileinfo\\040904b0\\PRODUCTNAME"),
              Optional(std::wstring(L"Korvo Platform Tests")));
  // Only the language the resource declares.
  EXPECT_EQ(String(block, L"\\StringFileInfo\\040904E4\\ProductName"), std::nullopt);
  EXPECT_EQ(String(block, L"\\StringFileInfo\\040904B0\\CompanyName"), std::nullopt);
  EXPECT_THAT(Translations(block), ElementsAre(Pair(0x0409, 0x04B0)));
}

TEST_F(VersionTest, ReadsAResourceFileOnDriveC) {
  InstallProgram(L"C:\\Program Files\\Korvo\\Korvo Tallisk\\Varnel.exe", "Korvo Tallisk");
  EXPECT_EQ(RunningProgram(), L"C:\\Program Files\\Korvo\\Korvo Tallisk\\Varnel.exe");
  const auto block = Block(L"c:\\program files\\korvo\\KORVO TALLISK\\varnel.EXE");
  const VS_FIXEDFILEINFO info = Fixed(block);
  EXPECT_EQ(info.dwFileVersionMS, 0x00070000u);
  EXPECT_EQ(info.dwFileVersionLS, 0x00050001u);
  EXPECT_EQ(info.dwProductVersionLS, 0x00050001u);
  EXPECT_THAT(String(block, L"\\StringFileInfo\\040904E4\\ProductName"), Optional(std::wstring(L"Korvo Tallisk")));
  EXPECT_THAT(Translations(block), ElementsAre(Pair(0x0409, 0x04E4)));
}

TEST_F(VersionTest, ParsesEveryLineOfAResource) {
  testing::WriteHostFile(Host(L"C:\\Tools\\multi.exe"),
                         "\xEF\xBB\xBF"
                         "KORVO-VERSION-RESOURCE\r\n"
                         "FileVersion=10.0.19041.1\r\n"
                         "ProductVersion = 10.0\r\n"
                         "040904B0/ProductName=Windows\r\n"
                         "040704E4/ProductName=Fenster Grüße = schön\r\n"
                         "040904b0/CompanyName=Microsoft\r\n"
                         "a line without an equals sign\r\n"
                         "XYZ/Name=not a language\r\n"
                         "040904B0/Comments=\r\n"
                         "040904B0/productname=Windows®\r\n");
  const auto block = Block(L"C:\\Tools\\multi.exe");
  const VS_FIXEDFILEINFO info = Fixed(block);
  EXPECT_EQ(info.dwFileVersionMS, 0x000A0000u);
  EXPECT_EQ(info.dwFileVersionLS, 0x4A610001u);  // 19041.1
  EXPECT_EQ(info.dwProductVersionMS, 0x000A0000u);
  EXPECT_EQ(info.dwProductVersionLS, 0u);
  EXPECT_THAT(Translations(block), ElementsAre(Pair(0x0409, 0x04B0), Pair(0x0407, 0x04E4)));
  EXPECT_THAT(String(block, L"\\StringFileInfo\\040904B0\\ProductName"), Optional(std::wstring(L"Windows®")));
  EXPECT_THAT(String(block, L"\\StringFileInfo\\040704E4\\ProductName"),
              Optional(std::wstring(L"Fenster Grüße = schön")));
  EXPECT_THAT(String(block, L"\\StringFileInfo\\040904B0\\CompanyName"), Optional(std::wstring(L"Microsoft")));
  EXPECT_THAT(String(block, L"\\StringFileInfo\\040904B0\\Comments"), Optional(std::wstring()));
  EXPECT_EQ(String(block, L"\\StringFileInfo\\XYZ\\Name"), std::nullopt);
}

TEST_F(VersionTest, BlockWorksWhereverItIsCopied) {
  InstallProgram(L"C:\\Korvo\\app.exe", "Korvo App", "1.2.3.4");
  std::vector<DWORD> copy;
  {
    auto original = Block(L"C:\\Korvo\\app.exe");
    copy.resize(original.size() + 7);
    std::memcpy(copy.data() + 7, original.data(), original.size() * sizeof(DWORD));
    std::fill(original.begin(), original.end(), 0xDEADBEEF);
  }
  const std::vector<DWORD> moved(copy.begin() + 7, copy.end());
  void* data = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValue(moved.data(), L"\\StringFileInfo\\040904E4\\ProductName", &data, &length));
  const auto* begin = reinterpret_cast<const BYTE*>(moved.data());
  EXPECT_GE(static_cast<const BYTE*>(data), begin);
  EXPECT_LE(static_cast<const BYTE*>(data) + length * sizeof(wchar_t), begin + moved.size() * sizeof(DWORD));
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(data)), L"Korvo App");
  EXPECT_EQ(Fixed(moved).dwFileVersionLS, 0x00030004u);
}

TEST_F(VersionTest, QueriesForWhatIsNotThereFail) {
  InstallProgram(L"C:\\Korvo\\app.exe", "Korvo App");
  const auto block = Block(L"C:\\Korvo\\app.exe");
  void* data = nullptr;
  UINT length = 0;
  EXPECT_FALSE(VerQueryValue(block.data(), L"\\StringFileInfo\\040904E4", &data, &length));
  EXPECT_FALSE(VerQueryValue(block.data(), L"\\VarFileInfo\\Other", &data, &length));
  EXPECT_FALSE(VerQueryValue(block.data(), L"\\Nothing", &data, &length));
  EXPECT_FALSE(VerQueryValue(block.data(), nullptr, &data, &length));
  EXPECT_FALSE(VerQueryValue(nullptr, L"\\", &data, &length));
  const std::vector<DWORD> notABlock(64, 0);
  EXPECT_FALSE(VerQueryValue(notABlock.data(), L"\\", &data, &length));
}

TEST_F(VersionTest, FilesWithoutAResource) {
  EXPECT_EQ(VersionInfoError(L"C:\\Korvo\\missing.exe"), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(VersionInfoError(L"Q:\\no\\such\\drive.exe"), ERROR_SUCCESS);

  testing::WriteHostFile(Host(L"C:\\Korvo\\readme.txt"), "just text\n");
  EXPECT_EQ(VersionInfoError(L"C:\\Korvo\\readme.txt"), ERROR_RESOURCE_TYPE_NOT_FOUND);
  testing::WriteHostFile(Host(L"C:\\Korvo\\almost.exe"), "KORVO-VERSION-RESOURCES\nFileVersion=1.0\n");
  EXPECT_EQ(VersionInfoError(L"C:\\Korvo\\almost.exe"), ERROR_RESOURCE_TYPE_NOT_FOUND);
  testing::WriteHostFile(Host(L"C:\\Korvo\\empty.exe"), "");
  EXPECT_EQ(VersionInfoError(L"C:\\Korvo\\empty.exe"), ERROR_RESOURCE_TYPE_NOT_FOUND);

  // A plain ELF program, seen through drive Z:.
  ASSERT_TRUE(std::filesystem::exists("/bin/true"));
  EXPECT_EQ(VersionInfoError(L"Z:\\bin\\true"), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

TEST_F(VersionTest, ElfFilesAreReadThroughTheirSectionTable) {
  const std::string elf = testing::ReadHostFile("/bin/true");
  ASSERT_GT(elf.size(), sizeof(Elf64_Ehdr));
  ASSERT_EQ(elf.compare(0, SELFMAG, ELFMAG), 0);

  // The marker somewhere in the bytes is not a resource; only the section is.
  testing::WriteHostFile(Host(L"C:\\Korvo\\marker.exe"), elf + "KORVO-VERSION-RESOURCE\nFileVersion=9.9.9.9\n");
  EXPECT_EQ(VersionInfoError(L"C:\\Korvo\\marker.exe"), ERROR_RESOURCE_TYPE_NOT_FOUND);

  // Damaged section tables are no resource rather than a crash.
  testing::WriteHostFile(Host(L"C:\\Korvo\\truncated.exe"), elf.substr(0, sizeof(Elf64_Ehdr)));
  EXPECT_EQ(VersionInfoError(L"C:\\Korvo\\truncated.exe"), ERROR_RESOURCE_TYPE_NOT_FOUND);
  std::string huge = elf;
  const Elf64_Half many = 0xFFF0;
  std::memcpy(huge.data() + offsetof(Elf64_Ehdr, e_shnum), &many, sizeof many);
  testing::WriteHostFile(Host(L"C:\\Korvo\\huge.exe"), huge);
  EXPECT_EQ(VersionInfoError(L"C:\\Korvo\\huge.exe"), ERROR_RESOURCE_TYPE_NOT_FOUND);
  std::string badNames = elf;
  const Elf64_Half index = 0xFF00;
  std::memcpy(badNames.data() + offsetof(Elf64_Ehdr, e_shstrndx), &index, sizeof index);
  testing::WriteHostFile(Host(L"C:\\Korvo\\badnames.exe"), badNames);
  EXPECT_EQ(VersionInfoError(L"C:\\Korvo\\badnames.exe"), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

// The test program carries test_program.manifest (korvo_add_manifest_resource), found
// through the section table like the version resource.
TEST_F(VersionTest, TheApplicationManifestResource) {
  const auto manifest = ReadManifestResource(RunningProgram().c_str());
  ASSERT_TRUE(manifest.has_value()) << GetLastError();
  EXPECT_TRUE(manifest->starts_with("<?xml")) << *manifest;
  EXPECT_NE(manifest->find("<assemblyIdentity name=\"Korvo.PlatformTests\" version=\"1.2.3.4\""), std::string::npos);
  EXPECT_TRUE(manifest->ends_with("</assembly>\n")) << "the whole file, and nothing after it";

  auto error = [](const wchar_t* path) {
    SetLastError(0);
    EXPECT_FALSE(ReadManifestResource(path).has_value());
    return GetLastError();
  };
  EXPECT_EQ(error(L"C:\\Korvo\\missing.exe"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(error(L"Z:\\bin\\true"), ERROR_RESOURCE_TYPE_NOT_FOUND);
  testing::WriteHostFile(Host(L"C:\\Korvo\\app.exe.manifest"), *manifest);
  EXPECT_EQ(error(L"C:\\Korvo\\app.exe.manifest"), ERROR_RESOURCE_TYPE_NOT_FOUND) << "a manifest file is no resource";
}

TEST_F(VersionTest, GetFileVersionInfoNeedsRoomForTheBlock) {
  InstallProgram(L"C:\\Korvo\\app.exe", "Korvo App");
  const DWORD size = GetFileVersionInfoSize(L"C:\\Korvo\\app.exe", nullptr);
  ASSERT_GT(size, sizeof(VS_FIXEDFILEINFO));
  std::vector<DWORD> block(size / 4 + 1, 0xCCCCCCCC);
  SetLastError(0);
  EXPECT_FALSE(GetFileVersionInfo(L"C:\\Korvo\\app.exe", 0, size - 1, block.data()));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(block[0], 0xCCCCCCCCu);  // nothing copied
  SetLastError(0);
  EXPECT_FALSE(GetFileVersionInfo(L"C:\\Korvo\\app.exe", 0, size, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(VersionTest, GetModuleFileNameTruncatesLikeTheOriginal) {
  const std::wstring program = L"C:\\Program Files\\Korvo\\Varnel.exe";
  machine().SetProgramPath(program);
  const auto length = static_cast<DWORD>(program.size());

  wchar_t buffer[64];
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  SetLastError(0);
  EXPECT_EQ(GetModuleFileName(nullptr, buffer, 10), 10u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buffer[9], L'\0');
  EXPECT_EQ(std::wstring(buffer), program.substr(0, 9));
  EXPECT_EQ(buffer[10], L'#');

  // Exactly the length leaves no room for the terminator.
  EXPECT_EQ(GetModuleFileName(nullptr, buffer, length), length);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wstring(buffer), program.substr(0, length - 1));

  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(GetModuleFileName(nullptr, buffer, length + 1), length);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(buffer), program);

  EXPECT_EQ(GetModuleFileName(nullptr, buffer, 0), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(GetModuleFileName(reinterpret_cast<HMODULE>(0x1000), buffer, std::size(buffer)), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

}  // namespace
}  // namespace platform
