#include <stdlib.h>

#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/machine.h"
#include "platform/testing/machine_test.h"

namespace platform {
namespace {

using ::testing::HasSubstr;
using testing::ReadHostFile;
using testing::TempDir;

nlohmann::json SampleProfile() {
  return nlohmann::json::parse(R"({
    "registry": {"SOFTWARE\\Policies\\Korvo\\Korvo Tallisk": {"MaxLogSize": {"type": "REG_DWORD", "data": 64}}},
    "files": {"C:\\Korvo\\support\\build.txt": "21WWCBAU6aq\r\n"}
  })");
}

TEST(MachineRootTest, FirstOpenLaysOutTheRootFromTheProfile) {
  TempDir dir;
  Machine::Options options;
  options.root = dir.path() / "m";
  options.profile = SampleProfile();
  auto machine = Machine::Open(std::move(options));
  const auto root = dir.path() / "m";
  EXPECT_EQ(machine->Root(), root);
  EXPECT_TRUE(std::filesystem::is_directory(root / "drive_c/Windows/System32/config/systemprofile/AppData/Roaming"));
  EXPECT_TRUE(std::filesystem::is_directory(root / "rpc"));
  EXPECT_EQ(ReadHostFile(root / "drive_c/Korvo/support/build.txt"), "21WWCBAU6aq\r\n");
  auto registry = nlohmann::json::parse(ReadHostFile(root / "registry.json"));
  EXPECT_EQ(registry["keys"]["SOFTWARE\\Policies\\Korvo\\Korvo Tallisk"]["MaxLogSize"]["data"], 64);
  EXPECT_EQ(nlohmann::json::parse(ReadHostFile(root / "machine.json")), SampleProfile());
}

TEST(MachineRootTest, ReopeningKeepsWhatIsThereAndReadsTheProfileInForce) {
  TempDir dir;
  {
    Machine::Options options;
    options.root = dir.path();
    options.profile = SampleProfile();
    Machine::Open(std::move(options));
  }
  testing::WriteHostFile(dir.path() / "drive_c/Korvo/support/build.txt", "changed");
  Machine::Options options;
  options.root = dir.path();
  auto machine = Machine::Open(std::move(options));
  EXPECT_EQ(ReadHostFile(dir.path() / "drive_c/Korvo/support/build.txt"), "changed");
  EXPECT_TRUE(machine->Profile().contains("files"));
  EXPECT_FALSE(machine->GetClock().IsVirtual());
}

TEST(MachineRootTest, BadProfilesAreRefusedWithAMessageThatSaysWhy) {
  auto message = [](std::string_view text) {
    try {
      ParseProfile(text, "test.json");
    } catch (const MachineError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_THAT(message("{"), HasSubstr("test.json: not valid JSON"));
  EXPECT_THAT(message("[]"), HasSubstr("must be a JSON object"));
  EXPECT_THAT(message(R"({"files": {"C:\\a": 3}})"), HasSubstr("\"files\" entry \"C:\\a\" must be a string"));
  for (const char* bad : {R"({"files": {"C:\\a": {"companion": ""}}})", R"({"files": {"C:\\a": {"program": "X"}}})",
                          R"({"files": {"C:\\a": {"companion": "X", "version": "1"}}})"}) {
    EXPECT_THAT(message(bad), HasSubstr("\"files\" entry \"C:\\a\" must be a string or {\"companion\": "
                                        "\"what it stands for\"}, not {"))
        << bad;
  }
  EXPECT_THAT(message(R"({"registry": {"K": {"V": {"type": "REG_BINARY", "data": 1}}}})"),
              HasSubstr("unsupported type"));
  EXPECT_THAT(message(R"({"registry": {"K": {"V": {"type": "REG_DWORD", "data": -1}}}})"),
              HasSubstr("unsigned number"));
  // Too large for a DWORD: refused, rather than seeded as nothing.
  EXPECT_THAT(message(R"({"registry": {"K": {"V": {"type": "REG_DWORD", "data": 4294967296}}}})"),
              HasSubstr("unsigned number of 32 bits"));
  EXPECT_EQ(message(R"({"registry": {"K": {"V": {"type": "REG_DWORD", "data": 4294967295}}}})"), "accepted");
  EXPECT_EQ(message(EmbeddedDefaultProfile()), "accepted");

  TempDir dir;
  Machine::Options options;
  options.root = dir.path();
  options.profile = nlohmann::json::parse(R"({"files": {"D:\\x.txt": "no"}})");
  EXPECT_THROW(Machine::Open(std::move(options)), MachineError);
  options.root = dir.path() / "up";
  options.profile = nlohmann::json::parse(R"({"files": {"C:\\..\\..\\x.txt": "no"}})");
  EXPECT_THROW(Machine::Open(std::move(options)), MachineError);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "x.txt"));
}

// Companion files link to the program KORVO_COMPANION_PROGRAM names, else the build's;
// without an executable there they are stand-in text files, said once.
TEST(MachineRootTest, CompanionFilesLinkToTheCompanionProgramOrBecomeStandIns) {
  const auto profile = nlohmann::json::parse(R"({"files": {
    "C:\\Windows\\System32\\msinfo32.exe": {"companion": "System Information"},
    "C:\\Windows\\System32\\control.exe": {"companion": "Power Options"}}})");
  TempDir dir;
  testing::WriteHostFile(dir.path() / "not-a-program", "text");
  struct Case {
    const char* root;
    std::optional<std::string> program;  // KORVO_COMPANION_PROGRAM, unset when none
    const char* linkedTo;                // null: a stand-in
  };
  const Case cases[] = {{"chosen", KORVO_PLATFORM_TEST_CHILD, "platform_test_child"},
                        {"built", std::nullopt, "korvo-companion"},
                        {"empty", "", nullptr},
                        {"text", (dir.path() / "not-a-program").string(), nullptr}};
  const char* saved = std::getenv("KORVO_COMPANION_PROGRAM");
  const std::string savedValue = saved ? saved : "";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root);
    c.program ? ::setenv("KORVO_COMPANION_PROGRAM", c.program->c_str(), 1) : ::unsetenv("KORVO_COMPANION_PROGRAM");
    Machine::Options options;
    options.root = dir.path() / c.root;
    options.profile = profile;
    options.captureDebugOutput = true;
    auto machine = Machine::Open(std::move(options));
    const auto msinfo = dir.path() / c.root / "drive_c/Windows/System32/msinfo32.exe";
    if (c.linkedTo != nullptr) {
      std::error_code ec;
      EXPECT_EQ(std::filesystem::read_symlink(msinfo, ec).filename(), c.linkedTo) << ec.message();
      EXPECT_TRUE(std::filesystem::is_regular_file(msinfo)) << "the link leads to the program";
      EXPECT_THAT(machine->CapturedDebugOutput(), ::testing::IsEmpty());
    } else {
      EXPECT_EQ(ReadHostFile(msinfo), "Korvo companion stand-in: System Information\n");
      EXPECT_THAT(machine->CapturedDebugOutput(),
                  ::testing::ElementsAre(HasSubstr(L"stand-in text files: C:\\Windows\\System32\\control.exe, "
                                                   L"C:\\Windows\\System32\\msinfo32.exe")));
    }
  }
  saved ? ::setenv("KORVO_COMPANION_PROGRAM", savedValue.c_str(), 1) : ::unsetenv("KORVO_COMPANION_PROGRAM");
}

