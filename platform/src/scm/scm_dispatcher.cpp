// The service's side: StartServiceCtrlDispatcher, RegisterServiceCtrlHandlerEx and
// SetServiceStatus over the private channel the controller passed in
// KORVO_SCM_CHANNEL (see scm_channel.cpp for the messages).
//
// Threads: the calling thread is the dispatcher and runs every handler; the service
// main runs on a thread of its own; a reader thread takes every frame off the socket,
// so a SetServiceStatus that waits for its acknowledgement never depends on the
// dispatcher thread being free (a handler may wait for the service main, which may be
// reporting a check point at that very moment).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/scm_testing.h"
#include "platform/src/base/handles.h"
#include "platform/src/base/trace.h"
#include "platform/src/scm/scm_internal.h"
#include "platform/text.h"

namespace platform {
namespace {

using scm::detail::ReadFrame;
using scm::detail::ReadStatus;
using scm::detail::SendFrame;

// How long the dispatcher waits for the controller's start message.
constexpr int kStartMessageTimeoutMs = 30000;

thread_local int t_channelOverride = -1;

struct Session {
  int fd = -1;
  std::wstring installedName;  // the name the controller started
  std::wstring tableName;      // the entry of the program's table that runs it
  std::vector<std::wstring> argStore;
  std::vector<wchar_t*> argv;

  std::mutex writeLock;
  bool fdClosed = false;  // guarded by writeLock
  std::mutex lock;
  std::condition_variable cv;
  std::deque<nlohmann::json> controls;
  std::set<std::uint64_t> acks;
  std::uint64_t nextStatusId = 1;
  bool closed = false;
  bool stoppedReported = false;
  bool mainReturned = false;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID context = nullptr;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;

  bool Send(const nlohmann::json& message) {
    std::lock_guard guard(writeLock);
    return !fdClosed && SendFrame(fd, message);
  }

  // After this a service main left running cannot write into a descriptor number the
  // process may already use for something else.
  void CloseChannel() {
    std::lock_guard guard(writeLock);
    fdClosed = true;
    ::close(fd);
  }

  void Read() {
    for (;;) {
      nlohmann::json message;
      if (ReadFrame(fd, &message) != ReadStatus::kOk) break;
      const std::string op = message.value("op", "");
      std::lock_guard guard(lock);
      if (op == "control") {
        controls.push_back(std::move(message));
      } else if (op == "ack") {
        acks.insert(message.value("id", std::uint64_t{0}));
      }
      cv.notify_all();
    }
    std::lock_guard guard(lock);
    closed = true;
    cv.notify_all();
  }
};

struct StatusHandleObject : base::detail::KernelObject {
  std::weak_ptr<Session> session;
};

std::mutex g_activeLock;
std::shared_ptr<Session> g_active;

// The channel descriptor KORVO_SCM_CHANNEL names, or -1 when there is none or it is
// not a socket (a program started by hand may have anything open at that number).
int ChannelFromEnvironment() {
  const char* value = std::getenv("KORVO_SCM_CHANNEL");
  if (value == nullptr || *value == '\0') return -1;
  char* end = nullptr;
  const long fd = std::strtol(value, &end, 10);
  if (*end != '\0' || fd < 0 || fd > 65535) return -1;
  struct stat st;
  if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) return -1;
  // The service's own child processes must not keep the channel open.
  ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return static_cast<int>(fd);
}

void HandleControl(Session& session, const nlohmann::json& message) {
  const DWORD control = message.value("control", DWORD{0});
  const DWORD eventType = message.value("eventType", DWORD{0});
  WTSSESSION_NOTIFICATION notification{sizeof(WTSSESSION_NOTIFICATION), message.value("sessionId", DWORD{0})};
  LPHANDLER_FUNCTION_EX handler;
  LPVOID context;
  {
    std::lock_guard guard(session.lock);
    handler = session.handler;
    context = session.context;
  }
  DWORD result;
  if (handler == nullptr) {
    result = control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : scm::detail::kErrorCallNotImplemented;
  } else {
    // Power events carry no data here: only PBT_POWERSETTINGCHANGE would, and the
    // controller has no power setting to send.
    LPVOID data = control == SERVICE_CONTROL_SESSIONCHANGE ? &notification : nullptr;
    result = handler(control, eventType, data, context);
  }
  session.Send({{"op", "reply"}, {"id", message.value("id", std::uint64_t{0})}, {"result", result}});
}

}  // namespace

namespace scm_testing {
void SetDispatcherChannel(int fd) {
  t_channelOverride = fd;
}
}  // namespace scm_testing

BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* serviceTable) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "StartServiceCtrlDispatcher", [&]() -> BOOL {
    int fd = t_channelOverride;
    t_channelOverride = -1;
    const bool handedOver = fd >= 0;
    if (serviceTable == nullptr || serviceTable[0].lpServiceName == nullptr ||
        serviceTable[0].lpServiceProc == nullptr) {
      if (handedOver) ::close(fd);
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (fd < 0) fd = ChannelFromEnvironment();
    if (fd < 0) {
      SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
      return FALSE;
    }

    auto session = std::make_shared<Session>();
    session->fd = fd;
    {
      std::lock_guard guard(g_activeLock);
      if (g_active) {
        // The running dispatcher owns the channel of the environment; a handed-over one is ours.
        if (handedOver) ::close(fd);
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
      }
      g_active = session;
    }
    auto finish = [&](DWORD error) {
      {
        std::lock_guard guard(g_activeLock);
        g_active.reset();
      }
      session->CloseChannel();
      SetLastError(error);
      return error == NO_ERROR ? TRUE : FALSE;
    };

    nlohmann::json start;
    if (!session->Send({{"op", "hello"}, {"pid", GetCurrentProcessId()}}) ||
        ReadFrame(fd, &start, kStartMessageTimeoutMs) != ReadStatus::kOk || start.value("op", "") != "start") {
      return finish(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    }
    session->installedName = Utf8ToWide(start.value("name", ""));
    const SERVICE_TABLE_ENTRY* entry = nullptr;
    std::size_t count = 0;
    for (const SERVICE_TABLE_ENTRY* e = serviceTable; e->lpServiceName != nullptr; ++e, ++count) {
      if (entry == nullptr && EqualsNoCase(e->lpServiceName, session->installedName)) entry = e;
    }
    // A program of one own-process service runs it whatever it was installed as.
    if (entry == nullptr && count == 1) entry = serviceTable;
    if (entry == nullptr || entry->lpServiceProc == nullptr) return finish(ERROR_SERVICE_DOES_NOT_EXIST);
    session->tableName = entry->lpServiceName;

    session->argStore.push_back(session->installedName);
    if (auto args = start.find("args"); args != start.end() && args->is_array()) {
      for (const auto& a : *args) {
        if (a.is_string()) session->argStore.push_back(Utf8ToWide(a.get<std::string>()));
      }
    }
    for (auto& a : session->argStore) session->argv.push_back(a.data());
    session->argv.push_back(nullptr);

    std::thread reader([session] { session->Read(); });
    const LPSERVICE_MAIN_FUNCTION serviceMain = entry->lpServiceProc;
    std::thread mainThread([session, serviceMain] {
      serviceMain(static_cast<DWORD>(session->argStore.size()), session->argv.data());
      std::lock_guard guard(session->lock);
      session->mainReturned = true;
      session->cv.notify_all();
    });

    std::unique_lock guard(session->lock);
    for (;;) {
      session->cv.wait(guard, [&] {
        return !session->controls.empty() || session->closed || (session->stoppedReported && session->mainReturned);
      });
      if (session->controls.empty()) break;
      nlohmann::json message = std::move(session->controls.front());
      session->controls.pop_front();
      guard.unlock();
      HandleControl(*session, message);
      guard.lock();
    }
    const bool mainDone = session->mainReturned;
    const SERVICE_STATUS_HANDLE statusHandle = session->statusHandle;
    guard.unlock();

    if (mainDone) {
      mainThread.join();
    } else {
      // The controller went away while the service runs; nobody can stop it any more, and
      // the process is about to end with the dispatcher's return.
      mainThread.detach();
    }
    ::shutdown(fd, SHUT_RDWR);
    reader.join();
    if (statusHandle != nullptr) base::detail::RemoveHandle(statusHandle);
    return finish(NO_ERROR);
  });
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
  return base::detail::Traced<SERVICE_STATUS_HANDLE>(
      base::detail::kTraceScm, "RegisterServiceCtrlHandlerEx", [&]() -> SERVICE_STATUS_HANDLE {
        if (handler == nullptr) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return nullptr;
        }
        std::shared_ptr<Session> session;
        {
          std::lock_guard guard(g_activeLock);
          session = g_active;
        }
        if (!session || serviceName == nullptr ||
            (!EqualsNoCase(serviceName, session->installedName) && !EqualsNoCase(serviceName, session->tableName))) {
          SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
          return nullptr;
        }
        std::lock_guard guard(session->lock);
        session->handler = handler;
        session->context = context;
        if (session->statusHandle == nullptr) {
          auto object = std::make_shared<StatusHandleObject>();
          object->session = session;
          session->statusHandle = base::detail::InsertHandle(std::move(object));
        }
        return session->statusHandle;
      });
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, SERVICE_STATUS* status) {
  return base::detail::Traced<BOOL>(base::detail::kTraceScm, "SetServiceStatus", [&]() -> BOOL {
    auto object = base::detail::LookupHandleAs<StatusHandleObject>(statusHandle);
    std::shared_ptr<Session> session = object ? object->session.lock() : nullptr;
    if (!session) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (status == nullptr || status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    SERVICE_STATUS_PROCESS full{status->dwServiceType,
                                status->dwCurrentState,
                                status->dwControlsAccepted,
                                status->dwWin32ExitCode,
                                status->dwServiceSpecificExitCode,
                                status->dwCheckPoint,
                                status->dwWaitHint,
                                0,
                                0};
    std::uint64_t id;
    {
      std::lock_guard guard(session->lock);
      id = session->nextStatusId++;
    }
    if (!session->Send({{"op", "status"}, {"id", id}, {"status", scm::detail::StatusToJson(full)}})) {
      SetLastError(ERROR_BROKEN_PIPE);
      return FALSE;
    }
    std::unique_lock guard(session->lock);
    session->stoppedReported = status->dwCurrentState == SERVICE_STOPPED;
    session->cv.notify_all();
    session->cv.wait(guard, [&] { return session->closed || session->acks.count(id) != 0; });
    if (session->acks.erase(id) == 0) {
      SetLastError(ERROR_BROKEN_PIPE);
      return FALSE;
    }
    return TRUE;
  });
}

}  // namespace platform
