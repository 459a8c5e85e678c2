// The controller's end of a service's private channel (used by the supervisor and by
// the in-process test controller). Messages, one JSON object per frame:
//
//   service -> controller   {"op":"hello","pid":N}
//                           {"op":"status","id":N,"status":{...}}   answered by an ack
//                           {"op":"reply","id":N,"result":R}        a handler's result
//   controller -> service   {"op":"start","name":"...","args":[...]}
//                           {"op":"ack","id":N}
//                           {"op":"control","id":N,"control":C,"eventType":E,"sessionId":S}
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/scm_testing.h"
#include "platform/src/scm/scm_internal.h"
#include "platform/text.h"

namespace platform::scm_testing {

using scm::detail::ReadFrame;
using scm::detail::ReadStatus;
using scm::detail::SendFrame;

struct ServiceChannelEnd::State {
  int fd = -1;
  Events events;
  std::mutex writeLock;  // one frame at a time
  std::mutex lock;
  std::condition_variable cv;
  bool closed = false;
  std::uint64_t nextId = 1;
  std::map<std::uint64_t, DWORD> replies;
  std::thread reader;

  bool Send(const nlohmann::json& message) {
    std::lock_guard guard(writeLock);
    return SendFrame(fd, message);
  }

  void Read() {
    for (;;) {
      nlohmann::json message;
      if (ReadFrame(fd, &message) != ReadStatus::kOk) break;
      const std::string op = message.value("op", "");
      if (op == "status") {
        const auto s = scm::detail::StatusFromJson(message.value("status", nlohmann::json::object()));
        const SERVICE_STATUS status{
            s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
            s.dwCheckPoint,  s.dwWaitHint};
        if (events.onStatus) events.onStatus(status);
        Send({{"op", "ack"}, {"id", message.value("id", std::uint64_t{0})}});
      } else if (op == "reply") {
        std::lock_guard guard(lock);
        replies[message.value("id", std::uint64_t{0})] = message.value("result", DWORD{0});
        cv.notify_all();
      } else if (op == "hello") {
        if (events.onConnected) events.onConnected(message.value("pid", DWORD{0}));
      }
      // Anything else comes from a newer dispatcher; ignoring it keeps the channel usable.
    }
    {
      std::lock_guard guard(lock);
      closed = true;
      cv.notify_all();
    }
    if (events.onClosed) events.onClosed();
  }
};

ServiceChannelEnd::ServiceChannelEnd(int fd, Events events) : state_(std::make_shared<State>()) {
  state_->fd = fd;
  state_->events = std::move(events);
  state_->reader = std::thread([state = state_] { state->Read(); });
}

ServiceChannelEnd::~ServiceChannelEnd() {
  Close();
  if (state_->reader.joinable()) state_->reader.join();
  ::close(state_->fd);
}

bool ServiceChannelEnd::SendStart(std::wstring_view serviceName, const std::vector<std::wstring>& args) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& a : args) list.push_back(WideToUtf8(a));
  return state_->Send({{"op", "start"}, {"name", WideToUtf8(serviceName)}, {"args", list}});
}

DWORD ServiceChannelEnd::Control(DWORD control, DWORD eventType, DWORD sessionId, DWORD timeoutMs,
                                 DWORD* handlerResult) {
  std::uint64_t id;
  {
    std::lock_guard guard(state_->lock);
    if (state_->closed) return ERROR_BROKEN_PIPE;
    id = state_->nextId++;
  }
  if (!state_->Send(
          {{"op", "control"}, {"id", id}, {"control", control}, {"eventType", eventType}, {"sessionId", sessionId}})) {
    return ERROR_BROKEN_PIPE;
  }
  std::unique_lock guard(state_->lock);
  const bool done = state_->cv.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                        [&] { return state_->closed || state_->replies.count(id) != 0; });
  auto it = state_->replies.find(id);
  if (it != state_->replies.end()) {
    if (handlerResult != nullptr) *handlerResult = it->second;
    state_->replies.erase(it);
    return NO_ERROR;
  }
  return done ? ERROR_BROKEN_PIPE : ERROR_SERVICE_REQUEST_TIMEOUT;
}

void ServiceChannelEnd::Close() {
  ::shutdown(state_->fd, SHUT_RDWR);
}

bool ServiceChannelEnd::Closed() const {
  std::lock_guard guard(state_->lock);
  return state_->closed;
}

bool ServiceChannelEnd::WaitClosed(DWORD timeoutMs) {
  std::unique_lock guard(state_->lock);
  return state_->cv.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return state_->closed; });
}

}  // namespace platform::scm_testing
