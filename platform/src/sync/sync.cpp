#include "platform/sync.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/machine.h"
#include "platform/src/base/handles.h"
#include "platform/src/base/trace.h"
#include "platform/src/sync/sync_internal.h"
#include "platform/text.h"

namespace platform {

// What a thread-pool callback receives; it only has to be a valid, distinct pointer.
struct TP_CALLBACK_INSTANCE {
  LPVOID context = nullptr;
};

// A work object. Its counters are guarded by the pool's lock: a submission is queued as
// one pool item that runs the work's callback, so the pool's queue is also where
// pending submissions are found and cancelled.
struct TP_WORK {
  PTP_WORK_CALLBACK callback = nullptr;
  PVOID context = nullptr;
  std::size_t outstanding = 0;  // submitted and not finished: queued or running
  bool closed = false;          // CloseThreadpoolWork was called; the last callback frees it
  std::condition_variable finished;
};

namespace sync::detail {
namespace {

struct SyncCore {
  std::mutex lock;
  std::condition_variable changed;
};

SyncCore& Core() {
  static SyncCore* core = new SyncCore;  // threads may still wait while statics go away
  return *core;
}

}  // namespace

std::mutex& SyncMutex() {
  return Core().lock;
}
std::condition_variable& SyncCondition() {
  return Core().changed;
}
void NotifySyncWaiters() {
  Core().changed.notify_all();
}

}  // namespace sync::detail

namespace {

using sync::detail::NamedMutexHandle;
using sync::detail::Waitable;

HANDLE const kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

// How often a wait that includes a named mutex tries it again: another process
// cannot notify our condition variable.
constexpr std::chrono::milliseconds kNamedMutexPoll{2};

// The key of a named object: upper-cased, and "Local\X" is the same object as "X"
// (this layer has one session namespace, which a bare name means on the original).
std::wstring ObjectKey(LPCWSTR name) {
  std::wstring key = ToUpper(std::wstring_view(name));
  constexpr std::wstring_view kLocal = L"LOCAL\\";
  if (key.starts_with(kLocal)) key.erase(0, kLocal.size());
  return key;
}

bool IsNamed(LPCWSTR name) {
  return name != nullptr && name[0] != L'\0';
}

// --- events ------------------------------------------------------------------------

class EventObject final : public Waitable {
 public:
  EventObject(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}

  bool IsSignalled(DWORD) const override { return signalled_; }
  bool Acquire(DWORD) override {
    if (!manualReset_) signalled_ = false;
    return false;
  }
  void Set(bool signalled) { signalled_ = signalled; }

 private:
  const bool manualReset_;
  bool signalled_;  // guarded by SyncMutex()
};

// Named events of one machine, shared by the threads of this process. An event lives
// while a handle to it is open, so the map holds weak references.
struct EventNamespace {
  std::mutex lock;
  std::unordered_map<std::wstring, std::weak_ptr<EventObject>> events;
};

// --- in-process mutexes --------------------------------------------------------------

class MutexObject;

// The in-process mutexes the calling thread owns, so that they are abandoned when it
// ends without releasing them.
struct OwnedMutexes {
  std::vector<std::weak_ptr<MutexObject>> held;  // touched with SyncMutex() held
  DWORD threadId = 0;
  ~OwnedMutexes() { AbandonAll(); }
  void AbandonAll();
};
thread_local OwnedMutexes t_owned;

class MutexObject final : public Waitable, public std::enable_shared_from_this<MutexObject> {
 public:
  bool IsSignalled(DWORD threadId) const override { return owner_ == 0 || owner_ == threadId; }

  bool Acquire(DWORD threadId) override {
    if (owner_ == threadId) {
      ++count_;
      return false;
    }
    owner_ = threadId;
    count_ = 1;
    t_owned.threadId = threadId;
    t_owned.held.push_back(weak_from_this());
    return std::exchange(abandoned_, false);
  }

  // With SyncMutex() held.
  bool Release(DWORD threadId) {
    if (owner_ != threadId || count_ == 0) return false;
    if (--count_ == 0) {
      owner_ = 0;
      std::erase_if(t_owned.held, [this](const std::weak_ptr<MutexObject>& w) {
        auto m = w.lock();
        return m == nullptr || m.get() == this;
      });
    }
    return true;
  }

