// Lines per second through the queued and the direct file listener, beside a baseline
// that formats the same lines in the calling thread and writes each with one fwrite to
// a FILE* opened once. A run counts until the last line is in the file.
//
//   log_throughput [--lines N] [--direct-lines N]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/machine.h"
#include "platform/registry.h"
#include "service/logging/korvo_log.h"
#include "service/logging/korvo_log_listeners.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace Korvo::Shared;

constexpr const wchar_t* kProgram = L"C:\\Program Files (x86)\\Korvo\\Varnel\\Varnel.exe";
constexpr const wchar_t* kProgramKey = L"Software\\Policies\\Korvo\\Korvo Tallisk\\Varnel";
// About 100 characters a line with the prefix and the function name.
constexpr const wchar_t* kFormat = L"Processed request %06d of session %d, status 0x%08X";

std::filesystem::path g_root;

void PrepareMachine() {
  char templ[] = "/tmp/korvo-bench-XXXXXX";
  if (::mkdtemp(templ) == nullptr) std::exit(1);
  g_root = templ;
  platform::Machine::Options options;
  options.root = g_root;
  options.programPath = kProgram;
  platform::SelectMachine(platform::Machine::Open(std::move(options)));
  auto host = *platform::MapToHost(kProgram);
  std::filesystem::create_directories(host.parent_path());
  std::ofstream(host) << "KORVO-VERSION-RESOURCE\nFileVersion=7.0.5.1\n040904E4/ProductName=Korvo Tallisk\n";
  platform::registry::SetDword(kProgramKey, L"MaxLogSize", 4000000);  // no rotation: the baseline has none
}

std::filesystem::path LogFile() {
  return *platform::MapToHost(L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Roaming\\kvqLog\\Varnel.log");
}

void RemoveLog() {
  std::error_code ec;
  std::filesystem::remove(LogFile(), ec);
}

template <class Body>
double RunThreads(int threads, long lines, Body body) {
  const auto start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      const long per = lines / threads;
      for (long n = 0; n < per; ++n) body(t, n);
    });
  }
  for (auto& th : pool) th.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Listener(bool queued, int threads, long lines) {
  RemoveLog();
  platform::registry::SetDword(kProgramKey, L"QueuedWrites", queued ? 1 : 0);
  const auto start = Clock::now();
  CKorvoLogger* logger = CKorvoLogger::Create(0, kListenerFileQueued);
  RunThreads(threads, lines, [&](int t, long n) {
    logger->Log(LogLevel::Information, "CBench::Producer", kFormat, static_cast<int>(n), t, 0x80070005u);
  });
  delete logger;  // drains the queue and closes the file
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Baseline(int threads, long lines) {
  RemoveLog();
  std::filesystem::create_directories(LogFile().parent_path());
  const auto start = Clock::now();
  std::FILE* f = std::fopen(LogFile().c_str(), "ab");
  RunThreads(threads, lines, [&](int t, long n) {
    thread_local const unsigned tid = static_cast<unsigned>(gettid());  // as the logger caches it
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local;
    localtime_r(&ts.tv_sec, &local);
    char line[256];
    int len = std::snprintf(line, sizeof line,
                            "%04d/%02d/%02d %02d:%02d:%02d.%03d|%08X|%-11s|%s|Processed request %06ld of session %d, "
                            "status 0x%08X\r\n",
                            local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                            local.tm_sec, static_cast<int>(ts.tv_nsec / 1000000), tid, "Information",
                            "CBench::Producer", n, t, 0x80070005u);
    std::fwrite(line, 1, static_cast<std::size_t>(len), f);
  });
  std::fclose(f);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void ProducerLatency(long lines) {
  RemoveLog();
  platform::registry::SetDword(kProgramKey, L"QueuedWrites", 1);
  CKorvoLogger* logger = CKorvoLogger::Create(0, kListenerFileQueued);
  std::vector<std::uint32_t> ns(static_cast<std::size_t>(lines));
  for (long n = 0; n < lines; ++n) {
    const auto t0 = Clock::now();
    logger->Log(LogLevel::Information, "CBench::Producer", kFormat, static_cast<int>(n), 0, 0x80070005u);
    ns[static_cast<std::size_t>(n)] =
        static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
  }
  delete logger;
  std::sort(ns.begin(), ns.end());
  std::printf("queued Log() call, 1 producer: p50 = %.0f ns, p99 = %.0f ns\n", static_cast<double>(ns[ns.size() / 2]),
              static_cast<double>(ns[ns.size() * 99 / 100]));
}

}  // namespace

int main(int argc, char** argv) {
  long lines = 1000000;
  long directLines = 1000000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--lines") == 0)
      lines = std::atol(argv[i + 1]);
    else if (std::strcmp(argv[i], "--direct-lines") == 0)
      directLines = std::atol(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: log_throughput [--lines N] [--direct-lines N]\n");
      return 2;
    }
  }
  if (argc % 2 == 0) {
    std::fprintf(stderr, "usage: log_throughput [--lines N] [--direct-lines N]\n");
    return 2;
  }
  PrepareMachine();
  std::printf("log_throughput: %ld lines (direct: %ld), machine root %s\n", lines, directLines, g_root.c_str());
  double firstRatio = 0;
  for (int threads : {1, 2}) {
    const double base = Baseline(threads, lines);
    const double queued = Listener(true, threads, lines);
    const double direct = Listener(false, threads, directLines);
    const double baseRate = lines / base, queuedRate = lines / queued, directRate = directLines / direct;
    std::printf("%d producer(s): baseline %10.0f lines/s\n", threads, baseRate);
    std::printf("%d producer(s): queued   %10.0f lines/s  (%.2f x baseline)\n", threads, queuedRate,
                queuedRate / baseRate);
    std::printf("%d producer(s): direct   %10.0f lines/s  (%.2f x baseline)\n", threads, directRate,
                directRate / baseRate);
    if (threads == 1) firstRatio = queuedRate / baseRate;
  }
  ProducerLatency(lines);
  std::error_code ec;
  std::filesystem::remove_all(g_root, ec);
  std::printf("queued/baseline = %.2f\n", firstRatio);
  return 0;
}
