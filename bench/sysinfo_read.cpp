// The cost of one complete system-information read on the default machine (healthy,
// no faults) beside the cost of loading the same machine profile's JSON alone, in the
// same run. A healthy read should cost little more than getting the facts at all.
//
//   sysinfo_read [--runs N]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/machine.h"
#include "service/sysinfo/wmi_data.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 200;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: sysinfo_read [--runs N]\n");
      return 2;
    }
  }
  char templ[] = "/tmp/korvo-bench-XXXXXX";
  if (::mkdtemp(templ) == nullptr) return 1;
  const std::filesystem::path root = templ;
  platform::Machine::Options options;
  options.root = root;  // the embedded default machine, real clock
  platform::SelectMachine(platform::Machine::Open(std::move(options)));
  const auto profilePath = root / "machine.json";

  std::vector<double> readUs, loadUs;
  std::size_t checksum = 0;
  for (int run = 0; run < runs; ++run) {
    // Baseline: the profile file read and parsed, nothing else.
    auto start = Clock::now();
    {
      std::ifstream in(profilePath, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      checksum += nlohmann::json::parse(text.str()).size();
    }
    loadUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());

    start = Clock::now();
    {
      RpcServer::WMIData data;
      data.ReadSysInfo();
      checksum += data.m_csSysInfo.size();
      if (data.m_csSysInfo.empty()) {
        std::fprintf(stderr, "sysinfo_read: the default machine gave an empty record\n");
        return 1;
      }
    }
    readUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  const double read = Median(readUs);
  const double load = Median(loadUs);
  std::printf("runs                      %d (checksum %zu)\n", runs, checksum);
  std::printf("ReadSysInfo, median       %10.1f us\n", read);
  std::printf("profile load, median      %10.1f us\n", load);
  std::printf("read/profile_load = %.2f\n", read / load);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
