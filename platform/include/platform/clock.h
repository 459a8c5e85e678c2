// Time. Every sleep, timed wait, time stamp and interrupt-time read of the system goes
// through the current machine's clock: the real clock by default, a virtual clock in
// tests. The virtual clock advances when a thread sleeps, and when a timed wait finds
// nothing else happening it jumps straight to that wait's deadline, so a retry scheme
// of "6 attempts 100 ms apart, then 3000 ms" runs instantly and a test can assert the
// exact virtual time that passed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/types.h"

namespace platform {

class Clock {
 public:
  Clock();
  virtual ~Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  // Tells clock objects apart for per-thread caches: never reused within a process
  // run, unlike an address.
  std::uint64_t Id() const { return id_; }

  // Current time as a FILETIME count (100 ns units since 1601-01-01 UTC).
  virtual std::uint64_t SystemTime100ns() = 0;
  // Local time minus UTC, in seconds, at the given UTC instant.
  virtual std::int64_t LocalOffsetSeconds(std::uint64_t utc100ns) = 0;
  // Unbiased interrupt time: 100 ns units since an arbitrary start, monotonic, not
  // counting suspend.
  virtual std::uint64_t InterruptTime100ns() = 0;
  virtual void Sleep(DWORD milliseconds) = 0;
  virtual bool IsVirtual() const = 0;

  // Waits on `cv` (with `lock` held on entry and exit) until `ready()` holds or
  // `timeoutMs` of this clock's time passed. Returns ready(). INFINITE never times out.
  // Whoever makes `ready()` true must notify `cv`. ready() is always called with `lock`
  // held and never again once it returned true, so it may take what it waited for
  // (reset an auto-reset event, own a mutex).
  virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, DWORD timeoutMs,
                         const std::function<bool()>& ready) = 0;

 private:
  const std::uint64_t id_;
};

class RealClock final : public Clock {
 public:
  std::uint64_t SystemTime100ns() override;
  std::int64_t LocalOffsetSeconds(std::uint64_t utc100ns) override;
  std::uint64_t InterruptTime100ns() override;
  void Sleep(DWORD milliseconds) override;
  bool IsVirtual() const override { return false; }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, DWORD timeoutMs,
                 const std::function<bool()>& ready) override;
};

class VirtualClock final : public Clock {
 public:
  // 2021-03-04 17:05:09.042 UTC, a fixed instant so that tests can assert whole lines.
  static constexpr std::uint64_t kDefaultStart = 132593511090420000ULL;

  explicit VirtualClock(std::uint64_t startUtc100ns = kDefaultStart, std::int64_t localOffsetSeconds = 0);

  std::uint64_t SystemTime100ns() override;
  std::int64_t LocalOffsetSeconds(std::uint64_t utc100ns) override;
  std::uint64_t InterruptTime100ns() override;
  void Sleep(DWORD milliseconds) override;
  bool IsVirtual() const override { return true; }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, DWORD timeoutMs,
                 const std::function<bool()>& ready) override;

  // Moves time forward as if `milliseconds` had passed.
  void Advance(DWORD milliseconds);
  // Virtual milliseconds since the clock was made.
  std::uint64_t ElapsedMilliseconds() const;
  // How many timed waits are in progress (tests that set up several waiters use it).
  std::size_t TimedWaiters();

  // A timed wait that saw neither its condition nor the time change, and no thread
  // read the time, for this long (real time) counts as idle; see WaitUntil in clock.cpp.
  static constexpr std::chrono::milliseconds kIdleAfter{20};
  // A thread whose timed wait just timed out is about to act on it; time does not jump
  // until it touches the clock again (reads it, sleeps or waits), or for this long.
  static constexpr std::chrono::milliseconds kTimedOutGrace{250};

 private:
  void AdvanceBy(std::uint64_t units);
  void WakeTimedWaiters();
  // The calling thread touches the clock: it is no longer acting on a time-out.
  void NoteActive();
  // With waitersLock_ held: whether a thread still acts on a time-out (forgets those
  // whose grace ran out).
  bool SomeoneActsOnATimeOutLocked(std::chrono::steady_clock::time_point realNow);

  const std::uint64_t start_;
  const std::int64_t offset_;
  std::atomic<std::uint64_t> now_;       // 100 ns units since 1601
  std::atomic<std::uint64_t> reads_{0};  // reads of the time: a sign of threads at work

  // Timed waits in progress: deadline -> the condition variable to wake when the
  // time moves. Guarded by waitersLock_, which is never held while waiting.
  std::mutex waitersLock_;
  std::multimap<std::uint64_t, std::condition_variable*> waiters_;
  // Threads whose timed wait timed out and that have not touched the clock since: the
  // end of their grace. Guarded by waitersLock_.
  std::map<std::thread::id, std::chrono::steady_clock::time_point> timedOut_;
};

// The original's calls, on the current machine's clock.
void GetLocalTime(SYSTEMTIME* st);
void GetSystemTime(SYSTEMTIME* st);
void GetSystemTimeAsFileTime(FILETIME* ft);
BOOL QueryUnbiasedInterruptTime(ULONGLONG* unbiasedTime);
ULONGLONG GetTickCount64();
DWORD GetTickCount();
void Sleep(DWORD milliseconds);
BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);
BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);
BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);

// Conversions between FILETIME counts and the host's clocks.
std::uint64_t UnixNanosToFileTime(std::int64_t unixNanos);
std::int64_t FileTimeToUnixNanos(std::uint64_t fileTime);

}  // namespace platform