  // With SyncMutex() held, from the ending owner thread.
  void Abandon(DWORD threadId) {
    if (owner_ != threadId) return;
    owner_ = 0;
    count_ = 0;
    abandoned_ = true;
  }

 private:
  DWORD owner_ = 0;  // thread id, 0 when free
  DWORD count_ = 0;
  bool abandoned_ = false;
};

void OwnedMutexes::AbandonAll() {
  std::lock_guard guard(sync::detail::SyncMutex());
  if (held.empty()) return;
  for (auto& weak : held) {
    if (auto m = weak.lock()) m->Abandon(threadId);
  }
  held.clear();
  sync::detail::NotifySyncWaiters();
}

// --- threads -------------------------------------------------------------------------

class ThreadObject final : public Waitable {
 public:
  bool IsSignalled(DWORD) const override { return finished; }
  bool Acquire(DWORD) override { return false; }

  // All guarded by SyncMutex().
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
  DWORD suspendCount = 0;
  DWORD threadId = 0;
};

// --- thread pool ---------------------------------------------------------------------

// Workers are made when no idle one can take an item and end after a while without
// work, so callbacks that block each other cannot run the pool dry.
struct ThreadPool {
  std::mutex lock;
  std::condition_variable work;
  std::deque<std::pair<PTP_SIMPLE_CALLBACK, LPVOID>> queue;
  std::size_t idle = 0;
  bool held = false;  // HoldThreadPool: workers leave the queue alone
};

ThreadPool& Pool() {
  static ThreadPool* pool = new ThreadPool;  // detached workers may outlive statics
  return *pool;
}

constexpr std::chrono::seconds kPoolIdleExit{10};

void PoolWorker() {
  ThreadPool& pool = Pool();
  std::unique_lock lock(pool.lock);
  const auto takeable = [&] { return !pool.held && !pool.queue.empty(); };
  for (;;) {
    if (!takeable()) {
      ++pool.idle;
      const bool got = pool.work.wait_for(lock, kPoolIdleExit, takeable);
      --pool.idle;
      if (!got) return;
    }
    auto [callback, context] = pool.queue.front();
    pool.queue.pop_front();
    lock.unlock();
    TP_CALLBACK_INSTANCE instance{context};
    callback(&instance, context);
    lock.lock();
  }
}

// Makes sure a worker will take each queued item: wakes the idle ones and starts as
// many more as the queue needs (pool.lock held).
void WakeOrStartWorkersLocked(ThreadPool& pool) {
  pool.work.notify_all();
  for (std::size_t n = pool.queue.size() > pool.idle ? pool.queue.size() - pool.idle : 0; n > 0; --n) {
    try {
      std::thread(PoolWorker).detach();
    } catch (const std::system_error&) {
      return;  // the workers that did start take the rest in turn
    }
  }
}

// Queues one item (pool.lock held); false, with the item taken back, when no thread
// could be started to run it.
bool EnqueueLocked(ThreadPool& pool, PTP_SIMPLE_CALLBACK callback, LPVOID context) {
  pool.queue.emplace_back(callback, context);
  if (pool.queue.size() <= pool.idle) {
    pool.work.notify_one();
    return true;
  }
  try {
    std::thread(PoolWorker).detach();
  } catch (const std::system_error&) {
    pool.queue.pop_back();
    return false;
  }
  return true;
}

// The pool item of one submission of a work object.
void RunWorkCallback(PTP_CALLBACK_INSTANCE instance, LPVOID context) {
  auto* work = static_cast<PTP_WORK>(context);
  work->callback(instance, work->context, work);
  ThreadPool& pool = Pool();
  bool release = false;
  {
    std::lock_guard guard(pool.lock);
    if (--work->outstanding == 0) {
      release = work->closed;
      if (!release) work->finished.notify_all();
    }
  }
  if (release) delete work;
}

// --- waiting -------------------------------------------------------------------------

struct WaitTarget {
  std::shared_ptr<Waitable> local;
  std::shared_ptr<NamedMutexHandle> named;
};

// Resolves a handle to something a wait accepts; false for a closed or unwaitable one.
bool Resolve(HANDLE handle, WaitTarget* target) {
  auto object = base::detail::LookupHandle(handle);
  if (!object) return false;
  target->local = std::dynamic_pointer_cast<Waitable>(object);
  if (!target->local) target->named = std::dynamic_pointer_cast<NamedMutexHandle>(object);
  return target->local || target->named;
}

// Waits with SyncMutex() held (by `lock`) on objects that include named mutexes, which
// only polling notices. Real time, or INFINITE on any clock (which never moves time).
bool PollingWait(std::unique_lock<std::mutex>& lock, DWORD milliseconds, const std::function<bool()>& ready) {
  if (ready()) return true;
  if (milliseconds == 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    auto next = std::chrono::steady_clock::now() + kNamedMutexPoll;
    if (milliseconds != INFINITE) next = std::min(next, deadline);
    sync::detail::SyncCondition().wait_until(lock, next);
    if (ready()) return true;
    if (milliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline) return false;
  }
}

DWORD WaitOn(std::vector<WaitTarget>& targets, bool waitAll, DWORD milliseconds) {
  const DWORD self = GetCurrentThreadId();
  const bool anyNamed = std::any_of(targets.begin(), targets.end(), [](const WaitTarget& t) { return t.named; });
  DWORD result = WAIT_TIMEOUT;

  auto waitAny = [&]() -> bool {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const auto index = static_cast<DWORD>(i);
      if (targets[i].local) {
        if (!targets[i].local->IsSignalled(self)) continue;
        result = (targets[i].local->Acquire(self) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + index;
        return true;
      }
      switch (targets[i].named->TryLock()) {
        case NamedMutexHandle::Take::kAcquired:
          result = WAIT_OBJECT_0 + index;
          return true;
        case NamedMutexHandle::Take::kAbandoned:
          result = WAIT_ABANDONED_0 + index;
          return true;
        case NamedMutexHandle::Take::kFailed:
          result = WAIT_FAILED;
          return true;
        case NamedMutexHandle::Take::kBusy:
          break;
      }
    }
    return false;
  };

  // All at once: the in-process objects cannot change while we hold the lock, so
  // check them, then try the named mutexes and give those back if one is busy.
  auto waitEvery = [&]() -> bool {
    for (auto& t : targets) {
      if (t.local && !t.local->IsSignalled(self)) return false;
    }
    std::vector<std::pair<std::size_t, bool>> taken;  // index, abandoned
    for (std::size_t i = 0; i < targets.size(); ++i) {
      if (!targets[i].named) continue;
      const auto take = targets[i].named->TryLock();
      if (take == NamedMutexHandle::Take::kAcquired || take == NamedMutexHandle::Take::kAbandoned) {
        taken.emplace_back(i, take == NamedMutexHandle::Take::kAbandoned);
        continue;
      }
      for (auto it = taken.rbegin(); it != taken.rend(); ++it) targets[it->first].named->Unacquire(it->second);
      if (take == NamedMutexHandle::Take::kFailed) {
        const DWORD error = GetLastError();
        result = WAIT_FAILED;
        SetLastError(error);
        return true;
      }
      return false;
    }
    std::size_t abandoned = targets.size();
    for (auto& [index, wasAbandoned] : taken) {
      if (wasAbandoned) abandoned = std::min(abandoned, index);
    }
    for (std::size_t i = 0; i < targets.size(); ++i) {
      if (targets[i].local && targets[i].local->Acquire(self)) abandoned = std::min(abandoned, i);
    }
    result = abandoned < targets.size() ? WAIT_ABANDONED_0 + static_cast<DWORD>(abandoned) : WAIT_OBJECT_0;
    return true;
  };

  std::function<bool()> ready = waitAll ? std::function<bool()>(waitEvery) : std::function<bool()>(waitAny);
  Clock& clock = CurrentMachine().GetClock();
  std::unique_lock lock(sync::detail::SyncMutex());
  const bool done = anyNamed && !(clock.IsVirtual() && milliseconds != INFINITE)
                        ? PollingWait(lock, milliseconds, ready)
                        : clock.WaitUntil(lock, sync::detail::SyncCondition(), milliseconds, ready);
  return done ? result : WAIT_TIMEOUT;
}

}  // namespace

// --- handles and waits ---------------------------------------------------------------

BOOL CloseHandle(HANDLE handle) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSync, "CloseHandle", [&]() -> BOOL {
    if (handle == kCurrentThreadPseudoHandle) return TRUE;
    auto object = base::detail::TakeHandle(handle);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object->OnHandleClosed();
    return TRUE;
  });
}

