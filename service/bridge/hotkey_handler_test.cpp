// The hotkey handler's core: which firmware component it chooses and how long that
// takes, the record it serves, and its first-use computations under concurrent calls.
#include "service/bridge/hotkey_handler.h"

#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform/sync.h"
#include "platform/text.h"
#include "service/bridge/testing/bridge_test_support.h"
#include "service/host/main_service.h"

namespace RpcServer::SysInfo {
namespace {

using Korvo::Shared::LogLevel;
using platform::E_FAIL;

constexpr const char* kInitialize = "RpcServer::SysInfo::CHotKeyHandler::Initialize";
constexpr const char* kGetSysInfo = "RpcServer::SysInfo::CHotKeyHandler::GetSysInfo";

class HotKeyHandlerTest : public testing::BridgeTest {
 protected:
  static int Creations(const std::string& target) {
    int n = 0;
    for (const auto& e : Journal("firmware")) n += e.call == "CoCreateInstance" && e.target == target;
    return n;
  }
  std::unique_ptr<CHotKeyHandler> NewHandler() { return std::make_unique<CHotKeyHandler>(Data()); }
};

TEST_F(HotKeyHandlerTest, WithoutAnyComponentSixPassesFailAndEveryOperationFails) {
  auto profile = DefaultProfile();
  Firmware(profile)["legacy"]["present"] = false;
  RemoveService(profile, "KorvoSysInfoCap");
  RemoveService(profile, "kvqvantorwmiex");
  Boot(profile);

  auto handler = NewHandler();
  EXPECT_GE(ElapsedMs(), 6000u);
  EXPECT_EQ(Count(LogLevel::Verbose, L"Trying to initialize with legacy Vantor", kInitialize), 6);
  EXPECT_EQ(Count(LogLevel::Verbose, L"Korvo System Info Kesa Service is installed. Trying to initialize with Merid",
                  kInitialize),
            0);
  int failures = 0;
  for (const auto& line : Lines()) {
    failures += line.level == LogLevel::Error && line.function == kInitialize &&
                line.message.starts_with(L"Failed to CreateInstance of Merid / Vantor Error: ") &&
                line.message.ends_with(L", HRESULT : 0x80040154");
  }
  EXPECT_EQ(failures, 1);
  EXPECT_FALSE(handler->HasVantorCommand());
  EXPECT_FALSE(handler->HasMeridCommand());
  EXPECT_EQ(Creations("MeridSdkVantorCommand"), 0);

  ClearLines();
  platform::DWORD mode = 7;
  EXPECT_EQ(handler->GetHotkeySingleScanCode(mode), E_FAIL);
  EXPECT_EQ(mode, 7u);
  EXPECT_EQ(handler->SetHotkeySingleScanCode(), E_FAIL);
  EXPECT_EQ(handler->EnableSingleScanCode(), E_FAIL);
  EXPECT_FALSE(handler->Is_HK_SingleScanCode_Supported());
  EXPECT_FALSE(handler->IsUSBCSupported());
  int nulls = 0;
  for (const auto& line : Lines()) nulls += line.message == L"VantorCommand Instance is NULL";
  EXPECT_EQ(nulls, 5) << "each firmware operation says why";
  EXPECT_EQ(handler->GetPrivacyPanelState(), 1);
  EXPECT_EQ(handler->GetUSBTypeCInfo(), L"");
}

TEST_F(HotKeyHandlerTest, TheLegacyComponentWinsEvenWithTheModernServiceInstalled) {
  Boot();
  auto handler = NewHandler();
  EXPECT_TRUE(handler->HasVantorCommand());
  EXPECT_FALSE(handler->HasMeridCommand());
  EXPECT_EQ(Creations("MeridSdkVantorCommand"), 0);
  EXPECT_LT(ElapsedMs(), 1000u) << "no pause after a first pass that succeeds";
  EXPECT_TRUE(Logged(LogLevel::Information, L"Vantor/Merid initialization is success", kInitialize));
  EXPECT_TRUE(handler->HasAppActivationHandler());
  EXPECT_NE(handler->KeyboardFilterHandle(), platform::INVALID_HANDLE_VALUE);
}

TEST_F(HotKeyHandlerTest, AManifestThatCannotBeActivatedGivesWayToTheNextInTheSamePass) {
  auto profile = DefaultProfile();
  Firmware(profile)["legacy"]["present"] = false;
  Boot(profile);
  DeleteServiceFile(L"Varnel.exe.manifest");

  auto handler = NewHandler();
  ASSERT_TRUE(handler->HasMeridCommand());
  EXPECT_EQ(Count(LogLevel::Error, L"EnableActivationContext. So there is a chance of 'Class Not Registered' Error",
                  kInitialize),
            1);
  EXPECT_TRUE(Logged(LogLevel::Verbose,
                     L"Trying to initialize with Merid using the manifest KorvoMeridManager.manifest", kInitialize));
  EXPECT_EQ(Count(LogLevel::Verbose, L"Trying to initialize with legacy Vantor", kInitialize), 1);
  EXPECT_LT(ElapsedMs(), 1000u);
  EXPECT_EQ(Creations("MeridSdkVantorCommand"), 1);
}

TEST_F(HotKeyHandlerTest, WithoutItsManifestsTheModernComponentIsNeverTried) {
  auto profile = DefaultProfile();
  Firmware(profile)["legacy"]["present"] = false;
  Boot(profile);
  for (const wchar_t* m : {L"Varnel.exe.manifest", L"KorvoMeridManager.manifest", L"Varnel_amd64.xml"}) {
    DeleteServiceFile(m);
  }
  auto handler = NewHandler();
  EXPECT_FALSE(handler->HasMeridCommand());
  EXPECT_EQ(Count(LogLevel::Error, L"EnableActivationContext. So there is a chance of 'Class Not Registered' Error",
                  kInitialize),
            18);
  EXPECT_GE(ElapsedMs(), 6000u);
}

TEST_F(HotKeyHandlerTest, ServesTheElevenFieldRecordOfTheDefaultMachine) {
  Boot();
  auto handler = NewHandler();
  const std::wstring record = handler->GetSysInfo();
  int separators = 0;
  for (auto at = record.find(kSysInfoSeparator); at != std::wstring::npos;
       at = record.find(kSysInfoSeparator, at + 1)) {
    ++separators;
  }
  EXPECT_EQ(separators, 10) << platform::WideToUtf8(record);
  EXPECT_TRUE(record.ends_with(L"<.^.>yes")) << platform::WideToUtf8(record);
  EXPECT_EQ(record.find(L"null"), std::wstring::npos);
  EXPECT_EQ(record, Data()->m_csSysInfo + L"<.^.>yes");

  ClearLines();
  EXPECT_EQ(handler->GetSysInfo(), record) << "the second call serves the record it has";
  EXPECT_TRUE(
      Logged(LogLevel::Verbose, L"System Info String is not empty. Value  = " + Data()->m_csSysInfo, kGetSysInfo));
  EXPECT_EQ(FirmwareCalls("Get", "Platform.USBC.Supported"), 1) << "the support value is computed once";
  EXPECT_EQ(platform::WaitForSingleObject(handler->SysInfoReadCompleteEvent(), 0), platform::WAIT_OBJECT_0)
      << "the event is set again once a call is over";
}

TEST_F(HotKeyHandlerTest, TheSupportValueSaysWhatIsMissing) {
  struct Case {
    bool firmware;
    bool app;
    const wchar_t* value;
  };
  for (const Case c :
       {Case{false, false, L"0x0"}, Case{true, false, L"0x1"}, Case{false, true, L"0x2"}, Case{true, true, L"yes"}}) {
    auto profile = DefaultProfile();
    Firmware(profile)["settings"]["Platform.USBC.Supported"] = c.firmware;
    Boot(profile);
    // Files are laid out once per root: the program comes and goes on the disk.
    if (c.app) {
      platform::testing::WriteHostFile(Host(testing::kUsbCApp), "not a host program");
    } else {
      std::filesystem::remove(Host(testing::kUsbCApp));
    }
    auto handler = NewHandler();
    const std::wstring record = handler->GetSysInfo();
    EXPECT_TRUE(record.ends_with(std::wstring(L"<.^.>") + c.value)) << platform::WideToUtf8(record);
    handler.reset();
    CMainService::IsReadSysInfoReadCompleted(platform::INFINITE);
    CMainService::CloseReadSysInfoThread();
  }
}

TEST_F(HotKeyHandlerTest, ARecordThatTakesTooLongIsServedEmptyAfterTwentyFiveSeconds) {
  Boot();
  auto handler = NewHandler();
  MarkTime();
  HoldOtherThreads(true);  // the reading thread stops at its first log line
  EXPECT_EQ(handler->GetSysInfo(), L"");
  EXPECT_EQ(ElapsedMs(), 25000u);
  EXPECT_TRUE(Logged(LogLevel::Warning, L"Reading System information from BIOS is not completed.", kGetSysInfo));
  EXPECT_TRUE(Logged(LogLevel::Error, L"System Info String is empty", kGetSysInfo));
  HoldOtherThreads(false);

  ASSERT_TRUE(CMainService::IsReadSysInfoReadCompleted(platform::INFINITE));
  EXPECT_TRUE(handler->GetSysInfo().ends_with(L"<.^.>yes")) << "a later call serves what the thread read";
}

TEST_F(HotKeyHandlerTest, AReadingThatStoppedEarlyIsServedEmptyAtOnce) {
  auto profile = DefaultProfile();
  profile["wmi"]["locatorFault"] = {{"kind", "fail"}};
  Boot(profile);
  auto handler = NewHandler();
  ASSERT_TRUE(CMainService::ReadSysInfo());
  ASSERT_TRUE(CMainService::IsReadSysInfoReadCompleted(platform::INFINITE));
  MarkTime();
  EXPECT_EQ(handler->GetSysInfo(), L"");
  EXPECT_EQ(ElapsedMs(), 0u);
}

TEST_F(HotKeyHandlerTest, ThePrivacyPanelStateComesOnlyFromTheModernComponent) {
  auto profile = DefaultProfile();
  Firmware(profile)["settings"]["PrivacyPanelState"] = 3;
  Boot(profile);
  auto legacy = NewHandler();
  EXPECT_EQ(legacy->GetPrivacyPanelState(), 1);
  EXPECT_TRUE(Logged(LogLevel::Error, L"Merid SDK Vantor Command Instance is NULL",
                     "RpcServer::SysInfo::CHotKeyHandler::GetPrivacyPanelState"));
  legacy.reset();

  Firmware(profile)["legacy"]["present"] = false;
  Boot(profile);
  auto modern = NewHandler();
  ASSERT_TRUE(modern->HasMeridCommand());
  EXPECT_EQ(modern->GetPrivacyPanelState(), 3);
}

TEST_F(HotKeyHandlerTest, TwoFirstCallersComputeTheSupportValueOnce) {
  Boot();
  auto handler = NewHandler();
  std::wstring first, second;
  std::thread a([&] { first = handler->GetSysInfo(); });
  std::thread b([&] { second = handler->GetSysInfo(); });
  a.join();
  b.join();
  EXPECT_EQ(first, second);
  EXPECT_TRUE(first.ends_with(L"<.^.>yes"));
  EXPECT_EQ(FirmwareCalls("Get", "Platform.USBC.Supported"), 1);
}

TEST_F(HotKeyHandlerTest, ReleaseLetsTheNextHandlerOpenTheKeyboardFilter) {
  Boot();
  auto first = NewHandler();
  ASSERT_NE(first->KeyboardFilterHandle(), platform::INVALID_HANDLE_VALUE);
  first.reset();
  auto second = NewHandler();
  EXPECT_NE(second->KeyboardFilterHandle(), platform::INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace RpcServer::SysInfo
