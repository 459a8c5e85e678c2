#include "platform/sync.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/src/sync/sync_internal.h"
#include "platform/testing/machine_test.h"
#include "platform/testing/run_program.h"

namespace platform {
namespace {

using SyncTest = testing::MachineTest;
using SyncConcurrency = testing::MachineTest;

HANDLE NewEvent(bool manual, bool initial = false, LPCWSTR name = nullptr) {
  return CreateEvent(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, name);
}

// --- events ------------------------------------------------------------------------

TEST_F(SyncTest, ManualResetEventStaysSignalledUntilReset) {
  UniqueHandle event(NewEvent(true));
  ASSERT_TRUE(event);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST_F(SyncTest, AutoResetEventReleasesOneWaitPerSet) {
  UniqueHandle event(NewEvent(false, true));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  SetEvent(event.get());
  SetEvent(event.get());  // no count: still one release
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST_F(SyncTest, WaitAnyReportsTheLowestSignalledIndex) {
  UniqueHandle a(NewEvent(false)), b(NewEvent(false)), c(NewEvent(true));
  HANDLE all[] = {a.get(), b.get(), c.get()};
  EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(c.get());
  SetEvent(b.get());
  EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 2);  // b was consumed
  EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 2);  // c is manual
}

TEST_F(SyncTest, WaitAllTakesEverythingAtOnceOrNothing) {
  UniqueHandle a(NewEvent(false)), b(NewEvent(false));
  HANDLE both[] = {a.get(), b.get()};
  SetEvent(a.get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 500), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_OBJECT_0);  // the failed waits left a alone
  SetEvent(a.get());
  SetEvent(b.get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_TIMEOUT);
}

TEST_F(SyncTest, WaitRejectsBadArguments) {
  UniqueHandle a(NewEvent(true, true));
  HANDLE one[] = {a.get()};
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(0, one, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, a.get());
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
  HANDLE twice[] = {a.get(), a.get()};
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  HANDLE closed = NewEvent(true, true);
  ASSERT_TRUE(CloseHandle(closed));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE mixed[] = {a.get(), closed};
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_FALSE(SetEvent(closed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SyncTest, NamedEventsAreSharedByNameWithoutRegardToCase) {
  UniqueHandle first(NewEvent(true, false, L"Local\\KorvoReady"));
  ASSERT_TRUE(first);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  UniqueHandle second(NewEvent(false, true, L"korvoready"));  // flags of an existing event are ignored
  ASSERT_TRUE(second);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_TIMEOUT);
  SetEvent(second.get());
  EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_OBJECT_0);  // manual reset, from the creator

  UniqueHandle opened(OpenEvent(EVENT_ALL_ACCESS, FALSE, L"KORVOREADY"));
  ASSERT_TRUE(opened);
  ResetEvent(opened.get());
  EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_TIMEOUT);