std::size_t OpenHandleCount() {
  return base::detail::Traced<std::size_t>(base::detail::kTraceSync, "OpenHandleCount",
                                           [&]() -> std::size_t { return base::detail::HandleCount(); });
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSync, "WaitForSingleObject", [&]() -> DWORD {
    std::vector<WaitTarget> targets(1);
    if (!Resolve(handle, &targets[0])) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    // A named mutex alone blocks in the host's own mutex calls.
    if (targets[0].named) return targets[0].named->Wait(milliseconds);
    return WaitOn(targets, false, milliseconds);
  });
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSync, "WaitForMultipleObjects", [&]() -> DWORD {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    std::vector<WaitTarget> targets(count);
    for (DWORD i = 0; i < count; ++i) {
      if (!Resolve(handles[i], &targets[i])) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
    }
    if (waitAll) {
      // One object twice cannot be taken "all at once"; the original refuses it too.
      for (DWORD i = 0; i < count; ++i) {
        for (DWORD j = i + 1; j < count; ++j) {
          const bool same = targets[i].local ? targets[i].local == targets[j].local
                                             : targets[j].named && targets[i].named == targets[j].named;
          if (same) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
          }
        }
      }
    }
    return WaitOn(targets, waitAll != FALSE, milliseconds);
  });
}

