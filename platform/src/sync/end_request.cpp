// The end request: the host's polite signals to end (SIGTERM, SIGINT, SIGHUP) turned
// into an event that a program waits for like any other. A signal handler may do almost
// nothing, so it only writes a byte to a pipe; a thread of ours reads it and signals the
// event.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

#include "platform/src/base/trace.h"
#include "platform/src/sync/sync_internal.h"
#include "platform/sync.h"

namespace platform {
namespace sync::detail {
namespace {

std::atomic<int> g_requestWriteEnd{-1};

void OnEndSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // Non-blocking: a pipe already holding a request needs no second byte.
  (void)!::write(g_requestWriteEnd.load(), &byte, 1);
  errno = saved;
}

struct EndRequest {
  std::shared_ptr<KernelObject> event;
  DWORD error = NO_ERROR;  // why the signals are not watched
};

EndRequest* StartWatching() {
  auto* state = new EndRequest;  // lives as long as the process: so do the handlers
  state->event = MakeEventObject(true, false);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    state->error = Win32ErrorFromErrno(errno);
    return state;
  }
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  g_requestWriteEnd.store(fds[1]);
  std::thread([readEnd = fds[0], event = state->event] {
    char byte = 0;
    ssize_t got = 0;
    do {
      got = ::read(readEnd, &byte, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1) SignalEventObject(*event);
  }).detach();
  struct sigaction action {};
  action.sa_handler = OnEndSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
  return state;
}

}  // namespace
}  // namespace sync::detail

HANDLE CreateEndRequestEvent() {
  return base::detail::Traced<HANDLE>(base::detail::kTraceSync, "CreateEndRequestEvent", [&]() -> HANDLE {
    static sync::detail::EndRequest* const state = sync::detail::StartWatching();
    if (state->error != NO_ERROR) {
      SetLastError(state->error);
      return nullptr;
    }
    return base::detail::InsertHandle(state->event);
  });
}

}  // namespace platform
