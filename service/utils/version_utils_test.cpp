#include "service/utils/version_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"
#include "service/logging/testing/log_capture.h"

namespace {

using namespace platform;
using Korvo::Shared::testing::LogCapture;
using ::testing::ElementsAre;

constexpr const wchar_t* kProgram = L"C:\\Program Files (x86)\\Korvo\\Varnel\\Varnel.exe";

class VersionUtilsTest : public Korvo::Shared::testing::ProcessLoggerTest {
 protected:
  // A file on drive C: without a version resource.
  void WritePlainFile(const std::wstring& machinePath) {
    platform::testing::WriteHostFile(Host(machinePath), "just some bytes, no resource\n");
  }

  LogCapture log_;
};

TEST_F(VersionUtilsTest, GetVersionValueCopiesTheWholeRecord) {
  InstallProgram(kProgram, "Korvo Tallisk", "7.0.5.1");
  const VS_FIXEDFILEINFO info = Utils::GetVersionValue(kProgram);
  EXPECT_EQ(info.dwSignature, VS_FFI_SIGNATURE);
  EXPECT_EQ(info.dwStrucVersion, 0x00010000u);
  EXPECT_EQ(info.dwFileVersionMS, 0x00070000u);
  EXPECT_EQ(info.dwFileVersionLS, 0x00050001u);
  EXPECT_EQ(info.dwProductVersionMS, 0x00070000u);
  EXPECT_EQ(info.dwProductVersionLS, 0x00050001u);
  EXPECT_THAT(log_.Lines(), ElementsAre(L"TraceIn|Utils::GetVersionValue|Executable Complete Path = "
                                        L"C:\\Program Files (x86)\\Korvo\\Varnel\\Varnel.exe",
                                        L"TraceOut|Utils::GetVersionValue|"));
}

TEST_F(VersionUtilsTest, GetVersionValueIsZeroWithoutAResource) {
  WritePlainFile(L"C:\\Tools\\plain.exe");
  VS_FIXEDFILEINFO info = Utils::GetVersionValue(L"C:\\Tools\\plain.exe");
  const VS_FIXEDFILEINFO zero{};
  EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
  // The error code is appended in decimal: 1813 no resource, 2 no file.
  EXPECT_THAT(log_.Lines("Utils::GetVersionValue"),
              ElementsAre(L"TraceIn|Executable Complete Path = C:\\Tools\\plain.exe",
                          L"Error|GetFileVersionInfoSize Return Value  = 0 Error Code = 1813", L"TraceOut|"));

  log_.Clear();
  info = Utils::GetVersionValue(L"C:\\Tools\\missing.exe");
  EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
  EXPECT_THAT(
      log_.Lines("Utils::GetVersionValue"),
      ElementsAre(::testing::_, L"Error|GetFileVersionInfoSize Return Value  = 0 Error Code = 2", L"TraceOut|"));
}

TEST_F(VersionUtilsTest, GetBinaryVersionReadsTheRunningProgram) {
  InstallProgram(kProgram, "Korvo Tallisk", "7.0.5.1");
  EXPECT_EQ(Utils::GetBinaryVersion(), L"7.0.5.1");
  EXPECT_THAT(log_.Lines(), ElementsAre(L"TraceIn|Utils::GetBinaryVersion|", L"TraceOut|Utils::GetBinaryVersion|"));

  // High word before low word in each half.
  InstallProgram(kProgram, "Korvo Tallisk", "10.65535.19041.1234");
  EXPECT_EQ(Utils::GetBinaryVersion(), L"10.65535.19041.1234");
}

TEST_F(VersionUtilsTest, GetBinaryVersionOfTheRealExecutable) {
  // No program set on the machine: the test binary itself, with its build-time resource.
  EXPECT_EQ(Utils::GetBinaryVersion(), L"3.1.4.15");
}

TEST_F(VersionUtilsTest, GetBinaryVersionWithoutAResourceIsZeros) {
  WritePlainFile(kProgram);
  machine().SetProgramPath(kProgram);
  EXPECT_EQ(Utils::GetBinaryVersion(), L"0.0.0.0");
  EXPECT_THAT(log_.Lines(), ElementsAre(L"TraceIn|Utils::GetBinaryVersion|",
                                        L"Error|Utils::GetBinaryVersion|GetFileVersionInfoSize Return Value  = 0 "
                                        L"Error Code = 1813",
                                        L"TraceOut|Utils::GetBinaryVersion|"));

  machine().SetProgramPath(L"C:\\Program Files (x86)\\Korvo\\Varnel\\Gone.exe");
  EXPECT_EQ(Utils::GetBinaryVersion(), L"0.0.0.0");
}

}  // namespace
