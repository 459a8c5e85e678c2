// Machine-wide named mutexes. Each is a robust, process-shared, recursive pthread mutex
// in a one-page file <root>/objects/<name>.mutex that every process maps shared.
//
// Two open-file-description locks on the file (independent of the mutex itself) keep
// the file's life safe:
//  - byte 0, the guard: held exclusively for the short time a process decides whether it
//    is the first one and, if so, lays the mutex out. Opening is therefore never racing
//    with another process's initialisation.
//  - byte 1, presence: a shared lock each process holds for as long as it has the file
//    mapped. A process that finds nobody else present (under the guard) knows no one can
//    be using the mutex and makes it afresh; this also clears a mutex left locked by a
//    holder that vanished without the kernel's help (a crash of the whole host).
// The kernel drops both locks when a process ends, however it ends.
//
// A process maps each mutex file once and keeps the mapping until it exits: a thread
// may still own the mutex (it is on the thread's robust list) after every handle was
// closed, and the memory must not go away under it. So "exists" (ERROR_ALREADY_EXISTS,
// OpenMutex) means: another live process has used the name, or this one holds a handle.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/clock.h"
#include "platform/machine.h"
#include "platform/src/host/fd.h"
#include "platform/src/sync/sync_internal.h"
#include "platform/text.h"

namespace platform::sync::detail {
namespace {

constexpr std::uint32_t kMagic = 0x4B4D5458;  // "KMTX"
constexpr std::uint32_t kLayout = 1;
constexpr std::size_t kFileSize = 4096;
constexpr off_t kGuardByte = 0;
constexpr off_t kPresenceByte = 1;

struct SharedMutex {
  std::atomic<std::uint32_t> magic;
  std::uint32_t layout;
  std::uint32_t size;  // sizeof(pthread_mutex_t) of the process that laid it out
  std::uint32_t reserved;
  pthread_mutex_t mutex;
};
static_assert(sizeof(SharedMutex) <= kFileSize);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

// This process's mapping of one mutex file.
struct Mapping {
  int fd = -1;
  SharedMutex* shared = nullptr;
  // An abandonment a waitAll noticed and had to give back; the next acquisition in this
  // process reports it.
  std::atomic<bool> pendingAbandoned{false};
  std::size_t handles = 0;  // guarded by Registry::lock
};

struct Registry {
  std::mutex lock;
  std::map<std::pair<dev_t, ino_t>, Mapping*> byFile;
};

Registry& registry() {
  static Registry* r = new Registry;  // mappings live as long as the process
  return *r;
}

// Takes or drops an open-file-description lock on one byte. F_UNLCK never fails here.
int LockByte(int fd, short type, off_t byte, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return host::RetryOnEintr([&] { return ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl); }) == 0 ? 0 : errno;
}

class Guard {
 public:
  explicit Guard(int fd) : fd_(fd), error_(LockByte(fd, F_WRLCK, kGuardByte, true)) {}
  ~Guard() {
    if (error_ == 0) LockByte(fd_, F_UNLCK, kGuardByte, false);
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  int error() const { return error_; }

 private:
  int fd_;
  int error_;
};

// Under the guard: whether another process holds presence. Leaves our own presence lock
// (if any) as a shared one.
bool OthersPresent(int fd, bool* failed, int* error) {
  *failed = false;
  const int rc = LockByte(fd, F_WRLCK, kPresenceByte, false);
  if (rc == EAGAIN || rc == EACCES) return true;
  if (rc != 0) {
    *failed = true;
    *error = rc;
    return true;
  }
  if (const int back = LockByte(fd, F_RDLCK, kPresenceByte, false); back != 0) {
    *failed = true;
    *error = back;
  }
  return false;
}

int InitialiseMutex(SharedMutex* shared) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  const int rc = pthread_mutex_init(&shared->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) return rc;
  shared->layout = kLayout;
  shared->size = sizeof(pthread_mutex_t);
  shared->magic.store(kMagic, std::memory_order_release);
  return 0;
}

void SetErrnoError(int err) {
  SetLastError(err == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(err));
}

// Finds or makes this process's mapping of `path`, counting one more handle. With
// registry().lock held. `existed` tells whether the mutex was in use before.
Mapping* Attach(const std::filesystem::path& path, bool create, bool* existed) {
  const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0 && errno == ENOENT && create) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    fd = ::open(path.c_str(), flags, 0666);
  }
  if (fd < 0) {
    SetErrnoError(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    SetErrnoError(errno);
    ::close(fd);
    return nullptr;
  }
  const auto key = std::make_pair(st.st_dev, st.st_ino);
  Registry& reg = registry();

  if (auto it = reg.byFile.find(key); it != reg.byFile.end()) {
    ::close(fd);
    Mapping* m = it->second;
    bool inUse = m->handles > 0;
    if (!inUse) {
      Guard guard(m->fd);
      if (guard.error() != 0) {
        SetErrnoError(guard.error());
        return nullptr;
      }
      bool failed = false;
      int error = 0;
      inUse = OthersPresent(m->fd, &failed, &error);
      if (failed) {
        SetErrnoError(error);
        return nullptr;
      }
    }
    if (!create && !inUse) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    ++m->handles;
    *existed = inUse;
    return m;
  }

  auto fail = [&](int err) -> Mapping* {
    SetErrnoError(err);
    ::close(fd);  // drops our guard and presence locks with the description
    return nullptr;
  };
  Guard guard(fd);
  if (guard.error() != 0) return fail(guard.error());
  bool failed = false;
  int error = 0;
  const bool others = OthersPresent(fd, &failed, &error);
  if (failed) return fail(error);
  if (!others && !create) {
    ::close(fd);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (::fstat(fd, &st) != 0) return fail(errno);
  if (static_cast<std::size_t>(st.st_size) < kFileSize && ::ftruncate(fd, kFileSize) != 0) return fail(errno);
  void* addr = ::mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) return fail(errno);
  auto* shared = static_cast<SharedMutex*>(addr);
  const bool laidOut = shared->magic.load(std::memory_order_acquire) == kMagic && shared->layout == kLayout &&
                       shared->size == sizeof(pthread_mutex_t);
  if (!others || !laidOut) {
    // Nobody else maps it (or what is there is not ours): no one can be inside it.
    if (const int rc = InitialiseMutex(shared); rc != 0) {
      ::munmap(addr, kFileSize);
      return fail(rc);
    }
  }
  if (others) {
    // We probed with a shared lock already in OthersPresent only when alone; take
    // presence now (others hold it shared, so this cannot block).
    if (const int rc = LockByte(fd, F_RDLCK, kPresenceByte, false); rc != 0) {
      ::munmap(addr, kFileSize);
      return fail(rc);
    }
  }
  auto* m = new Mapping;
  m->fd = fd;
  m->shared = shared;
  m->handles = 1;
  reg.byFile.emplace(key, m);
  *existed = others;
  return m;
}

