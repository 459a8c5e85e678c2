// Several processes, one log file: nothing lost, nothing torn.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <utility>

#include "platform/text.h"
#include "service/logging/korvo_log_listeners.h"
#include "service/logging/testing/log_test_support.h"

extern char** environ;

namespace Korvo::Shared {
namespace {

using testing::kLogFolder;
using testing::kProgramKey;

pid_t Spawn(const std::vector<std::string>& args, int* stdoutFd = nullptr) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipeFds[2] = {-1, -1};
  if (stdoutFd != nullptr) {
    if (::pipe(pipeFds) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  }
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (stdoutFd != nullptr) {
    ::close(pipeFds[1]);
    *stdoutFd = pipeFds[0];
  }
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class LogFileConcurrencyTest : public testing::LoggingTest {
 protected:
  // Every line of Varnel.log and its numbered files, newest file last.
  std::vector<std::wstring> AllLines(int* files) {
    std::vector<std::wstring> lines;
    *files = 0;
    for (int n = 9; n >= 1; --n) {
      if (!std::filesystem::exists(NumberedLog(n))) continue;
      ++*files;
      for (auto& l : ReadLines(NumberedLog(n))) lines.push_back(std::move(l));
    }
    for (auto& l : ReadLines(LogPath())) lines.push_back(std::move(l));
    return lines;
  }

  // Counts each writer's numbered lines; fails on any line of another shape.
  std::map<int, std::vector<int>> Collect(const std::vector<std::wstring>& lines) {
    static const std::wregex shape(
        LR"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\|[0-9A-F]{8}\|(Information|TraceIn    |TraceOut   )\|Stress::(Writer|Main)\|(.*))");
    static const std::wregex numbered(LR"(writer (\d+) line (\d{6}))");
    std::map<int, std::vector<int>> seen;
    for (const auto& line : lines) {
      std::wsmatch m;
      EXPECT_TRUE(std::regex_match(line, m, shape)) << "torn or foreign line: " << platform::WideToUtf8(line);
      if (m.size() < 4 || m[2] != L"Writer") continue;
      std::wsmatch n;
      const std::wstring message = m[3];
      if (!std::regex_match(message, n, numbered)) {
        ADD_FAILURE() << platform::WideToUtf8(line);
        continue;
      }
      seen[std::stoi(n[1])].push_back(std::stoi(n[2]));
    }
    return seen;
  }

  void ExpectEveryLineOnce(const std::map<int, std::vector<int>>& seen, const std::set<int>& writers, int count) {
    for (int w : writers) {
      auto it = seen.find(w);
      ASSERT_NE(it, seen.end()) << "writer " << w;
      std::vector<int> numbers = it->second;
      ASSERT_EQ(numbers.size(), static_cast<std::size_t>(count)) << "writer " << w;
      // Each writer's lines stay in order: one queue, one writer thread at a time.
      for (int n = 0; n < count; ++n) ASSERT_EQ(numbers[n], n) << "writer " << w;
    }
  }
};

// A log_stress_writer that takes the log mutex and keeps it until it is killed; killed
// and reaped when the holder goes, also when an assertion returns early.
class MutexHolder {
 public:
  explicit MutexHolder(const std::filesystem::path& root)
      : pid_(Spawn({LOG_STRESS_WRITER, root.string(), "9", "hold"}, &out_)) {}
  ~MutexHolder() {
    Kill();
    if (out_ >= 0) ::close(out_);
  }
  MutexHolder(const MutexHolder&) = delete;
  MutexHolder& operator=(const MutexHolder&) = delete;

  // Waits until the writer says it holds the mutex.
  bool Holding() {
    char buf[16] = {};
    return pid_ > 0 && ::read(out_, buf, sizeof buf - 1) > 0 && std::string_view(buf) == "holding\n";
  }
  // Its exit status; -1 when it was gone already.
  int Kill() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGKILL);
    return WaitExit(std::exchange(pid_, -1));
  }

