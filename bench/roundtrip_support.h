// What the round-trip benchmarks share: latency samples gathered on several threads,
// their summary, and the floor every RPC figure is set beside: the same byte sizes
// ping-ponged over a Unix-domain socket pair between two threads, with no PDUs and no NDR.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

namespace korvo::bench {

using Clock = std::chrono::steady_clock;

struct Figures {
  double p50us = 0;
  double p99us = 0;
  double callsPerSecond = 0;
};

// Latencies of many runs, and the time they took.
struct Samples {
  std::vector<double> latencies;
  double seconds = 0;
  void Add(const Samples& more);
};

Figures Summarize(Samples samples);

// Runs `body(thread, latencies)` on `threads` threads at once and gathers the latencies.
Samples Measure(int threads, const std::function<void(int thread, std::vector<double>& latencies)>& body);

// The floor: `calls` exchanges of `requestBytes` out and `responseBytes` back per client.
Samples RawRun(int clients, int calls, std::size_t requestBytes, std::size_t responseBytes);

// "rpc  1 client   p50 ... p99 ... calls/s" on standard output.
void Print(const char* what, int clients, const Figures& f);

}  // namespace korvo::bench