#if defined(__SANITIZE_THREAD__)
// The thread sanitizer of our compiler knows neither pthread_mutex_clocklock nor an
// abandoned mutex taken by pthread_mutex_timedlock, and would report our later unlock;
// it does know trylock, so poll with that on the monotonic clock.
int TimedLock(pthread_mutex_t* mutex, DWORD milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const int rc = pthread_mutex_trylock(mutex);
    if (rc != EBUSY) return rc;
    if (std::chrono::steady_clock::now() >= deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
#else
timespec After(clockid_t clock, long milliseconds) {
  timespec t{};
  ::clock_gettime(clock, &t);
  t.tv_sec += milliseconds / 1000;
  t.tv_nsec += (milliseconds % 1000) * 1'000'000;
  if (t.tv_nsec >= 1'000'000'000) {
    t.tv_nsec -= 1'000'000'000;
    ++t.tv_sec;
  }
  return t;
}

// Measured on the monotonic clock, so a step of the wall clock does not stretch it.
int TimedLock(pthread_mutex_t* mutex, DWORD milliseconds) {
  const timespec deadline = After(CLOCK_MONOTONIC, static_cast<long>(milliseconds));
  return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
}
#endif

class NamedMutex final : public NamedMutexHandle {
 public:
  explicit NamedMutex(Mapping* mapping) : m_(mapping) {}
  ~NamedMutex() override {
    std::lock_guard guard(registry().lock);
    --m_->handles;
  }

  Take TryLock() override { return Outcome(pthread_mutex_trylock(&m_->shared->mutex)); }

  DWORD Wait(DWORD milliseconds) override {
    pthread_mutex_t* mutex = &m_->shared->mutex;
    Take take = Take::kBusy;
    if (milliseconds == INFINITE) {
      take = Outcome(pthread_mutex_lock(mutex));
    } else if (milliseconds == 0) {
      take = TryLock();
    } else if (Clock& clock = CurrentMachine().GetClock(); !clock.IsVirtual()) {
      take = Outcome(TimedLock(mutex, milliseconds));
    } else {
      // Virtual time: another process cannot tell us when it lets go, so poll; the
      // virtual clock's wait looks every few real milliseconds and moves time to the
      // deadline once nothing happens.
      std::mutex local;
      std::condition_variable never;
      std::unique_lock lock(local);
      clock.WaitUntil(lock, never, milliseconds, [&] {
        take = TryLock();
        return take != Take::kBusy;
      });
    }
    switch (take) {
      case Take::kAcquired:
        return WAIT_OBJECT_0;
      case Take::kAbandoned:
        return WAIT_ABANDONED;
      case Take::kBusy:
        return WAIT_TIMEOUT;
      case Take::kFailed:
        break;
    }
    return WAIT_FAILED;
  }

  BOOL Release() override {
    // A robust mutex's futex word carries its owner's thread id (the kernel's robust
    // futex protocol). Not ours: refuse without asking pthread to unlock a mutex we do
    // not hold, which race detectors rightly flag even though it fails cleanly.
    const auto word = static_cast<unsigned>(__atomic_load_n(&m_->shared->mutex.__data.__lock, __ATOMIC_RELAXED));
    if ((word & FUTEX_TID_MASK) != GetCurrentThreadId()) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    const int rc = pthread_mutex_unlock(&m_->shared->mutex);
    if (rc == 0) return TRUE;
    SetLastError(rc == EPERM ? ERROR_NOT_OWNER : Win32ErrorFromErrno(rc));
    return FALSE;
  }

  void Unacquire(bool wasAbandoned) override {
    if (wasAbandoned) m_->pendingAbandoned.store(true, std::memory_order_relaxed);
    pthread_mutex_unlock(&m_->shared->mutex);
  }

 private:
  Take Outcome(int rc) {
    switch (rc) {
      case 0:
        return m_->pendingAbandoned.exchange(false, std::memory_order_relaxed) ? Take::kAbandoned : Take::kAcquired;
      case EOWNERDEAD:
        // The holder ended without releasing it: we own it now, and say so once.
        pthread_mutex_consistent(&m_->shared->mutex);
        m_->pendingAbandoned.store(false, std::memory_order_relaxed);
        return Take::kAbandoned;
      case EBUSY:
      case ETIMEDOUT:
        return Take::kBusy;
      case ENOTRECOVERABLE:
        SetLastError(ERROR_INVALID_HANDLE);
        return Take::kFailed;
      default:
        SetLastError(Win32ErrorFromErrno(rc));
        return Take::kFailed;
    }
  }

  Mapping* m_;
};

HANDLE AttachHandle(const std::wstring& name, bool create, bool initialOwner) {
  const auto path = CurrentMachine().Root() / "objects" / NamedMutexFileName(name);
  bool existed = false;
  std::shared_ptr<NamedMutex> mutex;
  {
    std::lock_guard guard(registry().lock);
    Mapping* m = Attach(path, create, &existed);
    if (m == nullptr) return nullptr;
    mutex = std::make_shared<NamedMutex>(m);
  }
  // The original ignores initial ownership when the mutex already existed.
  if (initialOwner && !existed && mutex->Wait(INFINITE) == WAIT_FAILED) return nullptr;
  HANDLE h = InsertHandle(std::move(mutex));
  SetLastError(create && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

}  // namespace

std::string NamedMutexFileName(std::wstring_view name) {
  const std::string utf8 = WideToUtf8(name);
  std::string out;
  out.reserve(utf8.size() + 6);
  for (unsigned char c : utf8) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                       c == '-' || c == '.' || c == ' ';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      out += escape;
    }
  }
  // File names are limited to 255 bytes; a long name keeps a readable head and a hash
  // of the whole name.
  constexpr std::size_t kMaxStem = 200;
  if (out.size() > kMaxStem) {
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (unsigned char c : utf8) hash = (hash ^ c) * 1099511628211ULL;
    char tail[18];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
    out.resize(kMaxStem - 17);
    out += tail;
  }
  return out + ".mutex";
}

HANDLE CreateNamedMutex(const std::wstring& name, bool initialOwner) {
  return AttachHandle(name, true, initialOwner);
}

HANDLE OpenNamedMutex(const std::wstring& name) {
  return AttachHandle(name, false, false);
}

}  // namespace platform::sync::detail
