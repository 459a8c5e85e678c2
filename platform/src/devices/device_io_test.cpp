#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/devices.h"
#include "platform/journal.h"
#include "platform/machine.h"
#include "platform/src/devices/device_io.h"
#include "platform/sync.h"
#include "platform/testing/machine_test.h"

namespace platform {
namespace {

using ::testing::ElementsAre;

constexpr DWORD kFilterOn = CTL_CODE(0x9300, 0, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kFilterOff = CTL_CODE(0x9300, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kGetButton = CTL_CODE(0x9300, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kAddButton = CTL_CODE(0x9300, 3, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kFlush = CTL_CODE(0x9300, 4, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kInitButtons = CTL_CODE(0x9300, 5, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kSetRepeat = CTL_CODE(0x9300, 6, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kOther = CTL_CODE(0x22, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

constexpr const wchar_t* kFilter = L"\\\\?\\kvqkbfiltr";

class DeviceIoTest : public testing::MachineTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = MachineTest::MachineProfile();
    profile["devices"] = nlohmann::json::parse(R"([
      {"instanceId": "ROOT\\KVQKBFILTR\\0000",
       "interfaces": [{"classGuid": "{3569DBE5-FA4F-4E7E-96EC-540202073739}", "path": "\\\\?\\kvqkbfiltr",
                       "driver": {"ioctls": {
                         "0x93000000": {"kind": "pend", "ms": 250},
                         "0x93000004": {"kind": "pendForever"},
                         "0x93000008": {"kind": "fail", "error": 1167, "count": 2},
                         "0x9300000C": {"kind": "fail"},
                         "0x93000010": {"kind": "pend", "ms": 5000, "count": 1},
                         "0x93000018": {"kind": "pend", "ms": 100}}}}]},
      {"instanceId": "ROOT\\FLAKY\\0",
       "interfaces": [{"classGuid": "{0A1B2C3D-0000-4000-8000-00000000ABCD}", "path": "\\\\?\\flaky",
                       "driver": {"default": {"kind": "fail", "error": 21, "count": 1}}}]},
      {"instanceId": "ROOT\\GONE\\0", "present": false,
       "interfaces": [{"classGuid": "{3569DBE5-FA4F-4E7E-96EC-540202073739}", "path": "\\\\?\\gone"}]}
    ])");
    return profile;
  }

  static HANDLE Open(const wchar_t* path, DWORD flags = 0) {
    return CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  }

  // Sends `code` on a synchronous handle; the last error when it fails, else 0.
  static DWORD Send(HANDLE device, DWORD code, DWORD input = 0) {
    DWORD bytes = 123;
    const BOOL ok = DeviceIoControl(device, code, &input, sizeof input, nullptr, 0, &bytes, nullptr);
    EXPECT_EQ(bytes, 0u);
    return ok ? 0 : GetLastError();
  }

  // "call -> result" of every device journal entry.
  static std::vector<std::string> Journal() {
    std::vector<std::string> lines;
    for (const auto& e : journal::Read("device")) lines.push_back(e.call + " -> " + e.result);
    return lines;
  }

  // Waits (real time, without asserting any) until `n` threads wait for a request.
  static void AwaitWaiters(std::size_t n) {
    while (devices::detail::DeviceRequestWaiters() < n) std::this_thread::yield();
  }
};

TEST_F(DeviceIoTest, OnlyPresentInterfacesOpenOnceAtATimeAndCallerMistakesNeverReachTheDriver) {
  HANDLE device = Open(L"\\\\?\\KVQKBFILTR");  // letter case aside
  ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(Open(kFilter), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  for (const wchar_t* missing : {L"\\\\?\\gone", L"C:\\Windows\\win.ini"}) {
    EXPECT_EQ(Open(missing), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ(CreateFile(kFilter, GENERIC_READ, 0, nullptr, 1 /* CREATE_NEW */, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  DWORD bytes = 0, input = 1;
  EXPECT_FALSE(DeviceIoControl(device, kOther, nullptr, 4, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(DeviceIoControl(device, kOther, &input, 4, nullptr, 0, nullptr, nullptr)) << "no count to return";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // Closing lets the device be opened again; a closed handle is no device.
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_FALSE(DeviceIoControl(device, kOther, nullptr, 0, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  device = Open(kFilter, FILE_FLAG_OVERLAPPED);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeviceIoControl(device, kOther, &input, 4, nullptr, 0, &bytes, nullptr)) << "no OVERLAPPED";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(CloseHandle(device));

  const auto entries = journal::Read("device");
  ASSERT_EQ(entries.size(), 8u);
  EXPECT_EQ(entries[0].target, "\\\\?\\kvqkbfiltr") << "the interface's own path";
  EXPECT_EQ(entries[6].args.dump(), R"({"overlapped":true})");
  EXPECT_THAT(Journal(),
              ElementsAre("CreateFile -> 0x00000000", "CreateFile -> 0x00000020", "CreateFile -> 0x00000002",
                          "CreateFile -> 0x00000002", "CreateFile -> 0x00000057", "CloseHandle -> 0x00000000",
                          "CreateFile -> 0x00000000", "CloseHandle -> 0x00000000"));
}

TEST_F(DeviceIoTest, AnswersAtOnceFailuresAndCountedAnswers) {
  HANDLE device = Open(kFilter);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  // GetButton fails twice with its code, then gets the default answer.
  EXPECT_EQ(Send(device, kGetButton), 1167u);
  EXPECT_EQ(Send(device, kGetButton), 1167u);
  EXPECT_EQ(Send(device, kGetButton), 0u);
  EXPECT_EQ(Send(device, kAddButton), ERROR_GEN_FAILURE) << "fail without a code";
  EXPECT_EQ(Send(device, kInitButtons, 0x01020304), 0u) << "no answer of its own: complete";
  EXPECT_EQ(Send(device, kOther), 0u);
  // A counted default acts on the first requests of any code.
  HANDLE flaky = Open(L"\\\\?\\flaky");
  EXPECT_EQ(Send(flaky, kOther), 21u);
  EXPECT_EQ(Send(flaky, kGetButton), 0u);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 0u) << "nothing waited";

  const auto entries = journal::Read("device");
  ASSERT_EQ(entries.size(), 10u);
  EXPECT_EQ(entries[1].call, "0x93000008");
  EXPECT_EQ(entries[1].args.dump(), R"({"name":"KVQKBFILTR_GetButton","input":"00000000","overlapped":false})");
  EXPECT_EQ(entries[1].result, "failed 0x0000048F");
  EXPECT_EQ(entries[3].result, "completed");
  EXPECT_EQ(entries[5].args["input"], "04030201");
  EXPECT_EQ(entries[6].call, "0x00222000");
  EXPECT_EQ(entries[6].args.dump(), R"({"input":"00000000","overlapped":false})") << "no name for other codes";
  EXPECT_EQ(entries[8].target, "\\\\?\\flaky");

  // Counts are per opened machine.
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_TRUE(CloseHandle(flaky));
  ReopenMachine();
  device = Open(kFilter);
  EXPECT_EQ(Send(device, kGetButton), 1167u);
  EXPECT_TRUE(CloseHandle(device));
}

TEST_F(DeviceIoTest, OverlappedAnswersAtOnceSetOrLeaveTheEventAndStayInTheOverlapped) {
  HANDLE device = Open(kFilter, FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  ov.Internal = 0x103;
  ov.hEvent = event;
  DWORD bytes = 7;
  ASSERT_TRUE(DeviceIoControl(device, kOther, nullptr, 0, nullptr, 0, &bytes, &ov));
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(ov.Internal, 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "completion sets the event";
  ASSERT_TRUE(GetOverlappedResult(device, &ov, &bytes, FALSE));

  EXPECT_FALSE(DeviceIoControl(device, kAddButton, nullptr, 0, nullptr, 0, nullptr, &ov));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "reset when the request started, never set";
  EXPECT_FALSE(GetOverlappedResult(device, &ov, &bytes, TRUE)) << "the failure is in the OVERLAPPED too";
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_THAT(Journal(), ElementsAre("CreateFile -> 0x00000000", "0x00222000 -> completed",
                                     "GetOverlappedResult -> completed", "0x9300000C -> failed 0x0000001F",
                                     "GetOverlappedResult -> failed 0x0000001F", "CloseHandle -> 0x00000000"));
}

TEST_F(DeviceIoTest, APendingRequestCompletesAfterItsTimeOnTheMachineClock) {
  HANDLE device = Open(kFilter, FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEvent(nullptr, TRUE, TRUE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = event;
  DWORD input = 1;
  EXPECT_FALSE(DeviceIoControl(device, kFilterOn, &input, sizeof input, nullptr, 0, nullptr, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

  // Pending until the machine's time reaches the completion. (A virtual clock may
  // jump there when this thread is slow, so only a look before that time is checked.)
  DWORD bytes = 9;
  const BOOL early = GetOverlappedResult(device, &ov, &bytes, FALSE);
  const DWORD earlyError = GetLastError();
  const DWORD earlyEvent = WaitForSingleObject(event, 0);
  if (clock().ElapsedMilliseconds() < 250) {
    EXPECT_FALSE(early);
    EXPECT_EQ(earlyError, ERROR_IO_INCOMPLETE);
    EXPECT_EQ(bytes, 9u) << "untouched while incomplete";
    EXPECT_EQ(earlyEvent, WAIT_TIMEOUT) << "the event was reset when the request started";
  }
  ASSERT_TRUE(GetOverlappedResult(device, &ov, &bytes, TRUE));
  EXPECT_EQ(clock().ElapsedMilliseconds(), 250u);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(ov.Internal, 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

  // A synchronous handle waits for the same answer inside the call.
  EXPECT_TRUE(CloseHandle(device));
  device = Open(kFilter);
  EXPECT_EQ(Send(device, kFilterOn), 0u);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 500u);
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_TRUE(CloseHandle(event));

  const auto entries = journal::Read("device");
  ASSERT_EQ(entries.size(), 8u);
  EXPECT_EQ(entries[1].args.dump(), R"({"name":"KVQKBFILTR_FilterOn","input":"01000000","overlapped":true})");
  EXPECT_EQ(entries[1].result, "pending");
  EXPECT_EQ(entries[3].result, "completed") << "GetOverlappedResult";
  // The synchronous request is journalled when its answer came.
  EXPECT_EQ(entries[6].result, "completed");
  EXPECT_EQ(entries[6].timeMs - entries[1].timeMs, 500u);
}

TEST_F(DeviceIoTest, TheEventTellsWaitersWithTimeOutsWhenTheRequestCompletes) {
  HANDLE device = Open(kFilter, FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = event;
  EXPECT_FALSE(DeviceIoControl(device, kFlush, nullptr, 0, nullptr, 0, nullptr, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_TIMEOUT);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 1000u);
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 5000u);
  // The pending answer was counted once: the next flush completes at once.
  EXPECT_TRUE(DeviceIoControl(device, kFlush, nullptr, 0, nullptr, 0, nullptr, &ov));

  // Requests complete in the order of their times, not of their sending.
  OVERLAPPED slow{}, quick{};
  slow.hEvent = event;
  quick.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 1;
  EXPECT_FALSE(DeviceIoControl(device, kFilterOn, nullptr, 0, nullptr, 0, nullptr, &slow));
  EXPECT_FALSE(DeviceIoControl(device, kSetRepeat, nullptr, 0, nullptr, 0, nullptr, &quick));
  EXPECT_EQ(WaitForSingleObject(quick.hEvent, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 5100u);
  EXPECT_TRUE(GetOverlappedResult(device, &slow, &bytes, TRUE));
  EXPECT_EQ(clock().ElapsedMilliseconds(), 5250u);

  // Time moved by hand completes a request too, and its result is there at once.
  EXPECT_FALSE(DeviceIoControl(device, kFilterOn, nullptr, 0, nullptr, 0, nullptr, &slow));
  clock().Advance(250);
  EXPECT_TRUE(GetOverlappedResult(device, &slow, &bytes, FALSE));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(quick.hEvent));
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(DeviceIoTest, CloseHandleCancelsWhatNeverCompletes) {
  HANDLE device = Open(kFilter, FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = event;
  EXPECT_FALSE(DeviceIoControl(device, kFilterOff, nullptr, 0, nullptr, 0, nullptr, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(device, &ov, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_EQ(WaitForSingleObject(event, 60000), WAIT_TIMEOUT) << "time passes, the request stays";

  DWORD waited = 0;
  std::thread waiter([&] {
    DWORD n = 0;
    waited = GetOverlappedResult(device, &ov, &n, TRUE) ? 0 : GetLastError();
  });
  AwaitWaiters(1);
  EXPECT_TRUE(CloseHandle(device));
  waiter.join();
  EXPECT_EQ(waited, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the cancelled request completed";
  EXPECT_EQ(ov.Internal, 0xC0000120u);

  // A synchronous caller waiting inside DeviceIoControl gets the cancellation too.
  device = Open(kFilter);
  ASSERT_NE(device, INVALID_HANDLE_VALUE) << "the device is free again";
  std::thread caller([&] { waited = Send(device, kFilterOff); });
  AwaitWaiters(1);
  EXPECT_TRUE(CloseHandle(device));
  caller.join();
  EXPECT_EQ(waited, ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(CloseHandle(event));

  EXPECT_THAT(Journal(),
              ElementsAre("CreateFile -> 0x00000000", "0x93000004 -> pending", "GetOverlappedResult -> incomplete",
                          "CloseHandle -> 0x00000000", "GetOverlappedResult -> aborted", "CreateFile -> 0x00000000",
                          "CloseHandle -> 0x00000000", "0x93000004 -> failed 0x000003E3"));
}

class DeviceIoProfileTest : public testing::MachineTest {
 protected:
  // The message a profile whose one interface has this "driver" is refused with.
  static std::string Refusal(const std::string& driver) {
    try {
      ParseProfile(R"({"devices": [{"instanceId": "A\\1", "interfaces": [{"classGuid": )"
                   R"("{3569DBE5-FA4F-4E7E-96EC-540202073739}", "driver": )" +
                       driver + "}]}]}",
                   "lab.json");
    } catch (const MachineError& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(DeviceIoProfileTest, DriverMistakesAreNamedWithTheirPath) {
  EXPECT_EQ(Refusal(R"({"default": {"kind": "pend", "ms": 0, "count": 0},
                        "ioctls": {"0x93000010": {"kind": "fail", "error": 65535}, "0x1": {"kind": "pendForever"}}})"),
            "");
  const std::string at = "lab.json: devices[0].interfaces[0].driver";
  EXPECT_EQ(Refusal(R"({"answers": {}})"), at + ".answers is not a known key");
  EXPECT_EQ(Refusal(R"({"default": {}})"), at + ".default.kind is missing");
  EXPECT_EQ(Refusal(R"({"default": {"kind": "hang"}})"),
            at + ".default.kind must be one of complete, pend, pendForever, fail");
  EXPECT_EQ(Refusal(R"({"default": {"kind": "pend"}})"),
            at + ".default.ms is missing (kind pend completes after ms milliseconds)");
  EXPECT_EQ(Refusal(R"({"default": {"kind": "complete", "ms": 5}})"), at + ".default.ms is only for kind pend");
  EXPECT_EQ(Refusal(R"({"default": {"kind": "fail", "error": 65536}})"),
            at + ".default.error must be a Win32 error code from 1 to 65535");
  EXPECT_EQ(Refusal(R"({"default": {"kind": "fail", "count": -1}})"),
            at + ".default.count must be a number of requests, 0 or more");
  for (const char* bad : {"93000010", "0x123456789", "0x-1"}) {
    EXPECT_EQ(Refusal(std::string(R"({"ioctls": {")") + bad + R"(": {"kind": "complete"}}})"),
              at + ".ioctls." + bad + " must be a control code such as \"0x93000010\"");
  }
  EXPECT_EQ(Refusal(R"({"ioctls": {"0x93000010": {"kind": "complete"}, "0X93000010": {"kind": "fail"}}})"),
            at + ".ioctls.0x93000010 names a control code given before")
      << "keys are read in sorted order";
}

// The default machine's filter, and the profiles of machines/ that show the service a
// slow or a stuck one (devices_test.sh lists the others).
class KeyboardFilterProfilesTest : public testing::MachineTest {
 protected:
  // Opens the filter's one interface, on the machine of profile `name` if given.
  HANDLE OpenFilter(const std::string& name = "") {
    if (!name.empty()) {
      testing::WriteHostFile(root() / "machine.json",
                             testing::ReadHostFile(std::filesystem::path(KORVO_MACHINES_DIR) / name));
      ReopenMachine();
    }
    const GUID filter = {0x3569DBE5, 0xFA4F, 0x4E7E, {0x96, 0xEC, 0x54, 0x02, 0x02, 0x07, 0x37, 0x39}};
    HDEVINFO set = SetupDiGetClassDevs(&filter, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA iface{sizeof iface};
    std::vector<std::uint64_t> buffer(128);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &filter, 0, &iface));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &filter, 1, &iface));
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetail(set, &iface, detail, 1024, nullptr, nullptr));
    SetupDiDestroyDeviceInfoList(set);
    return CreateFile(detail->DevicePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  }
};

TEST_F(KeyboardFilterProfilesTest, AtOncePendingAndStuck) {
  HANDLE device = OpenFilter();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  OVERLAPPED ov{};
  for (DWORD function = 0; function <= 6; ++function) {
    const DWORD code = CTL_CODE(0x9300, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_TRUE(DeviceIoControl(device, code, nullptr, 0, nullptr, 0, nullptr, &ov)) << function;
  }
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_EQ(journal::Read("device").at(7).args["name"], "KVQKBFILTR_SetRepeatButton");

  device = OpenFilter("keyboard-filter-pending.json");
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(device, kFlush, nullptr, 0, nullptr, 0, nullptr, &ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  const auto sent = clock().ElapsedMilliseconds();
  EXPECT_TRUE(GetOverlappedResult(device, &ov, &bytes, TRUE));
  EXPECT_EQ(clock().ElapsedMilliseconds() - sent, 250u);
  EXPECT_TRUE(CloseHandle(device));

  device = OpenFilter("keyboard-filter-stuck.json");
  EXPECT_FALSE(DeviceIoControl(device, kFilterOn, nullptr, 0, nullptr, 0, nullptr, &ov));
  clock().Advance(60000);
  EXPECT_FALSE(GetOverlappedResult(device, &ov, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_TRUE(CloseHandle(device));
}

}  // namespace
}  // namespace platform
