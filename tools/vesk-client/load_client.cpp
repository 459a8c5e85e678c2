// vesk-load-client: load on the running service for the end-to-end tests and the
// benchmark, on the machine of KORVO_MACHINE_ROOT.
//
//   vesk-load-client THREADS CALLS   THREADS clients, each connected and opened first,
//                                    then all reading CALLS records at once
//   vesk-load-client --cycles N      N connect/open/read/close cycles, one after the other
//
// Prints what it did; the exit code is the number of failed calls (at most 250), or 255
// for a bad command line.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc.h"
#include "shared/rpc/vesk.h"

namespace {

using platform::LONG;

struct Client {
  platform::RPC_BINDING_HANDLE binding = nullptr;
  ClientContextHandle context = nullptr;
  bool Open() {
    if (platform::RpcBindingFromStringBinding(L"ncalrpc:[VeskRpcEndpoint]", &binding) != 0) return false;
    return platform::RpcGuard([&] { OpenClientContext(binding, &context); }) == 0;
  }
  // A whole record arrived.
  bool Read() {
    LONG size = 0;
    char16_t* data = nullptr;
    const bool ok = platform::RpcGuard([&] { ReadSysInfo(context, &size, &data); }) == 0 && size > 1 &&
                    data != nullptr && data[size - 1] == u'\0';
    std::free(data);
    return ok;
  }
  ~Client() {
    if (context != nullptr) platform::RpcGuard([&] { CloseClientContext(&context); });
    if (binding != nullptr) platform::RpcBindingFree(&binding);
  }
};

int Concurrent(int threads, int calls) {
  std::atomic<int> failures{0};
  std::atomic<int> ready{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      Client client;
      const bool opened = client.Open();
      ++ready;
      while (ready.load() < threads) std::this_thread::yield();
      if (!opened) {
        failures += calls;
        return;
      }
      for (int i = 0; i < calls; ++i) failures += client.Read() ? 0 : 1;
    });
  }
  for (auto& t : pool) t.join();
  std::printf("%d clients, %d calls each: %d failed\n", threads, calls, failures.load());
  return failures.load();
}

int Cycles(int n) {
  int failures = 0;
  for (int i = 0; i < n; ++i) {
    Client client;
    failures += client.Open() && client.Read() ? 0 : 1;
  }
  std::printf("%d cycles: %d failed\n", n, failures);
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  int failures = 0;
  if (args.size() == 2 && args[0] == "--cycles" && std::atoi(args[1].c_str()) > 0) {
    failures = Cycles(std::atoi(args[1].c_str()));
  } else if (args.size() == 2 && std::atoi(args[0].c_str()) > 0 && std::atoi(args[1].c_str()) > 0) {
    failures = Concurrent(std::atoi(args[0].c_str()), std::atoi(args[1].c_str()));
  } else {
    std::fprintf(stderr, "usage: vesk-load-client THREADS CALLS | --cycles N\n");
    return 255;
  }
  return std::min(failures, 250);
}
