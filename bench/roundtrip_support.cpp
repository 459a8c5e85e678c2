#include "bench/roundtrip_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace korvo::bench {
namespace {

bool Exact(int fd, char* p, std::size_t n, bool send) {
  while (n) {
    const ssize_t r = send ? ::send(fd, p, n, MSG_NOSIGNAL) : ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

}  // namespace

void Samples::Add(const Samples& more) {
  latencies.insert(latencies.end(), more.latencies.begin(), more.latencies.end());
  seconds += more.seconds;
}

Figures Summarize(Samples samples) {
  auto& latencies = samples.latencies;
  std::sort(latencies.begin(), latencies.end());
  Figures f;
  if (latencies.empty()) return f;
  f.p50us = latencies[latencies.size() / 2];
  f.p99us = latencies[latencies.size() * 99 / 100];
  f.callsPerSecond = static_cast<double>(latencies.size()) / samples.seconds;
  return f;
}

Samples Measure(int threads, const std::function<void(int thread, std::vector<double>& latencies)>& body) {
  std::vector<std::vector<double>> per(static_cast<std::size_t>(threads));
  const auto start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back([&, t] { body(t, per[static_cast<std::size_t>(t)]); });
  for (auto& th : pool) th.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  Samples all;
  for (auto& p : per) all.latencies.insert(all.latencies.end(), p.begin(), p.end());
  all.seconds = seconds;
  return all;
}

Samples RawRun(int clients, int calls, std::size_t requestBytes, std::size_t responseBytes) {
  return Measure(clients, [=](int, std::vector<double>& out) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::exit(1);
    std::thread server([=, fd = pair[1]] {
      std::vector<char> request(requestBytes), response(responseBytes);
      for (int i = 0; i < calls; ++i) {
        if (!Exact(fd, request.data(), request.size(), false) || !Exact(fd, response.data(), response.size(), true)) {
          return;
        }
      }
    });
    std::vector<char> request(requestBytes), response(responseBytes);
    out.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
      const auto t0 = Clock::now();
      if (!Exact(pair[0], request.data(), request.size(), true) ||
          !Exact(pair[0], response.data(), response.size(), false)) {
        std::exit(1);
      }
      out.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    server.join();
    ::close(pair[0]);
    ::close(pair[1]);
  });
}

void Print(const char* what, int clients, const Figures& f) {
  std::printf("%-4s %d client%s  p50 %8.2f us  p99 %8.2f us  %10.0f calls/s\n", what, clients, clients == 1 ? " " : "s",
              f.p50us, f.p99us, f.callsPerSecond);
}

}  // namespace korvo::bench
