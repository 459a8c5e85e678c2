#include "service/utils/service_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"
#include "platform/testing/run_program.h"
#include "service/logging/testing/log_capture.h"

namespace {

using namespace platform;
using Korvo::Shared::testing::LogCapture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kSysInfoCapExe = "C:\\Program Files\\Korvo\\SysInfoCap\\KorvoSysInfoCap.exe";
constexpr const char* kVantorExe = "C:\\Program Files (x86)\\Korvo\\Vantor\\kvqvantorwmiex.exe";

std::string ProgramWithVersion(const std::string& version) {
  return "KORVO-VERSION-RESOURCE\nFileVersion=" + version + "\nProductVersion=" + version +
         "\n040904E4/ProductName=Korvo Component\n";
}

class ServiceUtilsTest : public Korvo::Shared::testing::ProcessLoggerTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = MachineTest::MachineProfile();
    profile["services"] = {
        {"KorvoSysInfoCap", {{"binaryPath", std::string("\"") + kSysInfoCapExe + "\""}, {"state", "stopped"}}},
        {"kvqvantorwmiex",
         {{"binaryPath", std::string("\"") + kVantorExe + "\""}, {"state", "running"}, {"processId", 4242}}},
        // Installed without quotes: the first and last character are lost all the same.
        {"PlainPath", {{"binaryPath", "C:\\Tools\\plain.exe"}, {"state", "running"}, {"processId", 4343}}},
    };
    profile["files"][kSysInfoCapExe] = ProgramWithVersion("1.2.30.4");
    profile["files"][kVantorExe] = ProgramWithVersion("3.0.0.17");
    profile["files"]["C:\\Tools\\plain.exe"] = ProgramWithVersion("9.9.9.9");
    return profile;
  }

  static void ExpectVersion(const VS_FIXEDFILEINFO& info, DWORD ms, DWORD ls) {
    EXPECT_EQ(info.dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(info.dwFileVersionMS, ms);
    EXPECT_EQ(info.dwFileVersionLS, ls);
  }
  static bool IsZero(const VS_FIXEDFILEINFO& info) {
    static const VS_FIXEDFILEINFO zero{};
    return std::memcmp(&info, &zero, sizeof info) == 0;
  }
  // A record that a call must not touch.
  static VS_FIXEDFILEINFO Untouched() {
    VS_FIXEDFILEINFO info{};
    info.dwSignature = 0x12345678;
    return info;
  }

  LogCapture log_;
};

TEST_F(ServiceUtilsTest, GetServiceOpensBothHandlesOrSaysWhy) {
  SC_HANDLE scm = nullptr;
  SC_HANDLE service = reinterpret_cast<SC_HANDLE>(1);
  EXPECT_EQ(Utils::GetService(L"NotInstalled", &scm, &service, SC_MANAGER_ALL_ACCESS), -1);
  EXPECT_NE(scm, nullptr);
  EXPECT_EQ(service, nullptr);
  EXPECT_TRUE(CloseServiceHandle(scm));
  EXPECT_THAT(log_.Lines("Utils::GetService"),
              ElementsAre(L"TraceIn|Service Name = NotInstalled", L"Error|Service does not exist. Error 0x00000424",
                          L"TraceOut|Return Value = -1"));

  log_.Clear();
  EXPECT_EQ(Utils::GetService(L"kvqvantorwmiex", &scm, &service, SC_MANAGER_ALL_ACCESS), 0);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status{};
  EXPECT_TRUE(QueryServiceStatus(service, &status));  // opened with all access
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
  EXPECT_THAT(log_.Lines(), ElementsAre(L"TraceIn|Utils::GetService|Service Name = kvqvantorwmiex",
                                        L"TraceOut|Utils::GetService|Return Value = 0"));

  // Any other reason the service cannot be opened.
  log_.Clear();
  EXPECT_EQ(Utils::GetService(L"", &scm, &service, SC_MANAGER_ALL_ACCESS), -2);
  EXPECT_EQ(service, nullptr);
  CloseServiceHandle(scm);
  EXPECT_THAT(log_.Lines("Utils::GetService"),
              ElementsAre(L"TraceIn|Service Name = ", L"Error|OpenService failed w/err 0x0000007b",
                          L"TraceOut|Return Value = -2"));
}

