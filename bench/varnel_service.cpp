// The service as its clients meet it, on a fresh machine of the default profile:
//   - cold start: `vesk-sc start Varnel` to the first record in a client, beside starting
//     and stopping a trivial service under the same controller;
//   - warm ReadSysInfo through the whole service, 1 and 8 clients, beside the raw socket
//     floor of the same sizes;
//   - load: 64 client processes with 1234 ReadSysInfo calls in flight at once, then
//     10,000 connect/open/read/close cycles (vesk-load-client); the failures, and the service's resident
//     memory and open descriptors at idle and after the load.
// Exits 1 when a call failed.
//
//   varnel_service [--calls N] [--rounds R]
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/roundtrip_support.h"
#include "platform/machine.h"
#include "platform/rpc.h"
#include "platform/scm_testing.h"
#include "shared/rpc/vesk.h"

namespace {

using namespace korvo::bench;
using platform::DWORD;
using platform::LONG;
using platform::RPC_BINDING_HANDLE;

constexpr int kLoadProcesses = 64;
constexpr int kCallsInFlight = 1234;
constexpr int kCycles = 10000;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Starts a program with its output discarded; -1 when it cannot start.
pid_t Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

// Its exit code (128 + the signal that ended it; 255 when it did not start).
int Wait(pid_t pid) {
  if (pid <= 0) return 255;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunQuietly(std::vector<std::string> args) {
  return Wait(Spawn(std::move(args)));
}

int Sc(const std::string& verb, const std::string& service) {
  return RunQuietly({VESK_SC_PATH, "--timeout", "60000", verb, service});
}

// One client: bind and open; calls; close and free. False on any failure.
struct Client {
  RPC_BINDING_HANDLE binding = nullptr;
  ClientContextHandle context = nullptr;
  bool Open() {
    if (platform::RpcBindingFromStringBinding(L"ncalrpc:[VeskRpcEndpoint]", &binding) != 0) return false;
    return platform::RpcGuard([&] { OpenClientContext(binding, &context); }) == 0;
  }
  // The record's length with its NUL, or 0 on failure.
  LONG Read() {
    LONG size = 0;
    char16_t* data = nullptr;
    if (platform::RpcGuard([&] { ReadSysInfo(context, &size, &data); }) != 0) return 0;
    std::free(data);
    return size;
  }
  ~Client() {
    if (context != nullptr) platform::RpcGuard([&] { CloseClientContext(&context); });
    if (binding != nullptr) platform::RpcBindingFree(&binding);
  }
};

// Resident memory in KiB and open descriptors of a process.
std::pair<long, int> Footprint(DWORD pid) {
  long rssKb = -1;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) rssKb = std::atol(line.c_str() + 6);
  }
  int fds = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++fds;
  }
  return {rssKb, fds};
}

}  // namespace