  UniqueHandle other(NewEvent(true, true, L"KorvoOther"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_TIMEOUT);

  first.reset();
  second.reset();
  opened.reset();
  SetLastError(0);
  EXPECT_EQ(OpenEvent(SYNCHRONIZE, FALSE, L"KorvoReady"), nullptr);  // gone with its last handle
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SyncTest, NamedEventsBelongToTheirMachine) {
  UniqueHandle event(NewEvent(true, false, L"KorvoMachineEvent"));
  ASSERT_TRUE(event);
  ReopenMachine();
  SetLastError(0);
  EXPECT_EQ(OpenEvent(SYNCHRONIZE, FALSE, L"KorvoMachineEvent"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  UniqueHandle fresh(NewEvent(true, false, L"KorvoMachineEvent"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

// --- handles -------------------------------------------------------------------------

TEST_F(SyncTest, ClosingTwiceFailsAndTheCountFollowsEveryHandle) {
  const std::size_t before = OpenHandleCount();
  HANDLE event = NewEvent(true);
  ASSERT_NE(event, nullptr);
  HANDLE named = NewEvent(true, false, L"KorvoCounted");
  HANDLE again = NewEvent(true, false, L"KorvoCounted");
  EXPECT_EQ(OpenHandleCount(), before + 3) << "two handles to one named event count twice";
  EXPECT_TRUE(CloseHandle(event));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenHandleCount(), before + 2) << "a failed close takes nothing away";
  EXPECT_TRUE(CloseHandle(named));
  EXPECT_TRUE(CloseHandle(again));
  EXPECT_EQ(OpenHandleCount(), before);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(GetCurrentThread()));
  EXPECT_TRUE(CloseHandle(GetCurrentThread()));  // the pseudo handle never closes
}

TEST_F(SyncTest, AnObjectLivesWhileAnyHandleIsOpen) {
  HANDLE first = NewEvent(true, false, L"KorvoKeep");
  UniqueHandle second(NewEvent(true, false, L"KorvoKeep"));
  ASSERT_TRUE(CloseHandle(first));
  UniqueHandle third(OpenEvent(SYNCHRONIZE, FALSE, L"KorvoKeep"));
  EXPECT_TRUE(third);
}

// --- in-process mutexes --------------------------------------------------------------

TEST_F(SyncTest, MutexIsRecursiveAndOnlyItsOwnerReleasesIt) {
  UniqueHandle mutex(CreateMutex(nullptr, TRUE, nullptr));
  ASSERT_TRUE(mutex);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);  // owned twice now

  DWORD otherWait = 0;
  BOOL otherRelease = TRUE;
  DWORD otherError = 0;
  std::thread([&] {
    otherWait = WaitForSingleObject(mutex.get(), 0);
    otherRelease = ReleaseMutex(mutex.get());
    otherError = GetLastError();
  }).join();
  EXPECT_EQ(otherWait, WAIT_TIMEOUT);
  EXPECT_FALSE(otherRelease);
  EXPECT_EQ(otherError, ERROR_NOT_OWNER);

  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

  std::thread([&] {
    otherWait = WaitForSingleObject(mutex.get(), 0);
    ReleaseMutex(mutex.get());
  }).join();
  EXPECT_EQ(otherWait, WAIT_OBJECT_0);

  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SyncTest, MutexOfAnEndedThreadIsAbandoned) {
  UniqueHandle mutex(CreateMutex(nullptr, FALSE, nullptr));
  UniqueHandle event(NewEvent(false));
  UniqueHandle thread(CreateThread(
      nullptr, 0, [](LPVOID m) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(m), INFINITE); }, mutex.get(),
      0, nullptr));
  ASSERT_TRUE(thread);
  ASSERT_EQ(WaitForSingleObject(thread.get(), INFINITE), WAIT_OBJECT_0);
  DWORD code = 1;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, WAIT_OBJECT_0);

  HANDLE both[] = {event.get(), mutex.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_ABANDONED_0 + 1);
  EXPECT_TRUE(ReleaseMutex(mutex.get()));                         // we owned it
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);  // reported once only
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

// --- threads -------------------------------------------------------------------------

struct ThreadProbe {
  std::atomic<DWORD> seenId{0};
  std::atomic<bool> ran{false};
};

DWORD ProbeThread(LPVOID p) {
  auto* probe = static_cast<ThreadProbe*>(p);
  probe->seenId = GetCurrentThreadId();
  probe->ran = true;
  return 42;
}

TEST_F(SyncTest, ThreadHandleIsSignalledWithTheExitCode) {
  ThreadProbe probe;
  DWORD id = 0;
  UniqueHandle thread(CreateThread(nullptr, 0, ProbeThread, &probe, 0, &id));
  ASSERT_TRUE(thread);
  EXPECT_EQ(WaitForSingleObject(thread.get(), INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 42u);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(probe.seenId.load(), id);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);  // stays signalled
}