// --- events ------------------------------------------------------------------------

HANDLE CreateEvent(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceSync, "CreateEvent", [&]() -> HANDLE {
    if (!IsNamed(name)) {
      HANDLE h = base::detail::InsertHandle(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
      SetLastError(ERROR_SUCCESS);
      return h;
    }
    auto& space = CurrentMachine().State<EventNamespace>();
    std::lock_guard guard(space.lock);
    auto& slot = space.events[ObjectKey(name)];
    if (auto existing = slot.lock()) {
      HANDLE h = base::detail::InsertHandle(existing);
      SetLastError(ERROR_ALREADY_EXISTS);
      return h;
    }
    auto event = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE);
    slot = event;
    if (space.events.size() > 64) {
      std::erase_if(space.events, [](const auto& entry) { return entry.second.expired(); });
    }
    HANDLE h = base::detail::InsertHandle(std::move(event));
    SetLastError(ERROR_SUCCESS);
    return h;
  });
}

HANDLE OpenEvent(DWORD, BOOL, LPCWSTR name) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceSync, "OpenEvent", [&]() -> HANDLE {
    if (name == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    auto& space = CurrentMachine().State<EventNamespace>();
    std::lock_guard guard(space.lock);
    auto it = space.events.find(ObjectKey(name));
    auto existing = it == space.events.end() ? nullptr : it->second.lock();
    if (!existing) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    return base::detail::InsertHandle(std::move(existing));
  });
}

namespace {
BOOL ChangeEvent(HANDLE handle, bool signalled) {
  auto event = base::detail::LookupHandleAs<EventObject>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard guard(sync::detail::SyncMutex());
    event->Set(signalled);
  }
  if (signalled) sync::detail::NotifySyncWaiters();
  return TRUE;
}
}  // namespace

std::shared_ptr<base::detail::KernelObject> sync::detail::MakeEventObject(bool manualReset, bool signalled) {
  return std::make_shared<EventObject>(manualReset, signalled);
}

void sync::detail::SignalEventObject(base::detail::KernelObject& object) {
  auto& event = dynamic_cast<EventObject&>(object);
  {
    std::lock_guard guard(sync::detail::SyncMutex());
    event.Set(true);
  }
  sync::detail::NotifySyncWaiters();
}

BOOL SetEvent(HANDLE event) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSync, "SetEvent",
                                    [&]() -> BOOL { return ChangeEvent(event, true); });
}
BOOL ResetEvent(HANDLE event) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSync, "ResetEvent",
                                    [&]() -> BOOL { return ChangeEvent(event, false); });
}

// --- mutexes -------------------------------------------------------------------------

