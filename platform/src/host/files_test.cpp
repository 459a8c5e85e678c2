// The host primitives: whole writes through short writes, atomic replacement, the
// whole-file locks between threads, and read-modify-write that loses nothing and never
// replaces a damaged file.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/src/host/fd.h"
#include "platform/src/host/files.h"
#include "platform/testing/machine_test.h"

namespace platform::host {
namespace {

using platform::testing::ReadHostFile;
using platform::testing::TempDir;
using platform::testing::WriteHostFile;

TEST(HostFdTest, WholeWritesAndReadsCrossAPipeInPieces) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  UniqueFd reader(pipeFds[0]), writer(pipeFds[1]);
  // Larger than a pipe's buffer: the writer is cut short and must go on.
  std::string payload(1 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
  std::thread write([&] {
    EXPECT_TRUE(WriteAll(writer.get(), payload.data(), payload.size()));
    writer.reset();
  });
  std::string received;
  EXPECT_TRUE(ReadToEnd(reader.get(), &received));
  write.join();
  EXPECT_EQ(received, payload);
  EXPECT_FALSE(writer.valid());
}

TEST(HostFdTest, SendToAGonePeerFailsWithoutASignal) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd ours(pair[0]);
  ::close(pair[1]);
  const char bytes[] = "hello";
  EXPECT_FALSE(SendAll(ours.get(), bytes, sizeof bytes));  // SIGPIPE would end the test binary
  EXPECT_EQ(errno, EPIPE);
}

TEST(HostFdTest, ReadAllAtReportsAShortFile) {
  TempDir dir;
  WriteHostFile(dir.path() / "f", "0123456789");
  UniqueFd fd(::open((dir.path() / "f").c_str(), O_RDONLY | O_CLOEXEC));
  char four[4] = {};
  EXPECT_TRUE(ReadAllAt(fd.get(), four, 4, 6));
  EXPECT_EQ(std::string(four, 4), "6789");
  EXPECT_FALSE(ReadAllAt(fd.get(), four, 4, 8));
}

TEST(HostFilesTest, AtomicWritesLeaveOneWholeVersionAndNoTemporaries) {
  TempDir dir;
  const auto file = dir.path() / "table.json";
  EXPECT_FALSE(ReadFile(file).has_value());
  EXPECT_EQ(ReadFileIfExists(file), "");
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      const std::string content(4096, static_cast<char>('a' + t));
      for (int i = 0; i < 50; ++i) EXPECT_TRUE(WriteFileAtomically(file, content));
    });
  }
  for (auto& w : writers) w.join();
  const std::string last = ReadFileIfExists(file);
  ASSERT_EQ(last.size(), 4096u);
  EXPECT_EQ(last.find_first_not_of(last[0]), std::string::npos) << "mixed content";
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1) << "a temporary file was left behind";
  EXPECT_FALSE(WriteFileAtomically(dir.path() / "missing-folder" / "x", "y"));
  EXPECT_EQ(errno, ENOENT);
}

TEST(HostFilesTest, ReadingSomethingUnreadableThrowsInsteadOfReadingAsMissing) {
  TempDir dir;
  EXPECT_THROW(ReadFile(dir.path()), std::system_error);  // a folder, not a file
}

TEST(HostFilesTest, LocksExcludeEveryOtherOpenOfTheFileEvenInOneProcess) {
  TempDir dir;
  const auto path = dir.path() / "x.lock";
  EXPECT_FALSE(IsLockedByOther(path));
  UniqueFd first(OpenLockFile(path)), second(OpenLockFile(path));
  ASSERT_TRUE(first.valid() && second.valid());
  ASSERT_TRUE(TryLockExclusive(first.get()));
  EXPECT_FALSE(TryLockExclusive(second.get()));
  EXPECT_TRUE(IsLockedByOther(path));
  first.reset();  // closing drops the lock
  EXPECT_FALSE(IsLockedByOther(path));
  EXPECT_TRUE(TryLockExclusive(second.get()));
  second.reset();
  {
    LockFile a(path, LockFile::Mode::kShared), b(path, LockFile::Mode::kShared);  // readers share
    UniqueFd writer(OpenLockFile(path));
    EXPECT_FALSE(TryLockExclusive(writer.get()));
  }
  EXPECT_THROW(LockFile(dir.path() / "missing-folder" / "x.lock"), std::system_error);
}

TEST(HostFilesTest, UpdatesFromManyThreadsLoseNothing) {
  TempDir dir;
  const auto file = dir.path() / "counter";
  const auto lock = dir.path() / "counter.lock";
  constexpr int kThreads = 4, kEach = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        UpdateFile(file, lock, [](const std::optional<std::string>& text) -> std::optional<std::string> {
          return std::to_string((text ? std::stoi(*text) : 0) + 1);
        });
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ReadHostFile(file), std::to_string(kThreads * kEach));
}

TEST(HostFilesTest, AnUpdateNeverReplacesADamagedFileOrWritesWhenNothingChanged) {
  TempDir dir;
  const auto file = dir.path() / "table.json";
  const auto lock = dir.path() / "table.lock";
  UpdateFile(file, lock, [](const std::optional<std::string>&) { return std::optional<std::string>(); });
  EXPECT_FALSE(std::filesystem::exists(file)) << "nothing to write, nothing written";

  WriteHostFile(file, "{ broken");
  auto parse = [&](const std::optional<std::string>& text) -> std::optional<std::string> {
    if (text && text->front() != '[') throw DamagedFile("the table", file, "not a list");
    return "[]";
  };
  try {
    UpdateFile(file, lock, parse);
    ADD_FAILURE() << "a damaged file was updated";
  } catch (const DamagedFile& e) {
    EXPECT_EQ(std::string(e.what()), "the table " + file.string() + " is damaged: not a list");
    EXPECT_EQ(e.file(), file);
  }
  EXPECT_EQ(ReadHostFile(file), "{ broken");
  EXPECT_FALSE(IsLockedByOther(lock)) << "the lock outlived a failed update";
}

}  // namespace
}  // namespace platform::host