TEST_F(SyncTest, SuspendedThreadStartsOnResume) {
  ThreadProbe probe;
  UniqueHandle thread(CreateThread(nullptr, 0, ProbeThread, &probe, CREATE_SUSPENDED, nullptr));
  ASSERT_TRUE(thread);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 200), WAIT_TIMEOUT);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_FALSE(probe.ran.load());
  EXPECT_EQ(ResumeThread(thread.get()), 1u);
  EXPECT_EQ(WaitForSingleObject(thread.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(probe.ran.load());
  EXPECT_EQ(ResumeThread(thread.get()), 0u);
  SetLastError(0);
  EXPECT_EQ(ResumeThread(nullptr), static_cast<DWORD>(-1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  ASSERT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
}

TEST_F(SyncTest, ThreadOutlivesItsHandle) {
  UniqueHandle gate(NewEvent(true));
  UniqueHandle done(NewEvent(true));
  struct Pair {
    HANDLE gate, done;
  } pair{gate.get(), done.get()};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* handles = static_cast<Pair*>(p);
        WaitForSingleObject(handles->gate, INFINITE);
        SetEvent(handles->done);
        return 0;
      },
      &pair, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(CloseHandle(thread));
  SetEvent(gate.get());
  EXPECT_EQ(WaitForSingleObject(done.get(), INFINITE), WAIT_OBJECT_0);
}

// --- critical sections -------------------------------------------------------------------

TEST_F(SyncTest, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  {
    CriticalSectionLock outer(cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    BOOL other = TRUE;
    std::thread([&] {
      other = TryEnterCriticalSection(&cs);
      if (other) LeaveCriticalSection(&cs);
    }).join();
    EXPECT_FALSE(other);
    LeaveCriticalSection(&cs);
  }
  BOOL after = FALSE;
  std::thread([&] {
    after = TryEnterCriticalSection(&cs);
    if (after) LeaveCriticalSection(&cs);
  }).join();
  EXPECT_TRUE(after);
  DeleteCriticalSection(&cs);
}

// --- concurrency -------------------------------------------------------------------------

TEST_F(SyncConcurrency, AutoResetEventWakesExactlyOneWaiterPerSet) {
  constexpr int kWaiters = 4;
  constexpr int kRounds = 400;
  UniqueHandle go(NewEvent(false));
  UniqueHandle ack(NewEvent(false));
  UniqueHandle quit(NewEvent(true));
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      HANDLE wake[] = {quit.get(), go.get()};
      while (WaitForMultipleObjects(2, wake, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        ++released;
        SetEvent(ack.get());
      }
    });
  }
  for (int round = 1; round <= kRounds; ++round) {
    SetEvent(go.get());
    ASSERT_EQ(WaitForSingleObject(ack.get(), INFINITE), WAIT_OBJECT_0);
    // Had one set let two waiters through, the count would run ahead of the rounds.
    ASSERT_EQ(released.load(), round);
  }
  SetEvent(quit.get());
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), kRounds);
}

TEST_F(SyncConcurrency, MutexGuardsACounterAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kIncrements = 5000;
  UniqueHandle mutex(CreateMutex(nullptr, FALSE, nullptr));
  long counter = 0;  // deliberately not atomic: the mutex is all that protects it
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      for (int n = 0; n < kIncrements; ++n) {
        ASSERT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_OBJECT_0);
        ++counter;
        ASSERT_TRUE(ReleaseMutex(mutex.get()));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, kThreads * kIncrements);
}

