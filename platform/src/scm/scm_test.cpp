// The control manager's calls on the simulated machine: the database (create, open,
// delete, configuration, every failure code), the size protocols, handles and access
// rights, the profile's declared services, and the parts of StartService and
// ControlService that need no running service.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/scm.h"
#include "platform/src/scm/scm_internal.h"
#include "platform/sync.h"
#include "platform/testing/machine_test.h"
#include "platform/text.h"

namespace platform {
namespace {

using testing::ReadHostFile;
using testing::WriteHostFile;

// Closes a control manager handle at the end of a scope.
struct ScHandle {
  SC_HANDLE h = nullptr;
  ScHandle() = default;
  explicit ScHandle(SC_HANDLE handle) : h(handle) {}
  ~ScHandle() {
    if (h != nullptr) CloseServiceHandle(h);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  operator SC_HANDLE() const { return h; }
};

class ScmTest : public testing::MachineTest {
 protected:
  // The controller on a database that starts empty: the services the default machine
  // declares would be in every enumeration.
  nlohmann::json MachineProfile() const override {
    auto profile = MachineTest::MachineProfile();
    profile.erase("services");
    return profile;
  }
  SC_HANDLE OpenManager(DWORD access = SC_MANAGER_ALL_ACCESS) {
    SC_HANDLE m = OpenSCManager(nullptr, nullptr, access);
    EXPECT_NE(m, nullptr) << GetLastError();
    return m;
  }
  SC_HANDLE Create(SC_HANDLE manager, const wchar_t* name, const wchar_t* binPath = L"C:\\Korvo\\svc.exe",
                   DWORD startType = SERVICE_DEMAND_START, const wchar_t* display = nullptr) {
    return CreateService(manager, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType,
                         SERVICE_ERROR_NORMAL, binPath, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  std::vector<BYTE> Config(SC_HANDLE service) {
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfig(service, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(QueryServiceConfig(service, reinterpret_cast<QUERY_SERVICE_CONFIG*>(buffer.data()), needed, &needed))
        << GetLastError();
    return buffer;
  }
  std::vector<BYTE> Config2(SC_HANDLE service, DWORD level) {
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfig2(service, level, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(QueryServiceConfig2(service, level, buffer.data(), needed, &needed)) << GetLastError();
    return buffer;
  }
  SERVICE_STATUS_PROCESS StatusEx(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof(s), &needed))
        << GetLastError();
    return s;
  }
  scm::detail::ServiceFiles Files(const wchar_t* name) { return scm::detail::FilesFor(root(), name); }
  // Makes the service look supervised: holds its run lock and records `state`.
  int PretendSupervised(const wchar_t* name, DWORD state, DWORD processId = 4242) {
    auto files = Files(name);
    std::filesystem::create_directories(files.dir);
    const int fd = scm::detail::OpenLockFile(files.lock);
    EXPECT_TRUE(fd >= 0 && scm::detail::TryLockExclusive(fd));
    scm::detail::StatusRecord r;
    r.status = {SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0, processId, 0};
    r.sequence = 3;
    EXPECT_TRUE(scm::detail::WriteFileAtomically(files.status, scm::detail::RecordToJson(r).dump()));
    return fd;
  }
};

TEST_F(ScmTest, OpenSCManagerChecksItsArgumentsAndCreatesTheDatabase) {
  EXPECT_EQ(OpenSCManager(L"\\\\elsewhere", nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OpenSCManager(nullptr, L"ServicesFailed", SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_DATABASE_DOES_NOT_EXIST);
  EXPECT_EQ(OpenSCManager(nullptr, nullptr, 0x00000400), nullptr);  // not a right of the manager
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(std::filesystem::exists(root() / "scm.json"));

  ScHandle m(OpenSCManager(L"", L"ServicesActive", SC_MANAGER_CONNECT));
  ASSERT_NE(m.h, nullptr);
  EXPECT_TRUE(std::filesystem::exists(root() / "scm.json"));
  // Connect alone does not allow installing or listing.
  EXPECT_EQ(Create(m, L"Varnel"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  DWORD needed = 0, count = 0;
  EXPECT_FALSE(EnumServicesStatusEx(m, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                                    &count, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // Generic write maps to the right to create.
  ScHandle writer(OpenSCManager(nullptr, nullptr, 0x40000000));
  ScHandle created(Create(writer, L"Varnel"));
  EXPECT_NE(created.h, nullptr) << GetLastError();
}

TEST_F(ScmTest, CreateServiceStoresTheConfigurationAsGiven) {
  ScHandle m(OpenManager());
  DWORD tag = 77;
  ScHandle s(CreateService(m, L"Varnel", L"Korvo Varnel Service", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_AUTO_START, SERVICE_ERROR_SEVERE, L"\"C:\\Program Files\\Korvo\\Varnel.exe\" -k",
                           L"Korvo", &tag, L"RpcSs\0+Network\0", nullptr, nullptr));
  ASSERT_NE(s.h, nullptr) << GetLastError();
  EXPECT_EQ(tag, 0u);
  auto buffer = Config(s);
  const auto* c = reinterpret_cast<const QUERY_SERVICE_CONFIG*>(buffer.data());
  EXPECT_EQ(c->dwServiceType, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(c->dwStartType, SERVICE_AUTO_START);
  EXPECT_EQ(c->dwErrorControl, SERVICE_ERROR_SEVERE);
  EXPECT_STREQ(c->lpBinaryPathName, L"\"C:\\Program Files\\Korvo\\Varnel.exe\" -k");
  EXPECT_STREQ(c->lpLoadOrderGroup, L"Korvo");
  EXPECT_STREQ(c->lpServiceStartName, L"LocalSystem");
  EXPECT_STREQ(c->lpDisplayName, L"Korvo Varnel Service");
  ASSERT_NE(c->lpDependencies, nullptr);
  EXPECT_STREQ(c->lpDependencies, L"RpcSs");
  const wchar_t* second = c->lpDependencies + std::wcslen(c->lpDependencies) + 1;
  EXPECT_STREQ(second, L"+Network");
  EXPECT_EQ(second[std::wcslen(second) + 1], L'\0');

  ScHandle other(CreateService(m, L"Other", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_SHARE_PROCESS, SERVICE_DISABLED,
                               SERVICE_ERROR_IGNORE, L"C:\\x.exe", nullptr, nullptr, nullptr,
                               L"NT AUTHORITY\\LocalService", nullptr));
  ASSERT_NE(other.h, nullptr);
  auto otherConfig = Config(other);
  c = reinterpret_cast<const QUERY_SERVICE_CONFIG*>(otherConfig.data());
  EXPECT_STREQ(c->lpDisplayName, L"Other");  // no display name: the service name
  EXPECT_STREQ(c->lpServiceStartName, L"NT AUTHORITY\\LocalService");
  EXPECT_STREQ(c->lpDependencies, L"");
  EXPECT_EQ(c->dwStartType, SERVICE_DISABLED);

  // The database is the machine's: a second process (here: a new machine object on the
  // same root) sees it.
  ReopenMachine();
  ScHandle m2(OpenManager());
  ScHandle again(OpenService(m2, L"VARNEL", SERVICE_QUERY_CONFIG));
  ASSERT_NE(again.h, nullptr);
  auto reread = Config(again);
  EXPECT_STREQ(reinterpret_cast<const QUERY_SERVICE_CONFIG*>(reread.data())->lpDisplayName, L"Korvo Varnel Service");
}

TEST_F(ScmTest, CreateServiceRefusesDuplicatesAndBadArguments) {
  ScHandle m(OpenManager());
  ScHandle first(Create(m, L"Varnel", L"C:\\a.exe", SERVICE_DEMAND_START, L"Varnel Display"));
  ASSERT_NE(first.h, nullptr);
  EXPECT_EQ(Create(m, L"vARNEL"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(GetLastError(), 0x431u);
  EXPECT_EQ(Create(m, L"Another", L"C:\\a.exe", SERVICE_DEMAND_START, L"varnel display"), nullptr);
  EXPECT_EQ(GetLastError(), scm::detail::kErrorDuplicateServiceName);
  for (const wchar_t* name : {L"", L"a\\b", L"a/b"}) {
    EXPECT_EQ(Create(m, name), nullptr) << WideToUtf8(name);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  }
  EXPECT_EQ(Create(m, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(Create(m, std::wstring(257, L'x').c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

  auto create = [&](DWORD type, DWORD start, DWORD error, const wchar_t* path, DWORD* tag = nullptr) {
    return CreateService(m, L"Bad", nullptr, SERVICE_ALL_ACCESS, type, start, error, path, nullptr, tag, nullptr,
                         nullptr, nullptr);
  };
  DWORD tag = 0;
  EXPECT_EQ(create(0x40, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(create(SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(create(SERVICE_WIN32_OWN_PROCESS, 5, SERVICE_ERROR_NORMAL, L"C:\\a.exe"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(create(SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, 4, L"C:\\a.exe"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(create(SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L""), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(create(SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe", &tag), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);  // a tag needs a load order group
  EXPECT_EQ(CreateService(m, L"Bad", nullptr, SERVICE_ALL_ACCESS,
                          SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_DEMAND_START,
                          SERVICE_ERROR_NORMAL, L"C:\\a.exe", nullptr, nullptr, nullptr, L".\\someone", nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateService(m, L"Bad", nullptr, 0x00000800, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                          SERVICE_ERROR_NORMAL, L"C:\\a.exe", nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  // None of the refused ones reached the database.
  ScHandle lookup(OpenService(m, L"Bad", SERVICE_QUERY_STATUS));
  EXPECT_EQ(lookup.h, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ScmTest, OpenServiceFindsInstalledServicesOnly) {
  ScHandle m(OpenManager());
  ScHandle created(Create(m, L"Varnel"));
  ScHandle byOtherCase(OpenService(m, L"varnel", SERVICE_QUERY_STATUS));
  EXPECT_NE(byOtherCase.h, nullptr);
  EXPECT_EQ(OpenService(m, L"Nobody", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(GetLastError(), 0x424u);
  EXPECT_EQ(OpenService(m, L"", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(OpenService(m, L"Varnel", 0x00000200), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(ScmTest, HandlesAreTypedAndCloseOnce) {
  SC_HANDLE m = OpenManager();
  SC_HANDLE s = Create(m, L"Varnel");
  ASSERT_NE(s, nullptr);
  SERVICE_STATUS status;
  EXPECT_FALSE(QueryServiceStatus(m, &status));  // a manager is no service
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenService(s, L"Varnel", SERVICE_QUERY_STATUS), nullptr);  // nor a service a manager
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(CloseServiceHandle(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(SetEvent(event)) << "the event must still be open";
  EXPECT_TRUE(CloseHandle(event));

  // A service handle outlives its manager handle.
  EXPECT_TRUE(CloseServiceHandle(m));
  EXPECT_TRUE(QueryServiceStatus(s, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_TRUE(CloseServiceHandle(s));
  EXPECT_FALSE(CloseServiceHandle(s));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseServiceHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ScmTest, EachCallNeedsItsRight) {
  ScHandle m(OpenManager());
  ScHandle created(Create(m, L"Varnel"));
  ScHandle configOnly(OpenService(m, L"Varnel", SERVICE_QUERY_CONFIG));
  SERVICE_STATUS status;
  EXPECT_FALSE(QueryServiceStatus(configOnly, &status));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  DWORD needed;
  SERVICE_STATUS_PROCESS ex;
  EXPECT_FALSE(
      QueryServiceStatusEx(configOnly, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&ex), sizeof(ex), &needed));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(StartService(configOnly, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(ControlService(configOnly, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(ControlService(configOnly, SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SERVICE_DESCRIPTION d{const_cast<LPWSTR>(L"x")};
  EXPECT_FALSE(ChangeServiceConfig2(configOnly, SERVICE_CONFIG_DESCRIPTION, &d));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteService(configOnly));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  {
    ServiceStatusWatch watch(configOnly, ServiceStatusWatch::From::Now);
    SERVICE_STATUS_PROCESS s;
    EXPECT_FALSE(watch.Next(&s, 0));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }

  ScHandle statusOnly(OpenService(m, L"Varnel", SERVICE_QUERY_STATUS));
  EXPECT_TRUE(QueryServiceStatus(statusOnly, &status));
  EXPECT_FALSE(QueryServiceConfig(statusOnly, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // Generic read covers status and configuration; stop is not part of it.
  ScHandle reader(OpenService(m, L"Varnel", 0x80000000));
  EXPECT_TRUE(QueryServiceStatus(reader, &status));
  EXPECT_EQ(Config(reader).empty(), false);
  EXPECT_FALSE(ControlService(reader, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(ScmTest, QueryServiceConfigSizeProtocol) {
  ScHandle m(OpenManager());
  ScHandle s(Create(m, L"Varnel", L"C:\\Program Files\\Korvo\\Varnel.exe", SERVICE_AUTO_START, L"Varnel Service"));
  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceConfig(s, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  const std::size_t strings = (std::wcslen(L"C:\\Program Files\\Korvo\\Varnel.exe") + 1 + 1 /* group */ + 1 /* deps */ +
                               std::wcslen(L"LocalSystem") + 1 + std::wcslen(L"Varnel Service") + 1) *
                              sizeof(wchar_t);
  EXPECT_EQ(needed, sizeof(QUERY_SERVICE_CONFIG) + strings);

  std::vector<BYTE> buffer(needed + 16, 0xCC);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIG*>(buffer.data());
  DWORD again = 0;
  EXPECT_FALSE(QueryServiceConfig(s, config, needed - 1, &again));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(again, needed);
  EXPECT_EQ(buffer[0], 0xCC) << "nothing is written into a short buffer";
  EXPECT_FALSE(QueryServiceConfig(s, config, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(QueryServiceConfig(s, config, needed, &again));
  for (const wchar_t* p : {config->lpBinaryPathName, config->lpLoadOrderGroup, config->lpDependencies,
                           config->lpServiceStartName, config->lpDisplayName}) {
    const auto* b = reinterpret_cast<const BYTE*>(p);
    EXPECT_GE(b, buffer.data() + sizeof(QUERY_SERVICE_CONFIG));
    EXPECT_LT(b, buffer.data() + needed) << "strings are laid out inside the caller's buffer";
  }
  EXPECT_STREQ(config->lpBinaryPathName, L"C:\\Program Files\\Korvo\\Varnel.exe");
  EXPECT_EQ(buffer[needed], 0xCC) << "nothing beyond the size it asked for";
}

TEST_F(ScmTest, QueryServiceStatusExReportsTheProcess) {
  ScHandle m(OpenManager());
  ScHandle s(Create(m, L"Varnel"));
  SERVICE_STATUS_PROCESS ex{};
  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceStatusEx(s, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&ex), sizeof(ex) - 1, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));
  EXPECT_FALSE(QueryServiceStatusEx(s, 1, reinterpret_cast<BYTE*>(&ex), sizeof(ex), &needed));
  EXPECT_EQ(GetLastError(), scm::detail::kErrorInvalidLevel);
  ex = StatusEx(s);
  EXPECT_EQ(ex.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(ex.dwProcessId, 0u);
  EXPECT_EQ(ex.dwServiceType, SERVICE_WIN32_OWN_PROCESS);

  const int lock = PretendSupervised(L"Varnel", SERVICE_RUNNING, 4242);
  ex = StatusEx(s);
  EXPECT_EQ(ex.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(ex.dwProcessId, 4242u);
  EXPECT_EQ(ex.dwControlsAccepted, SERVICE_ACCEPT_STOP);
  ::close(lock);
  // The supervisor is gone without having recorded the end: it was killed.
  ex = StatusEx(s);
  EXPECT_EQ(ex.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(ex.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
  EXPECT_EQ(ex.dwProcessId, 0u);
}

TEST_F(ScmTest, DescriptionAndFailureActions) {
  ScHandle m(OpenManager());
  ScHandle s(Create(m, L"Varnel"));
  auto empty = Config2(s, SERVICE_CONFIG_DESCRIPTION);
  EXPECT_EQ(reinterpret_cast<SERVICE_DESCRIPTION*>(empty.data())->lpDescription, nullptr);

  SERVICE_DESCRIPTION d{const_cast<LPWSTR>(L"Reads what the machine is.")};
  ASSERT_TRUE(ChangeServiceConfig2(s, SERVICE_CONFIG_DESCRIPTION, &d));
  auto desc = Config2(s, SERVICE_CONFIG_DESCRIPTION);
  EXPECT_EQ(desc.size(), sizeof(SERVICE_DESCRIPTION) + sizeof(L"Reads what the machine is."));
  EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTION*>(desc.data())->lpDescription, L"Reads what the machine is.");
  SERVICE_DESCRIPTION keep{nullptr};
  ASSERT_TRUE(ChangeServiceConfig2(s, SERVICE_CONFIG_DESCRIPTION, &keep));
  EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTION*>(Config2(s, SERVICE_CONFIG_DESCRIPTION).data())->lpDescription,
               L"Reads what the machine is.");
  SERVICE_DESCRIPTION removeIt{const_cast<LPWSTR>(L"")};
  ASSERT_TRUE(ChangeServiceConfig2(s, SERVICE_CONFIG_DESCRIPTION, &removeIt));
  EXPECT_EQ(reinterpret_cast<SERVICE_DESCRIPTION*>(Config2(s, SERVICE_CONFIG_DESCRIPTION).data())->lpDescription,
            nullptr);

  SC_ACTION actions[] = {{SC_ACTION_RESTART, 200}, {SC_ACTION_RESTART, 1000}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONS fa{86400, const_cast<LPWSTR>(L"bye"), const_cast<LPWSTR>(L"C:\\fix.cmd"), 3, actions};
  ASSERT_TRUE(ChangeServiceConfig2(s, SERVICE_CONFIG_FAILURE_ACTIONS, &fa));
  auto failure = Config2(s, SERVICE_CONFIG_FAILURE_ACTIONS);
  const auto* got = reinterpret_cast<SERVICE_FAILURE_ACTIONS*>(failure.data());
  EXPECT_EQ(got->dwResetPeriod, 86400u);
  EXPECT_STREQ(got->lpRebootMsg, L"bye");
  EXPECT_STREQ(got->lpCommand, L"C:\\fix.cmd");
  ASSERT_EQ(got->cActions, 3u);
  EXPECT_EQ(got->lpsaActions[0].Type, SC_ACTION_RESTART);
  EXPECT_EQ(got->lpsaActions[1].Delay, 1000u);
  EXPECT_EQ(got->lpsaActions[2].Type, SC_ACTION_NONE);
  EXPECT_GE(reinterpret_cast<const BYTE*>(got->lpsaActions), failure.data() + sizeof(SERVICE_FAILURE_ACTIONS));

  // Null actions keep them; the texts change on their own.
  SERVICE_FAILURE_ACTIONS texts{0, const_cast<LPWSTR>(L""), nullptr, 0, nullptr};
  ASSERT_TRUE(ChangeServiceConfig2(s, SERVICE_CONFIG_FAILURE_ACTIONS, &texts));
  failure = Config2(s, SERVICE_CONFIG_FAILURE_ACTIONS);
  got = reinterpret_cast<SERVICE_FAILURE_ACTIONS*>(failure.data());
  EXPECT_EQ(got->lpRebootMsg, nullptr);
  EXPECT_STREQ(got->lpCommand, L"C:\\fix.cmd");
  EXPECT_EQ(got->cActions, 3u);
  EXPECT_EQ(got->dwResetPeriod, 86400u);
  // An empty list removes them.
  SERVICE_FAILURE_ACTIONS none{5, nullptr, nullptr, 0, actions};
  ASSERT_TRUE(ChangeServiceConfig2(s, SERVICE_CONFIG_FAILURE_ACTIONS, &none));
  failure = Config2(s, SERVICE_CONFIG_FAILURE_ACTIONS);
  got = reinterpret_cast<SERVICE_FAILURE_ACTIONS*>(failure.data());
  EXPECT_EQ(got->cActions, 0u);
  EXPECT_EQ(got->lpsaActions, nullptr);
  EXPECT_EQ(got->dwResetPeriod, 0u);

  // A restart action needs the right to start.
  ScHandle changeOnly(OpenService(m, L"Varnel", SERVICE_CHANGE_CONFIG));
  EXPECT_FALSE(ChangeServiceConfig2(changeOnly, SERVICE_CONFIG_FAILURE_ACTIONS, &fa));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SC_ACTION bogus[] = {{static_cast<SC_ACTION_TYPE>(9), 0}};
  SERVICE_FAILURE_ACTIONS bad{0, nullptr, nullptr, 1, bogus};
  EXPECT_FALSE(ChangeServiceConfig2(s, SERVICE_CONFIG_FAILURE_ACTIONS, &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  auto flag = Config2(s, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG);
  EXPECT_EQ(reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(flag.data())->fFailureActionsOnNonCrashFailures, FALSE);
  SERVICE_FAILURE_ACTIONS_FLAG on{TRUE};
  ASSERT_TRUE(ChangeServiceConfig2(s, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on));
  flag = Config2(s, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG);
  EXPECT_EQ(reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(flag.data())->fFailureActionsOnNonCrashFailures, TRUE);

  EXPECT_FALSE(ChangeServiceConfig2(s, 3, &on));
  EXPECT_EQ(GetLastError(), scm::detail::kErrorInvalidLevel);
  DWORD needed;
  EXPECT_FALSE(QueryServiceConfig2(s, 3, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), scm::detail::kErrorInvalidLevel);
  EXPECT_FALSE(ChangeServiceConfig2(s, SERVICE_CONFIG_DESCRIPTION, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ScmTest, DeletingAStoppedServiceRemovesItAtOnce) {
  ScHandle m(OpenManager());
  ScHandle s(Create(m, L"Varnel"));
  ASSERT_TRUE(DeleteService(s));
  EXPECT_FALSE(DeleteService(s));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(OpenService(m, L"Varnel", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(ReadHostFile(root() / "scm.json").find("Varnel"), std::string::npos);
  // The old handle reaches neither the deleted service nor a new one of the same name.
  ScHandle recreated(Create(m, L"Varnel", L"C:\\new.exe"));
  ASSERT_NE(recreated.h, nullptr);
  DWORD needed;
  EXPECT_FALSE(QueryServiceConfig(s, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_FALSE(StartService(s, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  SERVICE_STATUS status;
  EXPECT_TRUE(QueryServiceStatus(s, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
}

TEST_F(ScmTest, DeletingARunningServiceMarksIt) {
  ScHandle m(OpenManager());
  ScHandle s(Create(m, L"Varnel"));
  const int lock = PretendSupervised(L"Varnel", SERVICE_RUNNING);
  ASSERT_TRUE(DeleteService(s));
  EXPECT_FALSE(DeleteService(s));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(OpenService(m, L"Varnel", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(Create(m, L"Varnel"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  SERVICE_DESCRIPTION d{const_cast<LPWSTR>(L"x")};
  EXPECT_FALSE(ChangeServiceConfig2(s, SERVICE_CONFIG_DESCRIPTION, &d));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  // Still there, still queryable, until its supervisor removes it when it stops.
  auto config = Config(s);
  EXPECT_FALSE(config.empty());
  EXPECT_NE(ReadHostFile(root() / "scm.json").find("\"deletePending\": true"), std::string::npos);
  ::close(lock);
}

TEST_F(ScmTest, ControlOfAServiceThatIsNotRunning) {
  ScHandle m(OpenManager());
  ScHandle s(Create(m, L"Varnel"));
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  for (DWORD c : {DWORD{0}, SERVICE_CONTROL_DEVICEEVENT, DWORD{300}}) {
    EXPECT_FALSE(ControlService(s, c, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c;
  }
  EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ScmTest, AnUnreachableSupervisorIsReported) {
  ScHandle m(OpenManager());
  ScHandle s(Create(m, L"Varnel"));
  const int lock = PretendSupervised(L"Varnel", SERVICE_RUNNING);
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_NE(GetServiceControlErrorDetail().find(Files(L"Varnel").socket.string()), std::string::npos)
      << GetServiceControlErrorDetail();
  EXPECT_FALSE(StartService(s, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  ::close(lock);
}

TEST_F(ScmTest, StartServiceRefusesWhatCannotRun) {
  ScHandle m(OpenManager());
  ScHandle disabled(Create(m, L"Off", L"C:\\a.exe", SERVICE_DISABLED));
  EXPECT_FALSE(StartService(disabled, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
  ScHandle elsewhere(Create(m, L"Elsewhere", L"D:\\a.exe"));
  EXPECT_FALSE(StartService(elsewhere, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  LPCWSTR nullArg[] = {nullptr};
  EXPECT_FALSE(StartService(elsewhere, 1, nullArg));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // These reach a real supervisor (this test program, re-executed), which cannot run
  // the binary and records why.
  ScHandle missing(Create(m, L"Missing", L"\"C:\\Korvo\\missing.exe\" --flag"));
  EXPECT_FALSE(StartService(missing, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << GetServiceControlErrorDetail();
  EXPECT_NE(GetServiceControlErrorDetail().find("missing"), std::string::npos) << GetServiceControlErrorDetail();
  SERVICE_STATUS status;
  ASSERT_TRUE(QueryServiceStatus(missing, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, ERROR_FILE_NOT_FOUND);

  WriteHostFile(Host(L"C:\\Korvo\\plain.txt"), "not a program");
  ::chmod(Host(L"C:\\Korvo\\plain.txt").c_str(), 0644);
  ScHandle notExecutable(Create(m, L"Plain", L"C:\\Korvo\\plain.txt"));
  EXPECT_FALSE(StartService(notExecutable, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << GetServiceControlErrorDetail();
}

TEST_F(ScmTest, ADamagedDatabaseIsRefusedAndLeftAlone) {
  const std::string damaged = "{\"services\": {\"Varnel\": {\"type\": 16,";
  WriteHostFile(root() / "scm.json", damaged);
  EXPECT_EQ(OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  const std::string detail = GetServiceControlErrorDetail();
  EXPECT_NE(detail.find((root() / "scm.json").string()), std::string::npos) << detail;
  EXPECT_NE(detail.find("parse error"), std::string::npos) << detail;
  EXPECT_EQ(ReadHostFile(root() / "scm.json"), damaged);

  // Damaged while a manager is open: writers refuse too, and the file stays as it is.
  std::filesystem::remove(root() / "scm.json");
  ScHandle m(OpenManager());
  ScHandle s(Create(m, L"Varnel"));
  const std::string wrongShape = "{\"services\": {\"Varnel\": {\"type\": \"sixteen\"}}}";
  WriteHostFile(root() / "scm.json", wrongShape);
  EXPECT_EQ(Create(m, L"Other"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_NE(GetServiceControlErrorDetail().find("\"type\""), std::string::npos) << GetServiceControlErrorDetail();
  EXPECT_FALSE(DeleteService(s));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  SERVICE_STATUS status;
  EXPECT_FALSE(QueryServiceStatus(s, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_EQ(ReadHostFile(root() / "scm.json"), wrongShape);
}

TEST_F(ScmTest, EnumerationSizeProtocolAndFilters) {
  ScHandle m(OpenManager());
  for (const wchar_t* name : {L"Charlie", L"alpha", L"Bravo"}) CloseServiceHandle(Create(m, name));
  const int lock = PretendSupervised(L"Bravo", SERVICE_RUNNING, 99);

  DWORD needed = 0, count = 0, resume = 0;
  EXPECT_FALSE(EnumServicesStatusEx(m, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                                    &count, &resume, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(count, 0u);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(EnumServicesStatusEx(m, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(), needed,
                                   &needed, &count, &resume, nullptr));
  ASSERT_EQ(count, 3u);
  const auto* e = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESS*>(buffer.data());
  EXPECT_STREQ(e[0].lpServiceName, L"alpha");  // by name, without regard to case
  EXPECT_STREQ(e[1].lpServiceName, L"Bravo");
  EXPECT_STREQ(e[2].lpServiceName, L"Charlie");
  EXPECT_EQ(e[1].ServiceStatusProcess.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(e[1].ServiceStatusProcess.dwProcessId, 99u);
  EXPECT_STREQ(e[2].lpDisplayName, L"Charlie");

  // A buffer for one entry: one at a time through the resume handle.
  std::vector<BYTE> small(sizeof(ENUM_SERVICE_STATUS_PROCESS) + 64);
  resume = 0;
  std::vector<std::wstring> names;
  for (int round = 0; round < 5; ++round) {
    const BOOL done = EnumServicesStatusEx(m, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, small.data(),
                                           static_cast<DWORD>(small.size()), &needed, &count, &resume, nullptr);
    ASSERT_EQ(count, 1u);
    names.emplace_back(reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESS*>(small.data())->lpServiceName);
    if (done) break;
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_GT(needed, 0u);
  }
  EXPECT_EQ(names, (std::vector<std::wstring>{L"alpha", L"Bravo", L"Charlie"}));

  ASSERT_TRUE(EnumServicesStatusEx(m, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, buffer.data(),
                                   static_cast<DWORD>(buffer.size()), &needed, &count, nullptr, nullptr));
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(e[0].lpServiceName, L"Bravo");
  ASSERT_TRUE(EnumServicesStatusEx(m, SC_ENUM_PROCESS_INFO, SERVICE_DRIVER, SERVICE_STATE_ALL, buffer.data(),
                                   static_cast<DWORD>(buffer.size()), &needed, &count, nullptr, nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(EnumServicesStatusEx(m, 1, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), &needed, &count, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), scm::detail::kErrorInvalidLevel);
  ::close(lock);
}

class ScmProfileServicesTest : public ScmTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = ScmTest::MachineProfile();
    profile["services"] = {{"WinDefend",
                            {{"displayName", "Defender"},
                             {"binaryPath", "C:\\Program Files\\Defender\\MsMpEng.exe"},
                             {"state", "running"},
                             {"startType", 2},
                             {"processId", 1234}}},
                           {"Spooler", {{"binaryPath", "C:\\Windows\\System32\\spoolsv.exe"}, {"state", "stopped"}}}};
    return profile;
  }
};

TEST_F(ScmProfileServicesTest, DeclaredServicesAreInTheDatabase) {
  ScHandle m(OpenManager());
  ScHandle defender(OpenService(m, L"windefend", SERVICE_ALL_ACCESS));
  ASSERT_NE(defender.h, nullptr) << GetLastError();
  auto config = Config(defender);
  const auto* c = reinterpret_cast<const QUERY_SERVICE_CONFIG*>(config.data());
  EXPECT_STREQ(c->lpDisplayName, L"Defender");
  EXPECT_STREQ(c->lpBinaryPathName, L"C:\\Program Files\\Defender\\MsMpEng.exe");
  EXPECT_EQ(c->dwStartType, SERVICE_AUTO_START);
  auto ex = StatusEx(defender);
  EXPECT_EQ(ex.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(ex.dwProcessId, 1234u);
  EXPECT_FALSE(StartService(defender, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  SERVICE_STATUS status;
  EXPECT_FALSE(ControlService(defender, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_TRUE(ControlService(defender, SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);

  ScHandle spooler(OpenService(m, L"Spooler", SERVICE_ALL_ACCESS));
  ASSERT_NE(spooler.h, nullptr);
  EXPECT_EQ(StatusEx(spooler).dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(StartService(spooler, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_REQUEST_TIMEOUT);

  // Merged in once: a deleted declared service stays deleted. A declared one has no
  // process here to wait for, so even a "running" one goes at once.
  ASSERT_TRUE(DeleteService(spooler));
  ASSERT_TRUE(DeleteService(defender));
  ReopenMachine();
  ScHandle m2(OpenManager());
  for (const wchar_t* name : {L"Spooler", L"WinDefend"}) {
    EXPECT_EQ(OpenService(m2, name, SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  }
}

class ScmBadProfileTest : public ScmTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = ScmTest::MachineProfile();
    profile["services"] = {{"Broken", {{"state", "sleeping"}}}};
    return profile;
  }
};

TEST_F(ScmBadProfileTest, ABadDeclarationIsNamed) {
  EXPECT_EQ(OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_NE(GetServiceControlErrorDetail().find("\"Broken\""), std::string::npos) << GetServiceControlErrorDetail();
  EXPECT_FALSE(std::filesystem::exists(root() / "scm.json"));
}

class ScmConcurrencyTest : public ScmTest {};

TEST_F(ScmConcurrencyTest, ThreadsInstallingAtOnceKeepEveryService) {
  ScHandle m(OpenManager());
  constexpr int kThreads = 4;
  constexpr int kEach = 10;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread has its own manager handle, as two tools would.
      SC_HANDLE own = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
      for (int i = 0; i < kEach; ++i) {
        const std::wstring name = L"Svc" + std::to_wstring(t) + L"_" + std::to_wstring(i);
        SC_HANDLE s = Create(own, name.c_str());
        if (s == nullptr) {
          ++failures;
        } else {
          CloseServiceHandle(s);
        }
      }
      CloseServiceHandle(own);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  DWORD needed = 0, count = 0;
  std::vector<BYTE> buffer(64 * 1024);
  ASSERT_TRUE(EnumServicesStatusEx(m, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                                   static_cast<DWORD>(buffer.size()), &needed, &count, nullptr, nullptr));
  EXPECT_EQ(count, static_cast<DWORD>(kThreads * kEach));
}

TEST_F(ScmConcurrencyTest, TwoThreadsCreatingTheSameNameOneWins) {
  ScHandle m(OpenManager());
  std::atomic<int> created{0}, exists{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      SC_HANDLE s = Create(m, L"Contested");
      if (s != nullptr) {
        ++created;
        CloseServiceHandle(s);
      } else if (GetLastError() == ERROR_SERVICE_EXISTS) {
        ++exists;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(created.load(), 1);
  EXPECT_EQ(exists.load(), 3);
}

}  // namespace
}  // namespace platform
