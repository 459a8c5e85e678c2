// Device I/O: CreateFile on a device interface path, DeviceIoControl answered by the
// interface's driver as the profile says, GetOverlappedResult. Every request goes into
// the machine's journal.
//
// A request that pends for a time completes on the machine's clock. One timer thread
// per machine waits for the earliest such request with a timed wait of that clock, so
// that under a virtual clock the wait is what moves time to the completion (the clock
// jumps to the earliest deadline of the timed waits in progress when nothing else
// happens). Completing lazily, when someone looks, would not do: a caller that waits on
// the OVERLAPPED's event with a time-out is waiting in the sync area, which knows
// nothing of devices, and would time out instead. The thread starts with the first such
// request and ends with the machine.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/clock.h"
#include "platform/devices.h"
#include "platform/journal.h"
#include "platform/machine.h"
#include "platform/src/base/handles.h"
#include "platform/src/base/trace.h"
#include "platform/src/devices/device_io.h"
#include "platform/src/devices/devices_profile.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace platform {
namespace {

using devices::detail::DeviceNode;
using devices::detail::InterfaceRecord;
using devices::detail::IoAnswer;

// Statuses kept in OVERLAPPED::Internal, as the original keeps them.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x00000103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
// A Win32 code a driver failed with travels as a status of the Win32 facility.
constexpr ULONG_PTR kStatusWin32Facility = 0xC0070000;

constexpr std::uint64_t kUnitsPerMs = 10'000;
// How much of a request's input the journal keeps.
constexpr std::size_t kJournalInputBytes = 4096;

ULONG_PTR StatusFromWin32(DWORD error) {
  return kStatusWin32Facility | (error & 0xFFFF);
}

DWORD Win32FromStatus(ULONG_PTR status) {
  if (status == kStatusSuccess) return ERROR_SUCCESS;
  if (status == kStatusCancelled) return ERROR_OPERATION_ABORTED;
  if ((status & 0xFFFF0000) == kStatusWin32Facility) return static_cast<DWORD>(status & 0xFFFF);
  return ERROR_GEN_FAILURE;
}

// One request a driver keeps. Its status is guarded by the lock of the DeviceIo it was
// submitted to.
struct Request {
  std::uint64_t file = 0;            // DeviceFile::id of the handle it came through
  OVERLAPPED* overlapped = nullptr;  // null on a synchronous handle
  HANDLE event = nullptr;            // set when it completes
  std::optional<std::uint64_t> due;  // interrupt time (100 ns) it completes at; none: never
  ULONG_PTR status = kStatusPending;
};

// The device I/O of one machine: which devices are open, the requests their drivers
// keep, the uses of counted answers and the timer thread.
class DeviceIo {
 public:
  explicit DeviceIo(Clock& clock) : clock_(clock) {}
  ~DeviceIo() { Shutdown(); }
  DeviceIo(const DeviceIo&) = delete;
  DeviceIo& operator=(const DeviceIo&) = delete;

  Clock& clock() { return clock_; }

  // False when the device is open already.
  bool Open(const std::wstring& key) {
    std::lock_guard guard(lock_);
    return open_.insert(key).second;
  }

  // False once the machine is gone.
  bool Alive() {
    std::lock_guard guard(lock_);
    return !stopping_;
  }

  // Releases the device and cancels what its handle left pending.
  void Close(const std::wstring& key, std::uint64_t file) {
    std::vector<HANDLE> events;
    {
      std::lock_guard guard(lock_);
      open_.erase(key);
      for (const auto& request : std::vector(pending_)) {
        if (request->file == file) CompleteLocked(*request, kStatusCancelled, &events);
      }
    }
    Signal(events);
  }

  // The answer to a request of `code` to `iface`, counting the uses of counted answers.
  IoAnswer Answer(const InterfaceRecord& iface, DWORD code) {
    std::lock_guard guard(lock_);
    if (auto it = iface.driver.ioctls.find(code); it != iface.driver.ioctls.end()) {
      if (Acts(it->second, &iface, code)) return it->second;
    }
    if (Acts(iface.driver.fallback, &iface, std::nullopt)) return iface.driver.fallback;
    return IoAnswer{};
  }

