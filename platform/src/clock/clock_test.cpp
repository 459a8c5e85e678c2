#include "platform/clock.h"

#include <time.h>

#include <chrono>
#include <future>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "platform/machine.h"
#include "platform/sync.h"
#include "platform/testing/machine_test.h"

namespace platform {
namespace {

constexpr std::uint64_t kUnitsPerMs = 10'000;
constexpr std::uint64_t kUnixEpoch = 116'444'736'000'000'000ULL;

SYSTEMTIME Date(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
  SYSTEMTIME st{};
  st.wYear = y;
  st.wMonth = mo;
  st.wDay = d;
  st.wHour = h;
  st.wMinute = mi;
  st.wSecond = s;
  st.wMilliseconds = ms;
  return st;
}

std::uint64_t ToFileTime(const SYSTEMTIME& st) {
  FILETIME ft{};
  EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
  return FileTimeToUInt64(ft);
}

SYSTEMTIME ToSystemTime(std::uint64_t t) {
  const FILETIME ft = UInt64ToFileTime(t);
  SYSTEMTIME st{};
  EXPECT_TRUE(FileTimeToSystemTime(&ft, &st));
  return st;
}

#define EXPECT_DATE(st, y, mo, d, dow, h, mi, s, ms) \
  do {                                               \
    const SYSTEMTIME& st_ = (st);                    \
    EXPECT_EQ(st_.wYear, y);                         \
    EXPECT_EQ(st_.wMonth, mo);                       \
    EXPECT_EQ(st_.wDay, d);                          \
    EXPECT_EQ(st_.wDayOfWeek, dow);                  \
    EXPECT_EQ(st_.wHour, h);                         \
    EXPECT_EQ(st_.wMinute, mi);                      \
    EXPECT_EQ(st_.wSecond, s);                       \
    EXPECT_EQ(st_.wMilliseconds, ms);                \
  } while (0)

// --- calendar conversions ------------------------------------------------------------

TEST(CalendarTest, FileTimeZeroIsMonday1601) {
  EXPECT_DATE(ToSystemTime(0), 1601, 1, 1, 1, 0, 0, 0, 0);
  EXPECT_EQ(ToFileTime(Date(1601, 1, 1)), 0u);
}

TEST(CalendarTest, DefaultVirtualStartIsTheDocumentedInstant) {
  EXPECT_DATE(ToSystemTime(VirtualClock::kDefaultStart), 2021, 3, 4, 4, 17, 5, 9, 42);
  EXPECT_EQ(ToFileTime(Date(2021, 3, 4, 17, 5, 9, 42)), VirtualClock::kDefaultStart);
}

TEST(CalendarTest, LeapDaysAndDayOfWeek) {
  EXPECT_DATE(ToSystemTime(ToFileTime(Date(2000, 2, 29, 12))), 2000, 2, 29, 2, 12, 0, 0, 0);  // Tuesday
  EXPECT_DATE(ToSystemTime(ToFileTime(Date(2024, 2, 29))), 2024, 2, 29, 4, 0, 0, 0, 0);       // Thursday
  // The day after 28 February is 1 March in a year without a leap day.
  const std::uint64_t day = 86'400'000 * kUnitsPerMs;
  EXPECT_DATE(ToSystemTime(ToFileTime(Date(1900, 2, 28)) + day), 1900, 3, 1, 4, 0, 0, 0, 0);
  EXPECT_DATE(ToSystemTime(ToFileTime(Date(2100, 2, 28)) + day), 2100, 3, 1, 1, 0, 0, 0, 0);
  EXPECT_DATE(ToSystemTime(ToFileTime(Date(2000, 2, 28)) + day), 2000, 2, 29, 2, 0, 0, 0, 0);
  EXPECT_DATE(ToSystemTime(ToFileTime(Date(2023, 12, 31, 23, 59, 59, 999)) + kUnitsPerMs), 2024, 1, 1, 1, 0, 0, 0, 0);
}

TEST(CalendarTest, AgreesWithTheHostCalendarAcrossTheRange) {
  // gmtime_r is an independent oracle; sample about every 37 days plus an odd second.
  for (std::int64_t unix = -11'644'473'600 + 1; unix < 32'503'680'000; unix += 37 * 86'400 + 3'917) {
    const time_t t = static_cast<time_t>(unix);
    tm host{};
    ASSERT_NE(gmtime_r(&t, &host), nullptr);
    const std::uint64_t ft = static_cast<std::uint64_t>(unix + 11'644'473'600) * 10'000'000;
    const SYSTEMTIME st = ToSystemTime(ft + 123 * kUnitsPerMs);
    ASSERT_EQ(st.wYear, host.tm_year + 1900) << unix;
    ASSERT_EQ(st.wMonth, host.tm_mon + 1) << unix;
    ASSERT_EQ(st.wDay, host.tm_mday) << unix;
    ASSERT_EQ(st.wDayOfWeek, host.tm_wday) << unix;
    ASSERT_EQ(st.wHour, host.tm_hour) << unix;
    ASSERT_EQ(st.wMinute, host.tm_min) << unix;
    ASSERT_EQ(st.wSecond, host.tm_sec) << unix;
    ASSERT_EQ(st.wMilliseconds, 123) << unix;
    ASSERT_EQ(ToFileTime(st), ft + 123 * kUnitsPerMs) << unix;
  }
}

TEST(CalendarTest, RejectsFieldsOutOfRange) {
  const SYSTEMTIME bad[] = {Date(2023, 2, 29),          Date(1900, 2, 29),
                            Date(2024, 13, 1),          Date(2024, 4, 31),
                            Date(2024, 1, 0),           Date(1600, 12, 31),
                            Date(2024, 1, 1, 24),       Date(2024, 1, 1, 0, 60),
                            Date(2024, 1, 1, 0, 0, 60), Date(2024, 1, 1, 0, 0, 0, 1000)};
  for (const SYSTEMTIME& st : bad) {
    FILETIME ft{1, 1};
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  const FILETIME tooLate = UInt64ToFileTime(0x8000'0000'0000'0000ULL);
  SYSTEMTIME st{};
  SetLastError(0);
  EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &st));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CalendarTest, UnixConversions) {
  EXPECT_EQ(UnixNanosToFileTime(0), kUnixEpoch);
  EXPECT_EQ(UnixNanosToFileTime(1'234'567'899), kUnixEpoch + 12'345'678);
  EXPECT_EQ(UnixNanosToFileTime(-1), kUnixEpoch - 1);  // rounds down, not toward zero
  EXPECT_EQ(FileTimeToUnixNanos(kUnixEpoch + 12'345'678), 1'234'567'800);
  EXPECT_EQ(FileTimeToUnixNanos(kUnixEpoch - 5), -500);
  EXPECT_EQ(FileTimeToUnixNanos(VirtualClock::kDefaultStart), 1'614'877'509'042'000'000);
  // 1601 lies outside what int64 nanoseconds can hold.
  EXPECT_EQ(FileTimeToUnixNanos(0), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(FileTimeToUnixNanos(~std::uint64_t{0}), std::numeric_limits<std::int64_t>::max());
}

// --- the real clock --------------------------------------------------------------------

TEST(RealClockTest, TellsTheHostTime) {
  RealClock clock;
  EXPECT_FALSE(clock.IsVirtual());
  const auto hostNanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::int64_t ours = FileTimeToUnixNanos(clock.SystemTime100ns());
  EXPECT_LT(std::abs(ours - hostNanos), 5'000'000'000LL);
  const std::uint64_t a = clock.InterruptTime100ns();
  const std::uint64_t b = clock.InterruptTime100ns();
  EXPECT_LE(a, b);
}

TEST(RealClockTest, WaitUntilReturnsTheCondition) {
  RealClock clock;
  std::mutex m;
  std::condition_variable cv;
  std::unique_lock lock(m);
  int calls = 0;
  EXPECT_TRUE(clock.WaitUntil(lock, cv, 0, [&] { return ++calls > 0; }));
  EXPECT_EQ(calls, 1);  // not asked again once it held
  EXPECT_FALSE(clock.WaitUntil(lock, cv, 5, [] { return false; }));
  EXPECT_TRUE(lock.owns_lock());
}

// --- the virtual clock -------------------------------------------------------------------

using ClockTest = testing::MachineTest;

TEST_F(ClockTest, VirtualSleepAdvancesExactly) {
  FILETIME before{};
  GetSystemTimeAsFileTime(&before);
  const ULONGLONG ticks = GetTickCount64();
  ULONGLONG interrupt = 0;
  ASSERT_TRUE(QueryUnbiasedInterruptTime(&interrupt));
  Sleep(1500);
  Sleep(0);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 1500u);
  EXPECT_EQ(GetTickCount64() - ticks, 1500u);
  EXPECT_EQ(GetTickCount(), static_cast<DWORD>(GetTickCount64()));
  ULONGLONG interruptAfter = 0;
  ASSERT_TRUE(QueryUnbiasedInterruptTime(&interruptAfter));
  EXPECT_EQ(interruptAfter - interrupt, 1500 * kUnitsPerMs);
  FILETIME after{};
  GetSystemTimeAsFileTime(&after);
  EXPECT_EQ(FileTimeToUInt64(after) - FileTimeToUInt64(before), 1500 * kUnitsPerMs);
  clock().Advance(250);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 1750u);
}

TEST_F(ClockTest, TimedWaitOnSilentEventTakesExactlyItsTimeout) {
  UniqueHandle event(CreateEvent(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  EXPECT_EQ(WaitForSingleObject(event.get(), 25000), WAIT_TIMEOUT);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 25000u);
  HANDLE both[] = {event.get(), event.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 3000), WAIT_TIMEOUT);
  EXPECT_EQ(clock().ElapsedMilliseconds(), 28000u);
}

TEST_F(ClockTest, SignalFromAnotherThreadEndsTheWaitEarly) {
  UniqueHandle event(CreateEvent(nullptr, FALSE, FALSE, nullptr));
  std::promise<void> started;
  std::thread signaller([&] {
    started.set_value();
    for (int i = 0; i < 7; ++i) Sleep(100);
    SetEvent(event.get());
  });
  started.get_future().wait();
  EXPECT_EQ(WaitForSingleObject(event.get(), 25000), WAIT_OBJECT_0);
  signaller.join();
  EXPECT_EQ(clock().ElapsedMilliseconds(), 700u);
}

// Makes a machine on the same root with its own clock current for a scope.
class ScopedMachine {
 public:
  ScopedMachine(const std::filesystem::path& root, std::unique_ptr<Clock> clock) {
    Machine::Options options;
    options.root = root;
    options.clock = std::move(clock);
    previous_ = SelectMachine(Machine::Open(std::move(options)));
  }
  ~ScopedMachine() { SelectMachine(previous_); }

 private:
  std::shared_ptr<Machine> previous_;
};

TEST_F(ClockTest, IdleTimeJumpsToTheEarliestDeadlineFirst) {
  // Both waits must be in progress within the clock's idle window, or the first one
  // alone is idle and time jumps to its deadline. On a loaded machine that may take a
  // few tries; each try has a clock of its own.
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto owned = std::make_unique<VirtualClock>();
    VirtualClock& virtualClock = *owned;
    ScopedMachine scoped(root(), std::move(owned));
    UniqueHandle never(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    DWORD longResult = 0;
    std::thread waiter([&] { longResult = WaitForSingleObject(never.get(), 5000); });
    // Until the long wait is in progress, or already over: held off the processor past
    // the idle window, this thread may first look after it went idle alone and ended.
    while (virtualClock.TimedWaiters() == 0 && virtualClock.ElapsedMilliseconds() == 0) std::this_thread::yield();
    const bool bothInTime = virtualClock.ElapsedMilliseconds() == 0;
    const DWORD shortResult = WaitForSingleObject(never.get(), 300);
    const std::uint64_t afterShort = virtualClock.ElapsedMilliseconds();
    waiter.join();
    if (!bothInTime || afterShort != 300) continue;  // the long wait went idle alone first
    EXPECT_EQ(shortResult, WAIT_TIMEOUT);
    EXPECT_EQ(longResult, WAIT_TIMEOUT);
    EXPECT_EQ(virtualClock.ElapsedMilliseconds(), 5000u) << "the long wait ends at its own deadline";
    return;
  }
  GTEST_SKIP() << "the machine was too busy to start two waits within the idle window";
}

TEST_F(ClockTest, AThreadThatReadsTheTimeWhileItWorksKeepsATimedWaitFromGoingIdle) {
  // A worker that stamps its progress (as every thread that logs does) for several idle
  // windows of real time: the wait for it must not time out meanwhile.
  UniqueHandle done(CreateEvent(nullptr, TRUE, FALSE, nullptr));
  std::thread worker([&] {
    const auto until = std::chrono::steady_clock::now() + 8 * VirtualClock::kIdleAfter;
    while (std::chrono::steady_clock::now() < until) {
      SYSTEMTIME stamp{};
      GetLocalTime(&stamp);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    SetEvent(done.get());
  });
  EXPECT_EQ(WaitForSingleObject(done.get(), 25000), WAIT_OBJECT_0);
  worker.join();
  EXPECT_EQ(clock().ElapsedMilliseconds(), 0u);
}

TEST_F(ClockTest, AThreadActingOnItsTimeOutHoldsTimeStillUntilItActs) {
  // A timer thread's wait times out, and the thread is then held off the processor for
  // several idle windows before it completes what was due (as on a busy machine): the
  // wait for that completion must see it at the timer's time, not jump to its own end.
  UniqueHandle never(CreateEvent(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle done(CreateEvent(nullptr, TRUE, FALSE, nullptr));
  std::thread timer([&] {
    EXPECT_EQ(WaitForSingleObject(never.get(), 300), WAIT_TIMEOUT);
    std::this_thread::sleep_for(3 * VirtualClock::kIdleAfter);
    SetEvent(done.get());
  });
  EXPECT_EQ(WaitForSingleObject(done.get(), 5000), WAIT_OBJECT_0);
  timer.join();
  EXPECT_EQ(clock().ElapsedMilliseconds(), 300u);
}

TEST_F(ClockTest, InfiniteWaitNeverMovesTime) {
  UniqueHandle event(CreateEvent(nullptr, TRUE, FALSE, nullptr));
  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // longer than the idle rule's window
    SetEvent(event.get());
  });
  EXPECT_EQ(WaitForSingleObject(event.get(), INFINITE), WAIT_OBJECT_0);
  signaller.join();
  EXPECT_EQ(clock().ElapsedMilliseconds(), 0u);
}

TEST_F(ClockTest, LocalTimeUsesTheClockOffset) {
  SYSTEMTIME st{};
  GetLocalTime(&st);  // the fixture's clock: UTC
  EXPECT_DATE(st, 2021, 3, 4, 4, 17, 5, 9, 42);
  {
    ScopedMachine east(root(), std::make_unique<VirtualClock>(VirtualClock::kDefaultStart, 2 * 3600 + 30 * 60));
    GetLocalTime(&st);
    EXPECT_DATE(st, 2021, 3, 4, 4, 19, 35, 9, 42);
    GetSystemTime(&st);
    EXPECT_DATE(st, 2021, 3, 4, 4, 17, 5, 9, 42);
    FILETIME utc = UInt64ToFileTime(VirtualClock::kDefaultStart), local{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(FileTimeToUInt64(local) - FileTimeToUInt64(utc), 9000ULL * 10'000'000);
  }
  {
    ScopedMachine west(root(), std::make_unique<VirtualClock>(VirtualClock::kDefaultStart, -18 * 3600));
    GetLocalTime(&st);
    EXPECT_DATE(st, 2021, 3, 3, 3, 23, 5, 9, 42);  // the day before, a Wednesday
  }
  GetLocalTime(&st);  // back on the fixture's clock at the same instant
  EXPECT_DATE(st, 2021, 3, 4, 4, 17, 5, 9, 42);
}

TEST_F(ClockTest, CachedLocalTimeCrossesSecondAndYearBoundaries) {
  const std::uint64_t start = ToFileTime(Date(2021, 12, 31, 22, 59, 59));
  auto owned = std::make_unique<VirtualClock>(start, 3600);
  VirtualClock& vc = *owned;
  ScopedMachine machine(root(), std::move(owned));
  SYSTEMTIME st{};
  GetLocalTime(&st);
  EXPECT_DATE(st, 2021, 12, 31, 5, 23, 59, 59, 0);
  vc.Advance(999);
  GetLocalTime(&st);
  EXPECT_DATE(st, 2021, 12, 31, 5, 23, 59, 59, 999);
  vc.Advance(1);
  GetLocalTime(&st);
  EXPECT_DATE(st, 2022, 1, 1, 6, 0, 0, 0, 0);
  vc.Advance(61'001);
  GetLocalTime(&st);
  EXPECT_DATE(st, 2022, 1, 1, 6, 0, 1, 1, 1);
}

TEST_F(ClockTest, EachThreadSeesTheCurrentTime) {
  SYSTEMTIME mine{};
  GetLocalTime(&mine);
  clock().Advance(2'000);
  SYSTEMTIME other{};
  std::thread([&] { GetLocalTime(&other); }).join();
  EXPECT_EQ(other.wSecond, 11);
  GetLocalTime(&mine);
  EXPECT_EQ(mine.wSecond, 11);
  EXPECT_EQ(mine.wMilliseconds, 42);
}

}  // namespace
}  // namespace platform
