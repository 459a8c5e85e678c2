// Kernel objects and synchronisation: handles, events, mutexes, threads, thread-pool
// work and critical sections, with the original's calls and wait results.
//
// Events, threads and unnamed mutexes live in this process. Named mutexes work across
// every process of the same machine root: each is a robust, process-shared mutex in a
// small file under <root>/objects/, so a holder that dies leaves it abandoned and the
// next waiter acquires it with WAIT_ABANDONED. Named events are shared by the threads
// of one process (the system only names events it uses inside one process).
#pragma once

#include <cstddef>
#include <mutex>

#include "platform/security.h"  // the access rights of kernel objects
#include "platform/types.h"

namespace platform {

inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
inline constexpr DWORD EVENT_ALL_ACCESS = 0x1F0003;
inline constexpr DWORD MUTEX_ALL_ACCESS = 0x1F0001;
inline constexpr DWORD CREATE_SUSPENDED = 0x00000004;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Closes any handle this layer hands out (events, mutexes, threads, processes, files,
// tokens, ...). ERROR_INVALID_HANDLE for a handle that is not open.
BOOL CloseHandle(HANDLE handle);

// How many handles are open in this process's handle table, whatever their kind: a
// test takes it before and after the code it checks for leaked handles.
std::size_t OpenHandleCount();

// WAIT_OBJECT_0 (+ index), WAIT_ABANDONED (+ index) for a mutex whose holder ended
// without releasing it (the caller now owns it), WAIT_TIMEOUT, or WAIT_FAILED with
// the last error set (ERROR_INVALID_HANDLE for a bad or unwaitable handle).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Events. A named event that already exists is opened and the last error is
// ERROR_ALREADY_EXISTS; otherwise the last error is 0 on success.
HANDLE CreateEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE OpenEvent(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);  // null + ERROR_FILE_NOT_FOUND
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// A manual-reset event that is signalled once the host asks this process to end
// (SIGTERM, SIGINT or SIGHUP): how a program that is not a service, such as a companion
// program the machine started, learns that it should finish cleanly. The first call
// takes those signals over for the whole process. Every call returns a new handle to
// the one event, closed with CloseHandle; null with the last error when the process
// cannot watch for the signals.
HANDLE CreateEndRequestEvent();

// Mutexes. Ownership is per thread and recursive; ReleaseMutex by a thread that does
// not own it fails with ERROR_NOT_OWNER. A name of the form "Global\..." or
// "Local\..." or any other text names a machine-wide mutex; a null name makes a
// mutex private to this process. Names compare without regard to case.
HANDLE CreateMutex(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
HANDLE OpenMutex(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// Threads. The handle is signalled when the thread ends; GetExitCodeThread gives
// STILL_ACTIVE until then. Thread ids are the host's thread ids.
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, DWORD* threadId);
DWORD ResumeThread(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
HANDLE GetCurrentThread();  // a pseudo handle, as on the original; CloseHandle ignores it

// Thread-pool work: the callback runs once on a pool thread.
struct TP_CALLBACK_INSTANCE;
struct TP_CALLBACK_ENVIRON;
using PTP_CALLBACK_INSTANCE = TP_CALLBACK_INSTANCE*;
using PTP_CALLBACK_ENVIRON = TP_CALLBACK_ENVIRON*;
using PTP_SIMPLE_CALLBACK = void (*)(PTP_CALLBACK_INSTANCE instance, LPVOID context);
BOOL TrySubmitThreadpoolCallback(PTP_SIMPLE_CALLBACK callback, LPVOID context, PTP_CALLBACK_ENVIRON environ);

// Thread-pool work objects: a callback with its context, submitted any number of times;
// each submission runs the callback once on a pool thread, and the runs of one work
// object may overlap. The callback environment is ignored (there is one pool).
struct TP_WORK;
using PTP_WORK = TP_WORK*;
using PTP_WORK_CALLBACK = void (*)(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK work);
// Null with ERROR_INVALID_PARAMETER for a null callback.
PTP_WORK CreateThreadpoolWork(PTP_WORK_CALLBACK callback, PVOID context, PTP_CALLBACK_ENVIRON environ);
void SubmitThreadpoolWork(PTP_WORK work);
// Waits until no callback of `work` runs or waits to run; with cancelPendingCallbacks
// the submissions no pool thread has taken yet are dropped first. Never call it from a
// callback of the same work object.
void WaitForThreadpoolWorkCallbacks(PTP_WORK work, BOOL cancelPendingCallbacks);
// Releases the work object: at once when nothing of it is outstanding, else when its
// last outstanding callback returns (those still run).
void CloseThreadpoolWork(PTP_WORK work);

// Critical sections: recursive, in-process.
struct CRITICAL_SECTION {
  std::recursive_mutex mutex;
};
void InitializeCriticalSection(CRITICAL_SECTION* cs);
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD spinCount);
void EnterCriticalSection(CRITICAL_SECTION* cs);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);

// Scope guard over a critical section.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
  ~CriticalSectionLock() { LeaveCriticalSection(&cs_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};

// Owns a handle and closes it. Null and INVALID_HANDLE_VALUE mean "no handle".
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void reset(HANDLE h = nullptr) {
    if (*this) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace platform