  // Records the final status of a request that never pended in its OVERLAPPED.
  void Finish(OVERLAPPED* overlapped, ULONG_PTR status) {
    std::lock_guard guard(lock_);
    overlapped->Internal = status;
    overlapped->InternalHigh = 0;
  }

  // Takes a pending request. One that completes at a time is in the timer thread's
  // timed wait when this returns, so a virtual clock cannot skip past it.
  void Submit(const std::shared_ptr<Request>& request) {
    std::unique_lock lock(lock_);
    if (stopping_) {
      std::vector<HANDLE> events;
      CompleteLocked(*request, kStatusCancelled, &events);
      lock.unlock();
      Signal(events);
      return;
    }
    if (request->overlapped != nullptr) {
      request->overlapped->Internal = kStatusPending;
      request->overlapped->InternalHigh = 0;
    }
    pending_.push_back(request);
    if (!request->due) return;
    if (!timer_.joinable()) {
      try {
        timer_ = std::thread([this] { TimerLoop(); });
      } catch (const std::system_error&) {
        // Without its timer the request cannot complete: it fails instead.
        std::vector<HANDLE> events;
        CompleteLocked(*request, StatusFromWin32(ERROR_NOT_ENOUGH_MEMORY), &events);
        lock.unlock();
        Signal(events);
        return;
      }
    }
    const std::uint64_t mine = ++generation_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return seen_ >= mine || stopping_; });
  }

  // Waits on the machine clock until the request is no longer pending; its status.
  ULONG_PTR Wait(const Request& request) {
    std::unique_lock lock(lock_);
    WaitLocked(lock, [&] { return request.status != kStatusPending; });
    return request.status;
  }

  // The status in an OVERLAPPED (read under the lock its writers hold), waiting for it
  // to leave STATUS_PENDING when `wait` is true.
  std::pair<ULONG_PTR, ULONG_PTR> Result(const OVERLAPPED& overlapped, bool wait) {
    std::unique_lock lock(lock_);
    // What is due completes now, even before the timer thread gets to it: a test that
    // moves a virtual clock by hand sees the result at once.
    std::vector<HANDLE> events;
    CompleteDueLocked(&events);
    if (!events.empty()) {
      lock.unlock();
      Signal(events);
      lock.lock();
    }
    if (wait) WaitLocked(lock, [&] { return overlapped.Internal != kStatusPending; });
    return {overlapped.Internal, overlapped.InternalHigh};
  }

  std::size_t Waiters() {
    std::lock_guard guard(lock_);
    return waiters_;
  }

  // The machine goes: the timer thread ends and waiters stop waiting. Pending requests
  // stay pending: their OVERLAPPEDs may be gone with the callers that left them.
  void Shutdown() {
    {
      std::lock_guard guard(lock_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (timer_.joinable()) timer_.join();
  }

 private:
  // Counts a use of a counted answer; whether it acts on this one. With lock_ held.
  bool Acts(const IoAnswer& answer, const InterfaceRecord* iface, std::optional<DWORD> code) {
    if (!answer.count) return true;
    const auto uses = ++uses_[{iface, code ? std::int64_t{*code} : -1}];
    return uses <= *answer.count;
  }

  template <class Ready>
  void WaitLocked(std::unique_lock<std::mutex>& lock, Ready ready) {
    if (ready() || stopping_) return;
    ++waiters_;
    clock_.WaitUntil(lock, changed_, INFINITE, [&] { return ready() || stopping_; });
    --waiters_;
  }

  // With lock_ held; the events to set once it is released.
  void CompleteLocked(Request& request, ULONG_PTR status, std::vector<HANDLE>* events) {
    if (request.status != kStatusPending) return;
    request.status = status;
    if (request.overlapped != nullptr) {
      request.overlapped->Internal = status;
      request.overlapped->InternalHigh = 0;
    }
    if (request.event != nullptr) events->push_back(request.event);
    std::erase_if(pending_, [&](const std::shared_ptr<Request>& r) { return r.get() == &request; });
  }

  // Completes the timed requests whose time has come; the earliest time still ahead.
  std::optional<std::uint64_t> CompleteDueLocked(std::vector<HANDLE>* events) {
    if (stopping_) return std::nullopt;  // the clock may be gone
    const std::uint64_t now = clock_.InterruptTime100ns();
    std::optional<std::uint64_t> next;
    for (const auto& request : std::vector(pending_)) {
      if (!request->due) continue;
      if (*request->due <= now) {
        CompleteLocked(*request, kStatusSuccess, events);
      } else {
        next = std::min(next.value_or(*request->due), *request->due);
      }
    }
    return next;
  }

  // Outside lock_: events belong to the sync area, which has its own lock.
  void Signal(const std::vector<HANDLE>& events) {
    changed_.notify_all();
    for (HANDLE event : events) SetEvent(event);
  }

  void TimerLoop() {
    std::unique_lock lock(lock_);
    while (!stopping_) {
      std::vector<HANDLE> events;
      const std::optional<std::uint64_t> next = CompleteDueLocked(&events);
      if (!events.empty()) {
        lock.unlock();
        Signal(events);
        lock.lock();
        continue;
      }
      // From here until the wait below releases the lock, the wait is being entered:
      // a submitter that sees seen_ knows its deadline is in it.
      const std::uint64_t generation = generation_;
      seen_ = generation;
      changed_.notify_all();
      auto changed = [&] { return stopping_ || generation_ != generation; };
      if (!next) {
        changed_.wait(lock, changed);
        continue;
      }
      const std::uint64_t now = clock_.InterruptTime100ns();
      const std::uint64_t ms = *next > now ? (*next - now + kUnitsPerMs - 1) / kUnitsPerMs : 0;
      clock_.WaitUntil(lock, changed_, static_cast<DWORD>(std::min<std::uint64_t>(ms, INFINITE - 1)), changed);
    }
  }

  Clock& clock_;
  std::mutex lock_;
  std::condition_variable changed_;  // a request completed, or the timer has work
  std::set<std::wstring> open_;      // upper-cased paths of open devices
  std::map<std::pair<const InterfaceRecord*, std::int64_t>, std::uint64_t> uses_;  // code, or -1: default
  std::vector<std::shared_ptr<Request>> pending_;
  std::uint64_t generation_ = 0;  // bumped for every timed request
  std::uint64_t seen_ = 0;        // the generation the timer thread waits with
  std::size_t waiters_ = 0;       // threads in WaitLocked
  bool stopping_ = false;
  std::thread timer_;
};

// The machine's DeviceIo, made on first use and shut down with the machine. Handles
// share it, so one that outlives its machine still closes safely.
struct DeviceIoState {
  std::once_flag once;
  std::shared_ptr<DeviceIo> io;
  ~DeviceIoState() {
    if (io) io->Shutdown();
  }
};

std::shared_ptr<DeviceIo> MachineDeviceIo() {
  Machine& machine = CurrentMachine();
  auto& state = machine.State<DeviceIoState>();
  std::call_once(state.once, [&] { state.io = std::make_shared<DeviceIo>(machine.GetClock()); });
  return state.io;
}

std::atomic<std::uint64_t> g_nextFileId{1};

// An open device: what CreateFile's handle names.
class DeviceFile final : public base::detail::KernelObject {
 public:
  std::uint64_t id = g_nextFileId.fetch_add(1);
  std::shared_ptr<DeviceIo> io;
  std::shared_ptr<const std::vector<DeviceNode>> tree;  // keeps `iface` alive
  const InterfaceRecord* iface = nullptr;
  std::wstring key;  // upper-cased path
  bool overlapped = false;

  void OnHandleClosed() override;
};

std::string Hex(const void* data, DWORD size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out;
  const std::size_t shown = std::min<std::size_t>(size, kJournalInputBytes);
  out.reserve(shown * 2 + 3);
  for (std::size_t i = 0; i < shown; ++i) fmt::format_to(std::back_inserter(out), "{:02X}", bytes[i]);
  if (shown < size) out += "...";
  return out;
}

// The keyboard filter driver's requests: device type 0x9300, functions 0 to 6.
const char* RequestName(DWORD code) {
  static constexpr const char* kNames[] = {
      "KVQKBFILTR_FilterOn",         "KVQKBFILTR_FilterOff",   "KVQKBFILTR_GetButton",      "KVQKBFILTR_AddButton",
      "KVQKBFILTR_FlushButtonQueue", "KVQKBFILTR_InitButtons", "KVQKBFILTR_SetRepeatButton"};
  const DWORD function = (code >> 2) & 0xFFF;
  if ((code >> 16) != 0x9300 || function >= std::size(kNames)) return nullptr;
  return kNames[function];
}

void JournalDevice(const std::wstring& path, std::string call, nlohmann::ordered_json args, std::string result) {
  journal::Entry entry;
  entry.kind = "device";
  entry.target = WideToUtf8(path);
  entry.call = std::move(call);
  entry.args = std::move(args);
  entry.result = std::move(result);
  journal::Append(std::move(entry));
}

std::string ResultText(ULONG_PTR status) {
  if (status == kStatusSuccess) return "completed";
  if (status == kStatusCancelled) return "aborted";
  return fmt::format("failed 0x{:08X}", Win32FromStatus(status));
}

// The close is journalled before the cancellations it causes, whose waiters journal
// their results as they wake.
void DeviceFile::OnHandleClosed() {
  if (io->Alive()) JournalDevice(iface->path, "CloseHandle", nlohmann::ordered_json::object(), "0x00000000");
  io->Close(key, id);
}

// The first present interface whose path is `path`, letter case aside.
const InterfaceRecord* FindInterface(const std::vector<DeviceNode>& tree, const std::wstring& path) {
  for (const auto& node : tree) {
    if (!node.present) continue;
    for (const auto& iface : node.interfaces) {
      if (EqualsNoCase(iface.path, path)) return &iface;
    }
  }
  return nullptr;
}

}  // namespace

