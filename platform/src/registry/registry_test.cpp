#include "platform/registry.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/machine.h"
#include "platform/testing/machine_test.h"
#include "platform/text.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using ::testing::Optional;
using ::testing::VariantWith;

constexpr const wchar_t* kPolicyKey = L"SOFTWARE\\Policies\\Korvo\\Korvo Tallisk";

class RegistryTest : public testing::MachineTest {
 protected:
  nlohmann::json MachineProfile() const override {
    auto profile = MachineTest::MachineProfile();
    profile["registry"] = {{"SOFTWARE\\Policies\\Korvo\\Korvo Tallisk",
                            {{"MaxLogSize", {{"type", "REG_DWORD"}, {"data", 1}}},
                             {"LoggingType", {{"type", "REG_SZ"}, {"data", "FILE"}}}}}};
    return profile;
  }

  std::filesystem::path RegistryFile() const { return root() / "registry.json"; }
  nlohmann::json ReadRegistry() const { return nlohmann::json::parse(testing::ReadHostFile(RegistryFile())); }

  HKEY Open(const wchar_t* path, REGSAM access = KEY_READ) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, access, &key), ERROR_SUCCESS) << path;
    return key;
  }

  std::wstring QueryString(HKEY key, const wchar_t* name) {
    wchar_t buffer[256];
    DWORD size = sizeof buffer, type = 0;
    EXPECT_EQ(RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    return size >= sizeof(wchar_t) ? std::wstring(buffer, size / sizeof(wchar_t) - 1) : std::wstring();
  }
};

// --- Reading ---------------------------------------------------------------------------