 private:
  int out_ = -1;
  pid_t pid_;
};

TEST_F(LogFileConcurrencyTest, FourProcessesShareOneRotatingFileAndLoseNothing) {
  SetDword(kProgramKey, L"MaxLogSize", 1024);  // about 6.5 MB in all: several rotations, fewer than nine
  constexpr int kWriters = 4;
  constexpr int kLines = 20000;
  std::vector<pid_t> pids;
  for (int w = 0; w < kWriters; ++w) {
    pids.push_back(Spawn({LOG_STRESS_WRITER, root().string(), std::to_string(w), std::to_string(kLines)}));
    ASSERT_GT(pids.back(), 0);
  }
  for (pid_t pid : pids) EXPECT_EQ(WaitExit(pid), 0);

  int files = 0;
  auto lines = AllLines(&files);
  EXPECT_GE(files, 3);
  EXPECT_LE(files, 8);
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(kWriters * (kLines + 2)));  // + TraceIn and TraceOut
  ExpectEveryLineOnce(Collect(lines), {0, 1, 2, 3}, kLines);
  for (const auto& line : lines) {
    if (line.find(L"|TraceOut   |Stress::Main|") != std::wstring::npos) {
      EXPECT_TRUE(line.ends_with(L"|Return Value = 20000"));
    }
  }
}

TEST_F(LogFileConcurrencyTest, AWriterKilledWhileHoldingTheMutexDoesNotStopTheOthers) {
  MutexHolder holder(root());
  ASSERT_TRUE(holder.Holding());

  std::vector<pid_t> survivors;
  for (int w = 0; w < 2; ++w) {
    survivors.push_back(Spawn({LOG_STRESS_WRITER, root().string(), std::to_string(w), "3000"}));
  }
  ::usleep(200 * 1000);  // let them queue up behind the holder
  EXPECT_EQ(holder.Kill(), 128 + SIGKILL);
  for (pid_t pid : survivors) EXPECT_EQ(WaitExit(pid), 0);

  int files = 0;
  ExpectEveryLineOnce(Collect(AllLines(&files)), {0, 1}, 3000);
}

TEST_F(LogFileConcurrencyTest, ClosingGivesUpOnAMutexHeldForeverAndReportsWhatItDropped) {
  auto entry = [](const wchar_t* message) {
    platform::SYSTEMTIME t;
    platform::GetLocalTime(&t);
    return LogData(LogLevel::Information, "T::Write", message, t, 0x42);
  };
  // Made while the mutex is free: the constructor itself waits for it without bound.
  auto listener = std::make_unique<CKorvoLogListenerFile>(true, 0);
  ASSERT_TRUE(listener->IsQueued());
  listener->Write(entry(L"before the holder"));
  listener->Flush();

  MutexHolder holder(root());
  ASSERT_TRUE(holder.Holding());  // and never gives it back

  for (const wchar_t* message : {L"queued 1", L"queued 2", L"queued 3"}) listener->Write(entry(message));
  const std::uint64_t before = clock().ElapsedMilliseconds();
  listener.reset();  // returns although the holder still has the mutex
  // The bounded wait ran on the machine's (virtual) clock, in full.
  EXPECT_GE(clock().ElapsedMilliseconds() - before, CKorvoLogListenerFile::kCloseMutexWaitMs);

  EXPECT_EQ(holder.Kill(), 128 + SIGKILL);

  // Dropped: the three lines queued while the holder had the mutex. The line written
  // before it took the mutex stays in the file.
  auto lines = ReadLines(LogPath());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(L"|T::Write|before the holder")) << platform::WideToUtf8(lines[0]);
  EXPECT_THAT(machine().CapturedDebugOutput(),
              ::testing::ElementsAre(std::wstring(L"CKorvoLogListenerFile::~CKorvoLogListenerFile : 3 queued lines "
                                                  L"dropped, not written to ") +
                                     testing::kLogFile + L": its mutex was not free within 3000 ms\r\n"));
}

}  // namespace
}  // namespace Korvo::Shared
