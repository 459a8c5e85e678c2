// Pieces of the synchronisation area that other parts of the platform layer build on:
// the process-wide wait lock and the two kinds of waitable object.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/src/base/handles.h"
#include "platform/types.h"

namespace platform::sync::detail {

using base::detail::InsertHandle;
using base::detail::KernelObject;

// Every in-process waitable object keeps its state under this one lock; whoever
// changes such state calls NotifySyncWaiters() (with or without the lock held), which
// wakes every waiter to re-check. One lock for all makes WaitForMultipleObjects with
// waitAll a simple "all at once" check.
std::mutex& SyncMutex();
std::condition_variable& SyncCondition();
void NotifySyncWaiters();

// An object living in this process that WaitForSingleObject/WaitForMultipleObjects
// accept (events, threads, unnamed mutexes; other areas may add their own, such as
// processes). Both calls happen with SyncMutex() held.
class Waitable : public KernelObject {
 public:
  // Whether a wait by `threadId` would be satisfied now.
  virtual bool IsSignalled(DWORD threadId) const = 0;
  // Takes the object for a satisfied wait (an auto-reset event resets, a mutex
  // becomes owned). True when the object was an abandoned mutex.
  virtual bool Acquire(DWORD threadId) = 0;
};

// An unnamed event outside the handle table, for events the platform itself signals
// (the end request); callers get their handles to it with InsertHandle.
std::shared_ptr<KernelObject> MakeEventObject(bool manualReset, bool signalled);
void SignalEventObject(KernelObject& event);

// Tests of the thread pool: while the pool is held, its workers take no queued item
// (callbacks already running go on), so submissions stay pending for as long as a test
// needs them to; releasing it lets the workers take the queue again.
void HoldThreadPool(bool hold);
// Items queued and not yet taken by a worker.
std::size_t ThreadPoolQueueLength();

// A handle to a machine-wide named mutex (named_mutex.cpp). Several handles of one
// name in one process share one mapping of the mutex.
class NamedMutexHandle : public KernelObject {
 public:
  enum class Take { kAcquired, kAbandoned, kBusy, kFailed };

  virtual ~NamedMutexHandle() = default;
  // Never blocks; kFailed sets the last error.
  virtual Take TryLock() = 0;
  // WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
  // Blocks without holding SyncMutex().
  virtual DWORD Wait(DWORD milliseconds) = 0;
  // FALSE with ERROR_NOT_OWNER when the calling thread does not own it.
  virtual BOOL Release() = 0;
  // Gives back a lock that TryLock took and whose abandonment is not reported yet: the
  // next acquisition in this process reports it instead.
  virtual void Unacquire(bool wasAbandoned) = 0;
};

// Creates or opens the named mutex `name` (already upper-cased and stripped of a
// "Local\" prefix) on the current machine. Sets the last error as CreateMutex and
// OpenMutex do; null on failure.
HANDLE CreateNamedMutex(const std::wstring& name, bool initialOwner);
HANDLE OpenNamedMutex(const std::wstring& name);

// The file name (without folder) that holds the named mutex `name`: characters that
// are unsafe in a file name become %XX escapes of their UTF-8 bytes.
std::string NamedMutexFileName(std::wstring_view name);

}  // namespace platform::sync::detail