TEST_F(ServiceUtilsTest, AnUnreachableServiceManagerIsMinusThree) {
  platform::testing::WriteHostFile(root() / "scm.json", "{ not json");
  SC_HANDLE scm = reinterpret_cast<SC_HANDLE>(1);
  SC_HANDLE service = reinterpret_cast<SC_HANDLE>(1);
  EXPECT_EQ(Utils::GetService(L"kvqvantorwmiex", &scm, &service, SC_MANAGER_ALL_ACCESS), -3);
  EXPECT_EQ(scm, nullptr);
  EXPECT_EQ(service, nullptr);
  EXPECT_THAT(log_.Lines("Utils::GetService"),
              ElementsAre(L"TraceIn|Service Name = kvqvantorwmiex", L"Error|OpenSCManager failed w/err 0x0000000d",
                          L"TraceOut|Return Value = -3"));

  VS_FIXEDFILEINFO info = Untouched();
  EXPECT_EQ(Utils::IsServicePresent(L"kvqvantorwmiex", info, TRUE, TRUE, SC_MANAGER_ALL_ACCESS), -3);
  EXPECT_EQ(info.dwSignature, 0x12345678u);
}

TEST_F(ServiceUtilsTest, AStoppedServiceIsOneAndStillGetsItsVersion) {
  VS_FIXEDFILEINFO info = Untouched();
  EXPECT_EQ(Utils::IsServicePresent(L"KorvoSysInfoCap", info, TRUE, TRUE, 0xF003F), 1);
  ExpectVersion(info, 0x00010002, 0x001E0004);
  EXPECT_THAT(
      log_.Lines(),
      ElementsAre(
          L"TraceIn|Utils::IsServicePresent|Service Name = KorvoSysInfoCap, Running Status To be checked = 1, To Get "
          L"version Info Status = 1",
          L"TraceIn|Utils::GetService|Service Name = KorvoSysInfoCap", L"TraceOut|Utils::GetService|Return Value = 0",
          L"Information|Utils::IsServicePresent|KorvoSysInfoCap Service is installed. Querying status..",
          L"Information|Utils::IsServicePresent|KorvoSysInfoCap Service status = 0x00000001",
          L"Error|Utils::IsServicePresent|KorvoSysInfoCap Service is not running",
          L"Verbose|Utils::IsServicePresent|KorvoSysInfoCap service installed path = "
          L"C:\\Program Files\\Korvo\\SysInfoCap\\KorvoSysInfoCap.exe",
          L"TraceIn|Utils::GetVersionValue|Executable Complete Path = "
          L"C:\\Program Files\\Korvo\\SysInfoCap\\KorvoSysInfoCap.exe",
          L"TraceOut|Utils::GetVersionValue|", L"TraceOut|Utils::IsServicePresent|Return Value = 1"));
}

TEST_F(ServiceUtilsTest, ARunningServiceIsZero) {
  VS_FIXEDFILEINFO info{};
  EXPECT_EQ(Utils::IsServicePresent(L"kvqvantorwmiex", info, TRUE, TRUE, 0xF003F), 0);
  ExpectVersion(info, 0x00030000, 0x00000011);
  EXPECT_THAT(
      log_.Lines("Utils::IsServicePresent"),
      ElementsAre(::testing::_, L"Information|kvqvantorwmiex Service is installed. Querying status..",
                  L"Information|kvqvantorwmiex Service status = 0x00000004",
                  L"Information|kvqvantorwmiex Service is running",
                  L"Verbose|kvqvantorwmiex service installed path = " + std::wstring(L"C:\\Program Files (x86)\\Korvo\\"
                                                                                     L"Vantor\\kvqvantorwmiex.exe"),
                  L"TraceOut|Return Value = 0"));
}