HANDLE CreateMutex(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceSync, "CreateMutex", [&]() -> HANDLE {
    if (IsNamed(name)) {
      if (std::wcslen(name) > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
      }
      return sync::detail::CreateNamedMutex(ObjectKey(name), initialOwner != FALSE);
    }
    auto mutex = std::make_shared<MutexObject>();
    if (initialOwner) {
      std::lock_guard guard(sync::detail::SyncMutex());
      mutex->Acquire(GetCurrentThreadId());
    }
    HANDLE h = base::detail::InsertHandle(std::move(mutex));
    SetLastError(ERROR_SUCCESS);
    return h;
  });
}

HANDLE OpenMutex(DWORD, BOOL, LPCWSTR name) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceSync, "OpenMutex", [&]() -> HANDLE {
    if (name == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    if (std::wcslen(name) > MAX_PATH) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return nullptr;
    }
    return sync::detail::OpenNamedMutex(ObjectKey(name));
  });
}

BOOL ReleaseMutex(HANDLE handle) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSync, "ReleaseMutex", [&]() -> BOOL {
    auto object = base::detail::LookupHandle(handle);
    if (auto named = std::dynamic_pointer_cast<NamedMutexHandle>(object)) return named->Release();
    auto mutex = std::dynamic_pointer_cast<MutexObject>(object);
    if (!mutex) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    bool released = false;
    {
      std::lock_guard guard(sync::detail::SyncMutex());
      released = mutex->Release(GetCurrentThreadId());
    }
    if (!released) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    sync::detail::NotifySyncWaiters();
    return TRUE;
  });
}

// --- threads -------------------------------------------------------------------------

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, DWORD* threadId) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceSync, "CreateThread", [&]() -> HANDLE {
    if (start == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>();
    thread->suspendCount = (creationFlags & CREATE_SUSPENDED) != 0 ? 1 : 0;
    try {
      // The thread holds its own reference: the object must outlive every handle.
      std::thread([thread, start, parameter] {
        {
          std::unique_lock lock(sync::detail::SyncMutex());
          thread->threadId = GetCurrentThreadId();
          sync::detail::NotifySyncWaiters();
          sync::detail::SyncCondition().wait(lock, [&] { return thread->suspendCount == 0; });
        }
        const DWORD exitCode = start(parameter);
        // Mutexes still owned are abandoned before the thread counts as ended, so a
        // waiter woken by the thread's end already sees them abandoned.
        t_owned.AbandonAll();
        {
          std::lock_guard guard(sync::detail::SyncMutex());
          thread->exitCode = exitCode;
          thread->finished = true;
        }
        sync::detail::NotifySyncWaiters();
      }).detach();
    } catch (const std::system_error&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    {
      std::unique_lock lock(sync::detail::SyncMutex());
      sync::detail::SyncCondition().wait(lock, [&] { return thread->threadId != 0; });
      if (threadId != nullptr) *threadId = thread->threadId;
    }
    return base::detail::InsertHandle(std::move(thread));
  });
}

DWORD ResumeThread(HANDLE handle) {
  return base::detail::Traced<DWORD>(base::detail::kTraceSync, "ResumeThread", [&]() -> DWORD {
    auto thread = base::detail::LookupHandleAs<ThreadObject>(handle);
    if (!thread) {
      SetLastError(ERROR_INVALID_HANDLE);
      return static_cast<DWORD>(-1);
    }
    DWORD previous = 0;
    {
      std::lock_guard guard(sync::detail::SyncMutex());
      previous = thread->suspendCount;
      if (thread->suspendCount > 0) --thread->suspendCount;
    }
    if (previous == 1) sync::detail::NotifySyncWaiters();
    return previous;
  });
}

BOOL GetExitCodeThread(HANDLE handle, DWORD* exitCode) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSync, "GetExitCodeThread", [&]() -> BOOL {
    if (exitCode == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (handle == kCurrentThreadPseudoHandle) {
      *exitCode = STILL_ACTIVE;
      return TRUE;
    }
    auto thread = base::detail::LookupHandleAs<ThreadObject>(handle);
    if (!thread) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    std::lock_guard guard(sync::detail::SyncMutex());
    *exitCode = thread->exitCode;
    return TRUE;
  });
}

HANDLE GetCurrentThread() {
  return base::detail::Traced<HANDLE>(base::detail::kTraceSync, "GetCurrentThread",
                                      [&]() -> HANDLE { return kCurrentThreadPseudoHandle; });
}

