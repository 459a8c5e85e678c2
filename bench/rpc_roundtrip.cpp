// Round trips of a call shaped like ReadSysInfo (a 300-character text answered)
// through the local RPC runtime, beside the floor: the same byte sizes ping-ponged
// over a Unix-domain socket pair between two threads, with no PDUs and no NDR.
// Latency p50 and p99 and calls per second, for 1 client and for 8 at once.
//
//   rpc_roundtrip [--calls N]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/roundtrip_support.h"
#include "platform/machine.h"
#include "platform/rpc.h"
#include "shared/rpc/testing/fixed_procedures.h"
#include "shared/rpc/vesk.h"
#include "shared/rpc/vesk_server.h"

namespace {

using namespace platform;
using namespace korvo::bench;

Samples RpcRun(int clients, int calls) {
  return Measure(clients, [calls](int, std::vector<double>& out) {
    RPC_BINDING_HANDLE binding = nullptr;
    ClientContextHandle context = nullptr;
    if (RpcBindingFromStringBinding(L"ncalrpc:[VeskRpcEndpoint]", &binding) != 0) std::exit(1);
    if (RpcGuard([&] { OpenClientContext(binding, &context); }) != 0) std::exit(1);
    out.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
      LONG size = 0;
      char16_t* data = nullptr;
      const auto t0 = korvo::bench::Clock::now();
      if (RpcGuard([&] { ReadSysInfo(context, &size, &data); }) != 0 || size != 301) std::exit(1);
      std::free(data);
      out.push_back(std::chrono::duration<double, std::micro>(korvo::bench::Clock::now() - t0).count());
    }
    RpcGuard([&] { CloseClientContext(&context); });
    RpcBindingFree(&binding);
  });
}

// The request and response of ReadSysInfo over NDR 2.0: header, call fields, stub.
constexpr std::size_t kRequestBytes = 16 + 8 + 20;
constexpr std::size_t kResponseBytes = 16 + 8 + 4 + 4 + 4 + 301 * 2;

}  // namespace

int main(int argc, char** argv) {
  int calls = 20000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--calls" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      calls = std::max(1000, std::atoi(argv[++i]));
    } else {
      std::fprintf(arg == "--help" ? stdout : stderr,
                   "usage: rpc_roundtrip [--calls N]   (N >= 1000, default 20000)\n");
      return arg == "--help" ? 0 : 2;
    }
  }
  char templ[] = "/tmp/korvo-bench-XXXXXX";
  if (::mkdtemp(templ) == nullptr) return 1;
  Machine::Options options;
  options.root = templ;
  SelectMachine(Machine::Open(std::move(options)));
  korvo::rpc_testing::SetAnswers(std::u16string(300, u'k'), u"");
  if (RpcServerUseProtseqEp(L"ncalrpc", 10, L"VeskRpcEndpoint", nullptr) != 0 ||
      RpcServerRegisterIf3(VeskRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_LOCAL_ONLY, 1234,
                           0, nullptr, nullptr) != 0 ||
      RpcServerListen(1, 1234, TRUE) != 0) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  // The machine's load drifts: the runtime and the floor take turns in short rounds,
  // so both see the same conditions.
  constexpr int kRounds = 10;
  RpcRun(1, calls / 10);  // warm up
  Samples rpc1s, raw1s, rpc8s, raw8s;
  for (int round = 0; round < kRounds; ++round) {
    rpc1s.Add(RpcRun(1, calls / kRounds));
    raw1s.Add(RawRun(1, calls / kRounds, kRequestBytes, kResponseBytes));
    rpc8s.Add(RpcRun(8, calls / kRounds / 8));
    raw8s.Add(RawRun(8, calls / kRounds / 8, kRequestBytes, kResponseBytes));
  }
  const Figures rpc1 = Summarize(std::move(rpc1s));
  const Figures raw1 = Summarize(std::move(raw1s));
  const Figures rpc8 = Summarize(std::move(rpc8s));
  const Figures raw8 = Summarize(std::move(raw8s));
  Print("rpc", 1, rpc1);
  Print("raw", 1, raw1);
  Print("rpc", 8, rpc8);
  Print("raw", 8, raw8);
  std::printf("8 clients: rpc/raw p50 = %.2f, p99 = %.2f, calls/s = %.2f\n", rpc8.p50us / raw8.p50us,
              rpc8.p99us / raw8.p99us, rpc8.callsPerSecond / raw8.callsPerSecond);
  std::printf("1 client: rpc/raw p99 = %.2f, calls/s = %.2f\n", rpc1.p99us / raw1.p99us,
              rpc1.callsPerSecond / raw1.callsPerSecond);
  std::printf("rpc/raw p50 = %.2f\n", rpc1.p50us / raw1.p50us);
  RpcMgmtStopServerListening(nullptr);
  RpcServerUnregisterIf(nullptr, nullptr, TRUE);
  RpcMgmtWaitServerListen();
  std::error_code ec;
  std::filesystem::remove_all(templ, ec);
  return 0;
}