std::size_t devices::detail::DeviceRequestWaiters() {
  return MachineDeviceIo()->Waiters();
}

HANDLE CreateFile(LPCWSTR fileName, DWORD /*desiredAccess*/, DWORD /*shareMode*/,
                  LPSECURITY_ATTRIBUTES /*securityAttributes*/, DWORD creationDisposition, DWORD flagsAndAttributes,
                  HANDLE /*templateFile*/) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceDevices, "CreateFile", [&]() -> HANDLE {
    if (fileName == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    const std::wstring asked(fileName);
    const bool overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    auto refuse = [&](const std::wstring& path, DWORD error) {
      JournalDevice(path, "CreateFile", {{"overlapped", overlapped}}, fmt::format("0x{:08X}", error));
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    };
    if (creationDisposition != OPEN_EXISTING) return refuse(asked, ERROR_INVALID_PARAMETER);
    std::shared_ptr<const std::vector<DeviceNode>> tree;
    try {
      tree = devices::detail::MachineDeviceNodes();
    } catch (const MachineError&) {
      SetLastError(ERROR_INVALID_DATA);  // no machine to open the device on
      return INVALID_HANDLE_VALUE;
    }
    if (!tree) return refuse(asked, GetLastError());
    const InterfaceRecord* iface = FindInterface(*tree, asked);
    if (iface == nullptr) return refuse(asked, ERROR_FILE_NOT_FOUND);

    auto file = std::make_shared<DeviceFile>();
    file->io = MachineDeviceIo();
    file->tree = tree;
    file->iface = iface;
    file->key = ToUpper(iface->path);
    file->overlapped = overlapped;
    if (!file->io->Open(file->key)) return refuse(iface->path, ERROR_SHARING_VIOLATION);
    JournalDevice(iface->path, "CreateFile", {{"overlapped", overlapped}}, "0x00000000");
    SetLastError(ERROR_SUCCESS);
    return base::detail::InsertHandle(std::move(file));
  });
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, DWORD* bytesReturned, LPOVERLAPPED overlapped) {
  return base::detail::Traced<BOOL>(base::detail::kTraceDevices, "DeviceIoControl", [&]() -> BOOL {
    auto file = base::detail::LookupHandleAs<DeviceFile>(device);
    if (!file || !file->io->Alive()) {  // a handle left open on a machine that went
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    // Mistakes of the caller never reach the driver.
    if ((inBuffer == nullptr && inBufferSize != 0) || (outBuffer == nullptr && outBufferSize != 0) ||
        (file->overlapped ? overlapped == nullptr : bytesReturned == nullptr)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (bytesReturned != nullptr) *bytesReturned = 0;
    // A synchronous handle ignores an OVERLAPPED it is given.
    OVERLAPPED* const tracked = file->overlapped ? overlapped : nullptr;
    // Every request on an overlapped handle starts by resetting its event.
    if (tracked != nullptr && tracked->hEvent != nullptr) ResetEvent(tracked->hEvent);

    nlohmann::ordered_json args = nlohmann::ordered_json::object();
    if (const char* name = RequestName(ioControlCode)) args["name"] = name;
    args["input"] = Hex(inBuffer, inBufferSize);
    args["overlapped"] = file->overlapped;
    const std::string call = fmt::format("0x{:08X}", ioControlCode);
    DeviceIo& io = *file->io;

    const IoAnswer answer = io.Answer(*file->iface, ioControlCode);
    if (answer.kind == IoAnswer::Kind::kComplete || answer.kind == IoAnswer::Kind::kFail) {
      const ULONG_PTR status =
          answer.kind == IoAnswer::Kind::kComplete ? kStatusSuccess : StatusFromWin32(answer.error);
      if (tracked != nullptr) {
        io.Finish(tracked, status);
        // Completion sets the event; a request the driver refuses never started.
        if (status == kStatusSuccess && tracked->hEvent != nullptr) SetEvent(tracked->hEvent);
      }
      JournalDevice(file->iface->path, call, std::move(args), ResultText(status));
      if (status != kStatusSuccess) {
        SetLastError(Win32FromStatus(status));
        return FALSE;
      }
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }

    auto request = std::make_shared<Request>();
    request->file = file->id;
    request->overlapped = tracked;
    request->event = tracked != nullptr ? tracked->hEvent : nullptr;
    if (answer.kind == IoAnswer::Kind::kPend) {
      request->due = io.clock().InterruptTime100ns() + std::uint64_t{answer.ms} * kUnitsPerMs;
    }
    if (tracked != nullptr) {
      io.Submit(request);
      JournalDevice(file->iface->path, call, std::move(args), "pending");
      SetLastError(ERROR_IO_PENDING);
      return FALSE;
    }
    // A synchronous handle waits for the answer; the journal has it once it came.
    io.Submit(request);
    ULONG_PTR status = io.Wait(*request);
    if (status == kStatusPending) status = kStatusCancelled;  // the machine went
    JournalDevice(
        file->iface->path, call, std::move(args),
        status == kStatusCancelled ? fmt::format("failed 0x{:08X}", ERROR_OPERATION_ABORTED) : ResultText(status));
    if (status != kStatusSuccess) {
      SetLastError(Win32FromStatus(status));
      return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  });
}

BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped, DWORD* bytesTransferred, BOOL wait) {
  return base::detail::Traced<BOOL>(base::detail::kTraceDevices, "GetOverlappedResult", [&]() -> BOOL {
    auto file = base::detail::LookupHandleAs<DeviceFile>(device);
    if (!file || !file->io->Alive()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (overlapped == nullptr || bytesTransferred == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    // A CloseHandle of the device while this waits ends the wait: it cancels the request.
    const auto [status, bytes] = file->io->Result(*overlapped, wait != FALSE);
    const std::wstring& path = file->iface->path;
    if (status == kStatusPending) {
      JournalDevice(path, "GetOverlappedResult", nlohmann::ordered_json::object(), "incomplete");
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    *bytesTransferred = static_cast<DWORD>(bytes);
    JournalDevice(path, "GetOverlappedResult", nlohmann::ordered_json::object(), ResultText(status));
    if (status != kStatusSuccess) {
      SetLastError(Win32FromStatus(status));
      return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  });
}

}  // namespace platform
