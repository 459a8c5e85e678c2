#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/machine.h"
#include "platform/src/sync/sync_internal.h"
#include "platform/sync.h"
#include "platform/testing/machine_test.h"
#include "platform/text.h"

extern char** environ;

namespace platform {
namespace {

using NamedMutexTest = testing::MachineTest;
using NamedMutexConcurrency = testing::MachineTest;

// A platform_test_child process whose stdout we read line by line. Killed (if still
// running) and reaped when the object goes away.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    args.insert(args.begin(), KORVO_PLATFORM_TEST_CHILD);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_ >= 0) ::close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }

  // The next line without its newline; "" at end of output.
  std::string ReadLine() {
    std::string line;
    char c = 0;
    while (::read(out_, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
  }

  // Whether output (or its end) is there to read without waiting.
  bool OutputReady() {
    pollfd p{out_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }

  void Kill() { ::kill(pid_, SIGKILL); }

  // Exit code, or 128 + the signal that ended it.
  int Wait() {
    int status = 0;
    if (pid_ <= 0) return -1;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

std::string Utf8(const wchar_t* s) {
  return WideToUtf8(s);
}

// What the child's "count" does once, from this process.
bool AddOneInPlace(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  char text[32] = {};
  const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
  const long value = got > 0 ? std::strtol(text, nullptr, 10) : 0;
  const int len = std::snprintf(text, sizeof text, "%20ld\n", value + 1);
  const bool ok = ::pwrite(fd, text, static_cast<std::size_t>(len), 0) == len;
  return ::close(fd) == 0 && ok;
}

// --- names ---------------------------------------------------------------------------

TEST(NamedMutexFileNameTest, EscapesUnsafeCharactersReversibly) {
  EXPECT_EQ(sync::detail::NamedMutexFileName(L"GLOBAL\\KORVO/LOG%1"), "GLOBAL%5CKORVO%2FLOG%251.mutex");
  EXPECT_EQ(sync::detail::NamedMutexFileName(L"A B_C-D.E"), "A B_C-D.E.mutex");
  EXPECT_EQ(sync::detail::NamedMutexFileName(L"\u00C9"), "%C3%89.mutex");
  EXPECT_NE(sync::detail::NamedMutexFileName(L"A/B"), sync::detail::NamedMutexFileName(L"A%2FB"));
}

TEST(NamedMutexFileNameTest, LongNamesStayWithinFileNameLimitsAndDistinct) {
  const std::wstring base(240, L'\\');
  const std::string one = sync::detail::NamedMutexFileName(base + L"ONE");
  const std::string two = sync::detail::NamedMutexFileName(base + L"TWO");
  EXPECT_LE(one.size(), 255u);
  EXPECT_NE(one, two);
}

// --- one process -------------------------------------------------------------------------

TEST_F(NamedMutexTest, CreateOpenAndAlreadyExists) {
  SetLastError(0);
  EXPECT_EQ(OpenMutex(SYNCHRONIZE, FALSE, L"Global\\KorvoOpen"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  UniqueHandle first(CreateMutex(nullptr, FALSE, L"Global\\KorvoOpen"));
  ASSERT_TRUE(first);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(root() / "objects" / "GLOBAL%5CKORVOOPEN.mutex"));
  UniqueHandle second(CreateMutex(nullptr, TRUE, L"global\\korvoopen"));
  ASSERT_TRUE(second);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  // Initial ownership is ignored for an existing mutex: nobody owns it.
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(second.get()));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  UniqueHandle opened(OpenMutex(SYNCHRONIZE, FALSE, L"GLOBAL\\KORVOOPEN"));
  EXPECT_TRUE(opened);

  first.reset();
  second.reset();
  opened.reset();
  SetLastError(0);
  EXPECT_EQ(OpenMutex(SYNCHRONIZE, FALSE, L"Global\\KorvoOpen"), nullptr);  // no handle left anywhere
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  UniqueHandle again(CreateMutex(nullptr, TRUE, L"Global\\KorvoOpen"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(ReleaseMutex(again.get()));  // created again, so initially owned this time
}

TEST_F(NamedMutexTest, LocalPrefixNamesTheSameMutexAsABareName) {
  UniqueHandle bare(CreateMutex(nullptr, FALSE, L"KorvoBare"));
  UniqueHandle local(CreateMutex(nullptr, FALSE, L"Local\\KORVOBARE"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  UniqueHandle global(CreateMutex(nullptr, FALSE, L"Global\\KorvoBare"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // a different namespace
}

TEST_F(NamedMutexTest, RecursiveOwnershipAndNotOwner) {
  UniqueHandle mutex(CreateMutex(nullptr, TRUE, L"Global\\KorvoRecursive"));
  ASSERT_TRUE(mutex);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 1000), WAIT_OBJECT_0);
  BOOL otherRelease = TRUE;
  DWORD otherError = 0, otherWait = 0;
  std::thread([&] {
    otherWait = WaitForSingleObject(mutex.get(), 0);
    otherRelease = ReleaseMutex(mutex.get());
    otherError = GetLastError();
  }).join();
  EXPECT_EQ(otherWait, WAIT_TIMEOUT);
  EXPECT_FALSE(otherRelease);
  EXPECT_EQ(otherError, ERROR_NOT_OWNER);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ReleaseMutex(mutex.get())) << i;
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
}

TEST_F(NamedMutexTest, ThreadEndingWhileOwningAbandonsIt) {
  UniqueHandle mutex(CreateMutex(nullptr, FALSE, L"Global\\KorvoThreadEnd"));
  UniqueHandle thread(CreateThread(
      nullptr, 0, [](LPVOID m) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(m), INFINITE); }, mutex.get(),
      0, nullptr));
  ASSERT_EQ(WaitForSingleObject(thread.get(), INFINITE), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeThread(thread.get(), &code);
  ASSERT_EQ(code, WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

// A thread that holds `mutex` between two events.
struct Holder {
  HANDLE mutex;
  HANDLE held;
  HANDLE letGo;
};

DWORD HoldUntilLetGo(LPVOID p) {
  auto* h = static_cast<Holder*>(p);
  const DWORD wait = WaitForSingleObject(h->mutex, INFINITE);
  SetEvent(h->held);
  WaitForSingleObject(h->letGo, INFINITE);
  ReleaseMutex(h->mutex);
  return wait;
}

TEST_F(NamedMutexTest, TakesPartInWaitForMultipleObjects) {
  UniqueHandle mutex(CreateMutex(nullptr, FALSE, L"Global\\KorvoMulti"));
  UniqueHandle event(CreateEvent(nullptr, FALSE, FALSE, nullptr));
  UniqueHandle held(CreateEvent(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle letGo(CreateEvent(nullptr, TRUE, FALSE, nullptr));
  Holder holder{mutex.get(), held.get(), letGo.get()};
  UniqueHandle thread(CreateThread(nullptr, 0, HoldUntilLetGo, &holder, 0, nullptr));
  ASSERT_EQ(WaitForSingleObject(held.get(), INFINITE), WAIT_OBJECT_0);

  HANDLE pair[] = {mutex.get(), event.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(event.get());
  EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, INFINITE), WAIT_OBJECT_0 + 1);

  SetEvent(event.get());
  EXPECT_EQ(WaitForMultipleObjects(2, pair, TRUE, 2000), WAIT_TIMEOUT);  // mutex busy
  EXPECT_EQ(clock().ElapsedMilliseconds(), 2000u);
  SetEvent(letGo.get());
  EXPECT_EQ(WaitForMultipleObjects(2, pair, TRUE, INFINITE), WAIT_OBJECT_0);  // the event waited for us
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);               // and was taken with it
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(WaitForSingleObject(thread.get(), INFINITE), WAIT_OBJECT_0);
}

TEST_F(NamedMutexTest, WaitAllGivesBackAnAbandonmentItCouldNotComplete) {
  UniqueHandle abandoned(CreateMutex(nullptr, FALSE, L"Global\\KorvoGiveBack"));
  UniqueHandle ender(CreateThread(
      nullptr, 0, [](LPVOID m) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(m), INFINITE); },
      abandoned.get(), 0, nullptr));
  ASSERT_EQ(WaitForSingleObject(ender.get(), INFINITE), WAIT_OBJECT_0);  // ended owning it

  UniqueHandle busy(CreateMutex(nullptr, FALSE, L"Global\\KorvoBusy"));
  UniqueHandle held(CreateEvent(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle letGo(CreateEvent(nullptr, TRUE, FALSE, nullptr));
  Holder holder{busy.get(), held.get(), letGo.get()};
  UniqueHandle holderThread(CreateThread(nullptr, 0, HoldUntilLetGo, &holder, 0, nullptr));
  ASSERT_EQ(WaitForSingleObject(held.get(), INFINITE), WAIT_OBJECT_0);

  // The first mutex is taken (abandoned) and given back because the second is busy;
  // the abandonment must still be reported when the set is finally taken.
  HANDLE set[] = {abandoned.get(), busy.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, 0), WAIT_TIMEOUT);
  SetEvent(letGo.get());
  EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, INFINITE), WAIT_ABANDONED_0);
  EXPECT_TRUE(ReleaseMutex(abandoned.get()));
  EXPECT_TRUE(ReleaseMutex(busy.get()));
  EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(abandoned.get()));
  EXPECT_TRUE(ReleaseMutex(busy.get()));
  EXPECT_EQ(WaitForSingleObject(holderThread.get(), INFINITE), WAIT_OBJECT_0);
}

TEST_F(NamedMutexConcurrency, HandlesOfOneNameExcludeEachOtherAcrossThreads) {
  UniqueHandle upper(CreateMutex(nullptr, FALSE, L"Global\\KorvoShared"));
  UniqueHandle lower(CreateMutex(nullptr, FALSE, L"global\\korvoshared"));
  ASSERT_TRUE(upper);
  ASSERT_TRUE(lower);
  ASSERT_EQ(WaitForSingleObject(upper.get(), INFINITE), WAIT_OBJECT_0);
  DWORD otherWait = 0;
  std::thread([&] { otherWait = WaitForSingleObject(lower.get(), 0); }).join();
  EXPECT_EQ(otherWait, WAIT_TIMEOUT);
  ASSERT_TRUE(ReleaseMutex(upper.get()));

  constexpr int kThreads = 4;
  constexpr int kIncrements = 3000;
  long counter = 0;  // only the named mutex protects it
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    HANDLE h = i % 2 == 0 ? upper.get() : lower.get();
    threads.emplace_back([h, &counter] {
      for (int n = 0; n < kIncrements; ++n) {
        const DWORD wait = WaitForSingleObject(h, INFINITE);
        ASSERT_EQ(wait, WAIT_OBJECT_0);
        ++counter;
        ASSERT_TRUE(ReleaseMutex(h));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, kThreads * kIncrements);
}

// --- several processes -------------------------------------------------------------------

TEST_F(NamedMutexTest, ChildSeesOurOwnershipUnderAnyCase) {
  UniqueHandle mutex(CreateMutex(nullptr, TRUE, L"Global\\KorvoProbe"));
  ASSERT_TRUE(mutex);
  {
    Child probe({"probe-mutex", root().string(), Utf8(L"GLOBAL\\korvoprobe")});
    ASSERT_TRUE(probe.started());
    EXPECT_EQ(probe.ReadLine(), std::to_string(WAIT_TIMEOUT));
    EXPECT_EQ(probe.Wait(), 0);
  }
  ASSERT_TRUE(ReleaseMutex(mutex.get()));
  Child probe({"probe-mutex", root().string(), Utf8(L"global\\KORVOPROBE")});
  EXPECT_EQ(probe.ReadLine(), std::to_string(WAIT_OBJECT_0));
  EXPECT_EQ(probe.Wait(), 0);
}

TEST_F(NamedMutexTest, ChildHoldingTheMutexBlocksUsUntilItEnds) {
  UniqueHandle mutex(CreateMutex(nullptr, FALSE, L"Global\\KorvoHeld"));
  ASSERT_TRUE(mutex);
  Child child({"hold-mutex", root().string(), "Global\\KorvoHeld", "300"});
  ASSERT_TRUE(child.started());
  ASSERT_EQ(child.ReadLine(), "locked");
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_ABANDONED);
  // We got it only after the child said goodbye.
  EXPECT_TRUE(child.OutputReady());
  EXPECT_EQ(child.ReadLine(), "exiting");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);  // we own it: recursion
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST_F(NamedMutexTest, TimedWaitOnAMutexHeldByAChildTimesOut) {
  UniqueHandle mutex(CreateMutex(nullptr, FALSE, L"Global\\KorvoTimed"));
  Child child({"hold-mutex", root().string(), "Global\\KorvoTimed", "600000"});
  ASSERT_EQ(child.ReadLine(), "locked");
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 25000), WAIT_TIMEOUT);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 25000u);  // virtual time jumped to the deadline
  child.Kill();
  EXPECT_EQ(child.Wait(), 128 + SIGKILL);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 25000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST_F(NamedMutexTest, TimedWaitOnTheRealClock) {
  Machine::Options options;
  options.root = root();
  auto previous = SelectMachine(Machine::Open(std::move(options)));
  ASSERT_FALSE(CurrentMachine().GetClock().IsVirtual());
  {
    UniqueHandle mutex(CreateMutex(nullptr, FALSE, L"Global\\KorvoRealTimed"));
    Child child({"hold-mutex", root().string(), "Global\\KorvoRealTimed", "600000"});
    ASSERT_EQ(child.ReadLine(), "locked");
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 50), WAIT_TIMEOUT);
    UniqueHandle event(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    HANDLE pair[] = {mutex.get(), event.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 30), WAIT_TIMEOUT);
    child.Kill();
    EXPECT_EQ(child.Wait(), 128 + SIGKILL);
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 60000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
  }
  SelectMachine(previous);
}

TEST_F(NamedMutexConcurrency, ProcessesAndThreadsCountExactly) {
  constexpr int kChildren = 4;
  constexpr int kPerChild = 2000;
  constexpr int kThreads = 2;
  constexpr int kPerThread = 500;
  const auto counterFile = root() / "counter.txt";
  testing::WriteHostFile(counterFile, "0\n");  // the child rewrites it as a fixed-width number
  UniqueHandle mutex(CreateMutex(nullptr, FALSE, L"Global\\KorvoCounter"));
  ASSERT_TRUE(mutex);

  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < kChildren; ++i) {
    children.push_back(std::make_unique<Child>(
        std::vector<std::string>{"count", root().string(), i % 2 == 0 ? "Global\\KorvoCounter" : "GLOBAL\\korvocounter",
                                 counterFile.string(), std::to_string(kPerChild)}));
    ASSERT_TRUE(children.back()->started());
  }
  // Threads of this process join in through handles of their own.
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      UniqueHandle own(CreateMutex(nullptr, FALSE, L"global\\KorvoCounter"));
      for (int n = 0; n < kPerThread; ++n) {
        ASSERT_EQ(WaitForSingleObject(own.get(), INFINITE), WAIT_OBJECT_0);
        ASSERT_TRUE(AddOneInPlace(counterFile));
        ASSERT_TRUE(ReleaseMutex(own.get()));
      }
    });
  }
  for (auto& t : threads) t.join();
  for (auto& child : children) {
    EXPECT_EQ(child->ReadLine(), "done");
    EXPECT_EQ(child->Wait(), 0);
  }
  EXPECT_EQ(std::stol(testing::ReadHostFile(counterFile)), kChildren * kPerChild + kThreads * kPerThread);
}

}  // namespace
}  // namespace platform