int main(int argc, char** argv) {
  int calls = 4000;
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--calls" && i + 1 < argc && std::atoi(argv[i + 1]) >= 800) {
      calls = std::atoi(argv[++i]);
    } else if (arg == "--rounds" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      rounds = std::atoi(argv[++i]);
    } else {
      std::fprintf(
          arg == "--help" ? stdout : stderr,
          "usage: varnel_service [--calls N] [--rounds R]   (N >= 800, default 4000; R cold starts, default 5)\n");
      return arg == "--help" ? 0 : 2;
    }
  }
  char templ[] = "/tmp/korvo-bench-XXXXXX";
  if (::mkdtemp(templ) == nullptr) return 1;
  ::setenv("KORVO_MACHINE_ROOT", templ, 1);
  platform::Machine::Options options;
  options.root = templ;
  platform::SelectMachine(platform::Machine::Open(std::move(options)));
  int failures = 0;
  auto check = [&](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "varnel_service: %s failed\n", what);
      ++failures;
    }
    return ok;
  };

  std::printf("machine %s\n", templ);
  check(RunQuietly({VARNEL_PATH, "-install"}) == 0, "varnel -install");
  check(RunQuietly({VESK_SC_PATH, "create", "Trivial",
                    "binPath=", std::string("\"") + SCM_TEST_SERVICE_PATH + "\" Trivial"}) == 0,
        "creating the trivial service");

  // Cold start, each round beside the trivial service's start and stop.
  std::vector<double> cold, trivial;
  for (int r = 0; r < rounds && failures == 0; ++r) {
    auto t0 = Clock::now();
    check(Sc("start", "Varnel") == 0, "vesk-sc start Varnel");
    LONG size = 0;
    for (int attempt = 0; attempt < 600 && size <= 1; ++attempt) {
      Client client;
      if (client.Open()) size = client.Read();
      if (size <= 1) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    cold.push_back(Ms(Clock::now() - t0));
    check(size > 1, "the first record");
    check(Sc("stop", "Varnel") == 0, "vesk-sc stop Varnel");
    t0 = Clock::now();
    check(Sc("start", "Trivial") == 0 && Sc("stop", "Trivial") == 0, "the trivial service");
    trivial.push_back(Ms(Clock::now() - t0));
  }
  if (failures != 0) return 1;
  std::printf("cold start to the first record  %8.1f ms   trivial start+stop %8.1f ms   ratio %.2f\n", Median(cold),
              Median(trivial), Median(cold) / Median(trivial));

  // Warm: the service running and its record read once.
  check(Sc("start", "Varnel") == 0, "vesk-sc start Varnel");
  LONG recordSize = 0;
  {
    Client client;
    if (client.Open()) recordSize = client.Read();
  }
  if (!check(recordSize > 1, "the warm-up read")) return 1;
  const std::size_t requestBytes = 16 + 8 + 20;
  const std::size_t responseBytes = 16 + 8 + 4 + 4 + 4 + static_cast<std::size_t>(recordSize) * 2;
  std::atomic<int> callFailures{0};
  auto rpcRun = [&](int clients, int n) {
    return Measure(clients, [&, n](int, std::vector<double>& out) {
      Client client;
      if (!client.Open()) {
        callFailures += n;
        return;
      }
      for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        if (client.Read() != recordSize) ++callFailures;
        out.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
    });
  };
  constexpr int kRounds = 10;
  Samples rpc1s, raw1s, rpc8s, raw8s;
  for (int round = 0; round < kRounds; ++round) {
    rpc1s.Add(rpcRun(1, calls / kRounds));
    raw1s.Add(RawRun(1, calls / kRounds, requestBytes, responseBytes));
    rpc8s.Add(rpcRun(8, calls / kRounds / 8));
    raw8s.Add(RawRun(8, calls / kRounds / 8, requestBytes, responseBytes));
  }
  const Figures rpc1 = Summarize(std::move(rpc1s)), raw1 = Summarize(std::move(raw1s));
  const Figures rpc8 = Summarize(std::move(rpc8s)), raw8 = Summarize(std::move(raw8s));
  std::printf("warm ReadSysInfo, a record of %d characters with its NUL:\n", static_cast<int>(recordSize));
  Print("rpc", 1, rpc1);
  Print("raw", 1, raw1);
  Print("rpc", 8, rpc8);
  Print("raw", 8, raw8);
  std::printf("1 client: rpc/raw calls/s = %.2f   8 clients: rpc/raw calls/s = %.2f\n",
              rpc1.callsPerSecond / raw1.callsPerSecond, rpc8.callsPerSecond / raw8.callsPerSecond);
  check(callFailures.load() == 0, "a warm call");

  // Load, with the footprint before and after.
  const DWORD pid = platform::scm_testing::ServiceProcessId(L"Varnel");
  const auto idle = Footprint(pid);
  // Twice: what the first load leaves (thread stacks, allocator arenas) shows as growth
  // once; a leak grows again with the second.
  int loadFailures = 0;
  int cycleFailures = 0;
  std::vector<std::pair<long, int>> footprints = {idle};
  for (int load = 1; load <= 2; ++load) {
    const auto loadStart = Clock::now();
    std::vector<pid_t> children;
    for (int p = 0; p < kLoadProcesses; ++p) {
      const int threads = kCallsInFlight / kLoadProcesses + (p < kCallsInFlight % kLoadProcesses ? 1 : 0);
      children.push_back(Spawn({VESK_LOAD_CLIENT_PATH, std::to_string(threads), "20"}));
    }
    int failed = 0;
    for (pid_t child : children) failed += Wait(child);
    const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();
    const auto cyclesStart = Clock::now();
    const int cyclesFailed = Wait(Spawn({VESK_LOAD_CLIENT_PATH, "--cycles", std::to_string(kCycles)}));
    const double cycleSeconds = std::chrono::duration<double>(Clock::now() - cyclesStart).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the server finishes with the last connections
    footprints.push_back(Footprint(pid));
    std::printf("load %d: %d processes, %d calls in flight, %d calls each: %d failed (%.1f s)\n", load, kLoadProcesses,
                kCallsInFlight, 20, failed, loadSeconds);
    std::printf("        %d connect/open/read/close cycles: %d failed (%.1f s)\n", kCycles, cyclesFailed, cycleSeconds);
    loadFailures += failed;
    cycleFailures += cyclesFailed;
  }
  std::printf("service resident memory: idle %ld KiB, after load 1 %ld KiB, after load 2 %ld KiB\n",
              footprints[0].first, footprints[1].first, footprints[2].first);
  std::printf("service open descriptors: idle %d, after load 1 %d, after load 2 %d\n", footprints[0].second,
              footprints[1].second, footprints[2].second);
  check(loadFailures == 0 && cycleFailures == 0, "a load call");

  Sc("stop", "Varnel");
  RunQuietly({VARNEL_PATH, "-remove"});
  RunQuietly({VESK_SC_PATH, "delete", "Trivial"});
  std::error_code ec;
  std::filesystem::remove_all(templ, ec);
  return failures == 0 ? 0 : 1;
}