TEST_F(ServiceUtilsTest, AnUnquotedPathLosesItsEndsAndGivesNoVersion) {
  VS_FIXEDFILEINFO info = Untouched();
  EXPECT_EQ(Utils::IsServicePresent(L"PlainPath", info, TRUE, TRUE, 0xF003F), 0);
  EXPECT_TRUE(IsZero(info));
  auto lines = log_.Lines();
  EXPECT_THAT(lines, ::testing::Contains(L"Verbose|Utils::IsServicePresent|PlainPath service installed path = "
                                         L":\\Tools\\plain.ex"));
  EXPECT_THAT(lines, ::testing::Contains(::testing::StartsWith(
                         L"Error|Utils::GetVersionValue|GetFileVersionInfoSize Return Value  = 0 Error Code = ")));
}

TEST_F(ServiceUtilsTest, ChecksThatAreNotAskedForAreNotMade) {
  VS_FIXEDFILEINFO info = Untouched();
  EXPECT_EQ(Utils::IsServicePresent(L"KorvoSysInfoCap", info, FALSE, FALSE, 0xF003F), 0);
  EXPECT_EQ(info.dwSignature, 0x12345678u);
  EXPECT_THAT(log_.Lines("Utils::IsServicePresent"),
              ElementsAre(L"TraceIn|Service Name = KorvoSysInfoCap, Running Status To be checked = 0, To Get version "
                          L"Info Status = 0",
                          L"TraceOut|Return Value = 0"));

  // Only the version: a stopped service still counts as present.
  EXPECT_EQ(Utils::IsServicePresent(L"KorvoSysInfoCap", info, FALSE, TRUE, 0xF003F), 0);
  ExpectVersion(info, 0x00010002, 0x001E0004);

  // A service that is not installed leaves the record alone.
  info = Untouched();
  log_.Clear();
  EXPECT_EQ(Utils::IsServicePresent(L"KorvoMissing", info, TRUE, TRUE, 0xF003F), -1);
  EXPECT_EQ(info.dwSignature, 0x12345678u);
  EXPECT_THAT(log_.Lines("Utils::IsServicePresent"), ElementsAre(::testing::_, L"TraceOut|Return Value = -1"));
}

// The recovery actions as the machine's service controller shows them to a person.
TEST_F(ServiceUtilsTest, RestartRecoveryIsWhatTheServiceControllerShows) {
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  SC_HANDLE created =
      CreateService(scm, L"Varnel", L"Korvo Vesk Service", SERVICE_ALL_ACCESS, 0x110, SERVICE_AUTO_START,
                    SERVICE_ERROR_NORMAL, L"\"C:\\Varnel.exe\"", nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(created, nullptr) << GetLastError();
  CloseServiceHandle(created);
  CloseServiceHandle(scm);

  EXPECT_EQ(Utils::SetServiceRestartRecoveryOnFailure(L"Varnel"), 0);
  EXPECT_THAT(log_.Lines("Utils::SetServiceRestartRecoveryOnFailure"),
              ElementsAre(L"TraceIn|Service Name = Varnel", L"TraceOut|Return Value = 0"));

  platform::testing::TempDir scratch;
  auto sc = [&](const char* verb) {
    auto r = platform::testing::RunProgram(scratch.path(), VESK_SC_PATH, {"--root", root().string(), verb, "Varnel"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
  };
  EXPECT_EQ(sc("qfailure"),
            "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: Varnel\n"
            "        RESET_PERIOD (in seconds)    : 3600\n"
            "        REBOOT_MESSAGE               : \n"
            "        COMMAND_LINE                 : \n"
            "        FAILURE_ACTIONS              : RESTART -- Delay = 120000 milliseconds.\n"
            "                                       RESTART -- Delay = 240000 milliseconds.\n"
            "                                       RESTART -- Delay = 360000 milliseconds.\n");
  EXPECT_EQ(sc("qfailureflag"),
            "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: Varnel\n"
            "        FAILURE_ACTIONS_ON_NONCRASH_FAILURES: TRUE\n");

  // Without the service there is nothing to set: GetService's answer is the result.
  log_.Clear();
  EXPECT_EQ(Utils::SetServiceRestartRecoveryOnFailure(L"KorvoMissing"), -1);
  EXPECT_THAT(log_.Lines("Utils::SetServiceRestartRecoveryOnFailure"),
              ElementsAre(L"TraceIn|Service Name = KorvoMissing", L"TraceOut|Return Value = -1"));
}

}  // namespace