TEST_F(RegistryTest, ProfileValuesAreSeeded) {
  HKEY key = Open(kPolicyKey);
  DWORD value = 0, size = sizeof value, type = 0;
  ASSERT_EQ(RegQueryValueEx(key, L"MaxLogSize", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(QueryString(key, L"LoggingType"), L"FILE");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, MissingKeysAndValuesAreFileNotFound) {
  HKEY key = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NoSuchVendor", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  key = Open(kPolicyKey);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueEx(key, L"NoSuchValue", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValue(Open(kPolicyKey, KEY_ALL_ACCESS), L"NoSuchValue"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry::Get(kPolicyKey, L"NoSuchValue"), std::nullopt);
  EXPECT_EQ(registry::Get(L"SOFTWARE\\NoSuchVendor", L"MaxLogSize"), std::nullopt);
  EXPECT_FALSE(registry::Delete(kPolicyKey, L"NoSuchValue"));
  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NoSuchVendor"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, KeysAboveListedKeysExistWholeComponentsOnly) {
  for (const wchar_t* path : {L"SOFTWARE", L"SOFTWARE\\Policies", L"SOFTWARE\\Policies\\Korvo", L"", L"\\SOFTWARE\\"}) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS) << path;
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Polic", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Korvo\\Korvo Tallisk\\Below", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);

  // A subkey path is relative to the open key it is given with.
  HKEY policies = Open(L"SOFTWARE\\Policies");
  HKEY product = nullptr;
  ASSERT_EQ(RegOpenKeyEx(policies, L"Korvo\\Korvo Tallisk", 0, KEY_READ, &product), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(product, L"LoggingType"), L"FILE");
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCase) {
  HKEY key = Open(L"software\\POLICIES\\korvo\\KORVO TALLISK", KEY_ALL_ACCESS);
  EXPECT_EQ(QueryString(key, L"loggingtype"), L"FILE");
  EXPECT_THAT(registry::Get(L"Software\\Policies\\Korvo\\Korvo tallisk", L"MAXLOGSIZE"),
              Optional(VariantWith<DWORD>(1u)));

  // Replacing a value keeps one entry, spelled as it was first created.
  const std::wstring text = L"EVENTLOG";
  ASSERT_EQ(RegSetValueEx(key, L"LOGGINGTYPE", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  const auto values = ReadRegistry()["keys"]["SOFTWARE\\Policies\\Korvo\\Korvo Tallisk"];
  EXPECT_EQ(values.size(), 2u);
  EXPECT_EQ(values["LoggingType"]["data"], "EVENTLOG");
}

TEST_F(RegistryTest, QueryFollowsTheSizeProtocol) {
  HKEY key = Open(kPolicyKey);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueEx(key, L"LoggingType", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 5 * sizeof(wchar_t));  // "FILE" and its terminator

  wchar_t buffer[16];
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  size = 4 * sizeof(wchar_t);  // room for the text but not its terminator
  EXPECT_EQ(RegQueryValueEx(key, L"LoggingType", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 5 * sizeof(wchar_t));

  size = sizeof buffer;
  ASSERT_EQ(RegQueryValueEx(key, L"LoggingType", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 5 * sizeof(wchar_t));
  EXPECT_EQ(std::wstring(buffer), L"FILE");
  EXPECT_EQ(buffer[5], L'#');  // nothing written past the value

  size = 0;
  EXPECT_EQ(RegQueryValueEx(key, L"MaxLogSize", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegQueryValueEx(key, L"MaxLogSize", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueEx(key, L"MaxLogSize", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, EnumValueListsEveryValueOnce) {
  HKEY key = Open(kPolicyKey);
  std::vector<std::wstring> names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[64];
    DWORD length = std::size(name), type = 0, size = 0;
    LSTATUS s = RegEnumValue(key, index, name, &length, nullptr, &type, nullptr, &size);
    if (s == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(s, ERROR_SUCCESS);
    EXPECT_EQ(length, std::wcslen(name));
    names.emplace_back(name, length);
    ASSERT_LT(index, 10u);
  }
  EXPECT_THAT(names, ElementsAre(L"LoggingType", L"MaxLogSize"));
  wchar_t tiny[4];
  DWORD length = std::size(tiny);
  EXPECT_EQ(RegEnumValue(key, 0, tiny, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
}

TEST_F(RegistryTest, BadHandlesAndOtherHivesAreRejected) {
  HKEY bogus = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x7777770));
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueEx(bogus, L"MaxLogSize", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
  DWORD one = 1;
  EXPECT_EQ(RegSetValueEx(bogus, L"X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_INVALID_HANDLE);

  HKEY currentUser = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001));
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(currentUser, L"SOFTWARE", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);

  key = Open(kPolicyKey);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueEx(key, L"MaxLogSize", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, AccessRightsOfTheHandleAreChecked) {
  DWORD one = 1, size = 0;
  HKEY reader = Open(kPolicyKey, KEY_READ);
  EXPECT_EQ(RegSetValueEx(reader, L"X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValue(reader, L"MaxLogSize"), ERROR_ACCESS_DENIED);
  HKEY writer = Open(kPolicyKey, KEY_SET_VALUE);
  EXPECT_EQ(RegQueryValueEx(writer, L"MaxLogSize", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueEx(writer, L"X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
  EXPECT_THAT(registry::Get(kPolicyKey, L"X"), Optional(VariantWith<DWORD>(1u)));
}

// --- Writing ---------------------------------------------------------------------------

TEST_F(RegistryTest, CreateKeyReportsWhetherItWasNew) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, L"software\\policies\\korvo\\Updater", 0, nullptr,
                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  // Spelled like the keys it was created under.
  EXPECT_TRUE(ReadRegistry()["keys"].contains("SOFTWARE\\Policies\\Korvo\\Updater"));

  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Korvo\\UPDATER", 0, nullptr, 0, KEY_READ, nullptr,
                           &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

  const std::string before = testing::ReadHostFile(RegistryFile());
  ASSERT_EQ(
      RegCreateKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies", 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition),
      ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(testing::ReadHostFile(RegistryFile()), before);  // opening an implied key writes nothing

  // Creating below a read-only handle needs KEY_CREATE_SUB_KEY.
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyEx(key, L"Child", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, WrittenValuesReachTheNextProcess) {
  ASSERT_EQ(registry::SetDword(L"SOFTWARE\\Korvo\\Service", L"RetryCount", 0xE0000001u), ERROR_SUCCESS);
  ASSERT_EQ(registry::SetString(L"SOFTWARE\\Korvo\\Service", L"Owner", L"Grüße \"quoted\" ✓"), ERROR_SUCCESS);
  ReopenMachine();
  EXPECT_THAT(registry::Get(L"SOFTWARE\\Korvo\\Service", L"RetryCount"), Optional(VariantWith<DWORD>(0xE0000001u)));
  EXPECT_THAT(registry::Get(L"SOFTWARE\\Korvo\\Service", L"Owner"),
              Optional(VariantWith<std::wstring>(std::wstring(L"Grüße \"quoted\" ✓"))));
  const auto stored = ReadRegistry()["keys"]["SOFTWARE\\Korvo\\Service"]["RetryCount"];
  EXPECT_EQ(stored, (nlohmann::json{{"type", "REG_DWORD"}, {"data", 0xE0000001u}}));
  EXPECT_FALSE(std::filesystem::exists(root() / "registry.json.tmp"));
}

TEST_F(RegistryTest, StringsComeBackTerminatedWhateverWasStored) {
  HKEY key = Open(kPolicyKey, KEY_ALL_ACCESS);
  const wchar_t unterminated[3] = {L'a', L'b', L'c'};
  ASSERT_EQ(RegSetValueEx(key, L"Plain", 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated), sizeof unterminated),
            ERROR_SUCCESS);
  const wchar_t withTail[] = L"ab\0zz";
  ASSERT_EQ(RegSetValueEx(key, L"Tail", 0, REG_SZ, reinterpret_cast<const BYTE*>(withTail), sizeof withTail),
            ERROR_SUCCESS);
  wchar_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  DWORD size = sizeof buffer;
  ASSERT_EQ(RegQueryValueEx(key, L"Plain", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4 * sizeof(wchar_t));
  EXPECT_EQ(buffer[3], L'\0');
  EXPECT_EQ(std::wstring(buffer), L"abc");
  EXPECT_EQ(QueryString(key, L"Tail"), L"ab");  // the text ends at its first terminator
}

TEST_F(RegistryTest, OtherValueTypesRoundTrip) {
  HKEY key = Open(kPolicyKey, KEY_ALL_ACCESS);
  const std::uint64_t qword = 0x0123456789ABCDEFull;
  const BYTE binary[] = {0x00, 0xFF, 0x10, 0x7F};
  const wchar_t multi[] = L"one\0two\0";  // with the array's own terminator: the list's end
  struct Case {
    const wchar_t* name;
    DWORD type;
    const BYTE* data;
    DWORD size;
  } cases[] = {
      {L"Q", REG_QWORD, reinterpret_cast<const BYTE*>(&qword), sizeof qword},
      {L"B", REG_BINARY, binary, sizeof binary},
      {L"M", REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(RegSetValueEx(key, c.name, 0, c.type, c.data, c.size), ERROR_SUCCESS) << c.name;
  }
  HKEY fresh = Open(kPolicyKey);
  for (const auto& c : cases) {
    BYTE buffer[64];
    DWORD size = sizeof buffer, type = 0;
    ASSERT_EQ(RegQueryValueEx(fresh, c.name, nullptr, &type, buffer, &size), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    ASSERT_EQ(size, c.size) << c.name;
    EXPECT_EQ(std::memcmp(buffer, c.data, size), 0) << c.name;
  }
  EXPECT_EQ(registry::Get(kPolicyKey, L"Q"), std::nullopt);  // not a type Get hands out

  const BYTE three[3] = {1, 2, 3};
  EXPECT_EQ(RegSetValueEx(key, L"D", 0, REG_DWORD, three, sizeof three), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueEx(key, L"L", 0, 6 /* REG_LINK */, three, sizeof three), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, HandleSeesItsOwnWrites) {
  HKEY key = Open(kPolicyKey, KEY_ALL_ACCESS);
  DWORD seven = 7;
  ASSERT_EQ(RegSetValueEx(key, L"MaxLogSize", 0, REG_DWORD, reinterpret_cast<BYTE*>(&seven), 4), ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueEx(key, L"MaxLogSize", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);
  ASSERT_EQ(RegDeleteValue(key, L"LoggingType"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueEx(key, L"LoggingType", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry::Get(kPolicyKey, L"LoggingType"), std::nullopt);
}

TEST_F(RegistryTest, DeleteKeyRemovesTheTreeButNotTheParent) {
  ASSERT_EQ(registry::SetDword(L"SOFTWARE\\Policies\\Korvo\\Korvo Tallisk\\Sub\\Deeper", L"V", 1), ERROR_SUCCESS);
  HKEY stale = Open(kPolicyKey, KEY_ALL_ACCESS);
  ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, L"software\\policies\\korvo"), ERROR_SUCCESS);

  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Korvo", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  // Only the deleted keys implied it, yet the parent stays.
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_THAT(registry::ListKeys(), ElementsAre(L"SOFTWARE", L"SOFTWARE\\Policies"));

  // A handle opened before does not bring its key back.
  DWORD one = 1;
  EXPECT_EQ(RegSetValueEx(stale, L"X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, L""), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, ListKeysIncludesImpliedKeysOnceSorted) {
  ASSERT_EQ(registry::SetDword(L"software\\policies\\korvo\\Alpha", L"V", 1), ERROR_SUCCESS);
  ASSERT_EQ(registry::SetDword(L"SYSTEM\\CurrentControlSet", L"V", 1), ERROR_SUCCESS);
  EXPECT_THAT(
      registry::ListKeys(),
      ElementsAre(L"SOFTWARE", L"SOFTWARE\\Policies", L"SOFTWARE\\Policies\\Korvo", L"SOFTWARE\\Policies\\Korvo\\Alpha",
                  L"SOFTWARE\\Policies\\Korvo\\Korvo Tallisk", L"SYSTEM", L"SYSTEM\\CurrentControlSet"));
}

// --- Concurrency ------------------------------------------------------------------------

constexpr int kWritesEach = 40;

void WriteMany(const std::wstring& prefix) {
  for (int i = 0; i < kWritesEach; ++i) {
    ASSERT_EQ(registry::SetDword(kPolicyKey, prefix + std::to_wstring(i), static_cast<DWORD>(i)), ERROR_SUCCESS);
  }
}

void ExpectAllWritten(const std::wstring& prefix) {
  for (int i = 0; i < kWritesEach; ++i) {
    EXPECT_THAT(registry::Get(kPolicyKey, prefix + std::to_wstring(i)), Optional(VariantWith<DWORD>(DWORD(i))))
        << prefix << i;
  }
}

TEST_F(RegistryTest, ConcurrentWritersFromThreadsLoseNothing) {
  std::thread a(WriteMany, L"A");
  std::thread b(WriteMany, L"B");
  a.join();
  b.join();
  ExpectAllWritten(L"A");
  ExpectAllWritten(L"B");
  EXPECT_THAT(registry::Get(kPolicyKey, L"LoggingType"), Optional(VariantWith<std::wstring>(std::wstring(L"FILE"))));
}

TEST_F(RegistryTest, ConcurrentWritersFromProcessesLoseNothing) {
  // Forked before any other thread runs, the child writes through the same machine
  // root as the parent, the way a second program would.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool ok = true;
    for (int i = 0; i < kWritesEach; ++i) {
      ok = ok && registry::SetDword(kPolicyKey, L"Child" + std::to_wstring(i), static_cast<DWORD>(i)) == ERROR_SUCCESS;
    }
    ::_exit(ok ? 0 : 1);
  }
  WriteMany(L"Parent");
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ExpectAllWritten(L"Parent");
  ExpectAllWritten(L"Child");
}

// --- A damaged file -----------------------------------------------------------------------

// Damage is reported, never taken for an empty registry: a service would otherwise
// fall back to its defaults without a word.
TEST_F(RegistryTest, DamagedFileIsReportedAndNeverReplaced) {
  for (const std::string& damaged : {std::string("{\"keys\": {\"SOFTWARE\": {"), std::string("{\"keys\": []}"),
                                     std::string("[1, 2]"), std::string("\xFF\xFE garbage")}) {
    SCOPED_TRACE(damaged);
    testing::WriteHostFile(RegistryFile(), damaged);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key), ERROR_BADDB);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueEx(HKEY_LOCAL_MACHINE, L"Anything", nullptr, nullptr, nullptr, &size), ERROR_BADDB);
    try {
      registry::Get(kPolicyKey, L"MaxLogSize");
      ADD_FAILURE() << "a damaged registry read as a missing value";
    } catch (const registry::RegistryError& e) {
      EXPECT_EQ(e.status(), ERROR_BADDB);
      EXPECT_NE(std::string(e.what()).find(RegistryFile().string() + " is damaged"), std::string::npos) << e.what();
    }
    EXPECT_THROW(registry::ListKeys(), registry::RegistryError);

    EXPECT_EQ(registry::SetDword(kPolicyKey, L"MaxLogSize", 2), ERROR_BADDB);
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                             &disposition),
              ERROR_BADDB);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, L"SOFTWARE"), ERROR_BADDB);
    EXPECT_THROW(registry::SeedFromProfile(root(), nlohmann::json::object()), MachineError);
    EXPECT_EQ(testing::ReadHostFile(RegistryFile()), damaged);
  }
  // Said once in the debug output, not at every call.
  const std::wstring said = Utf8ToWide(RegistryFile().string() + " is damaged");
  int times = 0;
  for (const auto& line : machine().CapturedDebugOutput()) times += line.find(said) != std::wstring::npos;
  EXPECT_EQ(times, 1);
}

TEST_F(RegistryTest, OddEntriesReadAsAbsentAndSurviveWrites) {
  testing::WriteHostFile(RegistryFile(), R"({"keys": {"SOFTWARE\\Odd": {
      "Fine": {"type": "REG_DWORD", "data": 5},
      "NoData": {"type": "REG_DWORD"},
      "Negative": {"type": "REG_DWORD", "data": -1},
      "Unknown": {"type": "REG_FUNNY", "data": 1}}}, "comment": "kept"})");
  HKEY key = Open(L"SOFTWARE\\Odd", KEY_ALL_ACCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueEx(key, L"Fine", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  for (const wchar_t* odd : {L"NoData", L"Negative", L"Unknown"}) {
    EXPECT_EQ(RegQueryValueEx(key, odd, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND) << odd;
  }
  ASSERT_EQ(registry::SetDword(L"SOFTWARE\\Odd", L"Added", 1), ERROR_SUCCESS);
  const auto doc = ReadRegistry();
  EXPECT_EQ(doc["comment"], "kept");
  EXPECT_EQ(doc["keys"]["SOFTWARE\\Odd"].size(), 5u);
}

// --- Seeding from a profile -------------------------------------------------------------

TEST_F(RegistryTest, SeedingAddsWhatIsMissingAndKeepsWhatIsThere) {
  ASSERT_EQ(registry::SetDword(kPolicyKey, L"MaxLogSize", 9), ERROR_SUCCESS);  // an administrator's change
  const auto profile = nlohmann::json::parse(R"({
      "software\\policies\\korvo\\korvo tallisk": {
        "maxlogsize": {"type": "REG_DWORD", "data": 1},
        "LogFolder": {"type": "REG_EXPAND_SZ", "data": "%ProgramData%\\Korvo"}},
      "SOFTWARE\\Korvo\\Empty": {}})");
  registry::SeedFromProfile(root(), profile);

  EXPECT_THAT(registry::Get(kPolicyKey, L"MaxLogSize"), Optional(VariantWith<DWORD>(9u)));
  EXPECT_THAT(registry::Get(kPolicyKey, L"LogFolder"),
              Optional(VariantWith<std::wstring>(std::wstring(L"%ProgramData%\\Korvo"))));
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvo\\Empty", 0, KEY_READ, &key), ERROR_SUCCESS);
  const auto keys = ReadRegistry()["keys"];
  EXPECT_FALSE(keys.contains("software\\policies\\korvo\\korvo tallisk"));  // merged into the existing key
  EXPECT_EQ(keys["SOFTWARE\\Policies\\Korvo\\Korvo Tallisk"].size(), 3u);
}

TEST_F(RegistryTest, SeedingAFreshRootWritesTheFile) {
  testing::TempDir fresh;
  registry::SeedFromProfile(fresh.path(), nlohmann::json::object());
  EXPECT_EQ(nlohmann::json::parse(testing::ReadHostFile(fresh.path() / "registry.json")),
            (nlohmann::json{{"keys", nlohmann::json::object()}}));
}

}  // namespace
}  // namespace platform