TEST_F(SyncConcurrency, WaitAllOwnsTheWholeSetAtOnce) {
  // Pair threads take {ma, mb} with one waitAll and touch both counters; single threads
  // take one mutex and touch its counter. Plain counters: any gap in the exclusion
  // loses increments (and shows up under a race detector).
  constexpr int kRounds = 2000;
  UniqueHandle ma(CreateMutex(nullptr, FALSE, nullptr)), mb(CreateMutex(nullptr, FALSE, nullptr));
  long a = 0, b = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&] {
      HANDLE both[] = {ma.get(), mb.get()};
      for (int n = 0; n < kRounds; ++n) {
        ASSERT_EQ(WaitForMultipleObjects(2, both, TRUE, INFINITE), WAIT_OBJECT_0);
        ++a;
        ++b;
        ASSERT_TRUE(ReleaseMutex(mb.get()));
        ASSERT_TRUE(ReleaseMutex(ma.get()));
      }
    });
  }
  for (HANDLE m : {ma.get(), mb.get()}) {
    long* counter = m == ma.get() ? &a : &b;
    threads.emplace_back([m, counter] {
      for (int n = 0; n < kRounds; ++n) {
        ASSERT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
        ++*counter;
        ASSERT_TRUE(ReleaseMutex(m));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(a, 3 * kRounds);
  EXPECT_EQ(b, 3 * kRounds);
}

TEST_F(SyncConcurrency, ThreadPoolGrowsForBlockingCallbacks) {
  constexpr int kItems = 8;
  struct Shared {
    HANDLE gate;
    HANDLE arrived[kItems];
    HANDLE finished[kItems];
    std::atomic<int> next{0};
    std::atomic<int> nullInstances{0};
    std::atomic<int> failedGateWaits{0};
  } shared{};
  UniqueHandle gate(NewEvent(true));
  std::vector<UniqueHandle> events;
  shared.gate = gate.get();
  for (int i = 0; i < kItems; ++i) {
    events.emplace_back(NewEvent(true));
    shared.arrived[i] = events.back().get();
    events.emplace_back(NewEvent(true));
    shared.finished[i] = events.back().get();
  }
  int submitted = 0;
  for (; submitted < kItems; ++submitted) {
    const BOOL ok = TrySubmitThreadpoolCallback(
        [](PTP_CALLBACK_INSTANCE instance, LPVOID context) {
          auto* s = static_cast<Shared*>(context);
          const int item = s->next++;
          if (instance == nullptr) ++s->nullInstances;
          SetEvent(s->arrived[item]);
          if (WaitForSingleObject(s->gate, INFINITE) != WAIT_OBJECT_0) ++s->failedGateWaits;
          // The callback's last use of the test's objects and of the platform: once
          // every item is finished the test ends, and TearDown destroys the machine
          // and the clock that a later wait here would still look up.
          SetEvent(s->finished[item]);
        },
        &shared, nullptr);
    if (!ok) {
      ADD_FAILURE() << "submitting item " << submitted << " failed with " << GetLastError();
      break;
    }
  }
  // All callbacks run at the same time: each waits for the gate that opens only then.
  if (submitted > 0) {
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(submitted), shared.arrived, TRUE, INFINITE), WAIT_OBJECT_0);
  }
  SetEvent(gate.get());
  // Nothing a callback uses may go away before it is done with it: `shared` and the
  // handles on this stack, and the machine of this test.
  if (submitted > 0) {
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(submitted), shared.finished, TRUE, INFINITE), WAIT_OBJECT_0);
  }
  EXPECT_EQ(shared.nullInstances.load(), 0);
  EXPECT_EQ(shared.failedGateWaits.load(), 0);
  SetLastError(0);
  EXPECT_FALSE(TrySubmitThreadpoolCallback(nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// --- thread-pool work -----------------------------------------------------------------

// What the callbacks of one work object saw, and the gate they wait behind.
struct WorkProbe {
  HANDLE gate = nullptr;     // manual-reset; callbacks wait for it when set
  HANDLE arrived = nullptr;  // auto-reset; set as each callback starts
  std::atomic<int> runs{0};
  std::atomic<int> finished{0};
  std::atomic<int> wrongArguments{0};
  PTP_WORK work = nullptr;

  static void Callback(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK work) {
    auto* probe = static_cast<WorkProbe*>(context);
    if (instance == nullptr || work != probe->work) ++probe->wrongArguments;
    ++probe->runs;
    if (probe->arrived != nullptr) SetEvent(probe->arrived);
    if (probe->gate != nullptr) WaitForSingleObject(probe->gate, INFINITE);
    ++probe->finished;
  }

  // Creates the work object and runs one callback, which is held at `gateEvent`.
  void StartHeld(HANDLE gateEvent, HANDLE arrivedEvent) {
    gate = gateEvent;
    arrived = arrivedEvent;
    work = CreateThreadpoolWork(&Callback, this, nullptr);
    ASSERT_NE(work, nullptr);
    SubmitThreadpoolWork(work);
    ASSERT_EQ(WaitForSingleObject(arrived, INFINITE), WAIT_OBJECT_0);
  }
};

// Keeps the pool's workers off the queue until released (at the latest when it goes).
struct PoolHold {
  PoolHold() { sync::detail::HoldThreadPool(true); }
  ~PoolHold() { Release(); }
  void Release() {
    if (held) sync::detail::HoldThreadPool(false);
    held = false;
  }
  bool held = true;
};

TEST_F(SyncTest, AWorkObjectRunsItsCallbackOncePerSubmissionWithItsContextAndItself) {
  WorkProbe probe;
  probe.work = CreateThreadpoolWork(&WorkProbe::Callback, &probe, nullptr);
  ASSERT_NE(probe.work, nullptr);
  for (int i = 0; i < 5; ++i) SubmitThreadpoolWork(probe.work);
  WaitForThreadpoolWorkCallbacks(probe.work, FALSE);
  EXPECT_EQ(probe.finished.load(), 5);
  // Still usable after a wait: submissions are not one-shot.
  SubmitThreadpoolWork(probe.work);
  WaitForThreadpoolWorkCallbacks(probe.work, FALSE);
  EXPECT_EQ(probe.finished.load(), 6);
  EXPECT_EQ(probe.wrongArguments.load(), 0);
  CloseThreadpoolWork(probe.work);

  SetLastError(0);
  EXPECT_EQ(CreateThreadpoolWork(nullptr, &probe, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SyncConcurrency, WaitingForWorkWaitsForTheRunningCallbackAndCancelsTheQueuedOnes) {
  UniqueHandle gate(NewEvent(true));
  UniqueHandle arrived(NewEvent(false));
  WorkProbe probe;
  ASSERT_NO_FATAL_FAILURE(probe.StartHeld(gate.get(), arrived.get()));

  std::atomic<int> finishedWhenWaitReturned{-1};
  PoolHold hold;
  SubmitThreadpoolWork(probe.work);
  SubmitThreadpoolWork(probe.work);
  EXPECT_EQ(sync::detail::ThreadPoolQueueLength(), 2u);
  std::thread waiter([&] {
    WaitForThreadpoolWorkCallbacks(probe.work, TRUE);
    finishedWhenWaitReturned = probe.finished.load();
  });
  // The queue empties once the waiter has cancelled the two pending runs; the first
  // one still waits behind the gate, and so must the waiter.
  EXPECT_TRUE(testing::Eventually([] { return sync::detail::ThreadPoolQueueLength() == 0; }));
  SetEvent(gate.get());
  hold.Release();
  waiter.join();
  EXPECT_EQ(finishedWhenWaitReturned.load(), 1);
  WaitForThreadpoolWorkCallbacks(probe.work, FALSE);
  EXPECT_EQ(probe.runs.load(), 1) << "cancelled submissions never run, even once the pool takes work again";
  CloseThreadpoolWork(probe.work);
}

TEST_F(SyncConcurrency, ClosingAWorkObjectLetsItsRunningCallbackFinish) {
  UniqueHandle gate(NewEvent(true));
  UniqueHandle arrived(NewEvent(false));
  WorkProbe probe;
  ASSERT_NO_FATAL_FAILURE(probe.StartHeld(gate.get(), arrived.get()));
  // The object is freed by its callback's return: closing neither waits nor cancels.
  CloseThreadpoolWork(probe.work);
  SetEvent(gate.get());
  ASSERT_TRUE(testing::Eventually([&] { return probe.finished.load() == 1; }));
  EXPECT_EQ(probe.runs.load(), 1);
}

}  // namespace
}  // namespace platform
