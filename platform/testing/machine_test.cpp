#include "platform/testing/machine_test.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/com.h"
#include "platform/fs.h"

namespace platform::testing {

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "korvo-test-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadHostFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteHostFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  // A companion program on drive C: is a link to the build's one program: replace the
  // link, never write through it.
  if (std::filesystem::is_symlink(path)) std::filesystem::remove(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

nlohmann::json MachineTest::MachineProfile() const {
  return ParseProfile(EmbeddedDefaultProfile(), "embedded default profile");
}

void MachineTest::SetUp() {
  std::string templ = (std::filesystem::temp_directory_path() / "korvo-machine-XXXXXX").string();
  ASSERT_NE(::mkdtemp(templ.data()), nullptr);
  root_ = templ;
  Machine::Options options;
  options.root = root_;
  auto clock = std::make_unique<VirtualClock>();
  clock_ = clock.get();
  options.clock = std::move(clock);
  options.profile = MachineProfile();
  options.captureDebugOutput = true;
  machine_ = Machine::Open(std::move(options));
  previous_ = SelectMachine(machine_);
}

// Destroys the machine and its clock. A thread or thread-pool callback that a test
// starts must have made its last platform call before the test body returns: the test
// joins it, or waits for an event it sets as its very last act. A later call can find
// this machine through CurrentMachine() just before it goes and then use freed memory,
// or else works on whatever machine is current by then.
void MachineTest::TearDown() {
  SelectMachine(previous_);
  machine_.reset();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::filesystem::path MachineTest::Host(const std::wstring& machinePath) const {
  auto host = MapToHost(machinePath);
  EXPECT_TRUE(host.has_value());
  return host.value_or(std::filesystem::path{});
}

void MachineTest::InstallProgram(const std::wstring& machinePath, const std::string& productName,
                                 const std::string& version, const std::string& lang) {
  std::string text = "KORVO-VERSION-RESOURCE\nFileVersion=" + version + "\nProductVersion=" + version + "\n" + lang +
                     "/ProductName=" + productName + "\n";
  WriteHostFile(Host(machinePath), text);
  machine_->SetProgramPath(machinePath);
}

void MachineTest::ReopenMachine() {
  auto program = machine_->ProgramPath();
  Machine::Options options;
  options.root = root_;
  auto clock = std::make_unique<VirtualClock>(clock_->SystemTime100ns());
  clock_ = clock.get();
  options.clock = std::move(clock);
  options.captureDebugOutput = true;
  options.programPath = program;
  machine_ = Machine::Open(std::move(options));
  SelectMachine(machine_);
}

void ComMachineTest::SetUp() {
  MachineTest::SetUp();
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
}

void ComMachineTest::TearDown() {
  CoUninitialize();
  MachineTest::TearDown();
}

}  // namespace platform::testing
