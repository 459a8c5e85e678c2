// vesk-machine's verbs in-process on the fixture's machine: what each prints, its exit
// code and its usage errors. vesk_machine_e2e_test.cpp and the scripts run the program.
#include "tools/vesk-machine/vesk_machine.h"

#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/devices.h"
#include "platform/firmware.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/testing/machine_test.h"
#include "service/logging/testing/log_capture.h"

namespace tools::vesk_machine {
namespace {

using platform::testing::WriteHostFile;

struct Result {
  int exitCode;
  std::string out;
  std::string err;
};

// sysinfo logs through the process logger, whose writer must let go of the machine
// before the fixture removes it.
class VeskMachineVerbsTest : public Korvo::Shared::testing::ProcessLoggerTest {
 protected:
  Result Vm(std::vector<std::string_view> args) {
    std::ostringstream out, err;
    const int code = vesk_machine::Run(args, out, err);
    return {code, out.str(), err.str()};
  }
};

constexpr std::string_view kPolicyKey = "HKLM\\SOFTWARE\\Policies\\Korvo\\Korvo Tallisk";

TEST_F(VeskMachineVerbsTest, RegSetsReadsListsAndDeletesValues) {
  EXPECT_EQ(Vm({"reg", "set", kPolicyKey, "MaxLogSize", "--dword", "0x2A"}).exitCode, 0);
  const auto set =
      Vm({"reg", "set", "SOFTWARE\\Policies\\Korvo\\Korvo Tallisk", "LoggingType", "--sz", "FILE and more"});
  EXPECT_EQ(set.exitCode, 0);
  EXPECT_EQ(set.out + set.err, "");

  EXPECT_EQ(Vm({"reg", "get", kPolicyKey, "maxlogsize"}).out, "MaxLogSize    REG_DWORD    0x0000002A (42)\n")
      << "found without regard to case, shown as stored";
  EXPECT_EQ(Vm({"reg", "get", "hklm\\software\\policies\\korvo\\korvo tallisk"}).out,
            "LoggingType    REG_SZ    FILE and more\n"
            "MaxLogSize    REG_DWORD    0x0000002A (42)\n");
  EXPECT_EQ(Vm({"reg", "list"}).out,
            "HKLM\\SOFTWARE\n"
            "HKLM\\SOFTWARE\\Policies\n"
            "HKLM\\SOFTWARE\\Policies\\Korvo\n"
            "HKLM\\SOFTWARE\\Policies\\Korvo\\Korvo Tallisk\n");
  EXPECT_EQ(platform::registry::Get(L"SOFTWARE\\Policies\\Korvo\\Korvo Tallisk", L"MaxLogSize"),
            std::optional<platform::registry::Value>(platform::DWORD{42}))
      << "written to the fixture's machine";

  EXPECT_EQ(Vm({"reg", "delete", kPolicyKey, "MaxLogSize"}).exitCode, 0);
  const auto gone = Vm({"reg", "get", kPolicyKey, "MaxLogSize"});
  EXPECT_EQ(gone.exitCode, 1);
  EXPECT_EQ(gone.err, "vesk-machine: value not found: HKLM\\SOFTWARE\\Policies\\Korvo\\Korvo Tallisk\\MaxLogSize\n");
  EXPECT_EQ(Vm({"reg", "delete", kPolicyKey, "MaxLogSize"}).exitCode, 1);
  const auto noKey = Vm({"reg", "get", "HKLM\\SOFTWARE\\NoSuchKey"});
  EXPECT_EQ(noKey.exitCode, 1);
  EXPECT_EQ(noKey.err, "vesk-machine: key not found: HKLM\\SOFTWARE\\NoSuchKey\n");
}

TEST_F(VeskMachineVerbsTest, RegSetTakesEveryDwordAndNothingElse) {
  EXPECT_EQ(Vm({"reg", "set", "SOFTWARE\\X", "Max", "--dword", "4294967295"}).exitCode, 0);
  EXPECT_EQ(Vm({"reg", "get", "SOFTWARE\\X", "Max"}).out, "Max    REG_DWORD    0xFFFFFFFF (4294967295)\n");
  EXPECT_EQ(Vm({"reg", "set", "SOFTWARE\\X", "Max", "--dword", "0x0"}).exitCode, 0);
  EXPECT_EQ(Vm({"reg", "get", "SOFTWARE\\X", "Max"}).out, "Max    REG_DWORD    0x00000000 (0)\n");
  for (std::string_view bad : {"4294967296", "0x1FFFFFFFF", "-1", "12abc", "0x"}) {
    const auto r = Vm({"reg", "set", "SOFTWARE\\X", "Max", "--dword", bad});
    EXPECT_EQ(r.exitCode, 2) << bad;
    EXPECT_EQ(r.err, "vesk-machine: not a 32-bit number (decimal or 0x hex): " + std::string(bad) +
                         "\nTry \"vesk-machine help reg\".\n");
  }
  EXPECT_EQ(Vm({"reg", "get", "SOFTWARE\\X", "Max"}).out, "Max    REG_DWORD    0x00000000 (0)\n") << "unchanged";
  const auto hkcu = Vm({"reg", "set", "HKCU\\X", "V", "--dword", "1"});
  EXPECT_EQ(hkcu.exitCode, 2);
  EXPECT_NE(hkcu.err.find("only HKLM is simulated: HKCU\\X"), std::string::npos) << hkcu.err;
}

TEST_F(VeskMachineVerbsTest, EventsFilteredBySourceAndCutToTheLast) {
  WriteHostFile(
      root() / "eventlog.jsonl",
      R"({"time":"2021/03/04 17:05:09.042","source":"Varnel","type":1,"category":0,"eventId":3758096384,"strings":["first","second"],"pid":7}
{"time":"2021/03/04 17:05:10.000","source":"Other","type":4,"category":0,"eventId":1,"strings":[],"pid":7}
{"time":"2021/03/04 17:05:11.000","source":"Varnel","type":2,"category":0,"eventId":2,"strings":["last"],"pid":7}
)");
  EXPECT_EQ(Vm({"events", "--source", "varnel", "--tail", "2"}).out,
            "2021/03/04 17:05:09.042  Error  Varnel  0xE0000000  first | second\n"
            "2021/03/04 17:05:11.000  Warning  Varnel  0x00000002  last\n");
  const auto last = Vm({"events", "--tail", "1"});
  EXPECT_EQ(last.out, "2021/03/04 17:05:11.000  Warning  Varnel  0x00000002  last\n");
  EXPECT_EQ(Vm({"events", "--tail", "0x10"}).out, Vm({"events"}).out) << "a tail longer than the log is all of it";
  const auto bad = Vm({"events", "--tail", "x"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(bad.err, "vesk-machine: not a number: x\nTry \"vesk-machine help events\".\n");
}

// A damaged machine file is named, with exit 1, instead of reading as absent: the
// registry for every reg verb, the event log's unreadable lines by number (the events
// that can be read are still shown).
TEST_F(VeskMachineVerbsTest, DamagedFilesAreReportedNotReadAsAbsent) {
  const std::string registry = (root() / "registry.json").string();
  WriteHostFile(root() / "registry.json", "{\"keys\": [");
  for (const auto& args :
       std::vector<std::vector<std::string_view>>{{"reg", "get", kPolicyKey, "MaxLogSize"},
                                                  {"reg", "set", kPolicyKey, "MaxLogSize", "--dword", "1"},
                                                  {"reg", "delete", kPolicyKey, "MaxLogSize"},
                                                  {"reg", "list"}}) {
    const auto r = Vm(args);
    EXPECT_EQ(r.exitCode, 1) << args[1];
    EXPECT_NE(r.err.find("the registry " + registry + " is damaged"), std::string::npos) << args[1] << ": " << r.err;
  }
  WriteHostFile(
      root() / "eventlog.jsonl",
      "{\"time\":\"t\",\"source\":\"Varnel\",\"type\":1,\"category\":0,\"eventId\":1,\"strings\":[],\"pid\":7}\n"
      "not json\n"
      "{\"source\": 3}\n");
  const auto events = Vm({"events"});
  EXPECT_EQ(events.exitCode, 1);
  EXPECT_EQ(events.out, "t  Error  Varnel  0x00000001  \n");
  EXPECT_NE(events.err.find("is damaged: cannot read lines 2, 3"), std::string::npos) << events.err;
}

TEST_F(VeskMachineVerbsTest, SessionsProcessesAndASessionChange) {
  EXPECT_EQ(Vm({"ps", "--session", "1"}).out,
            "     PID      PPID  SESSION  USER      KIND      ELEVATION  UIACCESS  NAME                  COMMAND LINE\n"
            " 8388612         0        1  SYSTEM    declared  default    no        winlogon.exe          "
            "C:\\Windows\\System32\\winlogon.exe\n"
            " 8388616         0        1  alex      declared  limited    no        explorer.exe          "
            "C:\\Windows\\explorer.exe\n");
  EXPECT_EQ(Vm({"sessions"}).out,
            "  ID  STATION         STATE         USER        FLAGS\n"
            "   0  Services        disconnected  -           \n"
            "   1  Console         active        alex        console \n");

  const auto lock = Vm({"session", "lock", "1"});
  EXPECT_EQ(lock.exitCode, 0);
  EXPECT_EQ(lock.out, "session 1: lock\nVarnel is not running: no session change delivered\n");
  EXPECT_NE(Vm({"sessions"}).out.find("   1  Console         active        alex        console locked\n"),
            std::string::npos);
  const auto again = Vm({"session", "connect", "1", "--service", "Other"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(again.err, "vesk-machine: session 1 is connected already\n");
  const auto usage = Vm({"session", "lock"});
  EXPECT_EQ(usage.exitCode, 2);
  EXPECT_EQ(usage.err, "vesk-machine: session needs a change and a session id (see help session)\n");
  EXPECT_EQ(Vm({"ps", "--session", "-1"}).exitCode, 2);
}

TEST_F(VeskMachineVerbsTest, PsShowsHowEachProcessWasStartedAndTheCompanionsThatRun) {
  WriteHostFile(root() / "processes.json", R"({"nextId": 9000100, "processes": [
    {"pid": 9000000, "session": 0, "name": "Idle", "real": false},
    {"pid": 9000004, "parent": 4, "session": 1, "name": "msinfo32.exe", "user": "alex", "real": false,
     "path": "C:\\Windows\\System32\\msinfo32.exe", "commandLine": "msinfo32.exe /report", "uiAccess": true,
     "elevation": "full"},
    {"pid": 9000008, "session": 1, "name": "control.exe", "user": "alex", "real": false,
     "path": "C:\\Windows\\System32\\control.exe", "elevation": "limited"}]})");
  EXPECT_EQ(Vm({"ps"}).out,
            "     PID      PPID  SESSION  USER      KIND      ELEVATION  UIACCESS  NAME                  COMMAND LINE\n"
            " 9000000         0        0  -         declared  -          no        Idle                  \n"
            " 9000004         4        1  alex      declared  full       yes       msinfo32.exe          "
            "msinfo32.exe /report\n"
            " 9000008         0        1  alex      declared  limited    no        control.exe           "
            "C:\\Windows\\System32\\control.exe\n");

  // Which records count as running is the companion library's (companion_test.cpp).
  WriteHostFile(root() / "companions" / "9000004.json", R"({"pid": 9000004, "standsFor": "System Information",
    "program": "C:\\Windows\\System32\\msinfo32.exe", "arguments": ["/report", "C:\\x y.txt"], "user": "alex",
    "session": 1, "elevation": "full", "uiAccess": true})");
  const std::string header =
      "     PID  STANDS FOR                    USER      SESSION  ELEVATION  UIACCESS  PROGRAM AND ARGUMENTS\n";
  EXPECT_EQ(Vm({"ps", "--companions"}).out,
            header +
                " 9000004  System Information            alex            1  full       yes       "
                "C:\\Windows\\System32\\msinfo32.exe /report \"C:\\x y.txt\"\n");
  EXPECT_EQ(Vm({"ps", "--companions", "--session", "2"}).out, header);
  EXPECT_EQ(Vm({"ps", "--everything"}).exitCode, 2);
}

constexpr std::string_view kFilterClass = "{3569DBE5-FA4F-4E7E-96EC-540202073739}";

TEST_F(VeskMachineVerbsTest, DevicesOfTheDefaultMachine) {
  const std::string filter =
      "ACPI\\QVZC0101\\0    present\n"
      "    driver Korvo Keyboard Filter | Korvo | Korvo | 1.0.6.0 | type 2\n";
  const std::string expected =
      "ACPI\\QVZC000C\\0    present\n"
      "    driver Korvo Merid Platform Interface | Korvo | Korvo | 2.0.14.0 | type 2\n"
      "ACPI\\QVZC0003\\0    present\n"
      "    driver Korvo Merid Power Interface | Korvo | Korvo | 1.3.2.7 | type 2\n" +
      filter;
  EXPECT_EQ(Vm({"devices"}).out, expected);
  EXPECT_EQ(Vm({"devices", "--present"}).out, expected);
  EXPECT_EQ(Vm({"devices", "--interface", kFilterClass}).out,
            filter + "    interface \\\\?\\ACPI#QVZC0101#0#{3569dbe5-fa4f-4e7e-96ec-540202073739}\n");
  EXPECT_EQ(Vm({"devices", "--interface", "{0A1B2C3D-0000-4000-8000-00000000ABCD}"}).out, "no device nodes\n");
  EXPECT_EQ(Vm({"devices", "--interface", "3569DBE5-FA4F-4E7E-96EC-54020207373"}).exitCode, 2);
}

// Under each interface, what its driver received, from the machine's journal.
TEST_F(VeskMachineVerbsTest, DevicesShowTheRequestsEachDriverReceived) {
  using namespace platform;
  const std::wstring path = L"\\\\?\\acpi#qvzc0101#0#{3569DBE5-FA4F-4E7E-96EC-540202073739}";  // any letter case
  HANDLE device = CreateFile(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD bytes = 0;
  BYTE on = 1;
  EXPECT_TRUE(DeviceIoControl(device, CTL_CODE(0x9300, 4, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0, nullptr, 0,
                              &bytes, nullptr));
  EXPECT_TRUE(DeviceIoControl(device, CTL_CODE(0x9300, 0, METHOD_BUFFERED, FILE_ANY_ACCESS), &on, 1, nullptr, 0, &bytes,
                              nullptr));
  EXPECT_TRUE(DeviceIoControl(device, 0x00220004, &on, 1, nullptr, 0, &bytes, nullptr));
  EXPECT_TRUE(CloseHandle(device));

  const auto listed = Vm({"devices", "--interface", kFilterClass});
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_EQ(listed.out,
            "ACPI\\QVZC0101\\0    present\n"
            "    driver Korvo Keyboard Filter | Korvo | Korvo | 1.0.6.0 | type 2\n"
            "    interface \\\\?\\ACPI#QVZC0101#0#{3569dbe5-fa4f-4e7e-96ec-540202073739}\n"
            "    received 0x93000010 KVQKBFILTR_FlushButtonQueue input - -> completed\n"
            "    received 0x93000000 KVQKBFILTR_FilterOn input 01 -> completed\n"
            "    received 0x00220004 - input 01 -> completed\n");
}

TEST_F(VeskMachineVerbsTest, FirmwareSettingsComponentsAndJournal) {
  const auto show = Vm({"firmware"});
  ASSERT_EQ(show.exitCode, 0) << show.err;
  EXPECT_EQ(show.out, Vm({"firmware", "show"}).out);
  EXPECT_NE(show.out.find("settings:\n  HotKeys.SingleScanCode             profile  0\n"), std::string::npos)
      << show.out;
  EXPECT_TRUE(
      show.out.ends_with("components:\n  VantorCommand          present, global\n"
                         "  MeridSdkVantorCommand  present, sideBySide\n"))
      << show.out;

  EXPECT_EQ(Vm({"firmware", "set", "HotKeys.SingleScanCode", "110"}).exitCode, 0);
  EXPECT_EQ(Vm({"firmware", "get", "HotKeys.SingleScanCode"}).out, "110\n");
  EXPECT_NE(Vm({"firmware"}).out.find("  HotKeys.SingleScanCode             written  110\n"), std::string::npos);
  EXPECT_EQ(Vm({"firmware", "set", "UsbTypeCInfo", "USB 3"}).exitCode, 0) << "not JSON: taken as text";
  EXPECT_EQ(Vm({"firmware", "get", "UsbTypeCInfo"}).out, "USB 3\n");
  const auto bad = Vm({"firmware", "set", "PrivacyPanelState", "true"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(bad.err,
            "vesk-machine: PrivacyPanelState must be a number from 0 to 4294967295, not true\n"
            "Try \"vesk-machine help firmware\".\n");
  EXPECT_EQ(Vm({"firmware", "get", "Fan.Speed"}).exitCode, 2);
  EXPECT_EQ(Vm({"firmware", "set", "HotKeys.SingleScanCode"}).exitCode, 2);
  EXPECT_EQ(Vm({"help", "firmware", "get"}).out,
            "  vesk-machine firmware get NAME\n      print one setting's value (exit 1: not set)\n");

  platform::testing::TempDir bare;
  WriteHostFile(bare.path() / "machine.json", R"({"firmware": {"modern": {"present": true}}})");
  const auto absent = Vm({"--root", bare.path().string(), "firmware", "get", "UsbTypeCInfo"});
  EXPECT_EQ(absent.exitCode, 1);
  EXPECT_EQ(absent.err, "vesk-machine: UsbTypeCInfo is not set on this machine\n");
  EXPECT_EQ(Vm({"--root", bare.path().string(), "firmware"}).out,
            "settings:\n  none\ncomponents:\n  VantorCommand          absent\n"
            "  MeridSdkVantorCommand  present, sideBySide\n");

  using namespace platform;
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  ComPtr<IVantorCommand> legacy;
  ASSERT_EQ(CoCreateInstance(CLSID_VantorCommand, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&legacy)), S_OK);
  Variant value;
  EXPECT_EQ(legacy->Get(BStr(L"HotKeys.SingleScanCode"), &value), S_OK);
  EXPECT_EQ(legacy->Get(BStr(L"Nothing"), &value), VANTOR_E_INVALID_COMMAND);
  legacy = nullptr;
  CoUninitialize();
  // The virtual clock of the fixture starts an hour after boot.
  EXPECT_EQ(Vm({"firmware", "journal"}).out,
            "3600000 ms  VantorCommand.CoCreateInstance(iid=\"{233A5811-AB16-4A74-8D08-2D148ABE089C}\") -> 0x00000000\n"
            "3600000 ms  VantorCommand.Get(command=\"HotKeys.SingleScanCode\", out=110) -> 0x00000000\n"
            "3600000 ms  VantorCommand.Get(command=\"Nothing\") -> 0x80000003\n");
}

TEST_F(VeskMachineVerbsTest, TheDefaultMachineShowsEveryField) {
  const auto text = Vm({"sysinfo"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  const std::string record = text.out.substr(0, text.out.find('\n'));
  int separators = 0;
  for (std::size_t at = record.find("<.^.>"); at != std::string::npos; at = record.find("<.^.>", at + 1)) ++separators;
  EXPECT_EQ(separators, 9) << record;
  EXPECT_EQ(record.find("null"), std::string::npos) << "every field of the sample laptop is read: " << record;
  EXPECT_NE(text.out.find("\nproductName     "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\npasswordStatus  0x"), std::string::npos) << text.out;

  const auto asJson = Vm({"sysinfo", "--json"});
  ASSERT_EQ(asJson.exitCode, 0) << asJson.err;
  const auto fields = nlohmann::ordered_json::parse(asJson.out);
  ASSERT_EQ(fields.size(), 10u);
  std::string joined;
  for (const auto& [name, value] : fields.items()) joined += (joined.empty() ? "" : "<.^.>") + value.get<std::string>();
  EXPECT_EQ(joined, record) << "the fields in the order of the record";

  const auto bad = Vm({"sysinfo", "--xml"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("unknown option for sysinfo: --xml"), std::string::npos) << bad.err;
}

TEST_F(VeskMachineVerbsTest, RootAndTheRunningProgramsVersion) {
  EXPECT_EQ(Vm({"root"}).out, root().string() + "\n");
  const auto none = Vm({"version"});
  EXPECT_EQ(none.exitCode, 1) << "this test program carries no version resource";
  EXPECT_NE(none.err.find("vesk-machine: no version resource in "), std::string::npos) << none.err;
  InstallProgram(L"C:\\Korvo\\vesk-machine.exe", "Korvo Tallisk", "7.1.2.3");
  const auto version = Vm({"version"});
  EXPECT_EQ(version.exitCode, 0) << version.err;
  EXPECT_EQ(version.out, "vesk-machine 7.1.2.3\n");
}

TEST_F(VeskMachineVerbsTest, RootSelectsAnotherMachineForOneRun) {
  platform::testing::TempDir other;
  EXPECT_EQ(Vm({"--root", other.path().string(), "reg", "set", "SOFTWARE\\Other", "Flag", "--dword", "1"}).exitCode, 0);
  EXPECT_EQ(Vm({"--root", other.path().string(), "root"}).out, other.path().string() + "\n");
  EXPECT_EQ(Vm({"--root", other.path().string(), "reg", "get", "SOFTWARE\\Other", "Flag"}).exitCode, 0);
  EXPECT_EQ(Vm({"reg", "get", "SOFTWARE\\Other", "Flag"}).exitCode, 1) << "the fixture's machine has no such key";
  EXPECT_EQ(Vm({"root"}).out, root().string() + "\n");
}

TEST_F(VeskMachineVerbsTest, HelpForTheToolAVerbAndASubVerb) {
  const auto usage = Vm({"--help"});
  EXPECT_EQ(usage.exitCode, 0);
  EXPECT_TRUE(usage.out.starts_with("usage: vesk-machine [--root DIR] VERB [ARGS...]\n")) << usage.out;
  EXPECT_TRUE(usage.out.ends_with(
      "exit codes: 0 done, 1 not found or failed, 2 usage error, 3 sysinfo read an empty record\n"));
  EXPECT_EQ(Vm({"help"}).out, usage.out);

  const std::string events =
      "  vesk-machine events [--source NAME] [--tail N]\n"
      "      print the event log, oldest first\n";
  EXPECT_EQ(Vm({"help", "events"}).out, events);
  EXPECT_EQ(Vm({"events", "--tail", "--help"}).out, events) << "--help anywhere after the verb";
  const std::string regSet =
      "  vesk-machine reg set KEY VALUE (--sz TEXT | --dword N)\n"
      "      set a string or a 32-bit number (N decimal or 0x hex)\n";
  EXPECT_EQ(Vm({"help", "reg", "set"}).out, regSet);
  const std::string keysBefore = Vm({"reg", "list"}).out;
  EXPECT_EQ(Vm({"reg", "set", "SOFTWARE\\Help", "V", "--sz", "--help"}).out, regSet);
  const auto allReg = Vm({"help", "reg"});
  EXPECT_EQ(Vm({"reg", "--help"}).out, allReg.out);
  EXPECT_NE(allReg.out.find(regSet), std::string::npos);
  EXPECT_NE(allReg.out.find("  KEY is HKLM\\SOFTWARE\\..."), std::string::npos);
  EXPECT_EQ(Vm({"reg", "list"}).out, keysBefore) << "reg set ... --help set nothing";

  const auto sub = Vm({"reg", "frob", "--help"});
  EXPECT_EQ(sub.exitCode, 2);
  EXPECT_EQ(sub.err, "vesk-machine: unknown verb: reg frob\nTry \"vesk-machine help reg\".\n");
  EXPECT_EQ(Vm({"help", "a", "b", "c"}).exitCode, 2);
}

TEST_F(VeskMachineVerbsTest, UsageErrorsNameTheProblem) {
  const auto none = Vm({});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_EQ(none.err, "vesk-machine: no verb given\nTry \"vesk-machine --help\".\n");
  const auto verb = Vm({"no-such-verb"});
  EXPECT_EQ(verb.exitCode, 2);
  EXPECT_EQ(verb.err, "vesk-machine: unknown verb \"no-such-verb\"\nTry \"vesk-machine --help\".\n");
  const auto option = Vm({"--no-such-option"});
  EXPECT_EQ(option.exitCode, 2);
  EXPECT_EQ(option.err, "vesk-machine: unknown option \"--no-such-option\"\nTry \"vesk-machine --help\".\n");
  const auto root = Vm({"--root"});
  EXPECT_EQ(root.exitCode, 2);
  EXPECT_EQ(root.err, "vesk-machine: --root needs a folder\nTry \"vesk-machine --help\".\n");
  const auto reg = Vm({"reg"});
  EXPECT_EQ(reg.exitCode, 2);
  EXPECT_EQ(reg.err, "vesk-machine: reg needs one of: get, set, delete, list\nTry \"vesk-machine help reg\".\n");
  EXPECT_EQ(Vm({"reg", "frobnicate"}).exitCode, 2);
  EXPECT_EQ(Vm({"sessions", "extra"}).exitCode, 2);
  EXPECT_EQ(Vm({"version", "extra"}).exitCode, 2);
}

}  // namespace
}  // namespace tools::vesk_machine