// A profile's users are checked against that profile alone: not against whichever
// machine is current, and, for the process's first machine, without waiting on the
// very load that is checking it.
TEST(MachineRootTest, UsersOfAProfileAreCheckedAgainstThatProfile) {
  const std::string sessionOfAlex =
      R"({"sessions": [{"id": 1, "station": "Console", "state": "active", "user": "alex"}]})";
  TempDir other;
  Machine::Options options;
  options.root = other.path();  // the embedded default, which has a user alex
  auto previous = SelectMachine(Machine::Open(std::move(options)));
  EXPECT_THROW(ParseProfile(sessionOfAlex, "test.json"), MachineError);

  // The process's first machine, opened by CurrentMachine(), in a thread that must not
  // wait on its own open: what the open found wrong comes back as its error.
  auto openFirst = [](const std::filesystem::path& root) {
    ::setenv("KORVO_MACHINE_ROOT", root.c_str(), 1);
    SelectMachine(nullptr);
    std::promise<std::string> outcome;
    std::thread first([&] {
      try {
        CurrentMachinePtr();
        outcome.set_value("accepted");
      } catch (const MachineError& e) {
        outcome.set_value(e.what());
      }
    });
    auto result = outcome.get_future();
    const bool answered = result.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    ::unsetenv("KORVO_MACHINE_ROOT");
    if (!answered) {
      first.detach();
      return std::string("waits on itself");
    }
    first.join();
    return result.get();
  };
  TempDir dir;
  testing::WriteHostFile(dir.path() / "machine.json", sessionOfAlex);
  EXPECT_THAT(openFirst(dir.path()), HasSubstr("$.sessions[0].user"));
  // A damaged registry found while laying a root out is said in the debug output,
  // which has no machine to go to yet.
  TempDir damaged;
  testing::WriteHostFile(damaged.path() / "registry.json", "{ broken");
  EXPECT_THAT(openFirst(damaged.path()), HasSubstr("not a valid registry file"));
  SelectMachine(previous);
}

TEST(MachineRootTest, RootComesFromTheEnvironmentOrThePerUserDefault) {
  ::setenv("KORVO_MACHINE_ROOT", "/tmp/korvo-x", 1);
  EXPECT_EQ(DefaultMachineRoot(), "/tmp/korvo-x");
  ::unsetenv("KORVO_MACHINE_ROOT");
  ::setenv("XDG_STATE_HOME", "/tmp/state", 1);
  EXPECT_EQ(DefaultMachineRoot(), "/tmp/state/korvo/machine");
  ::unsetenv("XDG_STATE_HOME");
}

TEST(MachineRootTest, SelectingAMachineReturnsThePreviousOne) {
  TempDir dir;
  Machine::Options options;
  options.root = dir.path();
  auto machine = Machine::Open(std::move(options));
  auto previous = SelectMachine(machine);
  EXPECT_EQ(&CurrentMachine(), machine.get());
  EXPECT_EQ(SelectMachine(previous), machine);
}

}  // namespace
}  // namespace platform
