// The service control manager's plumbing: binary paths, the control checks
// and the message framing.
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/scm_testing.h"
#include "platform/src/scm/scm_internal.h"

namespace platform {
namespace {

using scm::detail::ParseBinaryPath;
using Args = std::vector<std::wstring>;

TEST(ScmCommandLineTest, FindsTheProgramOfABinaryPath) {
  std::set<std::wstring> files = {L"C:\\Program Files\\Korvo\\Varnel.exe", L"C:\\Tools\\run.exe"};
  auto exists = [&](const std::wstring& p) { return files.count(p) != 0; };

  auto quoted = ParseBinaryPath(L"\"C:\\Program Files\\Korvo\\Varnel.exe\" -k \"two words\"", exists);
  EXPECT_EQ(quoted.program, L"C:\\Program Files\\Korvo\\Varnel.exe");
  EXPECT_EQ(quoted.arguments, (Args{L"-k", L"two words"}));

  // Unquoted with spaces: prefixes are tried from the left until one exists.
  auto unquoted = ParseBinaryPath(L"C:\\Program Files\\Korvo\\Varnel.exe --service", exists);
  EXPECT_EQ(unquoted.program, L"C:\\Program Files\\Korvo\\Varnel.exe");
  EXPECT_EQ(unquoted.arguments, (Args{L"--service"}));
  files.insert(L"C:\\Program");  // the original's well-known trap
  EXPECT_EQ(ParseBinaryPath(L"C:\\Program Files\\Korvo\\Varnel.exe", exists).program, L"C:\\Program");

  auto plain = ParseBinaryPath(L"C:\\Tools\\run.exe", exists);
  EXPECT_EQ(plain.program, L"C:\\Tools\\run.exe");
  EXPECT_TRUE(plain.arguments.empty());
  // Nothing exists: the program ends at the first space.
  auto missing = ParseBinaryPath(L"C:\\nothing.exe a b", exists);
  EXPECT_EQ(missing.program, L"C:\\nothing.exe");
  EXPECT_EQ(missing.arguments, (Args{L"a", L"b"}));
  EXPECT_EQ(ParseBinaryPath(L"\"C:\\open quote", exists).program, L"C:\\open quote");
}

TEST(ScmControlRefusalTest, FollowsStateAndAcceptedControls) {
  using scm_testing::ControlRefusal;
  const SERVICE_STATUS running{
      SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT, 0, 0, 0, 0};
  EXPECT_EQ(ControlRefusal(running, SERVICE_CONTROL_STOP), NO_ERROR);
  EXPECT_EQ(ControlRefusal(running, SERVICE_CONTROL_POWEREVENT), NO_ERROR);
  EXPECT_EQ(ControlRefusal(running, SERVICE_CONTROL_INTERROGATE), NO_ERROR);
  EXPECT_EQ(ControlRefusal(running, 200), NO_ERROR);  // the service's own controls
  for (DWORD c : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_SHUTDOWN,
                  SERVICE_CONTROL_PRESHUTDOWN, SERVICE_CONTROL_SESSIONCHANGE, SERVICE_CONTROL_PARAMCHANGE}) {
    EXPECT_EQ(ControlRefusal(running, c), ERROR_INVALID_SERVICE_CONTROL) << c;
  }
  for (DWORD c : {DWORD{0}, SERVICE_CONTROL_DEVICEEVENT, DWORD{17}, DWORD{127}, DWORD{256}}) {
    EXPECT_EQ(ControlRefusal(running, c), ERROR_INVALID_PARAMETER) << c;
  }

  SERVICE_STATUS pending = running;
  for (DWORD state : {SERVICE_START_PENDING, SERVICE_STOP_PENDING}) {
    pending.dwCurrentState = state;
    EXPECT_EQ(ControlRefusal(pending, SERVICE_CONTROL_STOP), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(ControlRefusal(pending, SERVICE_CONTROL_INTERROGATE), NO_ERROR);
  }
  pending.dwCurrentState = SERVICE_PAUSED;
  EXPECT_EQ(ControlRefusal(pending, SERVICE_CONTROL_STOP), NO_ERROR);

  SERVICE_STATUS stopped = running;
  stopped.dwCurrentState = SERVICE_STOPPED;
  EXPECT_EQ(ControlRefusal(stopped, SERVICE_CONTROL_INTERROGATE), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(ControlRefusal(stopped, SERVICE_CONTROL_STOP), ERROR_SERVICE_NOT_ACTIVE);
}

class ScmFramingTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0); }
  void TearDown() override {
    ::close(fds_[0]);
    if (fds_[1] >= 0) ::close(fds_[1]);
  }
  int fds_[2] = {-1, -1};
};

TEST_F(ScmFramingTest, CarriesMessagesInOrder) {
  using namespace scm::detail;
  ASSERT_TRUE(SendFrame(fds_[1], {{"op", "status"}, {"text", "\xC3\xA9t\xC3\xA9"}}));
  ASSERT_TRUE(SendFrame(fds_[1], {{"op", "ack"}, {"id", 7}}));
  nlohmann::json m;
  ASSERT_EQ(ReadFrame(fds_[0], &m, 1000), ReadStatus::kOk);
  EXPECT_EQ(m["text"], "\xC3\xA9t\xC3\xA9");
  ASSERT_EQ(ReadFrame(fds_[0], &m, 1000), ReadStatus::kOk);
  EXPECT_EQ(m["id"], 7);
  EXPECT_EQ(ReadFrame(fds_[0], &m, 0), ReadStatus::kTimeout);
  ::close(fds_[1]);
  fds_[1] = -1;
  EXPECT_EQ(ReadFrame(fds_[0], &m, 1000), ReadStatus::kClosed);
}

TEST_F(ScmFramingTest, RejectsCutAndOversizedFrames) {
  using namespace scm::detail;
  const unsigned char cut[] = {0, 0, 0, 10, '{', '}'};
  ASSERT_EQ(::write(fds_[1], cut, sizeof(cut)), static_cast<ssize_t>(sizeof(cut)));
  ::shutdown(fds_[1], SHUT_WR);
  nlohmann::json m;
  EXPECT_EQ(ReadFrame(fds_[0], &m, 1000), ReadStatus::kError);

  int other[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other), 0);
  const unsigned char huge[] = {0x7F, 0xFF, 0xFF, 0xFF};
  ASSERT_EQ(::write(other[1], huge, sizeof(huge)), static_cast<ssize_t>(sizeof(huge)));
  EXPECT_EQ(ReadFrame(other[0], &m, 1000), ReadStatus::kError);
  const unsigned char notJson[] = {0, 0, 0, 3, 'a', 'b', 'c'};
  ASSERT_EQ(::write(other[1], notJson, sizeof(notJson)), static_cast<ssize_t>(sizeof(notJson)));
  EXPECT_EQ(ReadFrame(other[0], &m, 1000), ReadStatus::kError);
  ::close(other[0]);
  ::close(other[1]);
}

}  // namespace
}  // namespace platform