// --- thread pool ---------------------------------------------------------------------

BOOL TrySubmitThreadpoolCallback(PTP_SIMPLE_CALLBACK callback, LPVOID context, PTP_CALLBACK_ENVIRON) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSync, "TrySubmitThreadpoolCallback", [&]() -> BOOL {
    if (callback == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    ThreadPool& pool = Pool();
    std::lock_guard guard(pool.lock);
    if (!EnqueueLocked(pool, callback, context)) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    return TRUE;
  });
}

PTP_WORK CreateThreadpoolWork(PTP_WORK_CALLBACK callback, PVOID context, PTP_CALLBACK_ENVIRON) {
  return base::detail::Traced<PTP_WORK>(base::detail::kTraceSync, "CreateThreadpoolWork", [&]() -> PTP_WORK {
    if (callback == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    return new TP_WORK{callback, context};
  });
}

void SubmitThreadpoolWork(PTP_WORK work) {
  return base::detail::Traced<void>(base::detail::kTraceSync, "SubmitThreadpoolWork", [&]() -> void {
    if (work == nullptr) return;
    ThreadPool& pool = Pool();
    std::lock_guard guard(pool.lock);
    // The original cannot fail here; a submission no thread can be started for is
    // dropped rather than left queued where nothing would ever run or finish it.
    if (EnqueueLocked(pool, &RunWorkCallback, work)) ++work->outstanding;
  });
}

void WaitForThreadpoolWorkCallbacks(PTP_WORK work, BOOL cancelPendingCallbacks) {
  return base::detail::Traced<void>(base::detail::kTraceSync, "WaitForThreadpoolWorkCallbacks", [&]() -> void {
    if (work == nullptr) return;
    ThreadPool& pool = Pool();
    std::unique_lock lock(pool.lock);
    if (cancelPendingCallbacks) {
      const auto queued = [work](const auto& item) { return item.first == &RunWorkCallback && item.second == work; };
      const auto dropped = std::erase_if(pool.queue, queued);
      work->outstanding -= dropped;
    }
    work->finished.wait(lock, [work] { return work->outstanding == 0; });
  });
}

void CloseThreadpoolWork(PTP_WORK work) {
  return base::detail::Traced<void>(base::detail::kTraceSync, "CloseThreadpoolWork", [&]() -> void {
    if (work == nullptr) return;
    {
      ThreadPool& pool = Pool();
      std::lock_guard guard(pool.lock);
      work->closed = true;
      if (work->outstanding != 0) return;  // the last callback to return frees it
    }
    delete work;
  });
}

namespace sync::detail {

void HoldThreadPool(bool hold) {
  ThreadPool& pool = Pool();
  std::lock_guard guard(pool.lock);
  pool.held = hold;
  // Workers that gave up waiting while the pool was held are replaced.
  if (!hold) WakeOrStartWorkersLocked(pool);
}

std::size_t ThreadPoolQueueLength() {
  ThreadPool& pool = Pool();
  std::lock_guard guard(pool.lock);
  return pool.queue.size();
}

}  // namespace sync::detail

// --- critical sections -----------------------------------------------------------------

// The recursive_mutex member is ready once the structure exists; initialising and
// deleting have nothing left to do.
void InitializeCriticalSection(CRITICAL_SECTION*) {}
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION*, DWORD) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSync, "InitializeCriticalSectionAndSpinCount",
                                    [&]() -> BOOL { return TRUE; });
}
void EnterCriticalSection(CRITICAL_SECTION* cs) {
  return base::detail::Traced<void>(base::detail::kTraceSync, "EnterCriticalSection",
                                    [&]() -> void { cs->mutex.lock(); });
}
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
  return base::detail::Traced<BOOL>(base::detail::kTraceSync, "TryEnterCriticalSection",
                                    [&]() -> BOOL { return cs->mutex.try_lock() ? TRUE : FALSE; });
}
void LeaveCriticalSection(CRITICAL_SECTION* cs) {
  return base::detail::Traced<void>(base::detail::kTraceSync, "LeaveCriticalSection",
                                    [&]() -> void { cs->mutex.unlock(); });
}
void DeleteCriticalSection(CRITICAL_SECTION*) {}

}  // namespace platform
