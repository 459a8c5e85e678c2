#include "platform/clock.h"

#include <time.h>

#include <algorithm>
#include <limits>
#include <thread>

#include "platform/machine.h"

namespace platform {
namespace {

constexpr std::uint64_t kUnitsPerMs = 10'000;
constexpr std::uint64_t kUnitsPerSecond = 10'000'000;
constexpr std::uint64_t kUnitsPerDay = 86'400 * kUnitsPerSecond;
// 1601-01-01 to 1970-01-01.
constexpr std::int64_t kUnixEpochSeconds = 11'644'473'600;
constexpr std::uint64_t kUnixEpochUnits = static_cast<std::uint64_t>(kUnixEpochSeconds) * kUnitsPerSecond;
// Days from 1970-01-01 back to 1601-01-01.
constexpr std::int64_t kDays1601To1970 = 134'774;
// The largest FILETIME the conversions accept, as on the original.
constexpr std::uint64_t kMaxFileTime = 0x7FFF'FFFF'FFFF'FFFFULL;

// The virtual clock's interrupt time starts one hour "after boot", so a tick count
// read at start is not zero (some callers use zero to mean "never").
constexpr std::uint64_t kVirtualBootUnits = 3'600 * kUnitsPerSecond;

// Real time between two looks of a virtual timed wait at its deadline and condition.
constexpr std::chrono::milliseconds kVirtualQuantum{2};
// How often an INFINITE wait re-checks its condition in case a notification was missed.
constexpr std::chrono::milliseconds kInfiniteRecheck{50};

std::atomic<std::uint64_t> g_nextClockId{1};

// The virtual clock (by id) on which this thread's last timed wait timed out, until the
// thread touches that clock again; 0 when none.
thread_local std::uint64_t t_timedOutOn = 0;

// Calendar arithmetic on days since 1970-01-01 (proleptic Gregorian), valid for the
// whole FILETIME range.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* year, unsigned* month, unsigned* day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<std::int64_t>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

bool IsLeapYear(unsigned y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(unsigned y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Splits a FILETIME count known to be in range.
SYSTEMTIME BreakDown(std::uint64_t t) {
  const auto days = static_cast<std::int64_t>(t / kUnitsPerDay);
  const std::uint64_t inDay = t % kUnitsPerDay;
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days - kDays1601To1970, &year, &month, &day);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st.wHour = static_cast<WORD>(inDay / (3600 * kUnitsPerSecond));
  st.wMinute = static_cast<WORD>(inDay / (60 * kUnitsPerSecond) % 60);
  st.wSecond = static_cast<WORD>(inDay / kUnitsPerSecond % 60);
  st.wMilliseconds = static_cast<WORD>(inDay / kUnitsPerMs % 1000);
  return st;
}

std::uint64_t ApplyOffset(std::uint64_t utc, std::int64_t offsetSeconds) {
  const std::int64_t delta = offsetSeconds * static_cast<std::int64_t>(kUnitsPerSecond);
  if (delta < 0 && static_cast<std::uint64_t>(-delta) > utc) return 0;
  return utc + static_cast<std::uint64_t>(delta);
}

std::uint64_t ToUnits(DWORD milliseconds) {
  return std::uint64_t{milliseconds} * kUnitsPerMs;
}

}  // namespace

// --- conversions --------------------------------------------------------------------

std::uint64_t UnixNanosToFileTime(std::int64_t unixNanos) {
  // Floor division, so an instant before 1970 lands on the 100 ns tick at or before it.
  std::int64_t units = unixNanos / 100;
  if (unixNanos % 100 < 0) --units;
  const auto epoch = static_cast<std::int64_t>(kUnixEpochUnits);
  if (units < -epoch) return 0;  // before 1601
  return static_cast<std::uint64_t>(units + epoch);
}

std::int64_t FileTimeToUnixNanos(std::uint64_t fileTime) {
  // int64 nanoseconds only span 1677..2262; saturate outside it.
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kLimit = static_cast<std::uint64_t>(kMax / 100);
  if (fileTime >= kUnixEpochUnits) {
    const std::uint64_t units = fileTime - kUnixEpochUnits;
    return units > kLimit ? kMax : static_cast<std::int64_t>(units) * 100;
  }
  const std::uint64_t units = kUnixEpochUnits - fileTime;
  return units > kLimit ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(units) * 100;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
  if (ft == nullptr || st == nullptr || FileTimeToUInt64(*ft) > kMaxFileTime) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *st = BreakDown(FileTimeToUInt64(*ft));
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
  if (st == nullptr || ft == nullptr || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 ||
      st->wDay < 1 || st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 ||
      st->wSecond > 59 || st->wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // wDayOfWeek is ignored, as on the original.
  const std::int64_t days = DaysFromCivil(st->wYear, st->wMonth, st->wDay) + kDays1601To1970;
  const std::uint64_t t =
      static_cast<std::uint64_t>(days) * kUnitsPerDay +
      (std::uint64_t{st->wHour} * 3600 + std::uint64_t{st->wMinute} * 60 + st->wSecond) * kUnitsPerSecond +
      std::uint64_t{st->wMilliseconds} * kUnitsPerMs;
  *ft = UInt64ToFileTime(t);
  return TRUE;
}

// --- Clock -------------------------------------------------------------------------

Clock::Clock() : id_(g_nextClockId.fetch_add(1, std::memory_order_relaxed)) {}

// --- RealClock ---------------------------------------------------------------------

std::uint64_t RealClock::SystemTime100ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return UnixNanosToFileTime(static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec);
}

std::int64_t RealClock::LocalOffsetSeconds(std::uint64_t utc100ns) {
  const std::int64_t nanos = FileTimeToUnixNanos(utc100ns);
  auto seconds = static_cast<time_t>(nanos / 1'000'000'000);
  tm local{};
  if (::localtime_r(&seconds, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

std::uint64_t RealClock::InterruptTime100ns() {
  // CLOCK_MONOTONIC does not advance while the host is suspended, which is what
  // "unbiased" means on the original.
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * kUnitsPerSecond + static_cast<std::uint64_t>(ts.tv_nsec) / 100;
}

void RealClock::Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool RealClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, DWORD timeoutMs,
                          const std::function<bool()>& ready) {
  if (timeoutMs == INFINITE) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs), ready);
}

// --- VirtualClock ------------------------------------------------------------------

VirtualClock::VirtualClock(std::uint64_t startUtc100ns, std::int64_t localOffsetSeconds)
    : start_(startUtc100ns), offset_(localOffsetSeconds), now_(startUtc100ns) {}

std::uint64_t VirtualClock::SystemTime100ns() {
  NoteActive();
  reads_.fetch_add(1, std::memory_order_relaxed);
  return now_.load(std::memory_order_acquire);
}

std::int64_t VirtualClock::LocalOffsetSeconds(std::uint64_t) {
  return offset_;
}

std::uint64_t VirtualClock::InterruptTime100ns() {
  NoteActive();
  reads_.fetch_add(1, std::memory_order_relaxed);
  return now_.load(std::memory_order_acquire) - start_ + kVirtualBootUnits;
}

void VirtualClock::Sleep(DWORD milliseconds) {
  NoteActive();
  if (milliseconds == INFINITE) {
    // Never returns, as on the original; time does not jump for it.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  if (milliseconds != 0) AdvanceBy(ToUnits(milliseconds));
  // Let other threads run, so a polling loop of short sleeps does not starve the
  // thread it polls for.
  std::this_thread::yield();
}

void VirtualClock::Advance(DWORD milliseconds) {
  AdvanceBy(ToUnits(milliseconds));
}

std::uint64_t VirtualClock::ElapsedMilliseconds() const {
  return (now_.load(std::memory_order_acquire) - start_) / kUnitsPerMs;
}

std::size_t VirtualClock::TimedWaiters() {
  std::lock_guard guard(waitersLock_);
  return waiters_.size();
}

void VirtualClock::AdvanceBy(std::uint64_t units) {
  now_.fetch_add(units, std::memory_order_acq_rel);
  WakeTimedWaiters();
}

void VirtualClock::NoteActive() {
  if (t_timedOutOn != Id()) return;
  t_timedOutOn = 0;
  std::lock_guard guard(waitersLock_);
  timedOut_.erase(std::this_thread::get_id());
}

bool VirtualClock::SomeoneActsOnATimeOutLocked(std::chrono::steady_clock::time_point realNow) {
  std::erase_if(timedOut_, [&](const auto& entry) { return entry.second <= realNow; });
  return !timedOut_.empty();
}

void VirtualClock::WakeTimedWaiters() {
  // notify_all needs no lock of the waiter's mutex; holding waitersLock_ keeps each
  // registered condition variable alive while it is notified.
  std::lock_guard guard(waitersLock_);
  for (auto& [deadline, cv] : waiters_) cv->notify_all();
}

// A timed wait under the virtual clock cannot block for real time that "passes" only
// virtually, so it looks at its condition and at the virtual time every few real
// milliseconds. The idle rule: when for kIdleAfter of real time its condition stayed
// false, the virtual time did not move and no thread read the time (a thread that logs
// or stamps its work reads it, so one still busy keeps the wait from going idle),
// nothing is happening that could end the wait except its time-out, so time jumps to
// the earliest deadline of all timed waits in progress (in order, as if that much time
// had passed). The wait whose deadline that is times out; the others see the time move
// and start counting idle time again. A thread whose wait just timed out is about to
// act on it (complete a request, set an event) and may not be scheduled at once on a
// busy machine, so no wait counts as idle until that thread touched the clock again or
// kTimedOutGrace passed. Waits with INFINITE never move time. The rule misjudges a
// thread that works for more than kIdleAfter without reading or moving the clock before
// it would end the wait; tests keep such work short or let the worker sleep on the clock.
bool VirtualClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, DWORD timeoutMs,
                             const std::function<bool()>& ready) {
  NoteActive();
  if (ready()) return true;
  if (timeoutMs == 0) return false;
  if (timeoutMs == INFINITE) {
    do {
      cv.wait_for(lock, kInfiniteRecheck);
    } while (!ready());
    return true;
  }

  const std::uint64_t deadline = now_.load(std::memory_order_acquire) + ToUnits(timeoutMs);
  // Leaving the wait unregisters it; a time-out marks the thread as acting on it in the
  // same step, so that no other wait ever sees neither and jumps past that work.
  struct Registration {
    VirtualClock* clock;
    std::multimap<std::uint64_t, std::condition_variable*>::iterator entry;
    bool registered = true;
    void Leave(bool timedOut) {
      std::lock_guard guard(clock->waitersLock_);
      clock->waiters_.erase(entry);
      registered = false;
      if (timedOut) {
        clock->timedOut_[std::this_thread::get_id()] = std::chrono::steady_clock::now() + kTimedOutGrace;
        t_timedOutOn = clock->Id();
      }
    }
    ~Registration() {
      if (registered) Leave(false);
    }
  };
  Registration registration{this, {}};
  {
    std::lock_guard guard(waitersLock_);
    registration.entry = waiters_.emplace(deadline, &cv);
  }

  std::uint64_t seen = now_.load(std::memory_order_acquire);
  std::uint64_t seenReads = reads_.load(std::memory_order_relaxed);
  auto idleSince = std::chrono::steady_clock::now();
  for (;;) {
    cv.wait_for(lock, kVirtualQuantum);
    if (ready()) return true;
    const std::uint64_t now = now_.load(std::memory_order_acquire);
    if (now >= deadline) {
      registration.Leave(true);
      return false;
    }
    const auto realNow = std::chrono::steady_clock::now();
    const std::uint64_t reads = reads_.load(std::memory_order_relaxed);
    if (now != seen || reads != seenReads) {
      seen = now;
      seenReads = reads;
      idleSince = realNow;
      continue;
    }
    if (realNow - idleSince < kIdleAfter) continue;

    // Idle: jump to the earliest pending deadline (never backwards).
    {
      std::lock_guard guard(waitersLock_);
      if (SomeoneActsOnATimeOutLocked(realNow)) continue;
      const std::uint64_t target = waiters_.begin()->first;  // ours at least is registered
      std::uint64_t current = now_.load(std::memory_order_acquire);
      while (current < target && !now_.compare_exchange_weak(current, target, std::memory_order_acq_rel)) {
      }
      for (auto& [d, waiterCv] : waiters_) waiterCv->notify_all();
    }
    if (now_.load(std::memory_order_acquire) >= deadline) {
      if (ready()) return true;
      registration.Leave(true);
      return false;
    }
    seen = now_.load(std::memory_order_acquire);
    seenReads = reads_.load(std::memory_order_relaxed);
    idleSince = realNow;
  }
}

// --- the original's calls ------------------------------------------------------------

void GetSystemTime(SYSTEMTIME* st) {
  if (st == nullptr) return;
  *st = BreakDown(std::min(CurrentMachine().GetClock().SystemTime100ns(), kMaxFileTime));
}

void GetLocalTime(SYSTEMTIME* st) {
  if (st == nullptr) return;
  // Loggers call this for every line. Breaking a time down (and asking the host for the
  // zone offset) once per second and per thread is enough: within one second of the
  // same clock only the milliseconds change. The offset is whole seconds, so a local
  // second starts where a UTC second starts.
  struct SecondCache {
    std::uint64_t clockId = 0;  // 0: empty (clock ids start at 1)
    std::uint64_t secondStart = 0;
    SYSTEMTIME local{};
  };
  thread_local SecondCache cache;

  Clock& clock = CurrentMachine().GetClock();
  const std::uint64_t utc = clock.SystemTime100ns();
  const std::uint64_t secondStart = utc - utc % kUnitsPerSecond;
  if (cache.clockId != clock.Id() || cache.secondStart != secondStart) {
    const std::uint64_t local = std::min(ApplyOffset(secondStart, clock.LocalOffsetSeconds(utc)), kMaxFileTime);
    cache.local = BreakDown(local - local % kUnitsPerSecond);
    cache.secondStart = secondStart;
    cache.clockId = clock.Id();
  }
  *st = cache.local;
  st->wMilliseconds = static_cast<WORD>(utc % kUnitsPerSecond / kUnitsPerMs);
}

void GetSystemTimeAsFileTime(FILETIME* ft) {
  if (ft != nullptr) *ft = UInt64ToFileTime(CurrentMachine().GetClock().SystemTime100ns());
}

BOOL QueryUnbiasedInterruptTime(ULONGLONG* unbiasedTime) {
  if (unbiasedTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *unbiasedTime = CurrentMachine().GetClock().InterruptTime100ns();
  return TRUE;
}

ULONGLONG GetTickCount64() {
  return CurrentMachine().GetClock().InterruptTime100ns() / kUnitsPerMs;
}

DWORD GetTickCount() {
  return static_cast<DWORD>(GetTickCount64());
}

void Sleep(DWORD milliseconds) {
  CurrentMachine().GetClock().Sleep(milliseconds);
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  if (utc == nullptr || local == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::uint64_t t = FileTimeToUInt64(*utc);
  *local = UInt64ToFileTime(ApplyOffset(t, CurrentMachine().GetClock().LocalOffsetSeconds(t)));
  return TRUE;
}

}  // namespace platform
