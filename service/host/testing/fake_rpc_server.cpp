#include "service/host/testing/fake_rpc_server.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "service/rpc/rpc_server.h"

namespace RpcServer {

using platform::BOOL;
using platform::DWORD;

namespace {

struct FakeServer {
  std::mutex lock;
  std::condition_variable changed;
  DWORD startStatus = 0;
  bool held = false;
  bool listening = false;
  bool stopRequested = false;
  int starts = 0;
  int stops = 0;
};

FakeServer& Server() {
  static FakeServer server;
  return server;
}

}  // namespace

DWORD RpcServerStart(BOOL dontWait) {
  FakeServer& s = Server();
  std::unique_lock lock(s.lock);
  ++s.starts;
  s.changed.notify_all();
  s.changed.wait(lock, [&] { return !s.held; });
  if (s.startStatus != 0) return s.startStatus;
  s.listening = true;
  s.stopRequested = false;
  s.changed.notify_all();
  if (dontWait) return 0;
  s.changed.wait(lock, [&] { return s.stopRequested; });
  return 0;
}

void RpcServerStop() {
  FakeServer& s = Server();
  std::lock_guard guard(s.lock);
  ++s.stops;
  // As the runtime: stopping a server that does not listen changes nothing.
  if (s.listening) {
    s.listening = false;
    s.stopRequested = true;
  }
  s.changed.notify_all();
}

namespace testing {

void SetRpcServerStartStatus(DWORD status) {
  std::lock_guard guard(Server().lock);
  Server().startStatus = status;
}

void HoldRpcServerStart(bool hold) {
  FakeServer& s = Server();
  std::lock_guard guard(s.lock);
  s.held = hold;
  s.changed.notify_all();
}

bool WaitUntilRpcServerListening(DWORD timeoutMs) {
  FakeServer& s = Server();
  std::unique_lock lock(s.lock);
  return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s.listening; });
}

bool IsRpcServerListening() {
  std::lock_guard guard(Server().lock);
  return Server().listening;
}

int RpcServerStartCount() {
  std::lock_guard guard(Server().lock);
  return Server().starts;
}

int RpcServerStopCount() {
  std::lock_guard guard(Server().lock);
  return Server().stops;
}

void ResetFakeRpcServer() {
  FakeServer& s = Server();
  std::lock_guard guard(s.lock);
  s.startStatus = 0;
  s.held = false;
  s.stopRequested = false;
  s.starts = 0;
  s.stops = 0;
}

}  // namespace testing
}  // namespace RpcServer
